#pragma once

// `vantrel` and `vantrel-sim` as processes on a pty, each test under its own configuration
// folder (a private COMn alias and remembered port).

#include <QJsonArray>
#include <QJsonDocument>
#include <QtTest>
#include <memory>

#include "images.h"
#include "line_rig.h"

namespace e2e {

using namespace vantrel::test;

// Menu commands without the carriage returns (how many arrive depends on the reset's timing).
inline QStringList Commands(const QJsonObject& report) {
    QStringList commands;
    for (const auto& c : report["commands"].toArray()) {
        if (c.toString() != "\r") {
            commands << c.toString();
        }
    }
    return commands;
}

inline QStringList FunctionResults(const QJsonObject& record) {
    QStringList list;
    for (const auto& f : record["functions"].toArray()) {
        const QJsonObject o = f.toObject();
        list << o["name"].toString() + "=" +
                    (o["result"].isNull() ? QString("null") : QString::number(o["result"].toInt()));
    }
    return list;
}

inline QJsonObject LastRecord(const QString& path) {
    const QList<QByteArray> lines = ReadFile(path).trimmed().split('\n');
    return QJsonDocument::fromJson(lines.last()).object();
}

class Rig {
public:
    ~Rig() {
        if (QTest::currentTestFailed()) {
            qWarning().noquote() << "vantrel stdout:\n" << m_last.out << "\nvantrel stderr:\n"
                                 << m_last.err << "\nsimulator trace:\n" << m_sim.Trace();
        }
    }
    QString Path(const QString& name) const { return m_home.Path(name); }
    QString Write(const QString& name, const QByteArray& data) {
        return WriteFile(Path(name), data) ? Path(name) : QString();
    }
    bool StartSim(const QStringList& extra, const QString& alias = "COM7") {
        return m_sim.Start(m_home, alias, QStringList{"--reset-on-open"} + extra);
    }
    QJsonObject StopSim() { return m_sim.Stop(); }
    QString Pty() const { return m_sim.Device(); }
    std::unique_ptr<Program> StartVantrel(const QStringList& args) {
        auto program = std::make_unique<Program>();
        program->Start(VANTREL_BIN, args, m_home.Env());
        return program;
    }
    RunResult RunVantrel(const QStringList& args, int limitMs = kRunLimitMs) {
        m_last = Run(VANTREL_BIN, args, m_home.Env(), limitMs);
        return m_last;
    }

private:
    ConfigHome m_home;
    Sim m_sim;
    RunResult m_last;
};

}  // namespace e2e
