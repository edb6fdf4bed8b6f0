#include <QTest>

#include "app/command_line.h"

using vantrel::StartMode;

Q_DECLARE_METATYPE(vantrel::StartMode)

// How the program tells an automation start from the operator's start.
class TestCommandLine : public QObject {
    Q_OBJECT
private slots:
    void startSwitch_data();
    void startSwitch();
};

void TestCommandLine::startSwitch_data() {
    QTest::addColumn<QStringList>("given");
    QTest::addColumn<StartMode>("mode");
    QTest::addColumn<QStringList>("remaining");

    QTest::newRow("empty") << QStringList{} << StartMode::User << QStringList{};
    QTest::newRow("dash Embedding")
        << QStringList{"-Embedding"} << StartMode::Embedded << QStringList{};
    QTest::newRow("slash Embedding")
        << QStringList{"/Embedding"} << StartMode::Embedded << QStringList{};
    QTest::newRow("dash Automation")
        << QStringList{"-Automation"} << StartMode::Automated << QStringList{};
    QTest::newRow("slash Automation")
        << QStringList{"/Automation"} << StartMode::Automated << QStringList{};
    QTest::newRow("anywhere in the line")
        << QStringList{"one", "two", "-Embedding", "three"} << StartMode::Embedded
        << QStringList{"one", "two", "three"};
    QTest::newRow("lower case is no switch")
        << QStringList{"/automation"} << StartMode::User << QStringList{"/automation"};
    QTest::newRow("upper case is no switch")
        << QStringList{"-EMBEDDING"} << StartMode::User << QStringList{"-EMBEDDING"};
    QTest::newRow("both: only Embedding looked for and removed")
        << QStringList{"-Automation", "/Embedding"} << StartMode::Embedded
        << QStringList{"-Automation"};
    QTest::newRow("both, Embedding first") << QStringList{"-Embedding", "-Automation"}
                                           << StartMode::Embedded << QStringList{"-Automation"};
    QTest::newRow("twice: one removed") << QStringList{"-Embedding", "-Embedding"}
                                        << StartMode::Embedded << QStringList{"-Embedding"};
    QTest::newRow("word without its sign")
        << QStringList{"Embedding"} << StartMode::User << QStringList{"Embedding"};
    QTest::newRow("double dash") << QStringList{"--Embedding"} << StartMode::User
                                 << QStringList{"--Embedding"};
    QTest::newRow("word followed by more")
        << QStringList{"-Embeddings", "/AutomationX"} << StartMode::User
        << QStringList{"-Embeddings", "/AutomationX"};
    QTest::newRow("part of a path") << QStringList{"/home/tech/Automation"} << StartMode::User
                                    << QStringList{"/home/tech/Automation"};
    QTest::newRow("bare signs") << QStringList{"-", "/"} << StartMode::User
                                << QStringList{"-", "/"};
}

void TestCommandLine::startSwitch() {
    QFETCH(QStringList, given);
    QFETCH(StartMode, mode);
    QFETCH(QStringList, remaining);

    QCOMPARE(vantrel::TakeStartSwitch(given), mode);
    QCOMPARE(given, remaining);
}

QTEST_APPLESS_MAIN(TestCommandLine)
#include "test_command_line.moc"
