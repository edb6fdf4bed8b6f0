// The wire trace on a fake port and simulated time: how the line's bytes and the port's events
// read, the XModem transfer as frames and named answers, the ring that keeps a port's newest
// lines, and the files a failed instrument's trace goes to.
#include <QTest>

#include "fake_port.h"
#include "images.h"
#include "recording_display.h"
#include "serial/serial_channel.h"
#include "serial/trace_file.h"
#include "serial/tracing_port.h"
#include "session/trace_events.h"
#include "xmodem_peer.h"

using namespace vantrel;
using namespace vantrel::test;

namespace {

using Steps = QList<QByteArray>;

// A port traced into a ring, opened at time 0.000 of the trace; Lines() are those after the
// opening.
struct Rig {
    explicit Rig(TraceDetail detail = TraceDetail::Frames) : trace(ring, clock, detail, "COM7") {
        channel.OpenPort("/dev/ttyS0");
        port.ClearWrites();
        trace.Mark();
    }
    // Without a flush: what a program that hangs from here on would leave.
    QStringList Lines() {
        return QString::fromLatin1(ring.SinceMark().lines).split('\n', Qt::SkipEmptyParts);
    }
    std::uint64_t At(const QByteArray& ms) { return start + ms.toULongLong(); }

    SimClock clock;
    std::uint64_t start = clock.NowMs();
    FakePort port{clock};
    TraceRing ring{64 * 1024};
    WireTrace trace;
    TracingPort traced{port, trace};
    StopSignal stop;
    SerialChannel channel{traced, clock, &stop};
};

// The first of `fragments` that `lines` do not hold in this order, one line each; empty when
// all are there.
QString MissingInOrder(const QStringList& lines, const QStringList& fragments) {
    qsizetype at = 0;
    for (const QString& f : fragments) {
        while (at < lines.size() && !lines[at].contains(f)) {
            ++at;
        }
        if (at++ >= lines.size()) {
            return "no \"" + f + "\" in order in:\n" + lines.join('\n');
        }
    }
    return {};
}

QString Hex(const FakePort::Bytes& bytes, std::size_t from, std::size_t count) {
    QStringList out;
    for (std::size_t i = from; i < from + count; ++i) {
        out << QString::asprintf("%02X", bytes[i]);
    }
    return out.join(' ');
}

}  // namespace

