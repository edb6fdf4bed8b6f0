// The session on a fake port and a simulated clock: identification and the boot-loader
// operations against a scripted boot loader, then a receiver for the download.
#include <fcntl.h>
#include <sys/stat.h>

#include <QDir>
#include <QTemporaryDir>
#include <QTest>
#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "fake_port.h"
#include "images.h"
#include "recording_display.h"
#include "serial/serial_channel.h"
#include "session/bootloader.h"
#include "session/connection.h"
#include "session/results.h"
#include "session/strings.h"
#include "session/xmodem.h"
#include "xmodem_peer.h"

namespace vantrel::test {

struct Step {
    std::string expect;  // the exact write that triggers the step
    std::vector<std::pair<std::string, std::uint64_t>> replies;  // text, ms after the write
    bool startsTransfer = false;    // after the replies, an XModem-1K receiver takes over
    std::uint64_t failAfterMs = 0;  // when not 0, the port fails this long after the write
};

using Script = std::vector<Step>;

}  // namespace vantrel::test

Q_DECLARE_METATYPE(vantrel::test::Script)

using namespace vantrel;
using namespace vantrel::test;

namespace {

// Dialogue().On("2").Say("a", "b").Pause(4000).Say("c"): Say() sends lines with CR LF, Raw()
// bytes as they are; replies come kLineGapMs apart unless Pause() adds more.
class Dialogue {
public:
    static constexpr std::uint64_t kLineGapMs = 5;

    Dialogue& On(const std::string& write) {
        m_script.push_back(Step{write, {}, false, 0});
        m_at = 0;
        return *this;
    }
    template <typename... Lines>
    Dialogue& Say(const Lines&... lines) {
        (Raw(std::string(lines) + "\r\n"), ...);
        return *this;
    }
    Dialogue& Raw(const std::string& bytes) {
        m_at += kLineGapMs;
        m_script.back().replies.emplace_back(bytes, m_at);
        return *this;
    }
    Dialogue& Pause(std::uint64_t ms) {
        m_at += ms;
        return *this;
    }
    // `count` lines of `text`, `everyMs` apart: a boot loader that will not stop talking.
    Dialogue& Chatter(const std::string& text, int count, std::uint64_t everyMs) {
        for (int i = 0; i < count; ++i) {
            Pause(everyMs);
            Say(text);
        }
        return *this;
    }
    Dialogue& ThenReceive() {
        m_script.back().startsTransfer = true;
        return *this;
    }
    // The adapter is pulled `ms` after the write.
    Dialogue& FailIn(std::uint64_t ms) {
        m_script.back().failAfterMs = ms;
        return *this;
    }
    Dialogue& Then(const Script& more) {
        m_script.insert(m_script.end(), more.begin(), more.end());
        return *this;
    }
    operator Script() const { return m_script; }

private:
    Script m_script;
    std::uint64_t m_at = 0;
};

// The session's typed events as "begin:PHASE" and "end:PHASE:KIND:WORDS".
struct EventLog final : SessionEvents {
    std::vector<std::string> lines;
    void PhaseBegun(Phase phase) override { lines.push_back(std::string("begin:") + PhaseId(phase)); }
    void PhaseEnded(Phase phase, const Outcome& o) override {
        lines.push_back(std::string("end:") + PhaseId(phase) + ":" + OutcomeKindId(o.kind) + ":" +
                        o.words);
    }
    // Every phase that began has ended, before the next began.
    bool Balanced() const {
        for (std::size_t i = 0; i < lines.size(); ++i) {
            const bool begin = lines[i].rfind("begin:", 0) == 0;
            if (begin != (i % 2 == 0) ||
                (!begin && lines[i].rfind("end:" + lines[i - 1].substr(6) + ":", 0) != 0)) {
                return false;
            }
        }
        return lines.size() % 2 == 0;
    }
    QString Last() const { return lines.empty() ? QString() : QString::fromStdString(lines.back()); }
};

// The session on a simulated line, and a boot loader that answers each expected write with its
// step's replies (other writes go to `unexpected`); after a transfer step, a receiver takes over.
struct SessionRig {
    static constexpr const char* kDevice = "/dev/ttyFAKE0";

    SimClock clock;
    FakePort port{clock};
    SerialChannel channel{port, clock};
    RecordingDisplay display;
    EventLog events;
    Connection connection{channel, display, events};
    XModemSender sender{channel, display, events};
    BootLoader loader{connection, sender};
    XModemReceiver receiver;
    Script script;
    std::size_t next = 0;  // the step the boot loader waits for
    std::vector<std::string> unexpected;
    bool receiving = false;

    SessionRig() {
        port.SetResponder([this](FakePort&, const FakePort::Bytes& written) { OnWrite(written); });
    }
    void Load(const Script& steps) {
        script = steps;
        next = 0;
        unexpected.clear();
    }

