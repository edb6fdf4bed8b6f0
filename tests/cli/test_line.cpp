// The production line's pieces: job files and their check, the doctor and the port list, on
// a made-up machine (FakeSystem); and the doctor on the real machine over a pseudo-terminal.
#include <QCryptographicHash>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include "cli/doctor.h"
#include "cli/job.h"
#include "cli/port_listing.h"
#include "cli/real_system_view.h"
#include "fake_system.h"
#include "images.h"
#include "line_rig.h"

using namespace vantrel;
using namespace vantrel::cli;
using namespace vantrel::test;

namespace {

const std::string kByPath = "/dev/serial/by-path/pci-0000:00:14.0-usb-0:1.2:1.0-port0";

// Two FTDI adapters (one by position), a built-in port, a pseudo-terminal, the user in dialout.
FakeSystem Machine() {
    FakeSystem m;
    m.Device("/dev/ttyUSB0", 188, 0);
    m.File("/run/udev/data/c188:0", "S:" + kByPath.substr(5) +
                                        "\nE:ID_BUS=usb\nE:ID_VENDOR_ID=0403\nE:ID_MODEL_ID=6001\n"
                                        "E:ID_SERIAL_SHORT=A50285BI\n");
    m.Link(kByPath, "../../ttyUSB0");
    m.Device("/dev/ttyUSB1", 188, 1);
    m.File("/run/udev/data/c188:1", "E:ID_BUS=usb\nE:ID_VENDOR_ID=1a86\nE:ID_MODEL_ID=7523\n");
    m.Device("/dev/ttyS0", 4, 64);
    m.Device("/dev/pts/3", 136, 3, 0620, 5);
    m.nodes["/dev/pts/3"].status.uid = m.user.uid;  // a terminal belongs to its user
    m.Device("/dev/null", 1, 3, 0666, 0);
    m.ports = {{"COM33", "/dev/ttyUSB0"}, {"COM34", "/dev/ttyUSB1"}};
    m.Process(1, "systemd");
    m.Process(FakeSystem::kOwnPid, "vantrel", {"/dev/ttyUSB0"});  // never reported
    return m;
}

// Each fact a row names, made true of `m`.
void Apply(FakeSystem& m, const QStringList& facts) {
    for (const QString& fact : facts) {
        const std::string f = fact.toStdString();
        if (f == "not in dialout") {
            m.user.groups = m.user.accountGroups = {1000};
        } else if (f == "added to dialout later") {
            m.user.groups = {1000};
        } else if (f == "owner only") {
            m.Device("/dev/ttyUSB0", 188, 0, 0600);
        } else if (f == "root") {
            m.Device("/dev/ttyUSB0", 188, 0, 0600);
            m.user = {0, "root", {0}, {0}};
        } else if (f == "held") {
            m.Process(812, "minicom", {"/dev/pts/1", "/dev/ttyUSB0"});
        } else if (f == "stale lock") {
            m.File("/run/lock/LCK..ttyUSB0", "      9999\n");
        } else if (f == "own stale lock") {
            m.File("/run/lock/LCK..ttyUSB0", "9999\nvantrel\n");
            m.nodes["/run/lock/LCK..ttyUSB0"].status.uid = m.user.uid;
        } else if (f == "locked") {
            m.Process(815, "cu");
            m.File("/var/lock/LCK..ttyUSB0", "815\ncu\nbench\n");
        } else if (f == "bad lock") {
            m.File("/run/lock/LCK..ttyUSB0", "\x01\x02\x03\x04");
        } else if (f == "ModemManager") {
            m.Process(600, "ModemManager");
        } else if (f.rfind("E:", 0) == 0) {
            m.nodes["/run/udev/data/c188:0"].text += f + "\n";
        } else if (f == "brltty") {
            m.File("/usr/lib/udev/rules.d/85-brltty.rules", "ACTION==\"add\"\n");
        } else if (f == "brltty masked") {
            m.Link("/etc/udev/rules.d/85-brltty.rules", "/dev/null");
        } else if (f == "latency 16") {
            m.File("/sys/class/tty/ttyUSB0/device/latency_timer", "16\n");
        } else if (f == "hidden process") {
            m.Process(700, "cron", {}, false);
        } else if (f == "no ports") {
            m.ports.clear();
        } else if (f == "open refused") {
            m.trial.error = "Cannot open the serial port \"/dev/ttyUSB0\": the port is in use";
        } else if (f == "low latency") {
            m.trial.lowLatency = true;
        } else {
            qFatal("unknown fact %s", f.c_str());
        }
    }
}

QString Sha256(const QByteArray& data) {
    return QString::fromLatin1(QCryptographicHash::hash(data, QCryptographicHash::Sha256).toHex());
}

QStringList Lines(const std::vector<std::string>& errors) {
    QStringList lines;
    for (const auto& e : errors) {
        lines << QString::fromStdString(e);
    }
    return lines;
}

// A job folder: the image (1500 bytes, so that the padded bytes differ from the file's) and
// job.toml with {SHA} replaced by the image's SHA-256.
struct JobFolder {
    QTemporaryDir dir;
    QByteArray image = RandomImage(1500);
    QString job = dir.filePath("job.toml");
    bool Write(QString text, const QString& sha) {
        return WriteFile(dir.filePath("image.upg"), image) &&
               WriteFile(job, text.replace("{SHA}", sha).toUtf8());
    }
};

const QString kHead = "image = \"image.upg\"\nsha256 = \"{SHA}\"\n";         // lines 1-2
const QString kSlot = "[[slot]]\nname = \"A1\"\nport = \"/dev/ttyUSB0\"\n";  // 3 lines

}  // namespace

