// Throughput and processor use of the XModem-1K sender, printed as figures.
//
// 1. The same random image (a whole number of blocks, so both senders put the same bytes on
//    the wire) is sent to lrzsz's `rx -c` through socat's pseudo-terminal, alternately by
//    this sender and by lrzsz's `sx -k`. A one-block image, sent the same way a few times,
//    gives each sender's fixed cost (rx answers EOT only after a second of quiet; this
//    sender then drains the line until socat hangs up, about 0.1 s); the median end-to-end
//    time of the big image minus that is the time its blocks took. socat's own -x trace is
//    not used: dumping the data in hex costs more than the transfer itself.
// 2. This sender's own time per block (from taking the ACK to handing over the next frame,
//    and the write itself), measured at the port.
// 3. Processor time of this process while sending on a line paced to 38400 baud (pv), with
//    and without the wire trace, and while a 2-second ReadByte waits on a silent line.
// 4. The wire trace: each round also sends the image traced to a file and traced to a port's
//    ring, and the throughput of each is set against the untraced sends; then the peak memory
//    of one send, untraced and traced both ways, for a small and a large image (it must not
//    grow with the image), and the trace's size per KiB of image.
//
// On a machine shared with other work single rounds scatter widely: read the medians.
//
// Usage: bench_xmodem [rounds=7] [KiB=1024] [pacedKiB=32]
#include <pty.h>
#include <sys/resource.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QTextStream>
#include <algorithm>
#include <cstdio>
#include <memory>
#include <vector>

#include "images.h"
#include "line_rig.h"
#include "recording_display.h"
#include "serial/clock.h"
#include "serial/qt_serial_port.h"
#include "serial/serial_channel.h"
#include "serial/trace_file.h"
#include "serial/tracing_port.h"
#include "session/xmodem.h"

using namespace vantrel;
using namespace vantrel::test;