class WireTraceTest : public QObject {
    Q_OBJECT
private slots:
    // Steps: "at MS BYTES" bytes arrive MS after the start, "+MS" time moves on, "take" the
    // program takes what is waiting, "out BYTES" a write, "stall MS" the next write takes
    // that long, "drain", "close", "fail" (the adapter is pulled), "read" a 50 ms ReadByte
    // (after which the line has been quiet: what came before it is written out).
    void lines_data() {
        QTest::addColumn<Steps>("steps");
        QTest::addColumn<QStringList>("lines");

        QTest::newRow("a boot loader's line: text, control bytes and quotes escaped")
            << Steps{"at 5 ok \"q\" \\ \x18\r\n", "+5", "take"}
            << QStringList{"         5.000 <- \"ok \\\"q\\\" \\\\ \\x18\\r\\n\""};
        QTest::newRow("binary as hex: control bytes, bytes above 0x7F")
            << Steps{"at 0 \x02\x01\x1A", "take", "read", "at 60 \xFFok", "+60", "take", "read"}
            << QStringList{"         0.000 <- hex 02 01 1A", "        60.000 <- hex FF 6F 6B"};
        QTest::newRow("a CR alone, and a pause of 20 ms, start a new line")
            << Steps{"at 0 \t\t\t\r", "at 1 >", "at 30 ab", "take", "+1", "take", "+30", "take",
                     "read"}
            << QStringList{"         0.000 <- \"\\t\\t\\t\\r\"", "         1.000 <- \">\"",
                           "        30.000 <- \"ab\""};
        QTest::newRow("a babbling line in lines of 64 bytes, the rest once the line is quiet")
            << Steps{"at 0 " + QByteArray(100, 'x'), "take", "read"}
            << QStringList{"         0.000 <- \"" + QString(64, 'x') + "\"",
                           "         0.000 <- \"" + QString(36, 'x') + "\""};
        QTest::newRow("a write that stalls")
            << Steps{"stall 600", "out 5"}
            << QStringList{"         0.000 -> \"5\"", "       600.000 -- write stalled 600.000 ms"};
        QTest::newRow("a drain: what the clearing and the drain threw away")
            << Steps{"at 0 ok", "at 300 CCC", "drain"}
            << QStringList{"         0.000 -- input cleared, 2 bytes: 6F 6B \"ok\"",
                           "      1301.000 -- drained 1301.000 ms, 3 bytes: 43 43 43 \"CCC\""};
        QTest::newRow("bytes left unread at close")
            << Steps{"at 0 ab\r\n", "close"}
            << QStringList{"         0.000 -- close /dev/ttyS0, unread, 4 bytes: 61 62 0D 0A "
                           "\"ab\\r\\n\""};
        QTest::newRow("the adapter pulled")
            << Steps{"fail", "read"}
            << QStringList{"         0.000 -- port failed: Input/output error"};
    }
    void lines() {
        QFETCH(Steps, steps);
        Rig rig;
        std::uint64_t stallMs = 0;
        rig.port.SetResponder([&](FakePort&, const FakePort::Bytes&) {
            rig.clock.SleepMs(std::exchange(stallMs, 0));
        });
        for (const QByteArray& step : steps) {
            const QList<QByteArray> words = step.split(' ');
            const QByteArray rest = step.mid(words[0].size() + 1);
            if (words[0] == "at") {
                const QByteArray bytes = rest.mid(words[1].size() + 1);
                rig.port.ArriveAt(FakePort::Bytes(bytes.begin(), bytes.end()), rig.At(words[1]));
            } else if (step.startsWith('+')) {
                rig.clock.Set(rig.At(step.mid(1)));
            } else if (step == "take") {
                while (rig.traced.Take()) {
                }
            } else if (words[0] == "out") {
                rig.channel.SendText(rest.toStdString());
            } else if (words[0] == "stall") {
                stallMs = rest.toULongLong();
            } else if (step == "drain") {
                rig.channel.Drain();
            } else if (step == "close") {
                rig.traced.Close();
            } else if (step == "fail") {
                rig.port.FailIn(0);
            } else if (step == "read") {
                rig.channel.ReadByte(50);
            }
        }
        QTEST(rig.Lines(), "lines");
    }

