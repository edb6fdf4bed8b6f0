#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QTest>
#include <cerrno>

#include "cli/image_digest.h"
#include "cli/update_record.h"
#include "images.h"

using namespace vantrel::cli;
using namespace vantrel::test;

namespace {

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

}  // namespace

class UpdateRecordTest : public QObject {
    Q_OBJECT
private slots:
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
        UpdateRecord r;
        r.statuses = {{"t", text.toStdString()}};
        r.imagePath = text.toStdString();
        r.image.emplace().ok = true;
        r.image->crc32 = 0x0000BEEF;
        UpdateRecord::TransferEntry& transfer = r.transfers.emplace_back();
        transfer.started = true;
        transfer.crcMode = false;
        transfer.repeatsPerBlock = {{2, 2}};
        const QJsonObject o = Parsed(r);
        QTEST(o["status"].toArray().at(0).toObject()["text"].toString(), "expected");
        QTEST(o["image"].toObject()["path"].toString(), "expected");
        QCOMPARE(o["image"].toObject()["crc32"].toString(), QString("0000beef"));
        const QJsonObject written = o["transfers"].toArray().at(0).toObject();
        QCOMPARE(written["check"].toString(), QString("checksum"));
        QCOMPARE(written["repeats"].toArray().at(0).toObject()["block"].toInt(), 2);
    }

    void absentValuesAreNull() {
        UpdateRecord r;
        r.functions = {{"download", std::nullopt, "Invalid Target File", {}}};
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
        // Another station appending meanwhile must wait: the line is written under the lock.
        bool othersWait = false;
        const WriteFunction probe = [&](int fd, const void* data, std::size_t size) {
            const int other = ::open(path.toLocal8Bit().constData(), O_RDONLY | O_CLOEXEC);
            othersWait = ::flock(other, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK;
            ::close(other);
            return ::write(fd, data, size);
        };
        QCOMPARE(AppendRecordLine(path.toStdString(), "{\"b\":2}\n", probe), std::string());
        QVERIFY(othersWait);
        const QByteArray closed =
            before.isEmpty() || before.endsWith('\n') ? before : before + "\n";
        QCOMPARE(ReadFile(path), closed + "{\"b\":2}\n");
    }

    // A write that fails or falls short leaves the file exactly as it was.
    void failedWriteLeavesNothing_data() {
        QTest::addColumn<int>("keep");  // bytes written before the failure
        QTest::newRow("disk full at once") << 0;
        QTest::newRow("short write: the line cut before its end") << 23;
    }
    void failedWriteLeavesNothing() {
        QFETCH(int, keep);
        QTemporaryDir dir;
        const QString path = dir.filePath("record.jsonl");
        const QByteArray before = "{\"earlier\":true}\n";
        QVERIFY(WriteFile(path, before));
        const WriteFunction failing = [keep](int fd, const void* data, std::size_t) -> ssize_t {
            if (keep == 0) {
                errno = ENOSPC;
                return -1;
            }
            return ::write(fd, data, static_cast<std::size_t>(keep));
        };
        const std::string line = "{\"this\":\"must not stay\"}\n";
        const std::string result = AppendRecordLine(path.toStdString(), line, failing);
        QVERIFY(!result.empty());
        QCOMPARE(ReadFile(path), before);
        // The next good run still appends cleanly.
        QCOMPARE(AppendRecordLine(path.toStdString(), "{\"next\":1}\n"), std::string());
        QCOMPARE(ReadFile(path), before + "{\"next\":1}\n");
    }
};

QTEST_GUILESS_MAIN(UpdateRecordTest)
#include "test_update_record.moc"
