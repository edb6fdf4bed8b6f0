// The wire trace on a real line: the tracing port around QtSerialPort, driven by the session
// (identification and a download) against the simulated instrument behind vantrel-relay, in a
// station port's trace (PortTrace) and written to a file as for a failed instrument.
#include <QFileInfo>
#include <QTest>

#include "images.h"
#include "line_rig.h"
#include "recording_display.h"
#include "serial/qt_serial_port.h"
#include "serial/trace_file.h"
#include "serial/tracing_port.h"
#include "session/bootloader.h"
#include "session/trace_events.h"

using namespace vantrel;
using namespace vantrel::test;

namespace {

// Only a hang reaches it: the instrument answers within milliseconds.
constexpr std::uint64_t kReactMs = 15000;

}  // namespace

class WireTraceLineTest : public QObject {
    Q_OBJECT
private slots:
    void download_data() {
        QTest::addColumn<QStringList>("simOptions");
        QTest::addColumn<QStringList>("relayOptions");
        QTest::addColumn<QStringList>("expected");  // fragments of lines, in order

        QTest::newRow("a block refused once by the instrument")
            << QStringList{"--nak-block", "3"} << QStringList{}
            << QStringList{"== identified: model 1", "-> \"5\"", "== transfer begun", "<- C",
                           "-> block 3, 1024 bytes, CRC 0x", "<- NAK",
                           "-> block 3, sending 2, 1024 bytes, CRC 0x", "<- ACK", "-> block 4,",
                           "-> EOT", "<- ACK", "-- drained", "== transfer ended: done, result 5120"};
        // 4000 bytes to the instrument: the menu's few, then the fourth frame.
        QTest::newRow("the adapter pulled during the transfer")
            << QStringList{} << QStringList{"--cut", "to-instrument:4000"}
            << QStringList{"-> block 4,",
                           "-- port failed: The serial port \"/dev/pts/",
                           "== transfer ended: port-failed"};
    }
    void download() {
        QFETCH(QStringList, simOptions);
        QFETCH(QStringList, relayOptions);
        ConfigHome home;
        Sim sim;
        QVERIFY(sim.Start(home, {}, QStringList{"--model", "1"} + simOptions));
        Relay relay(QStringList{"--device", sim.Device(), "--link", home.Path("line")} +
                        relayOptions,
                    home.Env());
        QVERIFY(relay.Start());
        const QString image = home.Path("image.upg");
        QVERIFY(WriteFile(image, RandomImage(5 * 1024 - 100)));

        SteadyClock clock;
        QtSerialPort serial;
        PortTrace portTrace(clock, "COM5", TraceDetail::Frames);
        TracingPort traced(serial, portTrace.Trace());
        SerialChannel channel(traced, clock);
        RecordingDisplay display;
        display.SetTargetFile(image.toStdString());
        SessionEvents& events = portTrace.Events();
        Connection connection(channel, display, events);
        XModemSender sender(channel, display, events);
        BootLoader bootLoader(connection, sender);

        QVERIFY(connection.OpenPort(QFileInfo(home.Path("line")).canonicalFilePath().toStdString()));
        channel.Drain();  // the instrument's answer to the opening's carriage return
        // The instrument's part of the trace begins here, as the station's wait for it does.
        events.PhaseBegun(Phase::Identification);
        sim.Reset();
        while (!connection.OnLine() && traced.WaitForInput(kReactMs, nullptr)) {
            connection.IdentifyInstrument();
        }
        QVERIFY(connection.OnLine());
        bootLoader.DownloadProgram();

        QTemporaryDir folder;
        const TraceFileWritten written = portTrace.WriteInstrument(folder.path().toStdString());
        QVERIFY2(written.ok(), written.error.c_str());
        QVERIFY(written.path.ends_with("-COM5.trace"));
        const QString trace = QString::fromLatin1(ReadFile(QString::fromStdString(written.path)));
        QFETCH(QStringList, expected);
        const QString why = MissingInOrder(
            trace, QStringList{"# Vantrel wire trace of COM5", "== identification begun"} +
                       expected);
        QVERIFY2(why.isEmpty() && trace.section('\n', 1, 1).endsWith("== identification begun"),
                 qPrintable(why + trace.section('\n', 0, 2)));
    }
};

QTEST_GUILESS_MAIN(WireTraceLineTest)
#include "test_wire_trace_line.moc"