    // A whole transfer of two blocks: frames by block, size, check value and first bytes (or
    // every byte), answers by name, and what the clearings, the stop and a failed port did.
    void transfer_data() {
        QTest::addColumn<bool>("wholeFrames");
        QTest::addColumn<QByteArray>("early");  // arrives before the sender's first clearing
        QTest::addColumn<QString>("start");     // the receiver's start signal, at startMs
        QTest::addColumn<int>("startMs");
        QTest::addColumn<QStringList>("answers");  // ScriptedReceiver's, to frames and EOT
        QTest::addColumn<int>("stopMs");           // the stop raised then; -1 never
        QTest::addColumn<int>("failMs");           // the adapter pulled then; -1 never
        QTest::addColumn<QStringList>("expected");  // fragments of lines, in order

        QTest::newRow("a start signal thrown away by the clearing: 3 s lost, every byte shown")
            << true << QByteArray("C") << "C" << 3000 << QStringList{} << -1 << -1
            << QStringList{"    0.000 == transfer begun",
                           "    0.000 -- input cleared, 1 byte: 43 \"C\"", " 3000.000 <- C", " 3000.000 -> block 1, 1024",
                           " 3010.000 <- ACK", "-> block 2, 1024 bytes, CRC 0x", "-> EOT",
                           "<- ACK", "-- drained 1001.000 ms, nothing came"};
        QTest::newRow("a block refused once, in checksum mode")
            << false << QByteArray() << "N" << 10 << QStringList{"A", "N", "A"} << -1 << -1
            << QStringList{"<- NAK", "-> block 1, 1024 bytes, sum 0x", "<- ACK",
                           "-> block 2, 1024 bytes, sum 0x", "<- NAK",
                           "-> block 2, sending 2, 1024 bytes, sum 0x", "<- ACK", "-> EOT",
                           "<- ACK"};
        QTest::newRow("the receiver cancels")
            << false << QByteArray() << "C" << 10 << QStringList{"XX"} << -1 << -1
            << QStringList{"-> block 1,", "<- CAN", "<- CAN", "-> ACK", "-- drained"};
        QTest::newRow("the stop raised while an answer is awaited")
            << false << QByteArray() << "C" << 10 << QStringList{"-"} << 500 << -1
            << QStringList{"-> block 1,", "  500.000 -- interrupted: the stop was raised",
                           "-> CAN", "-> CAN", "-> CAN", "-- drained"};
        QTest::newRow("the adapter pulled while an answer is awaited")
            << false << QByteArray() << "C" << 10 << QStringList{"-"} << -1 << 500
            << QStringList{"-> block 1,", "  500.000 -- port failed: Input/output error"};
    }
    void transfer() {
        QFETCH(bool, wholeFrames);
        QFETCH(QByteArray, early);
        QFETCH(int, stopMs);
        QFETCH(int, failMs);
        Rig rig(wholeFrames ? TraceDetail::Bytes : TraceDetail::Frames);
        ScriptedReceiver receiver(rig.port, rig.clock);
        QFETCH(QStringList, answers);
        receiver.SetAnswers(answers);
        rig.port.Arrive(FakePort::Bytes(early.begin(), early.end()));
        QFETCH(QString, start);
        QFETCH(int, startMs);
        receiver.Send(start, static_cast<std::uint64_t>(startMs));
        if (stopMs >= 0) {
            rig.port.StopIn(rig.stop, static_cast<std::uint64_t>(stopMs));
        }
        if (failMs >= 0) {
            rig.port.FailIn(static_cast<std::uint64_t>(failMs));
        }
        RecordingDisplay display;
        TraceEvents events(rig.trace);
        XModemSender sender(rig.channel, display, events);
        MemoryImage image(RandomImage(1500));
        events.PhaseBegun(Phase::Transfer);
        sender.SendFile(image, 1500);

        const QStringList lines = rig.Lines();
        QFETCH(QStringList, expected);
        QString why = MissingInOrder(lines, expected);
        QVERIFY2(why.isEmpty(), qPrintable(why));
        // The first frame as it went on the wire.
        const FakePort::Bytes frame = receiver.Frames().front();
        const bool crc = frame.size() == 1029;
        const QString check = crc ? "CRC 0x" + Hex(frame, 1027, 2).remove(' ') + ": "
                                  : "sum 0x" + Hex(frame, 1027, 1) + ": ";
        const QString shown = wholeFrames ? Hex(frame, 0, frame.size()) : Hex(frame, 3, 8) + " ...";
        why = MissingInOrder(lines, {"-> block 1, 1024 bytes, " + check + shown});
        QVERIFY2(why.isEmpty(), qPrintable(why));
    }