    static std::string SignatureOf(int model) {
        return model == 0 ? "\t\t\t\r" : model == 1 ? "\n\n\n\r" : "\n\n\r\r";
    }

    // Opens the port and identifies an instrument of `model` the way a reset does, then
    // forgets what that wrote and showed. False when it did not come On-Line.
    bool OnLine(int model) {
        if (!connection.OpenPort(kDevice)) {
            return false;
        }
        Load(Dialogue().On("\r").Say(">"));
        port.Arrive(SignatureOf(model));
        connection.IdentifyInstrument();
        if (!connection.OnLine() || connection.InstrumentModel() != model) {
            return false;
        }
        // The LF after the prompt's CR would start the next read; nobody wants it.
        channel.ClearInput();
        port.ClearWrites();
        display.ClearLog();
        events.lines.clear();
        return true;
    }

private:
    void OnWrite(const FakePort::Bytes& written) {
        if (receiving) {
            receiver.Answer(port, written);
            return;
        }
        const std::string text(written.begin(), written.end());
        if (next >= script.size() || script[next].expect != text) {
            unexpected.push_back(text);
            return;
        }
        const Step& step = script[next++];
        std::uint64_t last = 0;
        for (const auto& [bytes, afterMs] : step.replies) {
            port.Arrive(bytes, afterMs);
            last = afterMs;
        }
        if (step.failAfterMs != 0) {
            port.FailIn(step.failAfterMs);
        }
        if (step.startsTransfer) {
            receiving = true;
            port.Arrive(FakePort::Bytes{'C'}, last + 100);  // the receiver's start signal
        }
    }
};

std::string S(Str id) {
    return LoadString(id);
}

std::string BlockLine(int block) {
    return FormatString(Str::ErasingBlockPassed, block);
}

// What differs between the three boot loaders, as the instruments behave (written down from
// them, not taken from the program's own table).
struct LoaderFacts {
    bool bank2;        // the protection check also reports Bank2
    int firstBlock;    // number of the first erase block line
    int blocks;        // erase block lines
    const char* base;  // flash base address
};
constexpr LoaderFacts kLoaders[3] = {
    {true, 1, 15, "00010000"}, {false, 1, 7, "00010000"}, {false, 0, 7, "00000000"}};

// Pieces of a well-behaved boot loader's answers, per model, to build scripts from.

Script ProtectionOk(int model) {
    Dialogue d;
    d.On("2").Say("2", S(Str::ProtectionVerification), S(Str::Bank1NotProtected));
    if (kLoaders[model].bank2) {
        d.Say(S(Str::Bank2NotProtected));
    }
    return d.Say(">");
}

Script BlankAnswer(const std::string& answer) {
    return Dialogue().On("1").Say("1", S(Str::BlankChecking)).Pause(1500).Say(answer, ">");
}

// The erase after "3" and "Y": the answer's echo, the model's block lines, a closing line.
Script EraseBlocks(Dialogue d, int model, const std::string& closing) {
    const LoaderFacts& t = kLoaders[model];
    d.On("Y").Say("Y");
    for (int b = t.firstBlock; b < t.firstBlock + t.blocks; ++b) {
        d.Pause(300).Say(BlockLine(b));
    }
    if (!closing.empty()) {
        d.Say(closing);
    }
    return d;
}

Script EraseOk(int model) {
    return EraseBlocks(Dialogue().On("3").Say("3", S(Str::ReallyErase)), model, "Erase Completed");
}

// "5" up to "Start 1k XModem download...", where a receiver takes over.
Script DownloadToStart(int model) {
    const char* base = kLoaders[model].base;
    return Dialogue()
        .On("5")
        .Say("5", S(Str::EnterBaseAddress))
        .On(base)
        .Say(base, S(Str::ProgramFlash))
        .On("Y")
        .Say("Y", S(Str::StartXModem))
        .ThenReceive();
}

QString Q(Str id) {
    return QString::fromStdString(LoadString(id));
}

int Run(SessionRig& rig, const QString& op) {
    BootLoader& l = rig.loader;
    return op == "blank"      ? l.BlankCheck()
           : op == "verify"   ? l.VerifyProtection()
           : op == "erase"    ? l.EraseUserArea()
           : op == "download" ? l.DownloadProgram()
           : op == "restart"  ? l.RestartInstrument()
                              : l.AutoReprogram();
}

// What the status line shows before an operation, to see which operations leave it alone.
const std::string kBefore = "Before";

// Brings a rig of `model` On-Line with `script` loaded, a known status line and no bar.
void Prepare(SessionRig& rig, int model, const Script& script) {
    QVERIFY(rig.OnLine(model));
    rig.display.SetStatus(kBefore);
    rig.display.SetProgressRange(0);
    rig.display.ClearLog();
    rig.Load(script);
}

void OutcomeColumns() {
    QTest::addColumn<int>("model");
    QTest::addColumn<Script>("script");
    QTest::addColumn<int>("result");
    QTest::addColumn<QString>("status");
    QTest::addColumn<bool>("onLine");
    QTest::addColumn<QString>("op");
}

// Runs the row's operation on its script and checks the result, status and state, and that
// the program wrote what the boot loader waited for, in order, and nothing else.
void RunRow(SessionRig& rig, int* tookMs = nullptr) {
    QFETCH(int, model);
    QFETCH(Script, script);
    QFETCH(QString, op);
    Prepare(rig, model, script);
    const std::uint64_t start = rig.clock.NowMs();
    QTEST(Run(rig, op), "result");
    // What the events tell agrees with the result: the last phase ended well exactly when the
    // operation succeeded.
    QFETCH(int, result);
    QVERIFY2(rig.events.Balanced(), qPrintable(rig.events.Last()));
    const bool succeeded = op == "download" ? result >= 0 : result == 0;
    QVERIFY2(rig.events.Last().contains(":done:") == succeeded, qPrintable(rig.events.Last()));
    if (tookMs != nullptr) {
        *tookMs = static_cast<int>(rig.clock.NowMs() - start);
    }
    QTEST(QString::fromStdString(rig.display.StatusText()), "status");
    QTEST(rig.connection.OnLine(), "onLine");
    QVERIFY(rig.unexpected.empty());
    QCOMPARE(rig.next, rig.script.size());
}

const QString kLost = Q(Str::ConnectionLost);
const QString kPortGone = "Connection Lost - Input/output error";

// Open descriptors of this process: a file left open by the download shows up here.
uint OpenDescriptors() {
    return QDir("/proc/self/fd", QString(), QDir::NoSort, QDir::AllEntries | QDir::System).count();
}

}  // namespace

