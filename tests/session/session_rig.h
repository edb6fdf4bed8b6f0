#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "fake_port.h"
#include "recording_display.h"
#include "scripted_boot_loader.h"
#include "serial/serial_channel.h"
#include "session/bootloader.h"
#include "session/connection.h"
#include "session/strings.h"
#include "session/xmodem.h"
#include "sim_clock.h"

namespace vantrel::test {

// The session on a simulated line: a scripted boot loader behind a FakePort, the channel,
// the connection, the sender and the operations, and a display that records everything.
struct SessionRig {
    SimClock clock;
    FakePort port{clock};
    SerialChannel channel{port, clock};
    RecordingDisplay display;
    Connection connection{channel, display};
    XModemSender sender{channel, display};
    BootLoader loader{connection, sender};
    ScriptedBootLoader bootLoader{port};

    static constexpr const char* kDevice = "/dev/ttyFAKE0";

    static std::string SignatureOf(int model) {
        return model == 0 ? "\t\t\t\r" : model == 1 ? "\n\n\n\r" : "\n\n\r\r";
    }

    // Opens the port and identifies an instrument of `model` the way a reset does, then
    // forgets what that wrote and showed. False when it did not come On-Line.
    bool OnLine(int model) {
        if (!connection.OpenPort(kDevice)) {
            return false;
        }
        bootLoader.Load(Dialogue().On("\r").Say(">"));
        port.Arrive(SignatureOf(model));
        connection.IdentifyInstrument();
        if (!connection.OnLine() || connection.InstrumentModel() != model) {
            return false;
        }
        // The LF after the prompt's CR would start the next read; nobody wants it.
        channel.ClearInput();
        port.ClearWrites();
        display.ClearLog();
        return true;
    }

    // What the program wrote, one entry per write, as text.
    std::vector<std::string> Writes() const {
        std::vector<std::string> out;
        for (const auto& w : port.Writes()) {
            out.emplace_back(w.begin(), w.end());
        }
        return out;
    }

    std::uint64_t Now() { return clock.NowMs(); }
};

inline std::string S(Str id) {
    return LoadString(id);
}

inline std::string BlockLine(int block) {
    return FormatString(Str::ErasingBlockPassed, block);
}

}  // namespace vantrel::test
