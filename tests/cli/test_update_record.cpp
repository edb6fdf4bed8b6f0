#include <sys/wait.h>
#include <unistd.h>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QtTest>
#include <cerrno>

#include "cli/image_digest.h"
#include "cli/update_record.h"
#include "images.h"

using namespace vantrel::cli;
using namespace vantrel::test;

namespace {

UpdateRecord SampleRecord() {
    UpdateRecord r;
    r.model = 2;
    r.functions = {{"auto", 0, "!!! Download Completed !!!"}};
    ImageDigest d;
    d.ok = true;
    d.crc32 = 0x0000BEEF;
    r.imagePath = "/tmp/a.upg";
    r.image = d;
    UpdateRecord::TransferEntry t;
    t.started = true;
    t.crcMode = false;
    t.repeatsPerBlock = {{2, 2}};
    r.transfers = {t};
    return r;
}

// The record line as JSON, after checking that it is one valid JSON line.
QJsonObject Parsed(const UpdateRecord& r) {
    const std::string line = BuildRecordLine(r);
    if (std::count(line.begin(), line.end(), '\n') != 1 || line.back() != '\n') {
        return {};
    }
    QJsonParseError error{};
    const QJsonObject o = QJsonDocument::fromJson(QByteArray::fromStdString(line), &error).object();
    return error.error == QJsonParseError::NoError ? o : QJsonObject();
}

// A write(2) that fails the way a full disk or a killed writer leaves it.
WriteFunction PartialWriter(std::size_t keep, int error) {
    return [keep, error](int fd, const void* data, std::size_t size) -> ssize_t {
        const std::size_t n = std::min(keep, size);
        if (n > 0 && ::write(fd, data, n) != static_cast<ssize_t>(n)) {
            return -1;
        }
        if (n == 0 && error != 0) {
            errno = error;
            return -1;
        }
        return static_cast<ssize_t>(n);
    };
}

}  // namespace

class UpdateRecordTest : public QObject {
    Q_OBJECT
private slots:
    // CRC-32 fed in pieces, against the published check value.
    void crcInPieces() {
        const auto* text = reinterpret_cast<const std::uint8_t*>("123456789");
        QCOMPARE(UpdateCrc32(UpdateCrc32(0, text, 4), text + 4, 5), std::uint32_t{0xCBF43926});
    }

    // The digest is of the bytes on the line: the file, then 0x1A and 0xFF to the end of
    // its last block, or no padding when it ends on a block boundary.
    void digest_data() {
        QTest::addColumn<int>("size");
        QTest::addColumn<int>("sentSize");
        QTest::newRow("empty: nothing is sent") << 0 << 0;
        QTest::newRow("1023: 0x1A is the last byte") << 1023 << 1024;
        QTest::newRow("larger than one read chunk, odd") << 200001 << 200704;
    }
    void digest() {
        QFETCH(int, size);
        QTemporaryDir dir;
        const QString path = dir.filePath("image.upg");
        const QByteArray sent = Padded(RandomImage(size, static_cast<quint32>(size)));
        QVERIFY(WriteFile(path, sent.left(size)));
        const ImageDigest d = DigestImageFile(path.toStdString());
        QVERIFY2(d.ok, d.error.c_str());
        QCOMPARE(d.size, std::int64_t{size});
        QTEST(int(d.sentSize), "sentSize");
        QCOMPARE(d.crc32, UpdateCrc32(0, reinterpret_cast<const std::uint8_t*>(sent.constData()),
                                      static_cast<std::size_t>(sent.size())));
        QCOMPARE(QByteArray::fromStdString(PaddingAfter(size)), sent.mid(size));
        QVERIFY(!DigestImageFile(dir.filePath("missing").toStdString()).ok);
    }

    void lineIsOneJsonObject() {
        const QJsonObject o = Parsed(SampleRecord());
        QVERIFY(!o.isEmpty());
        QCOMPARE(o["image"].toObject()["crc32"].toString(), QString("0000beef"));
        const QJsonObject transfer = o["transfers"].toArray().at(0).toObject();
        QCOMPARE(transfer["check"].toString(), QString("checksum"));
        QCOMPARE(transfer["repeats"].toArray().at(0).toObject()["block"].toInt(), 2);
    }

