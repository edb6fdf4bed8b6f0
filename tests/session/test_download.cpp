#include <sys/stat.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>
#include <filesystem>

#include "dialogues.h"
#include "session/results.h"

using namespace vantrel;
using namespace vantrel::test;

namespace {

const QString kLost = Q(Str::ConnectionLost);
const QString kCan = QString(QChar(0x18));

// Open descriptors of this process: a file left open by the download shows up here.
int OpenDescriptors() {
    return static_cast<int>(QDir("/proc/self/fd")
                                .entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot)
                                .size());
}

QByteArray Pattern(qint64 size) {
    QByteArray data(static_cast<int>(size), '\0');
    for (int i = 0; i < data.size(); ++i) {
        data[i] = static_cast<char>((i * 7 + i / 1024) & 0xFF);
    }
    return data;
}

// What the receiver should hold: the data, then 0x1A and 0xFF up to a whole block.
QByteArray Padded(const QByteArray& data) {
    QByteArray out = data;
    if (out.size() % 1024 != 0) {
        out.append('\x1A');
        while (out.size() % 1024 != 0) {
            out.append('\xFF');
        }
    }
    return out;
}

QString Downloading(const QString& path) {
    return QString::fromStdString(FormatString(Str::Downloading, path.toStdString()));
}

QStringList DialogueWrites(int model) {
    return {"5", QString::fromLatin1(kModelTable[model].baseAddress), "Y"};
}

}  // namespace

class DownloadTest : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;

    QString WriteImage(const QString& name, const QByteArray& data) {
        const QString path = m_dir.filePath(name);
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly) || file.write(data) != data.size()) {
            return {};
        }
        return path;
    }