class LineTest : public QObject {
    Q_OBJECT
private slots:
    // expected: "LINE|words" of one error (LINE empty: the file as a whole); empty: accepted,
    // with `summary` what was read.
    void readJob_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("expected");
        QTest::addColumn<QString>("summary");
        QTest::newRow("defaults; a path beside the job; the hash in capitals")
            << "image = \"image.upg\"\nsha256 = \"{SHA}\"\n" + kSlot << ""
            << "image.upg auto,restart any 0 0 no-record A1=/dev/ttyUSB0";
        QTest::newRow("every key")
            << kHead +
                   "functions = [\"erase\", \"download\"]\nmodels = [0, 2]\n"
                   "record = \"rec/line3.jsonl\"\ncount = 30\nwait = 600\n" +
                   kSlot + "[[slot]]\nname = \"A2\"\nport = \"COM34\"\n"
            << ""
            << "image.upg erase,download 0,2 30 600 rec/line3.jsonl A1=/dev/ttyUSB0 A2=COM34";
        QTest::newRow("syntax error") << "image = \"image.upg\n" + kSlot << "1|"
                                      << "";
        QTest::newRow("unknown key")
            << kHead + "imgae = \"x.upg\"\n" + kSlot << "3|unknown key \"imgae\""
            << "";
        QTest::newRow("unknown key in a slot")
            << kHead + "[[slot]]\nname = \"A1\"\nprot = \"/dev/ttyUSB0\"\n"
            << "5|unknown key \"prot\" in a slot"
            << "";
        QTest::newRow("slot without a port") << kHead + "[[slot]]\nname = \"A1\"\n"
                                             << "3|a slot needs both a name and a port"
                                             << "";
        QTest::newRow("image not a string")
            << "image = 5\nsha256 = \"{SHA}\"\n" + kSlot << "1|image must be a string"
            << "";
        QTest::newRow("count as text")
            << kHead + "count = \"5\"\n" + kSlot << "3|count must be a whole number from 0"
            << "";
        QTest::newRow("negative count")
            << kHead + "count = -1\n" + kSlot << "3|count must be a whole number from 0"
            << "";
        QTest::newRow("negative wait")
            << kHead + "wait = -5\n" + kSlot << "3|wait must be a whole number from 0"
            << "";
        QTest::newRow("missing sha256") << "image = \"image.upg\"\n" + kSlot << "|sha256 is missing"
                                        << "";
        QTest::newRow("missing image") << "sha256 = \"{SHA}\"\n" + kSlot << "|image is missing"
                                       << "";
        QTest::newRow("sha256 too short") << "image = \"image.upg\"\nsha256 = \"abc\"\n" + kSlot
                                          << "2|sha256 must be 64 hexadecimal digits"
                                          << "";
        QTest::newRow("no such function") << kHead + "functions = [\"auto\", \"flash\"]\n" + kSlot
                                          << "3|functions: \"flash\" is no function"
                                          << "";
        QTest::newRow("no function at all")
            << kHead + "functions = []\n" + kSlot << "3|functions must be a list"
            << "";
        QTest::newRow("model 3") << kHead + "models = [0, 3]\n" + kSlot
                                 << "3|models: each model is 0, 1 or 2"
                                 << "";
        QTest::newRow("slot name twice, other case")
            << kHead + kSlot + "[[slot]]\nname = \"a1\"\nport = \"/dev/ttyUSB1\"\n"
            << "6|the slot name \"a1\" is used already (line 3)"
            << "";
        QTest::newRow("port twice") << kHead + kSlot +
                                           "[[slot]]\nname = \"A2\"\nport = "
                                           "\"/dev/ttyUSB0\"\n"
                                    << "6|the port /dev/ttyUSB0 is used already"
                                    << "";
        QTest::newRow("slot name with a space")
            << kHead + "[[slot]]\nname = \"A 1\"\nport = \"/dev/ttyUSB0\"\n"
            << "4|a slot's name is at most 16"
            << "";
        QTest::newRow("[slot] for [[slot]]") << kHead + "[slot]\nname = \"A1\"\nport = \"COM3\"\n"
                                             << "3|slots are written [[slot]]"
                                             << "";
        QTest::newRow("no slot") << kHead << "|no [[slot]]"
                                 << "";
        QTest::newRow("no job file") << "-"
                                     << "|cannot be read"
                                     << "";
    }
    void readJob() {
        QFETCH(QString, text);
        QFETCH(QString, expected);
        JobFolder folder;
        const bool capitals = QByteArray(QTest::currentDataTag()).startsWith("defaults");
        const QString sha = capitals ? Sha256(folder.image).toUpper() : Sha256(folder.image);
        QVERIFY(text == "-" || folder.Write(text, sha));
        const JobRead read = ReadJob(folder.job.toStdString());
        const QStringList errors = Lines(read.errors);
        if (expected.isEmpty()) {
            QVERIFY2(read.job && errors.isEmpty(), qPrintable(errors.join('\n')));
            const Job& job = *read.job;
            QStringList functions, models, places;
            for (Function f : job.functions) {
                functions << QString::fromStdString(FunctionName(f));
            }
            for (int m : job.models) {
                models << QString::number(m);
            }
            for (const JobSlot& s : job.fixture) {
                places << QString::fromStdString(s.name + "=" + s.port);
            }
            const QString prefix = folder.dir.path() + "/";
            const QString summary =
                QStringList{QString::fromStdString(job.image).remove(prefix),
                            functions.join(','),
                            models.isEmpty() ? "any" : models.join(','),
                            QString::number(job.count),
                            QString::number(job.waitSeconds),
                            job.record.empty() ? "no-record"
                                               : QString::fromStdString(job.record).remove(prefix),
                            places.join(' ')}
                    .join(' ');
            QTEST(summary, "summary");
            QCOMPARE(QString::fromStdString(job.sha256), Sha256(folder.image));
            return;
        }
        const QString line = expected.section('|', 0, 0);
        const QString prefix = folder.job + (line.isEmpty() ? ": " : ":" + line + ": ");
        const QString words = expected.section('|', 1);
        QVERIFY(!read.job);
        QVERIFY2(std::any_of(errors.begin(), errors.end(),
                             [&](const QString& e) {
                                 return e.startsWith(prefix) && e.size() > prefix.size() &&
                                        e.contains(words);
                             }),
                 qPrintable(errors.join('\n')));
    }

    // The job check on a made-up machine: the image's hash, and each slot's device.
    void jobCheck_data() {
        QTest::addColumn<QString>("fixture");  // name=port ...
        QTest::addColumn<QString>("image");    // as written, or "empty", "other"
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("expected");  // in the output (0) or the errors (2)
        const QString byPath = QString::fromStdString(kByPath);
        QTest::newRow("by-path link and COM name") << "A1=" + byPath + " A2=COM34"
                                                   << "" << 0
                                                   << "slot A1               " + byPath +
                                                          "  ->  /dev/ttyUSB0\nslot A2       "
                                                          "        COM34  ->  /dev/ttyUSB1\n";
        QTest::newRow("the file's own hash, not the padded bytes'")
            << "A1=/dev/ttyUSB0"
            << "" << 0 << "(1500 bytes, SHA-256 as the job names)";
        QTest::newRow("another image") << "A1=/dev/ttyUSB0"
                                       << "other" << 2 << "job.toml:2: the image ";
        QTest::newRow("empty image") << "A1=/dev/ttyUSB0"
                                     << "empty" << 2 << "is empty";
        QTest::newRow("no image") << "A1=/dev/ttyUSB0"
                                  << "missing" << 2 << "cannot be used: No such file";
        QTest::newRow("a by-path link and its tty")
            << "A1=/dev/ttyUSB0 A2=" + byPath << "" << 2
            << "slot \"A2\" leads to the same device as slot \"A1\" (line 3)";
        QTest::newRow("two nodes of one device number") << "A1=COM33 A2=/dev/ttyX9"
                                                        << "" << 2 << "leads to the same device";
        QTest::newRow("adapter not plugged in")
            << "A1=/dev/serial/by-path/pci-0000:00:14.0-usb-0:1.9:1.0-port0"
            << "" << 2 << "stands for no serial device now";
        QTest::newRow("COM name for nothing")
            << "A1=COM40"
            << "" << 2 << ":3: slot \"A1\": COM40 stands for no serial";
    }
    void jobCheck() {
        QFETCH(QString, fixture);
        QFETCH(QString, image);
        QFETCH(int, status);
        QFETCH(QString, expected);
        JobFolder folder;
        QString text = kHead;
        for (const QString& slot : fixture.split(' ')) {
            text += "[[slot]]\nname = \"" + slot.section('=', 0, 0) + "\"\nport = \"" +
                    slot.section('=', 1) + "\"\n";
        }
        if (image == "missing") {
            text.replace("image.upg", "gone.upg");
        }
        QVERIFY(folder.Write(text, Sha256(folder.image)));
        QByteArray changed = folder.image;
        changed[700] = char(changed[700] ^ 1);
        if (image == "empty" || image == "other") {
            QVERIFY(WriteFile(folder.dir.filePath("image.upg"), image == "empty" ? "" : changed));
        }
        FakeSystem machine = Machine();
        machine.Device("/dev/ttyX9", 188, 0);
        std::FILE* out = std::tmpfile();
        std::FILE* err = std::tmpfile();
        QCOMPARE(RunJobCheck(folder.job.toStdString(), machine, out, err), status);
        const QString said = QString::fromUtf8(Contents(status == 0 ? out : err));
        QVERIFY2(said.contains(expected), qPrintable(said));
        QCOMPARE(Contents(status == 0 ? err : out), QByteArray());
        std::fclose(out);
        std::fclose(err);
        QVERIFY(machine.opened.empty());
    }

    // One row per finding: its words and its fix.
    void doctor_data() {
        QTest::addColumn<QStringList>("ports");  // none: every listed port
        QTest::addColumn<bool>("open");
        QTest::addColumn<QStringList>("facts");
        QTest::addColumn<int>("status");
        QTest::addColumn<QStringList>("expected");
        const QString byPath = QString::fromStdString(kByPath);
        QTest::newRow("all well: every listed port, nothing opened")
            << QStringList{} << false << QStringList{} << 0
            << QStringList{
                   "COM33  /dev/ttyUSB0\n  ok       you may read and write /dev/ttyUSB0 "
                   "(crw-rw----, group dialout)",
                   "USB adapter 0403:6001, serial number A50285BI, at " + byPath,
                   "COM34  /dev/ttyUSB1\n",
                   "USB adapter 1a86:7523, no serial number, "
                   "no /dev/serial/by-path name",
                   "No problems found (no port was opened; --open tries that too)."};
        QTest::newRow("not in dialout")
            << QStringList{"COM33"} << false << QStringList{"not in dialout"} << 1
            << QStringList{"you are not in the group \"dialout\"",
                           "Fix: Add yourself to it (sudo usermod "
                           "-aG dialout $USER), then log out"};
        QTest::newRow("added to dialout after logging in")
            << QStringList{"COM33"} << false << QStringList{"added to dialout later"} << 1
            << QStringList{"after this session began", "Fix: Log out and log in again."};
        QTest::newRow("owner only") << QStringList{"COM33"} << false << QStringList{"owner only"}
                                    << 1 << QStringList{"Fix: Give the device to a group"};
        QTest::newRow("root may") << QStringList{"COM33"} << false << QStringList{"root"} << 0
                                  << QStringList{"ok       you may read and write"};
        QTest::newRow("held by another program")
            << QStringList{byPath} << false << QStringList{"held"} << 1
            << QStringList{byPath + "  /dev/ttyUSB0\n",
                           "PROBLEM  minicom (PID 812) has it open\n           Fix: Close that "
                           "program (or stop its service), then try again."};
        QTest::newRow("another user's stale lock file")
            << QStringList{"COM33"} << false << QStringList{"stale lock"} << 1
            << QStringList{
                   "/run/lock/LCK..ttyUSB0 is stale: PID "
                   "9999 no longer runs",
                   "Fix: Remove it (sudo rm "
                   "/run/lock/LCK..ttyUSB0)."};
        QTest::newRow("stale lock file of one's own: the open removes it")
            << QStringList{"COM33"} << false << QStringList{"own stale lock"} << 0
            << QStringList{
                   "info     the lock file /run/lock/LCK..ttyUSB0 is stale: PID 9999 no "
                   "longer runs; vantrel removes it"};
        QTest::newRow("lock file of a running program")
            << QStringList{"COM33"} << false << QStringList{"locked"} << 1
            << QStringList{"cu (PID 815) holds the lock file /var/lock/LCK..ttyUSB0"};
        QTest::newRow("lock file without a PID")
            << QStringList{"COM33"} << false << QStringList{"bad lock"} << 1
            << QStringList{"names no process"};
        QTest::newRow("ModemManager probes USB ports")
            << QStringList{"COM33"} << false << QStringList{"ModemManager"} << 1
            << QStringList{"ModemManager is running (PID 600)",
                           "ModemManager may probe it with AT commands",
                           "ATTRS{idVendor}==\"0403\", ATTRS{idProduct}==\"6001\", "
                           "ENV{ID_MM_DEVICE_IGNORE}=\"1\""};
        QTest::newRow("ModemManager told to leave it")
            << QStringList{"COM33"} << false
            << QStringList{"ModemManager", "E:ID_MM_DEVICE_IGNORE=1"} << 0
            << QStringList{"told to leave it alone (ID_MM_DEVICE_IGNORE)"};
        QTest::newRow("ModemManager only scans it when asked")
            << QStringList{"COM33"} << false
            << QStringList{"ModemManager", "E:ID_MM_TTY_MANUAL_SCAN_ONLY=1"} << 0
            << QStringList{"told to leave it alone (ID_MM_TTY_MANUAL_SCAN_ONLY)"};
        QTest::newRow("ModemManager leaves built-in ports")
            << QStringList{"/dev/ttyS0"} << false << QStringList{"ModemManager"} << 0
            << QStringList{"no USB identity"};
        QTest::newRow("brltty") << QStringList{"COM33"} << false << QStringList{"brltty"} << 1
                                << QStringList{"This machine\n  PROBLEM  brltty is installed",
                                               "Fix: Remove it (sudo apt-get remove brltty)"};
        QTest::newRow("brltty masked")
            << QStringList{"COM33"} << false << QStringList{"brltty", "brltty masked"} << 0
            << QStringList{"udev rules are masked"};
        QTest::newRow("pseudo-terminal") << QStringList{"/dev/pts/3"} << false << QStringList{} << 0
                                         << QStringList{"no USB identity, no low-latency"};
        QTest::newRow("adapter latency 16 ms")
            << QStringList{"COM33"} << false << QStringList{"latency 16"} << 0
            << QStringList{"up to 16 ms; vantrel asks"};
        QTest::newRow("other users' processes unseen")
            << QStringList{"COM33"} << false << QStringList{"hidden process"} << 0
            << QStringList{"open files of 1 process of other users cannot be seen"};
        QTest::newRow("no device") << QStringList{"/dev/ttyUSB7"} << false << QStringList{} << 1
                                   << QStringList{"there is no device /dev/ttyUSB7"};
        QTest::newRow("COM name for nothing") << QStringList{"COM40"} << false << QStringList{} << 1
                                              << QStringList{"COM40 stands for no serial"};
        QTest::newRow("not a device") << QStringList{"/run/udev/data/c188:0"} << false
                                      << QStringList{} << 1 << QStringList{"is no device"};
        QTest::newRow("no ports at all") << QStringList{} << false << QStringList{"no ports"} << 1
                                         << QStringList{"no serial ports found"};
        QTest::newRow("--open: it opens")
            << QStringList{"COM33"} << true << QStringList{"low latency"} << 0
            << QStringList{"it opens at 38400 baud", "took the request for low latency",
                           "No problems found.\n"};
        QTest::newRow("--open: refused")
            << QStringList{"COM33"} << true << QStringList{"open refused"} << 1
            << QStringList{"PROBLEM  Cannot open the serial port"};
        QTest::newRow("--open: not over a problem")
            << QStringList{"COM33"} << true << QStringList{"held"} << 1
            << QStringList{"not opened"};
    }
    void doctor() {
        QFETCH(QStringList, ports);
        QFETCH(bool, open);
        QFETCH(QStringList, facts);
        QFETCH(int, status);
        QFETCH(QStringList, expected);
        FakeSystem machine = Machine();
        Apply(machine, facts);
        std::vector<std::string> names;
        for (const QString& p : ports) {
            names.push_back(p.toStdString());
        }
        std::FILE* out = std::tmpfile();
        QCOMPARE(RunDoctor(names, open, machine, out), status);
        const QString said = QString::fromUtf8(Contents(out));
        std::fclose(out);
        for (const QString& words : expected) {
            QVERIFY2(said.contains(words), qPrintable(said));
        }
        // Nothing opened unless asked, and never a port with a problem.
        QCOMPARE(machine.opened.size(), std::size_t(open && !facts.contains("held") ? 1 : 0));
    }

    void portList_data() {
        QTest::addColumn<QStringList>("ports");  // NAME=DEVICE
        QTest::addColumn<QString>("expected");
        const QString byPath = QString::fromStdString(kByPath);
        QTest::newRow("built-in, USB with and without serial and by-path, alias to a pty")
            << QStringList{"COM1=/dev/ttyS0", "COM33=/dev/ttyUSB0", "COM34=/dev/ttyUSB1",
                           "COM7=/dev/pts/3"}
            << "COM1  /dev/ttyS0\n"
               "COM33 /dev/ttyUSB0  USB 0403:6001 serial A50285BI  " +
                   byPath +
                   "\n"
                   "COM34 /dev/ttyUSB1  USB 1a86:7523 no serial number\n"
                   "COM7  /dev/pts/3\n";
        QTest::newRow("what an adapter says of itself is not sent to the terminal as it is")
            << QStringList{"COM35=/dev/ttyUSB2"}
            << "COM35 /dev/ttyUSB2  USB 0403:6015 serial A?[2J\n";
        QTest::newRow("no ports") << QStringList{} << "";
    }
    void portList() {
        QFETCH(QStringList, ports);
        FakeSystem machine = Machine();
        machine.Device("/dev/ttyUSB2", 188, 2);
        machine.File("/run/udev/data/c188:2",
                     "E:ID_USB_VENDOR_ID=0403\nE:ID_USB_MODEL_ID=6015\n"
                     "E:ID_USB_SERIAL_SHORT=A\x1b[2J\n");
        std::vector<PortEntry> entries;
        for (const QString& p : ports) {
            entries.push_back(
                {p.section('=', 0, 0).toStdString(), p.section('=', 1).toStdString()});
        }
        QTEST(QString::fromStdString(FormatPortList(DescribePorts(entries, machine))), "expected");
    }

    // The real machine: a pseudo-terminal held by a program nobody here wrote, then free and
    // opened by --open.
    void doctorOnThisMachine_data() {
        QTest::addColumn<bool>("held");
        QTest::newRow("held by sleep") << true;
        QTest::newRow("free: --open opens and closes it") << false;
    }
    void doctorOnThisMachine() {
        QFETCH(bool, held);
        Pty pty;
        QVERIFY(pty.OpenMaster());
        QProcess holder;
        if (held) {
            holder.setStandardInputFile(pty.SlavePath());
            holder.start("sleep", {"60"});
            QVERIFY(holder.waitForStarted(kStartLimitMs));
        }
        RealSystemView view;
        std::FILE* out = std::tmpfile();
        const int status = RunDoctor({pty.SlavePath().toStdString()}, !held, view, out);
        const QString said = QString::fromUtf8(Contents(out));
        std::fclose(out);
        const qint64 pid = holder.processId();
        holder.kill();
        holder.waitForFinished(kStartLimitMs);
        QVERIFY2(said.contains("a pseudo-terminal: no USB identity"), qPrintable(said));
        if (held) {
            QCOMPARE(status, 1);
            QVERIFY2(said.contains(QString("sleep (PID %1) has it open").arg(pid)),
                     qPrintable(said));
        } else {
            QVERIFY2(said.contains("it opens at 38400 baud"), qPrintable(said));
            QVERIFY(pty.OpenedAndClosed());
        }
    }
};

QTEST_GUILESS_MAIN(LineTest)
#include "test_line.moc"
