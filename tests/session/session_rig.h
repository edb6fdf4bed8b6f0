#pragma once

#include <QtTest>
#include <cstdint>
#include <string>
#include <vector>

#include "fake_port.h"
#include "recording_display.h"
#include "serial/serial_channel.h"
#include "session/bootloader.h"
#include "session/connection.h"
#include "session/strings.h"
#include "session/xmodem.h"
#include "xmodem_peer.h"

namespace vantrel::test {

struct Step {
    std::string expect;  // the exact write that triggers the step
    std::vector<std::pair<std::string, std::uint64_t>> replies;  // text, ms after the write
    bool startsTransfer = false;  // after the replies, an XModem-1K receiver takes over
};

using Script = std::vector<Step>;

}  // namespace vantrel::test

Q_DECLARE_METATYPE(vantrel::test::Script)

namespace vantrel::test {

// Dialogue().On("2").Say("a", "b").Pause(4000).Say("c"): Say() sends lines with CR LF, Raw()
// bytes as they are; replies come kLineGapMs apart unless Pause() adds more.
class Dialogue {
public:
    static constexpr std::uint64_t kLineGapMs = 5;

    Dialogue& On(const std::string& write) {
        m_script.push_back(Step{write, {}, false});
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
    Dialogue& Then(const Script& more) {
        m_script.insert(m_script.end(), more.begin(), more.end());
        return *this;
    }
    operator Script() const { return m_script; }

private:
    Script m_script;
    std::uint64_t m_at = 0;
};

// The session on a simulated line: the channel, the connection, the sender and the operations,
// a display that records everything, and a boot loader behind a FakePort that answers each
// expected write with its step's replies (other writes go to `unexpected`); after a transfer
// step, an XModem-1K receiver takes over.
struct SessionRig {
    // When the receiver asks for the transfer after the boot loader's start line.
    static constexpr std::uint64_t kStartSignalDelayMs = 100;
    static constexpr const char* kDevice = "/dev/ttyFAKE0";

    SimClock clock;
    FakePort port{clock};
    SerialChannel channel{port, clock};
    RecordingDisplay display;
    Connection connection{channel, display};
    XModemSender sender{channel, display};
    BootLoader loader{connection, sender};
    XModemReceiver receiver;
    Script script;
    std::size_t next = 0;  // the step the boot loader waits for
    std::vector<std::string> unexpected;
    bool receiving = false;

    SessionRig() {
        port.SetResponder([this](FakePort& p, const FakePort::Bytes& written) {
            if (receiving) {
                receiver.Answer(p, written);
            } else {
                OnWrite(written);
            }
        });
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
        return true;
    }

    // What the program wrote, one entry per write, as text.
    QStringList Writes() const {
        QStringList out;
        for (const auto& w : port.Writes()) {
            out << QString::fromLatin1(reinterpret_cast<const char*>(w.data()),
                                       qsizetype(w.size()));
        }
        return out;
    }

private:
    void OnWrite(const FakePort::Bytes& written) {
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
        if (step.startsTransfer) {
            receiving = true;
            port.Arrive(FakePort::Bytes{'C'}, last + kStartSignalDelayMs);
        }
    }
};

inline std::string S(Str id) {
    return LoadString(id);
}

inline std::string BlockLine(int block) {
    return FormatString(Str::ErasingBlockPassed, block);
}

// What differs between the three boot loaders, as the instruments behave (written down from
// them, not taken from the program's own table).
struct LoaderFacts {
    bool bank2;        // the protection check also reports Bank2
    int firstBlock;    // number of the first erase block line
    int blocks;        // erase block lines
    const char* base;  // flash base address
    int blankReads;    // reads the blank check allows (progress 0..N)
};
inline constexpr LoaderFacts kLoaders[3] = {
    {true, 1, 15, "00010000", 3}, {false, 1, 7, "00010000", 3}, {false, 0, 7, "00000000", 5}};

// Pieces of a well-behaved boot loader's answers, per model, to build scripts from.

inline Script ProtectionOk(int model) {
    Dialogue d;
    d.On("2").Say("2", S(Str::ProtectionVerification), S(Str::Bank1NotProtected));
    if (kLoaders[model].bank2) {
        d.Say(S(Str::Bank2NotProtected));
    }
    return d.Say(">");
}

inline Script BlankAnswer(const std::string& answer) {
    return Dialogue().On("1").Say("1", S(Str::BlankChecking)).Pause(1500).Say(answer, ">");
}

// The erase after "3" and "Y": the answer's echo, the model's block lines, a closing line.
inline Script EraseBlocks(Dialogue d, int model, const std::string& closing) {
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

inline Script EraseOk(int model) {
    return EraseBlocks(Dialogue().On("3").Say("3", S(Str::ReallyErase)), model, "Erase Completed");
}

// "5" up to "Start 1k XModem download...", where a receiver takes over.
inline Script DownloadToStart(int model) {
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

inline QString Q(Str id) {
    return QString::fromStdString(LoadString(id));
}

// Runs the operation named `op` and returns its result as an int.
inline int Run(SessionRig& rig, const QString& op) {
    BootLoader& l = rig.loader;
    return op == "blank"      ? l.BlankCheck()
           : op == "verify"   ? l.VerifyProtection()
           : op == "erase"    ? l.EraseUserArea()
           : op == "download" ? l.DownloadProgram()
           : op == "restart"  ? l.RestartInstrument()
                              : l.AutoReprogram();
}

// What the status line shows before an operation, to see which operations leave it alone.
inline const std::string kBefore = "Before";

// Brings a rig of `model` On-Line with `script` loaded and a known status line.
inline void Prepare(SessionRig& rig, int model, const Script& script) {
    QVERIFY(rig.OnLine(model));
    rig.display.SetStatus(kBefore);
    rig.display.ClearLog();
    rig.Load(script);
}

inline void OutcomeColumns() {
    QTest::addColumn<int>("model");
    QTest::addColumn<Script>("script");
    QTest::addColumn<int>("result");
    QTest::addColumn<QString>("status");
    QTest::addColumn<bool>("onLine");
}

// Runs `op` on the row's script and checks the row's result, status and state.
inline void RunRow(SessionRig& rig, const QString& op, int* tookMs = nullptr) {
    QFETCH(int, model);
    QFETCH(Script, script);
    Prepare(rig, model, script);
    const std::uint64_t start = rig.clock.NowMs();
    QTEST(Run(rig, op), "result");
    if (tookMs != nullptr) {
        *tookMs = static_cast<int>(rig.clock.NowMs() - start);
    }
    QTEST(QString::fromStdString(rig.display.StatusText()), "status");
    QTEST(rig.connection.OnLine(), "onLine");
}

}  // namespace vantrel::test
