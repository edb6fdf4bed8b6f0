#include <signal.h>
#include <sys/stat.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QTest>
#include <cstdio>
#include <map>

#include "cli/console_run.h"
#include "cli/line_watch.h"
#include "cli/signals.h"
#include "session/strings.h"
#include "fake_port.h"
#include "images.h"

using namespace vantrel;
using namespace vantrel::cli;
using namespace vantrel::test;

namespace {

const std::string kSignature[3] = {"\t\t\t\r", "\n\n\n\r", "\n\n\r\r"};
const QString kNotRegular = "not a regular file";
const QString kChanged = "Target file changed since it was read at the start";

// A console run against a boot loader played by a FakePort on simulated time: each menu
// command written is answered after 10 ms with the text given for it.
struct Rig {
    SimClock clock;
    FakePort fake{clock};
    StopSignal cancel;
    WatchedPort port{fake};
    std::FILE* out = std::tmpfile();
    std::FILE* err = std::tmpfile();
    ConsoleDisplay display{out, false, clock};
    ConsoleRun run{port, clock, display, err, &cancel};
    std::optional<ImageDigest> image;
    std::map<std::string, std::string> answers;
    std::function<void(const std::string&)> onWrite;

    Rig() {
        answers["\r"] = ">\r\n";
        fake.SetResponder([this](FakePort& peer, const FakePort::Bytes& written) {
            const std::string text(written.begin(), written.end());
            if (onWrite) {
                onWrite(text);
            }
            const auto it = answers.find(text);
            if (it != answers.end() && !it->second.empty()) {
                peer.Arrive(it->second, 10);
            }
        });
    }
    ~Rig() {
        std::fclose(out);
        std::fclose(err);
    }
    int Run(std::vector<Function> functions, int waitSeconds = 120, std::string file = {},
            std::vector<int> models = {}) {
        Options options;
        options.models = std::move(models);
        options.functions = std::move(functions);
        options.waitSeconds = waitSeconds;
        options.targetFile = std::move(file);
        if (!options.targetFile.empty()) {
            image = DigestImageFile(options.targetFile);
        }
        return run.Run(options, "COM3", "/dev/fake", image ? &*image : nullptr);
    }
    QJsonObject Record() const {
        return QJsonDocument::fromJson(QByteArray::fromStdString(BuildRecordLine(run.Record())))
            .object();
    }
    QStringList Outcomes() const {
        QStringList list;
        for (const auto& f : run.Record().functions) {
            list << QString::fromStdString(f.name + ": " + f.outcome);
        }
        return list;
    }
};

}  // namespace

class ConsoleRunTest : public QObject {
    Q_OBJECT
private slots:
    // When nobody answers in time the run ends with 3 and says what the line carried; a port
    // that fails meanwhile ends the wait at once.
    void giveUp_data() {
        QTest::addColumn<int>("pulledAtMs");  // 0: the port stays
        QTest::addColumn<QString>("kind");
        QTest::addColumn<int>("endsAtMs");
        QTest::addColumn<QByteArray>("told");
        const QByteArray waited = "No instrument identified on COM3 (/dev/fake) within 30 s.";
        QTest::newRow("nothing") << 0 << "nothing" << 30000 << waited;
        QTest::newRow("adapter pulled during the wait")
            << 5000 << "port-failed" << 5000 << QByteArray("No such device");
    }
    void giveUp() {
        QFETCH(int, pulledAtMs);
        QFETCH(int, endsAtMs);
        QFETCH(QByteArray, told);
        Rig rig;
        // Nobody answers on the line.
        rig.answers.erase("\r");
        if (pulledAtMs > 0) {
            // The adapter is pulled that long after the port was opened.
            rig.onWrite = [&rig, pulledAtMs](const std::string&) {
                rig.fake.FailIn(static_cast<std::uint64_t>(pulledAtMs), "No such device");
            };
        }
        const std::uint64_t start = rig.clock.NowMs();
        QCOMPARE(rig.Run({Function::Auto}, 30, "unused.upg"), exit_status::kNotIdentified);
        // The whole wait (or until the port fails), and no busy waiting meanwhile.
        QVERIFY(rig.clock.NowMs() - start >= static_cast<std::uint64_t>(endsAtMs));
        QVERIFY(rig.clock.NowMs() - start < static_cast<std::uint64_t>(endsAtMs) + 1000);
        QVERIFY(rig.fake.WaitCalls() < 1000);
        const QJsonObject record = rig.Record();
        QTEST(record["diagnosis"].toObject()["kind"].toString(), "kind");
        QCOMPARE(record["exit_status"].toInt(), 3);
        QVERIFY(record["functions"].toArray().isEmpty());
        QVERIFY2(Contents(rig.err).contains(told), Contents(rig.err).constData());
        // Never on-line: no exit command.
        QVERIFY(rig.fake.WrittenText().find('7') == std::string::npos);
    }

