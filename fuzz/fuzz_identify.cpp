// Identification of a reset instrument fed arbitrary bytes at arbitrary times, called as the
// receive notification would call it: each attempt ends within its bound, and a session that
// goes On-Line has a model, the notification disarmed and the status that says so.

#include "fuzz_peer.h"
#include "recording_display.h"
#include "session/connection.h"
#include "session/strings.h"

using namespace vantrel;
using namespace vantrel::fuzz;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    test::SimClock clock;
    test::FakePort port(clock);
    test::RecordingDisplay display;
    SerialChannel channel(port, clock);
    Connection connection(channel, display);
    Script script(data, size);
    if (!connection.OpenPort("/dev/fuzz")) {
        return 0;
    }
    // The program's own carriage return on opening is not answered from the script.
    ScriptedPeer peer(port, script);
    // The instrument's first words, before the program answers anything.
    peer.Begin(1 + script.Byte() % 4);

    // Attempts run while the notification is armed and bytes wait, as the event loop runs
    // them; a bounded number, since a failed attempt may leave bytes behind every time.
    constexpr int kMaxAttempts = 32;
    for (int attempt = 0; attempt < kMaxAttempts; ++attempt) {
        if (!port.ReceiveNotificationArmed() || port.HasFailed()) {
            break;
        }
        if (port.Waiting() == 0 && !port.WaitForInput(30'000, nullptr)) {
            break;
        }
        const std::uint64_t start = clock.NowMs();
        connection.IdentifyInstrument();
        const std::uint64_t f = channel.TimeoutFactor();
        Require(clock.NowMs() - start <= bounds::Identify(f), "identification overran its bound");
        Trace("attempt " + std::to_string(attempt) + ": model " +
              std::to_string(connection.InstrumentModel()) +
              (connection.OnLine() ? " On-Line" : ""));
        if (connection.OnLine()) {
            Require(connection.InstrumentModel() >= 0 && connection.InstrumentModel() <= 2,
                    "On-Line without a model");
            Require(!port.ReceiveNotificationArmed(), "On-Line with the notification armed");
            Require(display.StatusText() == LoadString(Str::InstrumentOnLine),
                    "On-Line without saying so");
            Require(f == (connection.InstrumentModel() == 2 ? serial_timing::kSlowModelFactor : 1u),
                    "time-out factor does not fit the model");
            // Once On-Line a notification does nothing.
            const std::size_t writes = port.Writes().size();
            connection.IdentifyInstrument();
            Require(port.Writes().size() == writes && connection.OnLine(),
                    "identification acted while On-Line");
            break;
        }
    }
    return 0;
}