    // Whatever the boot loader said ends up in the record; the line must stay one valid
    // JSON line.
    void hostileTexts_data() {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<QString>("expected");
        QTest::newRow("quotes and backslash")
            << QByteArray("say \"hi\" \\ bye") << "say \"hi\" \\ bye";
        QTest::newRow("control bytes") << QByteArray("\x01\x1b[K\t", 5) << "\x01\x1b[K\t";
        QTest::newRow("invalid UTF-8") << QByteArray("caf\xe9") << QString("caf") + QChar(0xFFFD);
    }
    void hostileTexts() {
        QFETCH(QByteArray, text);
        UpdateRecord r = SampleRecord();
        r.statuses = {{"t", text.toStdString()}};
        r.imagePath = text.toStdString();
        const QJsonObject o = Parsed(r);
        QTEST(o["status"].toArray().at(0).toObject()["text"].toString(), "expected");
        QTEST(o["image"].toObject()["path"].toString(), "expected");
    }

    void absentValuesAreNull() {
        UpdateRecord r;
        r.functions = {{"download", std::nullopt, "Invalid Target File"}};
        const QJsonObject o = Parsed(r);
        QVERIFY(o.contains("model") && o["model"].isNull());
        QVERIFY(o["image"].isNull());
        QVERIFY(o["diagnosis"].isNull());
        QVERIFY(o["functions"].toArray().at(0).toObject()["result"].isNull());
    }

    // Lines are appended whole; a half line left by another writer is closed first.
    void appends_data() {
        QTest::addColumn<QByteArray>("before");
        QTest::newRow("new file") << QByteArray();
        QTest::newRow("foreign half line") << QByteArray("{\"a\":1}\n{\"half");
    }
    void appends() {
        QFETCH(QByteArray, before);
        QTemporaryDir dir;
        const QString path = dir.filePath("record.jsonl");
        if (!before.isEmpty()) {
            QVERIFY(WriteFile(path, before));
        }
        QCOMPARE(AppendRecordLine(path.toStdString(), "{\"b\":2}\n"), std::string());
        const QByteArray closed =
            before.isEmpty() || before.endsWith('\n') ? before : before + "\n";
        QCOMPARE(ReadFile(path), closed + "{\"b\":2}\n");
    }

    // A write that fails or falls short leaves the file exactly as it was.
    void failedWriteLeavesNothing_data() {
        QTest::addColumn<int>("keep");
        QTest::addColumn<int>("error");
        QTest::newRow("disk full at once") << 0 << ENOSPC;
        QTest::newRow("short write: all but the line feed") << 23 << 0;
    }
    void failedWriteLeavesNothing() {
        QFETCH(int, keep);
        QFETCH(int, error);
        QTemporaryDir dir;
        const QString path = dir.filePath("record.jsonl");
        const QByteArray before = "{\"earlier\":true}\n";
        QVERIFY(WriteFile(path, before));
        const std::string line = "{\"this\":\"must not stay\"}\n";
        const std::string result = AppendRecordLine(
            path.toStdString(), line, PartialWriter(static_cast<std::size_t>(keep), error));
        QVERIFY(!result.empty());
        QCOMPARE(ReadFile(path), before);
        // The next good run still appends cleanly.
        QCOMPARE(AppendRecordLine(path.toStdString(), "{\"next\":1}\n"), std::string());
        QCOMPARE(ReadFile(path), before + "{\"next\":1}\n");
    }

    // Several stations appending to one shared record at once: every line stays whole.
    void concurrentRunsKeepLinesWhole() {
        QTemporaryDir dir;
        const QString path = dir.filePath("record.jsonl");
        constexpr int kWriters = 4;
        constexpr int kLines = 50;
        std::vector<pid_t> children;
        for (int w = 0; w < kWriters; ++w) {
            const pid_t child = ::fork();
            QVERIFY(child >= 0);
            if (child == 0) {
                UpdateRecord r = SampleRecord();
                // Lines of many pages: unlocked, a writer may read the size mid-write.
                r.statuses.assign(400, {"t", std::string(100, static_cast<char>('a' + w))});
                for (int i = 0; i < kLines; ++i) {
                    r.exitStatus = i;
                    if (!AppendRecordLine(path.toStdString(), BuildRecordLine(r)).empty()) {
                        ::_exit(1);
                    }
                }
                ::_exit(0);
            }
            children.push_back(child);
        }
        for (pid_t child : children) {
            int status = 0;
            QCOMPARE(::waitpid(child, &status, 0), child);
            QCOMPARE(WEXITSTATUS(status), 0);
        }
        const QList<QByteArray> lines = ReadFile(path).split('\n');
        QCOMPARE(lines.size(), kWriters * kLines + 1);
        QVERIFY(lines.last().isEmpty());
        for (int i = 0; i < kWriters * kLines; ++i) {
            QJsonParseError error{};
            QJsonDocument::fromJson(lines[i], &error);
            QCOMPARE(error.error, QJsonParseError::NoError);
        }
    }
};

QTEST_GUILESS_MAIN(UpdateRecordTest)
#include "test_update_record.moc"
