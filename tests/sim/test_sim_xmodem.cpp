// The simulator's XModem-1K receiver takes good blocks and refuses damaged ones, so the
// program's sender is really checked; and an independent sender (lrzsz's sx) gets its file
// into it with the CRC-32 the report shows.

#include <QJsonArray>
#include <QRandomGenerator>
#include <QStandardPaths>
#include <QtTest>

#include "sim_run.h"

using vantrel::test::AwaitPrompt;
using vantrel::test::EnterDownload;
using vantrel::test::SimRun;

namespace {

constexpr char kSoh = 0x01;
constexpr char kStx = 0x02;
constexpr char kEot = 0x04;
constexpr char kAck = 0x06;
constexpr char kNak = 0x15;
constexpr char kCan = 0x18;

const QByteArray kModel1Signature("\n\n\n\r");
const QByteArray kModel1Base("00010000");

// CRC-16/XMODEM, table-driven (the simulator works bit by bit).
quint16 Crc16(const QByteArray& data) {
    static const auto table = [] {
        std::array<quint16, 256> t{};
        for (int i = 0; i < 256; ++i) {
            quint16 value = static_cast<quint16>(i << 8);
            for (int bit = 0; bit < 8; ++bit) {
                value = static_cast<quint16>((value & 0x8000) ? (value << 1) ^ 0x1021 : value << 1);
            }
            t[static_cast<std::size_t>(i)] = value;
        }
        return t;
    }();
    quint16 crc = 0;
    for (char c : data) {
        crc =
            static_cast<quint16>((crc << 8) ^ table[((crc >> 8) ^ static_cast<quint8>(c)) & 0xFF]);
    }
    return crc;
}

QByteArray Frame(int number, const QByteArray& data, bool crc) {
    QByteArray frame;
    frame.append(data.size() == 1024 ? kStx : kSoh);
    frame.append(static_cast<char>(number));
    frame.append(static_cast<char>(255 - number));
    frame.append(data);
    if (crc) {
        const quint16 value = Crc16(data);
        frame.append(static_cast<char>(value >> 8));
        frame.append(static_cast<char>(value & 0xFF));
    } else {
        quint8 sum = 0;
        for (char c : data) {
            sum = static_cast<quint8>(sum + static_cast<quint8>(c));
        }
        frame.append(static_cast<char>(sum));
    }
    return frame;
}

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

// CRC-32 of a file as Python's zlib computes it.
QString ZlibCrc32(const QString& path) {
    QProcess python;
    python.start("python3", {"-c",
                             "import sys, zlib; "
                             "print('%08x' % zlib.crc32(open(sys.argv[1], 'rb').read()))",
                             path});
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
    // The frames below are only as good as this CRC: its published check value.
    QCOMPARE(Crc16("123456789"), quint16{0x31C3});
}

void SimXModemTest::firstBlock_data() {
    QTest::addColumn<bool>("crc");
    QTest::addColumn<int>("damage");
    QTest::addColumn<char>("answer");
    QTest::addColumn<QString>("error");

    QTest::newRow("CRC, good block") << true << int(None) << kAck << QString();
    QTest::newRow("CRC, data byte flipped") << true << int(DataByte) << kNak << "check";
    QTest::newRow("CRC, check byte flipped") << true << int(CheckByte) << kNak << "check";
    QTest::newRow("CRC, complement wrong") << true << int(Complement) << kNak << "complement";
    QTest::newRow("CRC, block number 3 for 1") << true << int(WrongNumber) << kNak << "number";
    QTest::newRow("CRC, frame cut short") << true << int(Truncated) << kNak << "short";
    QTest::newRow("checksum, good block") << false << int(None) << kAck << QString();
    QTest::newRow("checksum, data byte flipped") << false << int(DataByte) << kNak << "check";
    QTest::newRow("checksum, sum byte flipped") << false << int(CheckByte) << kNak << "check";
}

// The first block arrives as the row says; then the good block 1, a repeat of it, a 128-byte
// block 2 and EOT. The image must hold exactly blocks 1 and 2.
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

// A sender that keeps sending damaged frames is cancelled with CAN CAN, and the boot loader
// comes back to its prompt.
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
    QTest::newRow("8 KiB, CRC") << 8192 << false;
    QTest::newRow("8 KiB, checksum") << 8192 << true;
    QTest::newRow("4500 bytes, 128-byte blocks at the end") << 4500 << false;
}

// lrzsz's sx sends a file after "Start 1k XModem download...": the image is the file padded
// with 0x1A to whole 128-byte blocks, and the report's CRC-32 is zlib's CRC-32 of that.
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
    QFile expectedFile(dir.filePath("expected.bin"));
    QVERIFY(expectedFile.open(QIODevice::WriteOnly));
    expectedFile.write(content + QByteArray(padded - size, '\x1A'));
    expectedFile.close();

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
    QCOMPARE(report.value("image").toObject().value("crc32").toString(),
             ZlibCrc32(expectedFile.fileName()));
    QCOMPARE(sim.Image(), content + QByteArray(padded - size, '\x1A'));
}

QTEST_GUILESS_MAIN(SimXModemTest)
#include "test_sim_xmodem.moc"