class SessionTest : public QObject {
    Q_OBJECT
    QTemporaryDir m_dir;

private slots:
    // The first four characters from the notification on decide, compared as they stand.
    void signature_data() {
        QTest::addColumn<QByteArray>("chars");
        QTest::addColumn<int>("gapMs");  // between the characters' arrivals
        QTest::addColumn<int>("model");  // -1: not recognised

        QTest::newRow("model 0") << QByteArray("\t\t\t\r") << 0 << 0;
        QTest::newRow("model 2") << QByteArray("\n\n\r\r") << 0 << 2;
        QTest::newRow("stray LF before model 2 reads as model 1")
            << QByteArray("\n\n\n\r\r") << 0 << 1;
        // Taken and dropped, not left to spoil the prompt line.
        QTest::newRow("fifth character is dropped") << QByteArray("\t\t\t\rX") << 5 << 0;
        QTest::newRow("stray TAB before model 0") << QByteArray("\t\t\t\t\r") << 0 << -1;
        QTest::newRow("characters 45 ms apart") << QByteArray("\t\t\t\r") << 45 << -1;
        QTest::newRow("NUL first") << QByteArray("\0\t\t\t\r", 5) << 0 << -1;
    }
    void signature() {
        QFETCH(QByteArray, chars);
        QFETCH(int, gapMs);
        QFETCH(int, model);
        SessionRig rig;
        QVERIFY(rig.connection.OpenPort(SessionRig::kDevice));
        rig.port.ClearWrites();
        rig.display.ClearLog();
        rig.Load(Dialogue().On("\r").Say(">"));
        for (int i = 0; i < chars.size(); ++i) {
            rig.port.Arrive(FakePort::Bytes{std::uint8_t(chars[i])}, std::uint64_t(i * gapMs));
        }

        rig.connection.IdentifyInstrument();
        QCOMPARE(rig.connection.InstrumentModel(), model);
        QCOMPARE(rig.connection.OnLine(), model >= 0);
        QCOMPARE(rig.port.ReceiveNotificationArmed(), model < 0);
        QCOMPARE(rig.channel.TimeoutFactor(), model == 2 ? 4u : 1u);
        QVERIFY(rig.unexpected.empty());
        // What is no signature gets no carriage return and shows nothing.
        QCOMPARE(rig.port.Writes().empty(), model < 0);
        QCOMPARE(rig.display.Log().empty(), model < 0);
    }