    // Functions run in order, one after a restart only once the instrument is reset again;
    // the first failure stops the run, still on-line: the menu is left with "7".
    void runsInOrderToTheFirstFailure() {
        Rig rig;
        rig.answers["6"] = "Run user program (Y/N)?\r\n";
        rig.answers["2"] =
            "Sector Protection Verification...\r\nUser Area Sectors Bank1 protected\r\n";
        rig.onWrite = [&rig](const std::string& text) {
            if (text == "Y") {
                rig.fake.Arrive(kSignature[1], 20000);
            }
        };
        rig.fake.Arrive(kSignature[1], 1000);
        QCOMPARE(rig.Run({Function::Restart, Function::MemoryTest, Function::BlankCheck}),
                 exit_status::kFunctionFailed);
        QCOMPARE(rig.Outcomes(), (QStringList{"restart: !!! Restarting !!!",
                                              "memory-test: User Area Sectors Bank1 protected"}));
        QVERIFY(rig.fake.WrittenText().find('1') == std::string::npos);
        QCOMPARE(rig.fake.Writes().back(), FakePort::Bytes{'7'});
        // As the window: Connection-Lost first, then the outcome.
        const QByteArray out = Contents(rig.out);
        QVERIFY2(out.contains("Connection Lost - Reset the Instrument\n!!! Restarting !!!\n"
                              "Waiting up to 120 s"),
                 out.constData());
    }

    // A job's models: an instrument of another model is declined before any function, its
    // menu left with "7"; the record says why. A model of the job is served.
    // The wait is announced once the boot loader's answer to the opening carriage return is
    // over: a reset made on the announcement is not swallowed with that answer into one
    // attempt at a signature.
    void resetOnTheAnnouncement() {
        Rig rig;
        rig.answers["\r"] = "";
        rig.onWrite = [&rig](const std::string& text) {
            if (text == "\r" && rig.fake.Writes().size() == 1) {
                rig.fake.Arrive(">", 1);  // a boot loader already at its menu
            }
        };
        struct OnWaiting final : RunEvents {
            Rig& rig;
            explicit OnWaiting(Rig& r) : rig(r) {}
            void Waiting() override {
                rig.fake.Arrive(kSignature[1], 5);
                rig.answers["\r"] = ">\r\n";
            }
        } onWaiting(rig);
        rig.run.SetRunEvents(&onWaiting);
        QCOMPARE(rig.Run({}, 10), exit_status::kSuccess);
    }

    void declinesOtherModels_data() {
        QTest::addColumn<QList<int>>("models");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("declined");
        QTest::newRow("in the job") << QList<int>{1} << 0 << "";
        QTest::newRow("not in the job")
            << QList<int>{0, 2} << 1 << "declined: model 1 is not in the job";
    }
    void declinesOtherModels() {
        QFETCH(QList<int>, models);
        QFETCH(QString, declined);
        Rig rig;
        rig.answers["1"] = "Blank checking user area...\r\nUser area is blank\r\n";
        rig.fake.Arrive(kSignature[1], 1000);
        QTEST(rig.Run({Function::BlankCheck}, 120, {}, {models.begin(), models.end()}), "status");
        QCOMPARE(rig.fake.WrittenText().find('1') != std::string::npos, declined.isEmpty());
        QCOMPARE(rig.fake.Writes().back(), FakePort::Bytes{'7'});
        QCOMPARE(rig.Record()["declined"].toString(), declined);
        QCOMPARE(rig.Record()["model"].toInt(), 1);
        QVERIFY(Contents(rig.out).contains(declined.toUtf8()));
    }

