// The simulator's XModem-1K receiver: good blocks taken, damaged ones refused, and lrzsz's sx
// gets its file in with the CRC-32 the report shows.

#include <QJsonArray>
#include <QRandomGenerator>
#include <QStandardPaths>
#include <QtTest>

#include "sim_run.h"

using vantrel::test::AwaitPrompt;
using vantrel::test::Crc16;
using vantrel::test::EnterDownload;
using vantrel::test::Frame;
using vantrel::test::SimRun;

namespace {

constexpr char kEot = 0x04;
constexpr char kAck = 0x06;
constexpr char kNak = 0x15;
constexpr char kCan = 0x18;

const QByteArray kModel1Signature("\n\n\n\r");
const QByteArray kModel1Base("00010000");

QByteArray RandomBytes(int size, quint32 seed) {
    QRandomGenerator generator(seed);
    QByteArray bytes(size, '\0');
    for (char& c : bytes) {
        c = static_cast<char>(generator.bounded(256));
    }
    return bytes;
}

enum Damage { None, DataByte, CheckByte, Complement, WrongNumber, Truncated };

QByteArray Damaged(QByteArray frame, Damage damage) {
    switch (damage) {
        case None:
            break;
        case DataByte:
            frame[500] = static_cast<char>(frame[500] ^ 0x10);
            break;
        case CheckByte:
            frame[frame.size() - 1] = static_cast<char>(frame[frame.size() - 1] ^ 0x01);
            break;
        case Complement:
            frame[2] = static_cast<char>(frame[2] ^ 0x01);
            break;
        case WrongNumber:
            break;  // built with another number by the caller
        case Truncated:
            frame.truncate(600);
            break;
    }
    return frame;
}

QString ZlibCrc32(const QByteArray& bytes) {
    QProcess python;
    python.start("python3",
                 {"-c", "import sys, zlib; print('%08x' % zlib.crc32(sys.stdin.buffer.read()))"});
    python.write(bytes);
    python.closeWriteChannel();
    python.waitForFinished(10000);
    return QString::fromLatin1(python.readAllStandardOutput().trimmed());
}

}  // namespace

class SimXModemTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void firstBlock_data();
    void firstBlock();
    void cancelsAfterTooManyErrors();
    void peerSender_data();
    void peerSender();
};

void SimXModemTest::initTestCase() {
    QCOMPARE(Crc16("123456789"), quint16{0x31C3});
}

void SimXModemTest::firstBlock_data() {
    QTest::addColumn<bool>("crc");
    QTest::addColumn<int>("damage");
    QTest::addColumn<char>("answer");
    QTest::addColumn<QString>("error");

    QTest::newRow("CRC, good block") << true << int(None) << kAck << QString();
    QTest::newRow("CRC, check byte flipped") << true << int(CheckByte) << kNak << "check";
    QTest::newRow("CRC, complement wrong") << true << int(Complement) << kNak << "complement";
    QTest::newRow("CRC, block number 3 for 1") << true << int(WrongNumber) << kNak << "number";
    QTest::newRow("CRC, frame cut short") << true << int(Truncated) << kNak << "short";
    QTest::newRow("checksum, data byte flipped") << false << int(DataByte) << kNak << "check";
}

// Block 1 as the row says, then good block 1, its repeat, a 128-byte block 2 and EOT.
void SimXModemTest::firstBlock() {
    QFETCH(bool, crc);
    QFETCH(int, damage);
    QFETCH(char, answer);
    QFETCH(QString, error);

    SimRun sim(crc ? QStringList{"--model", "1", "--reset-on-open"}
                   : QStringList{"--model", "1", "--reset-on-open", "--checksum"});
    QVERIFY(sim.Start());
    QVERIFY(sim.OpenPort());
    QVERIFY(AwaitPrompt(sim, kModel1Signature));
    QVERIFY(EnterDownload(sim, kModel1Base));
    QCOMPARE(sim.ReadCount(1, 4000), QByteArray(1, crc ? 'C' : kNak));

    const QByteArray block1 = RandomBytes(1024, 1);
    const QByteArray block2 = RandomBytes(128, 2);
    const int number = damage == WrongNumber ? 3 : 1;
    QVERIFY(sim.Write(Damaged(Frame(number, block1, crc), Damage(damage))));
    QCOMPARE(sim.ReadCount(1, 4000), QByteArray(1, answer));
    if (answer != kAck) {
        QVERIFY(sim.Write(Frame(1, block1, crc)));
        QCOMPARE(sim.ReadCount(1, 4000), QByteArray(1, kAck));
    }
    QVERIFY(sim.Write(Frame(1, block1, crc)));
    QCOMPARE(sim.ReadCount(1, 4000), QByteArray(1, kAck));
    QVERIFY(sim.Write(Frame(2, block2, crc)));
    QCOMPARE(sim.ReadCount(1, 4000), QByteArray(1, kAck));
    QVERIFY(sim.Write(QByteArray(1, kEot)));
    QCOMPARE(sim.ReadCount(1, 4000), QByteArray(1, kAck));
    QVERIFY(sim.ReadUntil("Download OK\r\n>").endsWith("Download OK\r\n>"));

    const QJsonObject report = sim.Stop();
    const QJsonObject transfer = report.value("transfers").toArray().at(0).toObject();
    QCOMPARE(transfer.value("mode").toString(), QString(crc ? "crc" : "checksum"));
    QCOMPARE(transfer.value("completed").toBool(), true);
    QCOMPARE(transfer.value("eot").toInt(), 1);
    const QJsonArray blocks = transfer.value("blocks").toArray();
    QCOMPARE(blocks.size(), answer == kAck ? 3 : 4);
    const QJsonObject first = blocks.at(0).toObject();
    QCOMPARE(first.value("answer").toString(), QString(answer == kAck ? "ACK" : "NAK"));
    QCOMPARE(first.value("error").toString(), error);
    QCOMPARE(blocks.at(blocks.size() - 2).toObject().value("duplicate").toBool(), true);
    QCOMPARE(report.value("image").toObject().value("size").toInt(), 1152);
    QCOMPARE(sim.Image(), block1 + block2);
    QCOMPARE(report.value("user_area").toString(), QString("programmed"));
}