    // The wait for ">" after the carriage return: exact match only, each read with its own
    // time-out, and an overall bound against a peer that keeps talking.
    void promptWait_data() {
        QTest::addColumn<int>("model");
        QTest::addColumn<Script>("answer");
        QTest::addColumn<QString>("carried");  // a line read before the identification
        QTest::addColumn<QString>("status");
        QTest::addColumn<int>("minMs");  // simulated time the identification took
        QTest::addColumn<int>("maxMs");

        const QString onLine = Q(Str::InstrumentOnLine);
        QTest::newRow("menu before the prompt")
            << 1 << Script(Dialogue().On("\r").Say("Boot loader menu").Pause(1500).Say(">")) << ""
            << onLine << 1500 << 1800;
        QTest::newRow("blank before the prompt")
            << 0 << Script(Dialogue().On("\r").Say(" >")) << "" << kLost << 2000 << 2200;
        QTest::newRow("silence, model 2")
            << 2 << Script(Dialogue().On("\r")) << "" << kLost << 8000 << 8200;
        // Four 20 ms gaps, no 8 s read: the ">" already read counts.
        QTest::newRow("prompt read before, model 2")
            << 2 << Script(Dialogue().On("\r")) << ">" << onLine << 0 << 200;
        QTest::newRow("talkative peer, model 2")
            << 2 << Script(Dialogue().On("\r").Chatter("Boot", 400, 1500)) << "" << kLost << 80000
            << 88200;
        // A pulled adapter cannot be helped by resetting the instrument.
        QTest::newRow("port fails during the wait")
            << 0 << Script(Dialogue().On("\r").FailIn(500).Pause(1000).Say(">")) << "" << kPortGone
            << 500 << 700;
    }
    void promptWait() {
        QFETCH(int, model);
        QFETCH(Script, answer);
        QFETCH(QString, carried);
        QFETCH(int, minMs);
        QFETCH(int, maxMs);
        SessionRig rig;
        QVERIFY(rig.connection.OpenPort(SessionRig::kDevice));
        if (!carried.isEmpty()) {
            rig.port.Arrive(carried.toStdString() + "\r");
            QCOMPARE(rig.channel.ReadLine(2000), std::uint8_t{0});
        }
        rig.display.ClearLog();
        rig.Load(answer);
        rig.port.Arrive(SessionRig::SignatureOf(model));
        const std::uint64_t start = rig.clock.NowMs();
        rig.connection.IdentifyInstrument();
        const auto took = static_cast<int>(rig.clock.NowMs() - start);
        QVERIFY2(took >= minMs && took <= maxMs, qPrintable(QString::number(took)));
        QTEST(QString::fromStdString(rig.display.StatusText()), "status");
        QCOMPARE(rig.connection.OnLine(), rig.display.StatusText() == S(Str::InstrumentOnLine));
        // A failed prompt wait keeps the model just recognised.
        QCOMPARE(rig.connection.InstrumentModel(), model);
    }

    // A signature while On-Line is not read; a later reset of another variant changes the
    // model and its time-out factor back.
    void identifyAgain() {
        SessionRig rig;
        QVERIFY(rig.OnLine(2));
        rig.port.Arrive(SessionRig::SignatureOf(1));
        rig.connection.IdentifyInstrument();
        QCOMPARE(rig.port.PendingCount(), std::size_t{4});
        QCOMPARE(rig.connection.InstrumentModel(), 2);
        rig.connection.GoConnectionLost();
        rig.channel.ClearInput();
        rig.Load(Dialogue().On("\r").Say(">"));
        rig.port.Arrive(SessionRig::SignatureOf(1));
        rig.connection.IdentifyInstrument();
        QVERIFY(rig.connection.OnLine());
        QCOMPARE(rig.connection.InstrumentModel(), 1);
        QCOMPARE(rig.channel.TimeoutFactor(), 1u);
    }

    // Opening a port always ends the session first; what cannot be opened is said plainly.
    // A port that has gone (adapter pulled) cannot be helped by resetting the instrument.
    void portState_data() {
        QTest::addColumn<QString>("when");
        QTest::addColumn<QString>("status");

        QTest::newRow("opens") << "open" << kLost;
        QTest::newRow("no port selected while on-line") << "no port"
                                                        << "No serial port selected";
        QTest::newRow("permission denied") << "refused"
                                           << "Cannot open /dev/ttyS0: Permission denied";
        QTest::newRow("reopened after the failure") << "reopen" << kLost;
    }
    void portState() {
        QFETCH(QString, when);
        SessionRig rig;
        if (when == "reopen") {
            QVERIFY(rig.OnLine(1));
            rig.port.FailIn(0);
            rig.connection.GoConnectionLost();
            QVERIFY(rig.connection.OpenPort(SessionRig::kDevice));
        } else {
            if (when == "no port") {
                QVERIFY(rig.OnLine(0));
            } else if (when == "refused") {
                rig.port.Refuse("/dev/ttyS0", "Permission denied");
            }
            const bool opens = when == "open";
            QCOMPARE(rig.connection.OpenPort(when == "no port" ? "" : "/dev/ttyS0"), opens);
            QCOMPARE(rig.port.IsOpen(), opens);
        }
        QTEST(QString::fromStdString(rig.display.StatusText()), "status");
        QVERIFY(!rig.connection.OnLine());
        QVERIFY(!rig.display.RunEnabled());
    }