    // The ring keeps the newest whole lines in its fixed memory, and tells how many of the
    // instrument's lines (since the mark) it dropped; a written trace says so too.
    void ring_data() {
        QTest::addColumn<int>("lineCount");  // lines "line NNN" padded to 32 bytes
        QTest::addColumn<int>("markAt");     // the mark before this line; -1 none
        QTest::addColumn<int>("firstKept");
        QTest::addColumn<int>("dropped");

        // 1024 bytes hold 32 lines of 32 bytes.
        QTest::newRow("all kept") << 20 << -1 << 0 << 0;
        QTest::newRow("the oldest dropped, before the mark") << 100 << 90 << 90 << 0;
        QTest::newRow("the oldest dropped, some of the instrument's") << 100 << 50 << 68 << 18;
        QTest::newRow("no mark: everything kept counts") << 100 << -1 << 68 << 68;
    }
    void ring() {
        QFETCH(int, lineCount);
        QFETCH(int, markAt);
        TraceRing ring(1024);
        ring.Begin("# header");
        for (int i = 0; i < lineCount; ++i) {
            if (i == markAt) {
                ring.Mark();
            }
            ring.Append(QString("line %1").arg(i, 3, 10, QChar('0')).leftJustified(31, '.').toStdString());
        }
        const TraceRing::Section section = ring.SinceMark();
        const QStringList lines = QString::fromStdString(section.lines).split('\n', Qt::SkipEmptyParts);
        QFETCH(int, firstKept);
        QCOMPARE(lines.size(), lineCount - firstKept);
        QVERIFY(lines.front().startsWith(QString("line %1.").arg(firstKept, 3, 10, QChar('0'))));
        QTEST(int(section.droppedLines), "dropped");

        QTemporaryDir dir;
        const TraceFileWritten written = WriteTraceSection(ring, dir.path().toStdString(), "COM7");
        QVERIFY2(written.ok(), written.error.c_str());
        const QByteArray droppedLine =
            section.droppedLines == 0
                ? QByteArray()
                : "# " + QByteArray::number(qulonglong(section.droppedLines)) +
                      " earlier lines of this instrument were dropped: the ring keeps the "
                      "newest 1 KiB\n";
        QCOMPARE(ReadFile(QString::fromStdString(written.path)),
                 "# header\n" + droppedLine + QByteArray::fromStdString(section.lines));
        // A line longer than a quarter of the ring is cut, so it cannot empty the ring.
        ring.Append(std::string(1000, 'y'));
        QVERIFY(ring.SinceMark().lines.ends_with(std::string(244, 'y') + " [line cut]\n"));
    }

    // Trace file names need no quoting in a shell, whatever the port.
    void fileName_data() {
        QTest::addColumn<QString>("port");
        QTest::addColumn<QString>("name");
        QTest::newRow("COM name") << "COM7" << "20260105T102203.123Z-COM7.trace";
        QTest::newRow("device path")
            << "/dev/serial/by-id/usb-FTDI A1:2 $(x)'"
            << "20260105T102203.123Z-serial_by-id_usb-FTDI_A1_2___x__.trace";
        QTest::newRow("nothing") << "" << "20260105T102203.123Z-port.trace";
    }
    void fileName() {
        QFETCH(QString, port);
        const auto when = std::chrono::sys_days{std::chrono::January / 5 / 2026} +
                          std::chrono::hours(10) + std::chrono::minutes(22) +
                          std::chrono::milliseconds(3123);
        QTEST(QString::fromStdString(TraceFileName(when, port.toStdString())), "name");
    }

    void folderProblem_data() {
        QTest::addColumn<QString>("folder");
        QTest::addColumn<QString>("problem");  // empty: it can take trace files
        QTest::newRow("writable") << "." << "";
        QTest::newRow("missing") << "./missing" << "does not exist";
        QTest::newRow("a file") << "./file" << "is not a folder";
        QTest::newRow("not writable, even by root") << "/proc" << "Cannot write trace files in";
    }
    void folderProblem() {
        QTemporaryDir dir;
        QVERIFY(WriteFile(dir.filePath("file"), "x"));
        QFETCH(QString, folder);
        const QString found = QString::fromStdString(
            TraceFolderProblem(folder.startsWith('.') ? dir.filePath(folder).toStdString()
                                                      : folder.toStdString()));
        QFETCH(QString, problem);
        QVERIFY2(found.isEmpty() == problem.isEmpty() && found.contains(problem),
                 qPrintable(found));
    }
};

QTEST_GUILESS_MAIN(WireTraceTest)
#include "test_wire_trace.moc"