// Endless damaged frames: CAN CAN after nine NAKs, back to the prompt.
void SimXModemTest::cancelsAfterTooManyErrors() {
    SimRun sim({"--model", "1", "--reset-on-open"});
    QVERIFY(sim.Start());
    QVERIFY(sim.OpenPort());
    QVERIFY(AwaitPrompt(sim, kModel1Signature));
    QVERIFY(EnterDownload(sim, kModel1Base));
    QCOMPARE(sim.ReadCount(1, 4000), QByteArray("C"));
    const QByteArray bad = Damaged(Frame(1, RandomBytes(1024, 3), true), CheckByte);
    QByteArray answers;
    while (answers.size() < 20 && !answers.endsWith(QByteArray(2, kCan))) {
        QVERIFY(sim.Write(bad));
        const QByteArray answer = sim.ReadCount(1, 4000);
        QVERIFY(!answer.isEmpty());
        answers += answer;
        if (answer.at(0) == kCan) {
            answers += sim.ReadCount(1, 4000);
        }
    }
    QCOMPARE(answers, QByteArray(9, kNak) + QByteArray(2, kCan));
    QVERIFY(sim.ReadUntil("\r\n>", 5000).endsWith("\r\n>"));

    const QJsonObject report = sim.Stop();
    const QJsonObject transfer = report.value("transfers").toArray().at(0).toObject();
    QCOMPARE(transfer.value("completed").toBool(), false);
    QCOMPARE(transfer.value("end").toString(), QString("cancelled by receiver"));
    QVERIFY(report.value("image").isNull());
}

void SimXModemTest::peerSender_data() {
    QTest::addColumn<int>("size");
    QTest::addColumn<bool>("checksum");
    QTest::newRow("8 KiB, checksum") << 8192 << true;
    QTest::newRow("4500 bytes, 128-byte blocks at the end") << 4500 << false;
}

// The image is sx's file padded with 0x1A to 128-byte blocks; the CRC-32 is zlib's.
void SimXModemTest::peerSender() {
    QFETCH(int, size);
    QFETCH(bool, checksum);
    if (QStandardPaths::findExecutable("sx").isEmpty() ||
        QStandardPaths::findExecutable("python3").isEmpty()) {
        QSKIP("needs lrzsz's sx and python3 (tools/install-deps.sh)");
    }
    QTemporaryDir dir;
    const QByteArray content = RandomBytes(size, 7);
    QFile file(dir.filePath("image.bin"));
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(content);
    file.close();
    const int padded = (size + 127) / 128 * 128;
    const QByteArray expected = content + QByteArray(padded - size, '\x1A');

    QStringList arguments{"--model", "2"};
    if (checksum) {
        arguments << "--checksum";
    }
    SimRun sim(arguments);
    QVERIFY(sim.Start());
    QVERIFY(sim.OpenPort());
    sim.Command("reset");
    QVERIFY(AwaitPrompt(sim, "\n\n\r\r"));
    QVERIFY(EnterDownload(sim, "00000000"));

    QProcess sx;
    sx.setStandardInputFile(sim.PtyPath());
    sx.setStandardOutputFile(sim.PtyPath());
    sx.start("sx", {"-k", file.fileName()});
    QVERIFY(sx.waitForFinished(30000));
    QVERIFY2(sx.exitCode() == 0, sx.readAllStandardError().constData());

    const QJsonObject report = sim.Stop();
    const QJsonObject transfer = report.value("transfers").toArray().at(0).toObject();
    QCOMPARE(transfer.value("completed").toBool(), true);
    QCOMPARE(transfer.value("mode").toString(), QString(checksum ? "checksum" : "crc"));
    QCOMPARE(report.value("image").toObject().value("size").toInt(), padded);
    QCOMPARE(report.value("image").toObject().value("crc32").toString(), ZlibCrc32(expected));
    QCOMPARE(sim.Image(), expected);
}

QTEST_GUILESS_MAIN(SimXModemTest)
#include "test_sim_xmodem.moc"