    // The blank check's "not blank" is an answer: a list goes on to the erase; alone it is
    // the run's status. Silence still stops a list.
    void blankCheck_data() {
        QTest::addColumn<QString>("answer");  // to menu 1, after "Blank checking user area..."
        QTest::addColumn<bool>("thenErase");
        QTest::addColumn<int>("status");
        QTest::addColumn<QStringList>("outcomes");
        const QString notBlank = LoadString(Str::NotBlank).c_str();
        const QString erased = "erase: Erase done";
        QTest::newRow("alone, not blank") << notBlank << false << 1
                                          << QStringList{"blank-check: " + notBlank};
        QTest::newRow("alone, blank") << "User area is blank" << false << 0
                                      << QStringList{"blank-check: User area is blank"};
        QTest::newRow("not blank, then the erase")
            << notBlank << true << 0 << QStringList{"blank-check: " + notBlank, erased};
        QTest::newRow("no answer stops the list")
            << "" << true << 1
            << QStringList{"blank-check: " +
                           QString::fromStdString(LoadString(Str::BlankChecking))};
    }
    void blankCheck() {
        QFETCH(QString, answer);
        QFETCH(bool, thenErase);
        QFETCH(int, status);
        QFETCH(QStringList, outcomes);
        Rig rig;
        rig.answers["1"] = LoadString(Str::BlankChecking) + "\r\n";
        if (!answer.isEmpty()) {
            rig.answers["1"] += answer.toStdString() + "\r\n";
        }
        rig.answers["3"] = LoadString(Str::ReallyErase) + "\r\n";
        std::string blocks = "Y\r\n";
        for (int block = 1; block <= 7; ++block) {
            blocks += FormatString(Str::ErasingBlockPassed, block) + "\r\n";
        }
        rig.answers["Y"] = blocks + "Erase done\r\n";
        rig.fake.Arrive(kSignature[1], 1000);
        std::vector<Function> functions = {Function::BlankCheck};
        if (thenErase) {
            functions.push_back(Function::Erase);
        }
        const int exitStatus = rig.Run(functions);
        QCOMPARE(rig.Outcomes(), outcomes);
        QCOMPARE(exitStatus, status);
        // An answer is no failure: no reason in the record.
        const QJsonObject first = rig.Record()["functions"].toArray().at(0).toObject();
        QCOMPARE(first["reason"].isNull(), !answer.isEmpty());
        QCOMPARE(rig.Record()["exit_status"].toInt(), status);
    }

    // Download and Auto need a readable regular file before anything is sent: a FIFO or a
    // device would block the open or never end.
    void refusesTarget_data() {
        QTest::addColumn<int>("function");
        QTest::addColumn<QString>("file");
        QTest::addColumn<QString>("why");
        QTest::newRow("download, no file") << int(Function::Download) << "" << "--file";
        QTest::newRow("auto, missing file")
            << int(Function::Auto) << "missing.upg" << "No such file or directory";
        QTest::newRow("auto, a named pipe") << int(Function::Auto) << "fifo" << kNotRegular;
        QTest::newRow("auto, /dev/zero") << int(Function::Auto) << "/dev/zero" << kNotRegular;
        QTest::newRow("auto, empty") << int(Function::Auto) << "empty" << "the file is empty";
        QTest::newRow("auto, replaced after the start")
            << int(Function::Auto) << "replaced" << kChanged;
    }
    void refusesTarget() {
        QFETCH(int, function);
        QFETCH(QString, file);
        QFETCH(QString, why);
        QTemporaryDir dir;
        const QString path = file.startsWith('/') ? file : dir.filePath(file);
        if (file == "fifo") {
            QCOMPARE(::mkfifo(path.toLocal8Bit().constData(), 0600), 0);
        }
        Rig rig;
        if (file == "empty" || file == "replaced") {
            QVERIFY(WriteFile(path, file == "empty" ? QByteArray() : RandomImage(3000)));
        }
        if (file == "replaced") {
            // Another image copied over it while the run waits for the reset.
            rig.onWrite = [&path](const std::string&) { WriteFile(path, RandomImage(5000, 7)); };
        }
        rig.fake.Arrive(kSignature[1], 1000);
        QCOMPARE(rig.Run({static_cast<Function>(function), Function::Restart}, 120,
                         file.isEmpty() ? "" : path.toStdString()),
                 exit_status::kFunctionFailed);
        const QString told = why == kChanged ? kChanged : "Invalid Target File";
        QVERIFY(Contents(rig.out).contains(("\n" + told + "\n").toUtf8()));
        const QJsonObject entry = rig.Record()["functions"].toArray().at(0).toObject();
        QVERIFY(entry["result"].isNull());
        QVERIFY2(entry["reason"].toString().contains(why), qPrintable(entry["reason"].toString()));
        // Only the carriage returns of opening and identification, then the exit command.
        QCOMPARE(QString::fromStdString(rig.fake.WrittenText()), QString("\r\r7"));
        if (file == "replaced") {
            // The record describes the image read at the start, which nothing was sent of.
            QCOMPARE(rig.Record()["image"].toObject()["size"].toInt(), 3000);
        }
    }

