#include <QTest>

#include "app/command_line.h"

using vantrel::StartMode;

Q_DECLARE_METATYPE(vantrel::StartMode)

// How the program tells an automation start from the operator's start.
class TestCommandLine : public QObject {
    Q_OBJECT
private slots:
    void startSwitch_data() {
        QTest::addColumn<QStringList>("given");
        QTest::addColumn<StartMode>("mode");
        QTest::addColumn<QStringList>("remaining");

        QTest::newRow("empty") << QStringList{} << StartMode::User << QStringList{};
        QTest::newRow("dash Embedding")
            << QStringList{"-Embedding"} << StartMode::Embedded << QStringList{};
        QTest::newRow("slash Automation")
            << QStringList{"/Automation"} << StartMode::Automated << QStringList{};
        QTest::newRow("anywhere in the line") << QStringList{"one", "-Embedding", "three"}
                                              << StartMode::Embedded << QStringList{"one", "three"};
        QTest::newRow("case matters") << QStringList{"/automation", "-EMBEDDING"} << StartMode::User
                                      << QStringList{"/automation", "-EMBEDDING"};
        QTest::newRow("both: only Embedding looked for and removed")
            << QStringList{"-Automation", "/Embedding"} << StartMode::Embedded
            << QStringList{"-Automation"};
        QTest::newRow("twice: one removed") << QStringList{"-Embedding", "-Embedding"}
                                            << StartMode::Embedded << QStringList{"-Embedding"};
        QTest::newRow("not a switch: no sign, double dash, longer word, path, bare signs")
            << QStringList{"Embedding", "--Embedding", "-Embeddings", "/home/tech/Automation", "-"}
            << StartMode::User
            << QStringList{"Embedding", "--Embedding", "-Embeddings", "/home/tech/Automation", "-"};
    }
    void startSwitch() {
        QFETCH(QStringList, given);
        QFETCH(StartMode, mode);
        QFETCH(QStringList, remaining);
        QCOMPARE(vantrel::TakeStartSwitch(given), mode);
        QCOMPARE(given, remaining);
    }
};

QTEST_APPLESS_MAIN(TestCommandLine)
#include "test_command_line.moc"