namespace {

constexpr int kBlock = 1024;
constexpr int kPeerEndMs = 10000;
// Time a sender process is given to open the line before rx speaks: lrzsz flushes its
// input when it sets up the terminal.
constexpr int kSxSettleMs = 200;

QTextStream& Out() {
    static QTextStream out(stdout);
    return out;
}

double CpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

bool WriteAll(const QString& path, const QByteArray& data) {
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(data) == data.size();
}

QByteArray ReadAll(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

double Seconds(const QElapsedTimer& timer) {
    return double(timer.nsecsElapsed()) / 1e9;
}

// Where a send's wire trace goes.
enum class Tracing { Off, File, Ring };
const char* const kTracingNames[] = {"untraced", "traced to a file", "traced to the ring"};

// The peak resident memory of this process is counted again from now (Linux 4.0 and later).
void ResetPeakMemory() {
    QFile refs("/proc/self/clear_refs");
    if (refs.open(QIODevice::WriteOnly)) {
        refs.write("5");
    }
}

// A figure of /proc/self/status in KiB: "VmHWM" the peak resident memory since the last
// ResetPeakMemory, "VmRSS" the resident memory now.
qint64 MemoryKiB(const QByteArray& key) {
    for (const QByteArray& line : ReadAll("/proc/self/status").split('\n')) {
        if (line.startsWith(key + ':')) {
            return line.mid(key.size() + 1).trimmed().split(' ').first().toLongLong();
        }
    }
    return -1;
}

// The real port, timed: how long this program takes between the receiver's ACK and the
// next frame, and how long handing a frame to the system takes.
class TimedPort final : public Port {
public:
    explicit TimedPort(Port& port) : m_port(port) { m_clock.start(); }

    bool Open(const std::string& device) override { return m_port.Open(device); }
    void Close() override { m_port.Close(); }
    bool IsOpen() const override { return m_port.IsOpen(); }
    std::size_t Waiting() override { return m_port.Waiting(); }
    std::optional<std::uint8_t> Take() override {
        // Timed from before the take, so that a wire trace's line for the ACK counts.
        const qint64 before = m_clock.nsecsElapsed();
        const auto byte = m_port.Take();
        if (byte && *byte == 0x06) {
            m_ackAt = before;
        }
        return byte;
    }
    void DiscardInput() override { m_port.DiscardInput(); }
    bool Write(const std::uint8_t* data, std::size_t size) override {
        const qint64 start = m_clock.nsecsElapsed();
        const bool ok = m_port.Write(data, size);
        if (size > 1000) {
            if (m_ackAt >= 0) {
                turnaround.push_back(double(start - m_ackAt) / 1e3);
            }
            write.push_back(double(m_clock.nsecsElapsed() - start) / 1e3);
        }
        m_ackAt = -1;
        return ok;
    }
    bool WaitForInput(std::uint64_t ms, const StopSignal* stop) override {
        return m_port.WaitForInput(ms, stop);
    }
    void SetReceiveNotification(bool armed) override { m_port.SetReceiveNotification(armed); }
    bool ReceiveNotificationArmed() const override { return m_port.ReceiveNotificationArmed(); }
    bool HasFailed() const override { return m_port.HasFailed(); }
    std::string ErrorText() const override { return m_port.ErrorText(); }
    void NoteDrain(bool begun) override { m_port.NoteDrain(begun); }

    std::vector<double> turnaround;  // us, ACK taken to next frame handed over
    std::vector<double> write;       // us, one frame's write

private:
    Port& m_port;
    QElapsedTimer m_clock;
    qint64 m_ackAt = -1;
};

struct BenchRun {
    bool ok = false;
    double endToEnd = 0;  // s, from rx's start to the sender's end
    double blocks = 0;    // s, first block to the closing cycle, as the sender saw it (ours)
    double cpu = 0;       // s of this process's processor time during SendFile (ours)
    std::vector<double> turnaround;  // us per block (ours)
    std::vector<double> write;       // us per block (ours)
    qint64 peakKiB = 0;              // growth of the resident memory during SendFile, at its
                                     // peak, with the trace's own (ours)
    qint64 traceBytes = 0;           // size of the trace file (ours, traced to a file)
    QString problem;
};

// `peerEndMs`: how long to wait for socat to end afterwards (a pv pipeline never ends
// by itself: pv keeps reading from socat).
BenchRun SendOurs(const QString& dir, const QByteArray& image, const QString& receiver,
                  int peerEndMs = kPeerEndMs, Tracing tracing = Tracing::Off) {
    BenchRun run;
    const QString imagePath = dir + "/image.bin";
    WriteAll(imagePath, image);
    SocatPeer peer;
    if (!peer.Start(dir, receiver)) {
        run.problem = "socat did not start: " + peer.Log();
        return run;
    }
    QtSerialPort realPort;
    if (!realPort.Open(peer.Link().toStdString())) {
        run.problem = QString::fromStdString(realPort.ErrorText());
        return run;
    }
    SteadyClock clock;
    TraceFile traceFile;
    TraceRing ring;
    std::unique_ptr<WireTrace> trace;
    std::unique_ptr<TracingPort> traced;
    if (tracing != Tracing::Off) {
        if (tracing == Tracing::File && !traceFile.Open((dir + "/line.trace").toStdString())) {
            run.problem = QString::fromStdString(traceFile.ErrorText());
            return run;
        }
        TraceSink& sink = tracing == Tracing::File ? static_cast<TraceSink&>(traceFile) : ring;
        trace = std::make_unique<WireTrace>(sink, clock, TraceDetail::Frames, "bench");
        traced = std::make_unique<TracingPort>(realPort, *trace);
    }
    TimedPort port(traced ? static_cast<Port&>(*traced) : realPort);
    SerialChannel channel(port, clock);
    RecordingDisplay display;
    XModemSender sender(channel, display);
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(
        std::fopen(imagePath.toLocal8Bit().constData(), "rb"), &std::fclose);
    FileImageReader reader(file.get());

    QElapsedTimer wall;
    double firstStep = 0;
    double lastStep = 0;
    display.OnStep([&](int step) { (step == 1 ? firstStep : lastStep) = Seconds(wall); });
    const qint64 memoryBefore = MemoryKiB("VmRSS");
    ResetPeakMemory();
    const double cpuBefore = CpuSeconds();
    wall.start();
    peer.Go();
    const std::int32_t result = sender.SendFile(reader, image.size());
    run.endToEnd = Seconds(wall);
    run.cpu = CpuSeconds() - cpuBefore;
    run.peakKiB = MemoryKiB("VmHWM") - memoryBefore;
    run.blocks = lastStep - firstStep;
    run.turnaround = port.turnaround;
    run.write = port.write;
    port.Close();
    trace.reset();
    run.traceBytes = QFileInfo(dir + "/line.trace").size();
    const int status = peer.Finish(peerEndMs);
    run.ok = result == image.size() && ReadAll(dir + "/out.bin") == image;
    if (!run.ok) {
        run.problem = QStringLiteral("result %1, peer status %2: %3")
                          .arg(result)
                          .arg(status)
                          .arg(peer.Log().right(300));
    }
    return run;
}

BenchRun SendSx(const QString& dir, const QByteArray& image) {
    BenchRun run;
    WriteAll(dir + "/image.bin", image);
    SocatPeer peer;
    if (!peer.Start(dir, "rx -c out.bin")) {
        run.problem = "socat did not start: " + peer.Log();
        return run;
    }
    QProcess sx;
    sx.setWorkingDirectory(dir);
    // sx reports progress on stderr, more than a pipe holds while nobody reads it.
    sx.setStandardErrorFile(dir + "/sx.log");
    sx.start("sh", {"-c", "exec sx -k image.bin <tty >tty"});
    sx.waitForStarted(5000);
    sx.waitForFinished(kSxSettleMs);  // a pause: sx waits for rx

    QElapsedTimer wall;
    wall.start();
    peer.Go();
    const bool ended = sx.waitForFinished(60000);
    run.endToEnd = Seconds(wall);
    const int status = peer.Finish(kPeerEndMs);
    run.ok = ended && sx.exitCode() == 0 && status == 0 && ReadAll(dir + "/out.bin") == image;
    if (!run.ok) {
        run.problem = QStringLiteral("sx exit %1, rx status %2: %3")
                          .arg(sx.exitCode())
                          .arg(status)
                          .arg(QString::fromLocal8Bit(ReadAll(dir + "/sx.log").right(200)));
    }
    return run;
}

// Our sender on a line paced to 38400 baud both ways: processor share of the transfer.
void PacedCpu(const QByteArray& image) {
    for (int t = 0; t < 3; ++t) {
        QTemporaryDir dir;
        // 38400 baud, 8N1: 3840 bytes/s each way.
        const BenchRun run = SendOurs(dir.path(), image,
                                      "pv -q -L 3840 | rx -c out.bin | pv -q -L 3840", 0,
                                      static_cast<Tracing>(t));
        Out() << QStringLiteral(
                     "paced 38400 baud, %1 KiB, %2: %3 s wall, first block to last ACK %4 B/s, "
                     "%5 s CPU = %6 % of wall%7\n")
                     .arg(image.size() / kBlock)
                     .arg(kTracingNames[t])
                     .arg(run.endToEnd, 0, 'f', 2)
                     .arg(double(image.size()) / run.blocks, 0, 'f', 0)
                     .arg(run.cpu, 0, 'f', 3)
                     .arg(100.0 * run.cpu / run.endToEnd, 0, 'f', 2)
                     .arg(run.ok ? QString() : " FAILED: " + run.problem);
        Out().flush();
    }
}

// A 2-second ReadByte on a line where nobody speaks.
void SilentReadCpu() {
    int master = -1;
    int slave = -1;
    char name[128] = {};
    if (openpty(&master, &slave, name, nullptr, nullptr) != 0) {
        Out() << "silent read: no pseudo-terminal\n";
        return;
    }
    QtSerialPort port;
    port.Open(name);
    SteadyClock clock;
    SerialChannel channel(port, clock);
    QElapsedTimer wall;
    const double cpuBefore = CpuSeconds();
    wall.start();
    const ByteRead read = channel.ReadByte(2000);
    const double seconds = double(wall.nsecsElapsed()) / 1e9;
    const double cpu = CpuSeconds() - cpuBefore;
    port.Close();
    ::close(slave);
    ::close(master);
    Out() << QStringLiteral("silent ReadByte(2000): %1 s wall, %2 s CPU = %3 % of wall%4\n")
                 .arg(seconds, 0, 'f', 3)
                 .arg(cpu, 0, 'f', 4)
                 .arg(100.0 * cpu / seconds, 0, 'f', 3)
                 .arg(read.TimedOut() ? "" : " (A BYTE CAME)");
}

// Processor time of one block's CRC-16, the sender's only arithmetic per block.
void CrcCost() {
    constexpr int kRepeats = 20000;
    const QByteArray block = RandomImage(kBlock, 5);
    const auto* data = reinterpret_cast<const std::uint8_t*>(block.constData());
    QElapsedTimer wall;
    wall.start();
    unsigned sink = 0;
    for (int i = 0; i < kRepeats; ++i) {
        sink += ComputeCrc16(data, kBlock);
    }
    Out() << QStringLiteral("CRC-16 of a 1024-byte block: %1 us (checksum %2)\n")
                 .arg(Seconds(wall) * 1e6 / kRepeats, 0, 'f', 2)
                 .arg(sink & 0xFFFF);
}

// Peak memory of one send, untraced and traced both ways, for a small and a large image.
void PeakMemory(int kib) {
    for (int t = 0; t < 3; ++t) {
        QStringList figures;
        for (const int size : {64, kib}) {
            QTemporaryDir dir;
            const BenchRun run = SendOurs(dir.path(), RandomImage(qsizetype(size) * kBlock, 7),
                                          "rx -c out.bin", kPeerEndMs, static_cast<Tracing>(t));
            figures << QStringLiteral("%1 KiB image %2 KiB%3")
                           .arg(size)
                           .arg(run.peakKiB)
                           .arg(run.ok ? QString() : " FAILED: " + run.problem);
        }
        Out() << QStringLiteral("memory growth of a send at its peak, %1: %2\n")
                     .arg(kTracingNames[t])
                     .arg(figures.join(", "));
        Out().flush();
    }
}

// Processor time the wire trace spends on one block (its frame line and the ACK's), without
// the line: the trace's own cost, which the sends above can only show within their scatter.
void TraceCost() {
    constexpr int kBlocks = 20000;
    QByteArray frame = RandomImage(1029, 6);
    frame[0] = 0x02;
    SteadyClock clock;
    for (int t = 1; t < 3; ++t) {
        QTemporaryDir dir;
        TraceFile file;
        file.Open((dir.path() + "/cost.trace").toStdString());
        TraceRing ring;
        TraceSink& sink = t == 1 ? static_cast<TraceSink&>(file) : ring;
        WireTrace trace(sink, clock, TraceDetail::Frames, "bench");
        trace.SetTransfer(true);
        QElapsedTimer wall;
        wall.start();
        for (int i = 0; i < kBlocks; ++i) {
            frame[1] = static_cast<char>(i + 1);
            frame[2] = static_cast<char>(0xFE - i);
            trace.Sent(reinterpret_cast<const std::uint8_t*>(frame.constData()), 1029);
            trace.Received(0x06);
        }
        trace.Settle();
        Out() << QStringLiteral("wire trace's own time per block, %1: %2 us\n")
                     .arg(kTracingNames[t])
                     .arg(Seconds(wall) * 1e6 / kBlocks, 0, 'f', 2);
    }
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n == 0 ? 0 : n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    const int rounds = args.size() > 1 ? args[1].toInt() : 7;
    const int kib = args.size() > 2 ? args[2].toInt() : 1024;
    const int pacedKib = args.size() > 3 ? args[3].toInt() : 32;
    constexpr int kCalibrations = 3;
    const QByteArray image = RandomImage(qsizetype(kib) * kBlock, 2024);
    const QByteArray oneBlock = image.left(kBlock);
    const double extraBytes = double(image.size() - oneBlock.size());
    const char* names[2] = {"vantrel", "sx -k  "};
    auto send = [](int who, const QByteArray& data) {
        QTemporaryDir dir;
        return who == 0 ? SendOurs(dir.path(), data, "rx -c out.bin") : SendSx(dir.path(), data);
    };

    Out() << QStringLiteral(
                 "XModem-1K to rx -c over socat: %1 x 1 KiB, then %2 x %3 KiB "
                 "random, alternating vantrel and sx -k\n")
                 .arg(kCalibrations)
                 .arg(rounds)
                 .arg(kib);
    std::vector<double> fixed[2];
    std::vector<double> big[2];
    std::vector<double> oursBlocks, turnaround, write;
    // By Tracing: B/s first block to last ACK, and the sender's own time per block, us.
    std::vector<double> traced[3], tracedTurnaround[3], tracedWrite[3];
    qint64 traceBytes = 0;
    double oursCpu = 0;
    double oursWall = 0;
    bool allGood = true;
    for (int i = 0; i < kCalibrations + rounds; ++i) {
        const bool calibration = i < kCalibrations;
        for (int who = 0; who < 2; ++who) {
            const BenchRun run = send(who, calibration ? oneBlock : image);
            Out() << QStringLiteral("%1 %2: %3 s%4\n")
                         .arg(calibration ? "   1 KiB" : QStringLiteral("%1 KiB").arg(kib, 4))
                         .arg(names[who])
                         .arg(run.endToEnd, 0, 'f', 3)
                         .arg(run.ok ? QString() : " FAILED: " + run.problem);
            Out().flush();
            allGood = allGood && run.ok;
            if (!run.ok) {
                continue;
            }
            (calibration ? fixed : big)[who].push_back(run.endToEnd);
            if (who == 0 && !calibration) {
                traced[0].push_back(double(image.size()) / run.blocks);
                tracedTurnaround[0].insert(tracedTurnaround[0].end(), run.turnaround.begin(),
                                           run.turnaround.end());
                tracedWrite[0].insert(tracedWrite[0].end(), run.write.begin(), run.write.end());
                oursBlocks.push_back(double(image.size()) / run.blocks);
                oursCpu += run.cpu;
                oursWall += run.endToEnd;
                turnaround.insert(turnaround.end(), run.turnaround.begin(), run.turnaround.end());
                write.insert(write.end(), run.write.begin(), run.write.end());
            }
        }
        // The same image traced, in the same round, so that both see the same machine.
        for (int t = 1; t < 3 && !calibration; ++t) {
            QTemporaryDir dir;
            const BenchRun run = SendOurs(dir.path(), image, "rx -c out.bin", kPeerEndMs,
                                          static_cast<Tracing>(t));
            Out() << QStringLiteral("%1 KiB vantrel %2: %3 s%4\n")
                         .arg(kib, 4)
                         .arg(kTracingNames[t])
                         .arg(run.endToEnd, 0, 'f', 3)
                         .arg(run.ok ? QString() : " FAILED: " + run.problem);
            allGood = allGood && run.ok;
            if (run.ok) {
                traced[t].push_back(double(image.size()) / run.blocks);
                tracedTurnaround[t].insert(tracedTurnaround[t].end(), run.turnaround.begin(),
                                           run.turnaround.end());
                tracedWrite[t].insert(tracedWrite[t].end(), run.write.begin(), run.write.end());
                traceBytes = std::max(traceBytes, run.traceBytes);
            }
        }
    }
    if (!big[0].empty() && !big[1].empty() && !fixed[0].empty() && !fixed[1].empty()) {
        double rate[2];
        for (int who = 0; who < 2; ++who) {
            const double blocks = Median(big[who]) - Median(fixed[who]);
            rate[who] = extraBytes / blocks;
            Out() << QStringLiteral(
                         "%1: median %2 KiB %3 s - median 1 KiB %4 s = %5 s for "
                         "the blocks = %6 B/s\n")
                         .arg(names[who])
                         .arg(kib)
                         .arg(Median(big[who]), 0, 'f', 3)
                         .arg(Median(fixed[who]), 0, 'f', 3)
                         .arg(blocks, 0, 'f', 3)
                         .arg(rate[who], 0, 'f', 0);
        }
        Out() << QStringLiteral("throughput ratio vantrel/sx: %1\n")
                     .arg(rate[0] / rate[1], 0, 'f', 2);
        Out() << QStringLiteral(
                     "vantrel, first block to last ACK as it saw it, median: %1 "
                     "B/s\n")
                     .arg(Median(oursBlocks), 0, 'f', 0);
        Out() << QStringLiteral(
                     "vantrel's own time per block, median: ACK to next frame %1 "
                     "us, frame write %2 us\n")
                     .arg(Median(turnaround), 0, 'f', 1)
                     .arg(Median(write), 0, 'f', 1);
        Out() << QStringLiteral("vantrel CPU during unpaced %1 KiB sends: %2 % of wall\n")
                     .arg(kib)
                     .arg(100.0 * oursCpu / oursWall, 0, 'f', 1);
    }
    if (!traced[0].empty() && !traced[1].empty() && !traced[2].empty()) {
        const double ownOff = Median(tracedTurnaround[0]) + Median(tracedWrite[0]);
        for (int t = 0; t < 3; ++t) {
            const double own = Median(tracedTurnaround[t]) + Median(tracedWrite[t]);
            Out() << QStringLiteral(
                         "wire trace, %1: first block to last ACK %2 B/s (%3 % of untraced); "
                         "own time per block %4 us (ACK to next frame %5 + frame write %6), "
                         "+%7 us = %8 % of a block's 268 ms at 38400 baud\n")
                         .arg(kTracingNames[t])
                         .arg(Median(traced[t]), 0, 'f', 0)
                         .arg(100.0 * Median(traced[t]) / Median(traced[0]), 0, 'f', 1)
                         .arg(own, 0, 'f', 1)
                         .arg(Median(tracedTurnaround[t]), 0, 'f', 1)
                         .arg(Median(tracedWrite[t]), 0, 'f', 1)
                         .arg(own - ownOff, 0, 'f', 1)
                         .arg(100.0 * (own - ownOff) / 268000.0, 0, 'f', 4);
        }
        Out() << QStringLiteral("wire trace file: %1 bytes for %2 KiB = %3 bytes per KiB of image\n")
                     .arg(traceBytes)
                     .arg(kib)
                     .arg(double(traceBytes) / kib, 0, 'f', 1);
    }
    PeakMemory(kib);
    TraceCost();
    CrcCost();
    PacedCpu(RandomImage(qsizetype(pacedKib) * kBlock, 99));
    SilentReadCpu();
    Out().flush();
    return allGood ? 0 : 1;
}
