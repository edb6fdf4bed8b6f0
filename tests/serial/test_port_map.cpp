// The COM names of the port list: aliases, fixed device numbers and the sorted order, on
// pseudo-terminals standing in for serial devices.
#include <sys/stat.h>
#include <unistd.h>

#include <QTemporaryDir>
#include <QTest>
#include <filesystem>

#include "images.h"
#include "line_rig.h"
#include "serial/port_map.h"

using namespace vantrel;
using namespace vantrel::test;

namespace {

// Targets a row can point a link at.
//   pty1, pty2: pseudo-terminals (serial devices); missing: nothing; file: a plain file;
//   null: /dev/null (a character device that is no terminal); dev:NAME: a system device.
struct Stage {
    Stage() {
        pty1.OpenMaster();
        pty2.OpenMaster();
        root = dir.path().toStdString();
        aliases = root + "/ports";
        devices = root + "/dev";
        std::filesystem::create_directories(aliases);
        std::filesystem::create_directories(devices);
        WriteFile(QString::fromStdString(root + "/plain.txt"), "not a port\n");
    }

    std::string Target(const QString& key) const {
        if (key.startsWith("pty")) {
            return (key == "pty1" ? pty1 : pty2).SlavePath().toStdString();
        }
        if (key.startsWith("dev:")) {
            return devices + "/" + key.mid(4).toStdString();
        }
        return key == "null" ? "/dev/null" : root + (key == "file" ? "/plain.txt" : "/missing");
    }

    // "NAME=target" entries become links NAME -> target in `folder`; returns the link paths.
    std::vector<std::string> Link(const std::string& folder, const QStringList& entries) const {
        std::vector<std::string> paths;
        for (const QString& entry : entries) {
            const QString name = entry.section('=', 0, 0);
            const std::string path = folder + "/" + name.toStdString();
            std::filesystem::create_symlink(Target(entry.section('=', 1)), path);
            paths.push_back(path);
        }
        return paths;
    }

    // "NAME=target" entries with the target's path.
    QStringList Resolved(const QStringList& entries) const {
        QStringList out;
        for (const QString& entry : entries) {
            out << entry.section('=', 0, 0) + "=" +
                       QString::fromStdString(Target(entry.section('=', 1)));
        }
        return out;
    }

    QTemporaryDir dir;
    Pty pty1;
    Pty pty2;
    std::string root;
    std::string aliases;
    std::string devices;
};

}  // namespace

class PortMapTest : public QObject {
    Q_OBJECT
private slots:

    void mapPorts_data() {
        QTest::addColumn<bool>("haveAliasFolder");
        QTest::addColumn<QStringList>("aliases");
        QTest::addColumn<QStringList>("system");
        QTest::addColumn<QStringList>("expected");

        QTest::newRow("alias through a further link, and the device's own number")
            << true << QStringList{"COM8=dev:ttyUSB5"} << QStringList{"ttyUSB5=pty2"}
            << QStringList{"COM38=dev:ttyUSB5", "COM8=pty2"};
        QTest::newRow("dangling alias: dropped, and its number not handed to another device")
            << true << QStringList{"COM1=missing"} << QStringList{"ttyS0=pty1", "ttyS1=pty2"}
            << QStringList{"COM2=dev:ttyS1"};
        QTest::newRow("aliases to a plain file or not named COM1..COM99 dropped; /dev/null kept")
            << true
            << QStringList{"COM2=file", "COM3=null",     "COM0=pty1", "COM100=pty1", "COM05=pty1",
                           "com4=pty1", "COM4.bak=pty1", "COMX=pty1", "COM=pty1"}
            << QStringList{} << QStringList{"COM3=null"};
        QTest::newRow("fixed numbers at both ends of each family, no alias folder")
            << false << QStringList{}
            << QStringList{"ttyS0=pty1",    "ttyS31=pty2",  "ttyUSB0=pty1",
                           "ttyUSB31=pty2", "ttyACM0=pty1", "ttyACM31=pty2"}
            << QStringList{"COM1=dev:ttyS0",     "COM32=dev:ttyS31",  "COM33=dev:ttyUSB0",
                           "COM64=dev:ttyUSB31", "COM65=dev:ttyACM0", "COM96=dev:ttyACM31"};
        QTest::newRow("outside the fixed ranges and other device names: not listed")
            << true << QStringList{}
            << QStringList{"ttyS32=pty1", "ttyUSB32=pty1", "ttyACM32=pty1", "ttyAMA0=pty1",
                           "ttyS01=pty1", "ttyUSB=pty1",   "rfcomm0=pty1",  "ttyS1=file"}
            << QStringList{};
        QTest::newRow("text order: COM10 before COM2, COM3 before COM33")
            << true << QStringList{"COM3=pty1", "COM10=pty2", "COM2=pty1", "COM1=pty2"}
            << QStringList{"ttyUSB0=pty1"}
            << QStringList{"COM1=pty2", "COM10=pty2", "COM2=pty1", "COM3=pty1",
                           "COM33=dev:ttyUSB0"};
    }