    // A transfer cut short by Ctrl-C (or SIGTERM, SIGHUP) or by a pulled adapter while the
    // third block is on the line: the receiver acknowledged the first two. The record tells
    // exactly that: no repeats, the three frames the port took, the cut's own result. After
    // a Ctrl-C on the slow boot loader the cancel is followed by the model's quiet period
    // (4 s), as every other drain on that model.
    void cutTransfer_data() {
        QTest::addColumn<bool>("pulled");
        QTest::addColumn<int>("status");
        QTest::addColumn<int>("result");
        QTest::addColumn<QString>("outcome");
        QTest::newRow("Ctrl-C") << false << 130 << -8 << "Interrupted.";
        QTest::newRow("adapter pulled")
            << true << 1 << -9 << QString::fromStdString(LoadString(Str::DownloadAborted));
    }
    void cutTransfer() {
        QFETCH(bool, pulled);
        QFETCH(int, status);
        QFETCH(int, result);
        QFETCH(QString, outcome);
        QTemporaryDir dir;
        const QString image = dir.filePath("image.bin");
        QVERIFY(WriteFile(image, QByteArray(8192, 'x')));
        Rig rig;
        rig.answers["5"] = LoadString(Str::EnterBaseAddress) + "\r\n";
        rig.answers["00000000"] = LoadString(Str::ProgramFlash) + "\r\n";
        rig.answers["Y"] = LoadString(Str::StartXModem) + "\r\n";
        std::uint64_t cancelledAt = 0;
        int frames = 0;
        int cans = 0;
        rig.onWrite = [&](const std::string& text) {
            if (text == "Y") {
                rig.fake.Arrive("C", 500);
            } else if (text.size() > 1000 && ++frames < 3) {
                rig.fake.Arrive("\x06", 300);  // after the frame's time on the line
            } else if (text.size() > 1000 && pulled) {
                rig.fake.FailIn(100, "No such device");
            } else if (text.size() > 1000) {
                rig.fake.StopIn(rig.cancel, 100);
            } else if (text == "\x18" && ++cans == 3) {
                cancelledAt = rig.clock.NowMs();
            }
        };
        rig.fake.Arrive(kSignature[2], 1000);
        QCOMPARE(rig.Run({Function::Download, Function::Restart}, 120, image.toStdString()),
                 status);
        QCOMPARE(rig.Outcomes(), QStringList{"download: " + outcome});
        const QJsonObject record = rig.Record();
        QCOMPARE(record["exit_status"].toInt(), status);
        const QJsonObject expected{{"check", "crc"},         {"frames_sent", 3},
                                   {"bytes_acknowledged", 2048}, {"eot_sent", 0},
                                   {"result", result},       {"image_error", QJsonValue()},
                                   {"repeats", QJsonArray()}};
        QCOMPARE(record["transfers"].toArray(), QJsonArray{expected});
        QCOMPARE(record["functions"].toArray().at(0).toObject()["result"].toInt(), result);
        QVERIFY(!rig.fake.IsOpen());
        if (pulled) {
            // The console retries nothing and waits for nobody: no advice to choose the port.
            QVERIFY2(Contents(rig.out).contains("\nConnection Lost - No such device\n"),
                     Contents(rig.out).constData());
            return;
        }
        QVERIFY(cancelledAt > 0);
        const std::uint64_t quiet = rig.clock.NowMs() - cancelledAt;
        QVERIFY2(quiet >= 4000 && quiet < 5000, QByteArray::number(quint64{quiet}));
    }