    // The menu operations and the bar: the outcome, and the bar's steps, position and range.
    void menu_data() {
        OutcomeColumns();
        QTest::addColumn<int>("steps");  // the bar is at 0 after an answer
        QTest::addColumn<int>("pos");
        QTest::addColumn<int>("high");

        // Menu "1": any answer but "not blank" means blank; the bar advances before each read.
        const std::string blankSays = "User area is blank";
        QTest::newRow("blank, model 0")
            << 0 << BlankAnswer(blankSays) << 0 << QString::fromStdString(blankSays) << true
            << "blank" << 1 << 0 << 3;
        QTest::newRow("not blank, model 1") << 1 << BlankAnswer(S(Str::NotBlank)) << 1
                                            << Q(Str::NotBlank) << true << "blank" << 1 << 0 << 3;
        QTest::newRow("answer during the fifth read, model 2")
            << 2
            << Script(
                   Dialogue().On("1").Say(S(Str::BlankChecking)).Pause(39000).Say(S(Str::NotBlank)))
            << 1 << Q(Str::NotBlank) << true << "blank" << 5 << 0 << 5;
        QTest::newRow("answer too late, model 0")
            << 0 << Script(Dialogue().On("1").Say(S(Str::BlankChecking)).Pause(6500).Say(blankSays))
            << 1 << Q(Str::BlankChecking) << true << "blank" << 3 << 3 << 3;
        QTest::newRow("blank check, no echo")
            << 0 << Script(Dialogue().On("1")) << 1 << kLost << false << "blank" << 0 << 0 << 3;

        // Menu "2": the Bank1 line, and on model 0 the Bank2 line right after it.
        const auto echo = [] { return Dialogue().On("2").Say(S(Str::ProtectionVerification)); };
        const QString ok = Q(Str::SectorsNotProtected);
        QTest::newRow("both banks, model 0")
            << 0 << Script(echo().Say(S(Str::Bank1NotProtected), S(Str::Bank2NotProtected))) << 0
            << ok << true << "verify" << 0 << 0 << 0;
        QTest::newRow("bank 1 alone, model 0")
            << 0 << Script(echo().Say(S(Str::Bank1NotProtected))) << 1
            << Q(Str::ProtectionVerification) << true << "verify" << 0 << 0 << 0;
        QTest::newRow("protected, model 1")
            << 1 << Script(echo().Say("User Area Sectors Bank1 protected")) << 1
            << "User Area Sectors Bank1 protected" << true << "verify" << 0 << 0 << 0;
        QTest::newRow("lines before the echo are skipped")
            << 1
            << Script(Dialogue().On("2").Say(">2", "Sector Protection Verification",
                                             S(Str::ProtectionVerification),
                                             S(Str::Bank1NotProtected)))
            << 0 << ok << true << "verify" << 0 << 0 << 0;
        QTest::newRow("protection check, no echo")
            << 1 << Script(Dialogue().On("2")) << 1 << kLost << false << "verify" << 0 << 0 << 0;

        // Menu "3", "Y": one line dropped, then the model's block lines in rising order.
        const auto question = [] { return Dialogue().On("3").Say(S(Str::ReallyErase)); };
        for (int model = 0; model < 3; ++model) {
            const int blocks = kLoaders[model].blocks;
            QTest::addRow("every block, model %d", model)
                << model << EraseOk(model) << 0 << "Erase Completed" << true << "erase" << blocks
                << 0 << blocks;
        }
        QTest::newRow("silence after the last block, model 1")
            << 1 << EraseBlocks(question(), 1, "") << 0 << "" << true << "erase" << 7 << 0 << 7;
        QTest::newRow("failure line in the blocks, model 2")
            << 2
            << Script(question().On("Y").Say("Y", BlockLine(0), BlockLine(1),
                                             "Erasing block 02... FAILED"))
            << 1 << "Erasing block 02... FAILED" << true << "erase" << 2 << 2 << 7;
        QTest::newRow("silence after block 04, model 1")
            << 1
            << Script(question().On("Y").Say("Y", BlockLine(1), BlockLine(2), BlockLine(3),
                                             BlockLine(4)))
            << 1 << kLost << false << "erase" << 4 << 4 << 7;
        QTest::newRow("erase, no question") << 0 << Script(Dialogue().On("3").Say("3")) << 1
                                            << kLost << false << "erase" << 0 << 0 << 0;
        QTest::newRow("question without line end, model 0")
            << 0 << EraseBlocks(Dialogue().On("3").Raw(S(Str::ReallyErase)), 0, "Erase Completed")
            << 0 << "Erase Completed" << true << "erase" << 15 << 0 << 15;

        // Menu "5" up to the transfer: fault lines only before the base address, the model's
        // address, and a lost connection in any of the three waits.
        QTest::newRow("fault: protected blocks")
            << 0 << Script(Dialogue().On("5").Say("5", S(Str::FaultProtectedBlocks)))
            << int{result::kFaultLine} << Q(Str::FaultProtectedBlocks) << true << "download" << 0
            << 0 << 0;
        QTest::newRow("fault: not blank, model 2")
            << 2 << Script(Dialogue().On("5").Say(S(Str::FaultNotBlank), ">"))
            << int{result::kFaultLine} << Q(Str::FaultNotBlank) << true << "download" << 0 << 0
            << 0;
        QTest::newRow("fault line after the base address is skipped")
            << 0
            << Script(Dialogue()
                          .On("5")
                          .Say(S(Str::EnterBaseAddress))
                          .On("00010000")
                          .Say(S(Str::FaultProtectedBlocks), S(Str::FaultNotBlank),
                               S(Str::ProgramFlash))
                          .On("Y"))
            << int{result::kConnectionLost} << kLost << false << "download" << 0 << 0 << 0;
        QTest::newRow("download, silent after the command")
            << 1 << Script(Dialogue().On("5")) << int{result::kConnectionLost} << kLost << false
            << "download" << 0 << 0 << 0;
    }
    // A failure's phase ends in the words that say why: the boot loader's own line, or the
    // program's for a silence or a port that failed.
    void failureWords_data() {
        QTest::addColumn<int>("model");
        QTest::addColumn<Script>("script");
        QTest::addColumn<QString>("op");
        QTest::addColumn<QString>("last");
        const auto echo = [] { return Dialogue().On("2").Say(S(Str::ProtectionVerification)); };
        QTest::newRow("protected")
            << 1 << Script(echo().Say("User Area Sectors Bank1 protected")) << "verify"
            << "end:protection-check:answered:User Area Sectors Bank1 protected";
        QTest::newRow("a block failed")
            << 2
            << Script(Dialogue().On("3").Say(S(Str::ReallyErase)).On("Y").Say("Y",
                          BlockLine(0), "Erasing block 01... FAILED"))
            << "erase" << "end:erase:answered:Erasing block 01... FAILED";
        QTest::newRow("no echo") << 1 << Script(Dialogue().On("2")) << "verify"
                                 << "end:protection-check:silent:" + kLost;
        QTest::newRow("port fails in the download question")
            << 1 << Script(Dialogue().On("5").FailIn(2)) << "download"
            << "end:download-menu:port-failed:Input/output error";
        QTest::newRow("user-area fault")
            << 0 << Script(Dialogue().On("5").Say(S(Str::FaultNotBlank))) << "download"
            << "end:download-menu:answered:" + Q(Str::FaultNotBlank);
    }
    void failureWords() {
        QFETCH(int, model);
        QFETCH(Script, script);
        QFETCH(QString, op);
        SessionRig rig;
        Prepare(rig, model, script);
        Run(rig, op);
        QTEST(rig.events.Last(), "last");
    }