    void mapPorts() {
        QFETCH(bool, haveAliasFolder);
        QFETCH(QStringList, aliases);
        QFETCH(QStringList, system);
        QFETCH(QStringList, expected);

        Stage stage;
        QVERIFY(stage.pty1.Fd() >= 0 && stage.pty2.Fd() >= 0);
        stage.Link(stage.aliases, aliases);
        const std::vector<std::string> devices = stage.Link(stage.devices, system);
        const std::string folder = haveAliasFolder ? stage.aliases : stage.root + "/absent";

        QStringList got;
        for (const auto& entry : MapPorts(folder, devices)) {
            got << QString::fromStdString(entry.name + "=" + entry.device);
        }
        QCOMPARE(got, stage.Resolved(expected));
        // Listing opens nothing: an open raises a real port's modem lines.
        QVERIFY(!stage.pty1.OpenedAndClosed() && !stage.pty2.OpenedAndClosed());
    }

    // Listed all the same, so choosing it tells the operator why it cannot be opened.
    void keptWhenTheUserCannotOpenIt() {
        if (::geteuid() != 0) {
            QSKIP("needs root to act as another user");
        }
        Stage stage;
        QCOMPARE(::chmod(stage.pty1.SlavePath().toLocal8Bit().constData(), 0600), 0);
        QCOMPARE(::chmod(stage.root.c_str(), 0755), 0);
        QCOMPARE(::chmod(stage.aliases.c_str(), 0755), 0);
        stage.Link(stage.aliases, {"COM5=pty1"});
        const QByteArray names = AsNobody([&] {
            std::string text;
            for (const auto& entry : MapPorts(stage.aliases, {})) {
                text += entry.name + " ";
            }
            return text;
        });
        QCOMPARE(names.trimmed(), QByteArray("COM5"));
    }

    // Row name: what the operator asked for.
    void resolvePort_data() {
        QTest::addColumn<QString>("device");
        QTest::newRow("COM1") << "/dev/ttyS0";
        QTest::newRow("com33") << "/dev/ttyUSB0";        // any letter case
        QTest::newRow("COM007") << "/dev/pts/4";         // leading zeros
        QTest::newRow("COM99999999999999999999") << "";  // unlisted
        QTest::newRow("/dev/ttyACM0") << "/dev/ttyACM0";
        QTest::newRow("COMX") << "COMX";  // no number: not a COM name
    }

    void resolvePort() {
        QFETCH(QString, device);
        const std::vector<PortEntry> entries = {
            {"COM1", "/dev/ttyS0"}, {"COM33", "/dev/ttyUSB0"}, {"COM7", "/dev/pts/4"}};
        QCOMPARE(QString::fromStdString(ResolvePort(entries, QTest::currentDataTag())), device);
    }