    // How deliveries of SIGINT, SIGTERM and SIGHUP count: "SIG@ms" each, the levels reached
    // after each, and the signal the exit status names.
    void signalLevels_data() {
        QTest::addColumn<bool>("station");
        QTest::addColumn<QString>("deliveries");
        QTest::addColumn<QString>("levels");
        QTest::addColumn<int>("signal");
        QTest::newRow("console: Ctrl-C cancels") << false << "INT@0" << "2" << SIGINT;
        QTest::newRow("console: one Ctrl-C under timeout, delivered twice")
            << false << "INT@0 INT@50" << "2 2" << SIGINT;
        QTest::newRow("console: only the third ends at once")
            << false << "INT@0 INT@300 INT@600" << "2 2 3" << SIGINT;
        QTest::newRow("console: SIGTERM") << false << "TERM@0 TERM@100" << "2 2" << SIGTERM;
        QTest::newRow("console: SIGHUP") << false << "HUP@0" << "2" << SIGHUP;
        QTest::newRow("station: each Ctrl-C a level")
            << true << "INT@0 INT@199 INT@400 INT@800" << "1 1 2 3" << SIGINT;
        QTest::newRow("station: SIGHUP cancels at once, then Ctrl-C twice")
            << true << "HUP@0 INT@10 INT@500" << "2 2 3" << SIGHUP;
        QTest::newRow("station: another signal within the window counts")
            << true << "INT@0 TERM@10" << "1 2" << SIGTERM;
    }
    void signalLevels() {
        QFETCH(bool, station);
        QFETCH(QString, deliveries);
        QFETCH(int, signal);
        const std::map<QString, int> numbers = {
            {"INT", SIGINT}, {"TERM", SIGTERM}, {"HUP", SIGHUP}};
        SignalPolicy policy(station ? SignalPolicy::Mode::Station : SignalPolicy::Mode::Console);
        QStringList levels;
        for (const QString& delivery : deliveries.split(' ')) {
            const QStringList parts = delivery.split('@');
            // Monotonic time does not start at 0.
            const std::int64_t ns = (5000 + parts[1].toLongLong()) * 1'000'000;
            levels << QString::number(policy.Deliver(numbers.at(parts[0]), ns));
        }
        QTEST(levels.join(' '), "levels");
        QCOMPARE(policy.Signal(), signal);
    }

    // What the line carried during the wait decides what the operator is told.
    void classification_data() {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("kind");
        QTest::addColumn<int>("model");
        QTest::addColumn<QString>("mentions");

        QTest::newRow("silence") << QByteArray() << "nothing" << -1 << "cable";
        QTest::newRow("application text")
            << QByteArray("Meter v2.1 ready\r\n") << "unknown-bytes" << -1 << "4d 65 74 65";
        QTest::newRow("wrong speed: high bytes")
            << QByteArray("\xf8\x80\xfe\x00\x78", 5) << "unknown-bytes" << -1 << "38400";
        QTest::newRow("boot loader already at its menu answers with its prompt")
            << QByteArray("\r\n>") << "unknown-bytes" << -1 << "may already be at its menu";
        QTest::newRow("model 0, no prompt")
            << QByteArray("\t\t\t\r") << "signature-without-prompt" << 0 << "transmit";
        QTest::newRow("model 1 after noise, then a wrong prompt")
            << QByteArray("zz\n\n\n\r> \r\n") << "signature-without-prompt" << 1 << "3e 20";
        QTest::newRow("stray LF before model 2 reads as model 1")
            << QByteArray("\n\n\n\r\r") << "signature-without-prompt" << 1 << "0d";
    }
    void classification() {
        QFETCH(QByteArray, bytes);
        QFETCH(QString, mentions);
        LineObservation seen;
        for (char c : bytes) {
            seen.Take(static_cast<std::uint8_t>(c));
        }
        QCOMPARE(seen.bytesSeen, std::uint64_t(bytes.size()));
        QTEST(seen.signatureModel, "model");
        const SilenceDiagnosis d = DiagnoseSilence(seen, "COM3 (/dev/ttyUSB0)", 120);
        QTEST(QString::fromStdString(d.kind), "kind");
        const QString text = QString::fromStdString(d.text);
        QVERIFY2(text.startsWith("No instrument identified on COM3 (/dev/ttyUSB0) within 120 s."),
                 d.text.c_str());
        QVERIFY2(text.contains(mentions), d.text.c_str());
    }

    void watchedPortNotesWhatIsTaken() {
        Rig rig;
        WatchedPort& port = rig.port;
        QVERIFY(port.Open("/dev/fake"));
        rig.fake.Arrive("xy\t\t\t\r");
        QVERIFY(port.Take());
        QVERIFY(port.Take());
        port.DiscardInput();  // four bytes thrown away unseen still count as seen
        QCOMPARE(port.Observed().bytesSeen, std::uint64_t{6});
        QCOMPARE(port.Observed().signatureModel, -1);
        port.StartObserving();
        QCOMPARE(port.Observed().bytesSeen, std::uint64_t{0});
    }
};

QTEST_GUILESS_MAIN(ConsoleRunTest)
#include "test_console_run.moc"
