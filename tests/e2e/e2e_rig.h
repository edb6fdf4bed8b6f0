#pragma once

// `vantrel` and `vantrel-sim` as processes on ptys, each test under its own configuration
// folder (private COMn aliases and remembered port).

#include <QJsonArray>
#include <QJsonDocument>
#include <QTest>
#include <memory>

#include "images.h"
#include "line_rig.h"

namespace e2e {

using namespace vantrel::test;

// Menu commands without the carriage returns (how many arrive depends on the reset's timing).
inline QStringList Commands(const QJsonObject& report) {
    QStringList commands = report["commands"].toVariant().toStringList();
    commands.removeAll("\r");
    return commands;
}

// The update record's lines, oldest first.
inline QList<QJsonObject> Records(const QString& path) {
    QList<QJsonObject> records;
    for (const QByteArray& line : ReadFile(path).trimmed().split('\n')) {
        records << QJsonDocument::fromJson(line).object();
    }
    return records;
}

struct Rig {
    ~Rig() {
        if (QTest::currentTestFailed()) {
            qWarning().noquote() << "vantrel output:\n" << last.out << program.Seen();
            qWarning().noquote() << "vantrel stderr:\n" << last.err;
            for (const auto& sim : sims) {
                qWarning().noquote() << "simulator trace:\n" << sim->Trace().right(4000);
            }
        }
    }
    QString Path(const QString& name) const { return home.Path(name); }
    QString Write(const QString& name, const QByteArray& data) {
        return WriteFile(Path(name), data) ? Path(name) : QString();
    }
    Sim& AddSim(const QString& alias, const QStringList& options) {
        sims.push_back(std::make_unique<Sim>());
        simsStarted = sims.back()->Start(home, alias, options) && simsStarted;
        return *sims.back();
    }
    // One simulator that resets its instrument when the port is opened.
    bool StartSim(const QStringList& extra, const QString& alias = "COM7") {
        AddSim(alias, QStringList{"--reset-on-open"} + extra);
        return simsStarted;
    }
    QString Pty() const { return sims.front()->Device(); }
    QJsonObject StopSim() { return sims.front()->Stop(); }
    void StartVantrel(const QStringList& args) { program.Start(VANTREL_BIN, args, home.Env()); }
    RunResult RunVantrel(const QStringList& args) {
        return last = Run(VANTREL_BIN, args, home.Env(), kRunLimitMs);
    }

    ConfigHome home;
    std::vector<std::unique_ptr<Sim>> sims;
    bool simsStarted = true;
    Program program;
    RunResult last;
};

}  // namespace e2e