    void menu() {
        SessionRig rig;
        RunRow(rig);
        QTEST(rig.display.ProgressSteps(), "steps");
        QTEST(rig.display.ProgressPos(), "pos");
        QTEST(rig.display.ProgressHigh(), "high");
    }

    // How the waits end. Menu "6", "Y": silence is the success; only the refusal line fails. A
    // boot loader that keeps talking without ever sending the awaited line does not hold the
    // program: the wait ends as a lost connection after its bound. A port that fails (adapter
    // pulled) is never taken for the instrument's silence: Connection-Lost, and why.
    void timed_data() {
        OutcomeColumns();
        QTest::addColumn<int>("minMs");
        QTest::addColumn<int>("maxMs");

        const auto question = [] { return Dialogue().On("6").Say(S(Str::RunUserProgram)); };
        const QString before = QString::fromStdString(kBefore);
        QTest::newRow("lines, then silence")
            << 1 << Script(question().On("Y").Say("Y", "Starting...").Pause(1500).Say("v2.3")) << 0
            << before << true << "restart" << 3500 << 3700;
        QTest::newRow("refusal after a pause, model 2")
            << 2 << Script(question().On("Y").Pause(7000).Say(S(Str::InvalidResetAddress))) << 1
            << Q(Str::InvalidResetAddress) << true << "restart" << 7000 << 7100;
        QTest::newRow("no question")
            << 0 << Script(Dialogue().On("6")) << 1 << kLost << false << "restart" << 2000 << 2100;
        QTest::newRow("user program that keeps talking, model 2")
            << 2 << Script(question().On("Y").Chatter("T=21.4 C", 1000, 1500)) << 0 << before
            << true << "restart" << 40000 << 41600;
        const Dialogue base = Dialogue().On("5").Say(S(Str::EnterBaseAddress)).On("00000000");
        QTest::newRow("flash question, model 2")
            << 2 << Script(Dialogue(base).Chatter(S(Str::FaultNotBlank), 1000, 1000)) << -11
            << "Connection Lost - No \"Program Flash (Y/N)?\" from the instrument - Reset the "
               "Instrument"
            << false << "download" << 120000 << 121100;
        QTest::newRow("port fails in the blank check, model 2")
            << 2 << Script(Dialogue().On("1").FailIn(500).Say("1", S(Str::BlankChecking))) << 1
            << kPortGone << false << "blank" << 500 << 500;
        QTest::newRow("port fails in the erase blocks")
            << 0 << EraseBlocks(Dialogue().On("3").FailIn(1000).Say(S(Str::ReallyErase)), 0, "")
            << 1 << kPortGone << false << "erase" << 1000 << 1000;
        QTest::newRow("port fails in the download question")
            << 0 << Script(Dialogue().On("5").FailIn(2).Say("5")) << -11 << kPortGone << false
            << "download" << 2 << 2;
        QTest::newRow("port fails in the restart silence, model 1")
            << 1 << Script(question().FailIn(500).On("Y").Say("Y")) << 1 << kPortGone << false
            << "restart" << 500 << 500;
    }
    void timed() {
        QFETCH(int, minMs);
        QFETCH(int, maxMs);
        SessionRig rig;
        int took = -1;
        RunRow(rig, &took);
        QVERIFY2(took >= minMs && took <= maxMs, qPrintable(QString::number(took)));
        QCOMPARE(rig.display.RunEnabled(), rig.connection.OnLine());
    }