private slots:
    void initTestCase() { QVERIFY(m_dir.isValid()); }

    // The menu dialogue up to the transfer: fault lines only before the base address,
    // the model's address, and a lost connection in any of the three waits.
    void dialogue_data() {
        OutcomeColumns();
        QTest::addColumn<QStringList>("writes");

        QTest::newRow("fault: protected blocks")
            << 0 << Script(Dialogue().On("5").Say("5").Say(S(Str::FaultProtectedBlocks)))
            << int{result::kFaultLine} << Q(Str::FaultProtectedBlocks) << true << QStringList{"5"};
        QTest::newRow("fault text in other letters is skipped")
            << 1
            << Script(Dialogue()
                          .On("5")
                          .Say("User Area Fault Check For User Area Memory NOT Blank")
                          .Say(S(Str::EnterBaseAddress))
                          .On("00010000"))
            << int{result::kConnectionLost} << kLost << false << QStringList{"5", "00010000"};
        QTest::newRow("fault: not blank, model 2")
            << 2 << Script(Dialogue().On("5").Say(S(Str::FaultNotBlank)).Say(">"))
            << int{result::kFaultLine} << Q(Str::FaultNotBlank) << true << QStringList{"5"};
        QTest::newRow("fault line after the base address is skipped")
            << 0
            << Script(Dialogue()
                          .On("5")
                          .Say(S(Str::EnterBaseAddress))
                          .On("00010000")
                          .Say(S(Str::FaultProtectedBlocks))
                          .Say(S(Str::FaultNotBlank))
                          .Say(S(Str::ProgramFlash))
                          .On("Y"))
            << int{result::kConnectionLost} << kLost << false << DialogueWrites(0);
        QTest::newRow("silent after the command")
            << 1 << Script(Dialogue().On("5")) << int{result::kConnectionLost} << kLost << false
            << QStringList{"5"};
        QTest::newRow("silent after the base address, model 2")
            << 2 << Script(Dialogue().On("5").Say(S(Str::EnterBaseAddress)).On("00000000"))
            << int{result::kConnectionLost} << kLost << false << QStringList{"5", "00000000"};
        QTest::newRow("silent after the answer, model 1")
            << 1
            << Script(Dialogue()
                          .On("5")
                          .Say(S(Str::EnterBaseAddress))
                          .On("00010000")
                          .Prompt(S(Str::ProgramFlash))
                          .On("Y")
                          .Say("Y"))
            << int{result::kConnectionLost} << kLost << false << DialogueWrites(1);
    }
    void dialogue() {
        QFETCH(QStringList, writes);
        SessionRig rig;
        rig.display.SetTargetFile("/images/app.upg");
        RunRow(rig, "download");
        QCOMPARE(ToList(rig.Writes()), writes);
        QCOMPARE(ToList(rig.display.LogOf("status:")).first(), Downloading("/images/app.upg"));
        // No transfer ran: the title was never touched.
        QVERIFY(rig.display.LogOf("title:").empty());
    }

    // The target file is opened only when the boot loader waits for the transfer. When it
    // cannot be sent, the waiting receiver is cancelled and the operator told why.
    void unusableTarget_data() {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<int>("result");
        QTest::addColumn<QString>("reason");

        QTest::newRow("removed since chosen")
            << "missing" << int{result::kCannotOpenTarget} << ": No such file or directory";
        QTest::newRow("a device: endless, size 0") << "/dev/zero" << int{result::kCannotOpenTarget}
                                                  << ": not a regular file";
        QTest::newRow("a named pipe: its open would block")
            << "fifo" << int{result::kCannotOpenTarget} << ": not a regular file";
        QTest::newRow("2 GiB") << "2GiB" << int{result::kImageTooLarge}
                               << " (2147483648 bytes, at most 2147482624 can be sent)";
        QTest::newRow("largest size plus one")
            << "2GiB-1023" << int{result::kImageTooLarge}
            << " (2147482625 bytes, at most 2147482624 can be sent)";
    }
    void unusableTarget() {
        QFETCH(QString, kind);
        QFETCH(int, result);
        QFETCH(QString, reason);

        QString path = kind.startsWith('/') ? kind : m_dir.filePath("target-" + kind);
        if (kind == "fifo") {
            QCOMPARE(::mkfifo(path.toLocal8Bit().constData(), 0600), 0);
        } else if (kind.startsWith("2GiB")) {
            // Sparse: costs no disk space and is never read.
            QFile file(path);
            QVERIFY(file.open(QIODevice::WriteOnly));
            QVERIFY(file.resize(kind == "2GiB" ? (qint64{1} << 31) : (qint64{1} << 31) - 1023));
        }
        SessionRig rig;
        QVERIFY(rig.OnLine(1));
        rig.display.SetTargetFile(path.toStdString());
        rig.bootLoader.Load(DownloadToStart(1));
        const int descriptors = OpenDescriptors();

        QCOMPARE(rig.loader.DownloadProgram(), result);

        QCOMPARE(ToList(rig.Writes()), (DialogueWrites(1) + QStringList{kCan, kCan, kCan}));
        QCOMPARE(rig.bootLoader.Frames(), 0);
        const QString prefix = kind.startsWith("2GiB") ? "Target file too large: " : "Cannot open ";
        QCOMPARE(QString::fromStdString(rig.display.StatusText()), prefix + path + reason);
        QVERIFY(rig.connection.OnLine());
        QVERIFY(rig.display.LogOf("title:").empty());
        QCOMPARE(OpenDescriptors(), descriptors);
        // The receiver's start signal was drained, so the next dialogue starts clean.
        QCOMPARE(rig.port.Waiting(), std::size_t{0});
    }

    // A whole download: the receiver gets the file's bytes and the padding, the result is
    // the acknowledged count, the title is set back and the file is closed.
    void transfer_data() {
        QTest::addColumn<int>("model");
        QTest::addColumn<int>("size");

        QTest::newRow("model 0, 3000 bytes") << 0 << 3000;
        QTest::newRow("model 1, empty file") << 1 << 0;
        QTest::newRow("model 2, two whole blocks") << 2 << 2048;
    }
    void transfer() {
        QFETCH(int, model);
        QFETCH(int, size);

        const QByteArray data = Pattern(size);
        const QString path = WriteImage(QString("image-%1.bin").arg(size), data);
        QVERIFY(!path.isEmpty());
        SessionRig rig;
        QVERIFY(rig.OnLine(model));
        rig.display.SetTargetFile(path.toStdString());
        rig.bootLoader.Load(DownloadToStart(model));
        const int descriptors = OpenDescriptors();

        const std::int32_t sent = rig.loader.DownloadProgram();

        QCOMPARE(sent, static_cast<std::int32_t>(Padded(data).size()));
        const auto& received = rig.bootLoader.Received();
        QCOMPARE(QByteArray(reinterpret_cast<const char*>(received.data()),
                            static_cast<qsizetype>(received.size())),
                 Padded(data));
        QVERIFY(rig.bootLoader.EotSeen());
        QCOMPARE(ToList(rig.Writes()).mid(0, 3), DialogueWrites(model));
        QVERIFY(rig.bootLoader.Unexpected().empty());
        // After the transfer: title back, then the fields written; the status is the
        // operation's own.
        const QStringList log = ToList(rig.display.Log());
        QCOMPARE(log.mid(log.size() - 2), (QStringList{"title:Vantrel", "refresh"}));
        QCOMPARE(QString::fromStdString(rig.display.StatusText()), Downloading(path));
        QVERIFY(rig.connection.OnLine());
        QCOMPARE(OpenDescriptors(), descriptors);
    }

    // A file cut short while it is being sent is reported as such, never as a download.
    void targetChangedDuringTransfer() {
        const QByteArray data = Pattern(20 * 1024);
        const QString path = WriteImage("shrinks.bin", data);
        QVERIFY(!path.isEmpty());
        SessionRig rig;
        QVERIFY(rig.OnLine(0));
        rig.display.SetTargetFile(path.toStdString());
        rig.bootLoader.Load(DownloadToStart(0));
        rig.bootLoader.OnFrame([&](int frame) {
            if (frame == 1) {
                std::filesystem::resize_file(path.toStdString(), 100);
            }
        });
        const int descriptors = OpenDescriptors();

        QCOMPARE(rig.loader.DownloadProgram(), result::kImageReadError);

        QVERIFY(rig.bootLoader.Frames() < 20);
        QVERIFY(!rig.bootLoader.EotSeen());
        QVERIFY(rig.bootLoader.CansSeen() > 0);
        const QString status = QString::fromStdString(rig.display.StatusText());
        QVERIFY(!status.isEmpty());
        QCOMPARE(status, QString::fromStdString(rig.sender.Report().imageError));
        QCOMPARE(rig.display.Title(), std::string("Vantrel"));
        QCOMPARE(OpenDescriptors(), descriptors);
    }

    // Auto on an unprotected, not-blank instrument: every step in order, then the image.
    void autoReprogramComplete() {
        const QString path = WriteImage("auto.bin", Pattern(5000));
        SessionRig rig;
        QVERIFY(rig.OnLine(0));
        rig.display.SetTargetFile(path.toStdString());
        rig.bootLoader.Load(Dialogue()
                                .Then(ProtectionOk(0))
                                .Then(BlankAnswer(S(Str::NotBlank)))
                                .Then(EraseOk(0))
                                .Then(DownloadToStart(0)));

        QCOMPARE(rig.loader.AutoReprogram(), std::uint8_t{0});

        const QStringList writes = QStringList{"2", "1", "3", "Y"} + DialogueWrites(0);
        QCOMPARE(ToList(rig.Writes()).mid(0, 7), writes);
        QVERIFY(rig.bootLoader.Unexpected().empty());
        QCOMPARE(rig.bootLoader.Frames(), 5);
        QVERIFY(rig.bootLoader.EotSeen());
    }
};

QTEST_GUILESS_MAIN(DownloadTest)
#include "test_download.moc"