    // The kernel's ttys as the port list takes them, from a made-up /sys/class/tty: an entry
    // is "NAME" (a device behind it), "NAME:TYPE" (a built-in port's UART type) or "NAME!" (no
    // device: a console or a pseudo-terminal).
    void serialDevicesIn_data() {
        QTest::addColumn<QStringList>("ttys");
        QTest::addColumn<QStringList>("expected");
        QTest::newRow("adapters and built-in ports; reserved ports and consoles left out")
            << QStringList{"ttyUSB0", "ttyACM2", "ttyS0:4", "ttyS5:0", "tty1!", "ptmx!", "ttyS9"}
            << QStringList{"/dev/ttyACM2", "/dev/ttyS0", "/dev/ttyS9", "/dev/ttyUSB0"};
        QTest::newRow("no such folder") << QStringList{} << QStringList{};
    }
    void serialDevicesIn() {
        QFETCH(QStringList, ttys);
        QTemporaryDir dir;
        const std::string root = dir.path().toStdString();
        std::filesystem::create_directories(root + "/devices/port");
        for (const QString& tty : ttys) {
            const std::string folder =
                root + "/class/" + tty.section(QRegularExpression("[:!]"), 0, 0).toStdString();
            std::filesystem::create_directories(folder);
            if (!tty.endsWith('!')) {
                std::filesystem::create_directory_symlink(root + "/devices/port",
                                                          folder + "/device");
            }
            if (tty.contains(':')) {
                QVERIFY(WriteFile(QString::fromStdString(folder + "/type"),
                                  tty.section(':', 1).toUtf8() + "\n"));
            }
        }
        QStringList got;
        for (const std::string& device : SerialDevicesIn(root + "/class")) {
            got << QString::fromStdString(device);
        }
        QTEST(got, "expected");
    }

    // A fixture's position named by its /dev/serial/by-path link opens as the tty the adapter
    // has now (the lock file and the messages then name the device other programs know).
    void byPathLinkResolvesToItsTty() {
        Stage stage;
        const std::string link = stage.Link(stage.devices, {"pci-0:1.2:1.0-port0=pty1"}).front();
        QCOMPARE(QString::fromStdString(ResolvePort({}, link)), stage.pty1.SlavePath());
        QVERIFY(!stage.pty1.OpenedAndClosed());
    }

    // The folder of the aliases and the remembered port.
    void configFolder_data() {
        QTest::addColumn<QByteArray>("config");  // "-": unset
        QTest::addColumn<QByteArray>("home");    // "-": unset
        QTest::addColumn<QString>("expected");
        QTest::newRow("XDG_CONFIG_HOME")
            << QByteArray("/cfg") << QByteArray("/home/tech") << "/cfg/vantrel";
        QTest::newRow("a relative XDG_CONFIG_HOME is ignored")
            << QByteArray("cfg") << QByteArray("/home/tech") << "/home/tech/.config/vantrel";
        QTest::newRow("no home: none") << QByteArray("-") << QByteArray("-") << "";
    }

    void configFolder() {
        QFETCH(QByteArray, config);
        QFETCH(QByteArray, home);
        // "-" unsets; what was set before is set again afterwards.
        const auto set = [](const char* name, const QByteArray& value) {
            const QByteArray was = qEnvironmentVariableIsSet(name) ? qgetenv(name) : "-";
            value == "-" ? qunsetenv(name) : qputenv(name, value);
            return was;
        };
        const QByteArray savedConfig = set("XDG_CONFIG_HOME", config);
        const QByteArray savedHome = set("HOME", home);
        const QString got = QString::fromStdString(ConfigFolder());
        set("XDG_CONFIG_HOME", savedConfig);
        set("HOME", savedHome);
        QTEST(got, "expected");
    }
};

QTEST_GUILESS_MAIN(PortMapTest)
#include "test_port_map.moc"