    // The line left by the previous read counts before the first read of an operation: the
    // base-address request is not sent again after "5".
    void carriedLine() {
        SessionRig rig;
        QVERIFY(rig.OnLine(1));
        rig.port.Arrive(S(Str::EnterBaseAddress) + "\r");
        QCOMPARE(rig.channel.ReadLine(2000), std::uint8_t{0});
        rig.Load(Dialogue().On("5").On("00010000").Say(S(Str::ProgramFlash)).On("Y"));
        QCOMPARE(rig.loader.DownloadProgram(), result::kConnectionLost);
        QCOMPARE(rig.next, rig.script.size());
    }

    // Auto: protection, blank check, the erase unless blank, the download; each only when
    // the one before allows it.
    void autoReprogram_data() {
        OutcomeColumns();
        QTest::addColumn<int>("lostCount");  // times Connection-Lost was shown

        const QString bank2 = "User Area Sectors Bank2 protected";
        QTest::newRow("protected: nothing else runs")
            << 0
            << Script(Dialogue().On("2").Say(S(Str::ProtectionVerification),
                                             S(Str::Bank1NotProtected), bank2.toStdString()))
            << 1 << bank2 << true << "auto" << 0;
        QTest::newRow("no blank-check answer: erase, then download")
            << 0
            << Script(Dialogue()
                          .Then(ProtectionOk(0))
                          .Then(Dialogue().On("1").Say(S(Str::BlankChecking)))
                          .Then(EraseOk(0))
                          .On("5")
                          .Say(S(Str::FaultNotBlank)))
            << 1 << Q(Str::FaultNotBlank) << true << "auto" << 0;
        QTest::newRow("connection lost in the blank check: erase still sent")
            << 1 << Script(Dialogue().Then(ProtectionOk(1)).On("1").On("3")) << 1 << kLost << false
            << "auto" << 2;
        const Script eraseFails =
            Dialogue().On("3").Say(S(Str::ReallyErase)).On("Y").Say("Y", BlockLine(2));
        QTest::newRow("erase fails: no download")
            << 1
            << Script(Dialogue()
                          .Then(ProtectionOk(1))
                          .Then(BlankAnswer(S(Str::NotBlank)))
                          .Then(eraseFails))
            << 1 << QString::fromStdString(BlockLine(2)) << true << "auto" << 0;
    }
    void autoReprogram() {
        SessionRig rig;
        RunRow(rig);
        const auto shown = rig.display.LogOf("status:");
        QTEST(int(std::count(shown.begin(), shown.end(), kLost.toStdString())), "lostCount");
    }

