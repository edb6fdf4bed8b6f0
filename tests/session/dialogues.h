#pragma once

#include <QString>
#include <QStringList>
#include <QtTest>

#include "session_rig.h"

namespace vantrel::test {

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
inline Dialogue& EraseBlocks(Dialogue& d, int model, const std::string& closing) {
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
    Dialogue d;
    d.On("3").Say("3", S(Str::ReallyErase));
    return EraseBlocks(d, model, "Erase Completed");
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

inline QStringList ToList(const std::vector<std::string>& items) {
    QStringList out;
    for (const auto& s : items) {
        out << QString::fromStdString(s);
    }
    return out;
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
    rig.bootLoader.Load(script);
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
    const std::uint64_t start = rig.Now();
    QTEST(Run(rig, op), "result");
    if (tookMs != nullptr) {
        *tookMs = static_cast<int>(rig.Now() - start);
    }
    QTEST(QString::fromStdString(rig.display.StatusText()), "status");
    QTEST(rig.connection.OnLine(), "onLine");
}

}  // namespace vantrel::test