    // The target file is opened only when the boot loader waits for the transfer, and closed
    // on every way out. When it cannot be sent, the waiting receiver is cancelled and the
    // operator told why. Sent, the receiver holds the file's bytes and the padding and the
    // result is the acknowledged count. A file cut short while it is sent is no download.
    void download_data() {
        QTest::addColumn<int>("model");
        QTest::addColumn<QString>("kind");  // the size of a file to write, or what it is
        QTest::addColumn<int>("outcome");
        QTest::addColumn<QString>("status");  // %1: the target's path

        const int cannot = result::kCannotOpenTarget;
        QTest::newRow("removed since chosen")
            << 1 << "missing" << cannot << "Cannot open %1: No such file or directory";
        QTest::newRow("a named pipe: its open would block")
            << 1 << "fifo" << cannot << "Cannot open %1: not a regular file";
        QTest::newRow("largest size plus one")
            << 1 << "2GiB-1023" << int{result::kImageTooLarge}
            << "Target file too large: %1 (2147482625 bytes, at most 2147482624 can be sent)";
        QTest::newRow("model 0, 3000 bytes") << 0 << "3000" << 3072 << "Downloading %1 ....";
        QTest::newRow("model 2, two whole blocks") << 2 << "2048" << 2048 << "Downloading %1 ....";
        QTest::newRow("model 0, cut to 100 bytes while sent")
            << 0 << "20480" << int{result::kImageReadError}
            << "The target file ended before its length: it was changed while it was being sent";
        // The file read at the start is the only one sent: rewritten (same size) before the
        // download is due it is refused; rewritten while sent, the receiver is cancelled
        // before the end, never told the transfer is complete.
        QTest::newRow("rewritten since read")
            << 1 << "3000 rewritten before" << cannot << "Changed since read";
        QTest::newRow("rewritten while sent")
            << 1 << "3000 rewritten while sent" << int{result::kImageReadError}
            << "Changed since read";
    }
    void download() {
        QFETCH(int, model);
        QFETCH(QString, kind);
        QFETCH(int, outcome);
        QFETCH(QString, status);
        const QString path = m_dir.filePath("target-" + kind);
        const int size = kind.section(' ', 0, 0).toInt();
        const QByteArray data = RandomImage(size);
        if (kind == "fifo") {
            QCOMPARE(::mkfifo(path.toLocal8Bit().constData(), 0600), 0);
        } else if (kind == "2GiB-1023") {
            QFile file(path);  // sparse: costs no disk space and is never read
            QVERIFY(file.open(QIODevice::WriteOnly) && file.resize((qint64{1} << 31) - 1023));
        } else if (size > 0) {
            QVERIFY(WriteFile(path, data));
        }
        SessionRig rig;
        QVERIFY(rig.OnLine(model));
        rig.display.SetTargetFile(path.toStdString());
        rig.Load(DownloadToStart(model));
        // Another image of the same size, written over the target (as `cp other.upg` does).
        const auto rewrite = [&] {
            QFile file(path);
            QVERIFY(file.open(QIODevice::ReadWrite) && file.write(RandomImage(3000, 7)) == 3000);
        };
        if (kind.contains("rewritten")) {
            // Written an hour ago, as an image on a line is: the rewrite shows in its time.
            const timespec anHourAgo[2] = {{::time(nullptr) - 3600, 0}, {::time(nullptr) - 3600, 0}};
            QCOMPARE(::utimensat(AT_FDCWD, path.toLocal8Bit().constData(), anHourAgo, 0), 0);
            std::string why;
            const auto read = IdentityOfPath(path.toStdString(), why);
            QVERIFY(read);
            rig.loader.ExpectImage(*read, "Changed since read");
        }
        if (kind.contains("before")) {
            rewrite();
        } else if (kind.contains("while")) {
            rig.display.OnStep([&](int step) {
                if (step == 2) {
                    rewrite();
                }
            });
        } else if (outcome == result::kImageReadError) {
            rig.display.OnStep([&](int) { std::filesystem::resize_file(path.toStdString(), 100); });
        }
        const uint descriptors = OpenDescriptors();

        QCOMPARE(rig.loader.DownloadProgram(), outcome);
        QCOMPARE(OpenDescriptors(), descriptors);
        QVERIFY(rig.connection.OnLine());
        QCOMPARE(QString::fromStdString(rig.display.StatusText()), status.replace("%1", path));
        if (outcome >= 0) {
            QCOMPARE(rig.receiver.Received(), Padded(data));
            QVERIFY(rig.receiver.Completed());
            QVERIFY(rig.unexpected.empty());
            QCOMPARE(QString::fromStdString(rig.display.Title()), "Vantrel");
        } else if (outcome == result::kImageReadError) {
            QVERIFY(!rig.receiver.Completed());
        } else {
            QVERIFY(rig.port.WrittenText().ends_with("Y\x18\x18\x18"));
            // The receiver's start signal was drained, so the next dialogue starts clean.
            QCOMPARE(rig.port.Waiting(), std::size_t{0});
        }
    }
};

QTEST_GUILESS_MAIN(SessionTest)
#include "test_session.moc"
