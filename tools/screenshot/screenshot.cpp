// Renders the operator's window in its main states to PNG files, or runs it for a manual try.
//
//   vantrel_screenshot OUTPUT_FOLDER   pictures of the window (use QT_QPA_PLATFORM=offscreen)
//   vantrel_screenshot --run           the window itself, on the machine's real ports
//
// For the pictures the window gets one port, COM3, standing for a pseudo-terminal that plays
// a boot loader just far enough to come On-Line; the later states are shown through the
// window's operator display, the way the session drives it.

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QPainter>
#include <QTemporaryDir>
#include <QThread>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "session/strings.h"
#include "ui/about_dlg.h"
#include "ui/ui_resources.h"
#include "ui/vantrel_distribution_dlg.h"

using namespace vantrel;

namespace {

// How long the picture run waits for the window to come On-Line.
constexpr int kOnLineWaitMs = 5000;
// Height of the caption strip drawn above each picture, in pixels.
constexpr int kCaptionHeight = 24;

// The window's client area under a plain caption strip with its icon and title, since an
// offscreen window has no frame of its own.
QImage WithCaption(QWidget& window) {
    const QPixmap client = window.grab();
    QImage image(client.width() + 2, client.height() + kCaptionHeight + 1, QImage::Format_RGB32);
    image.fill(QColor(60, 70, 90));
    QPainter p(&image);
    p.fillRect(QRect(1, 1, image.width() - 2, kCaptionHeight - 1), QColor(40, 70, 130));
    p.drawPixmap(QRect(5, 4, 16, 16), window.windowIcon().pixmap(16, 16));
    QFont font = QApplication::font();
    font.setBold(true);
    p.setFont(font);
    p.setPen(Qt::white);
    p.drawText(QRect(26, 1, image.width() - 30, kCaptionHeight - 1),
               Qt::AlignVCenter | Qt::AlignLeft, window.windowTitle());
    p.drawPixmap(1, kCaptionHeight, client);
    return image;
}

bool Save(QWidget& window, const QString& folder, const QString& name) {
    QApplication::processEvents();
    const QString path = folder + "/" + name + ".png";
    if (!WithCaption(window).save(path)) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
        return false;
    }
    std::printf("%s\n", qPrintable(path));
    return true;
}

// A pseudo-terminal whose far end the window opens as COM3.
struct FakeInstrument {
    static constexpr int kPollMs = 20;
    int master = -1;
    std::string device;
    std::thread answer;

    bool Open() {
        master = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0) {
            return false;
        }
        device = ::ptsname(master);
        return true;
    }
    void Send(const char* text) const {
        if (::write(master, text, std::strlen(text)) < 0) {
            std::perror("write");
        }
    }
    // The boot loader of model 0 after a reset: its signature, and the prompt once the
    // window answers with a carriage return. The window waits for the prompt inside its
    // handler, so the answer comes from a thread of its own. What the window sent before the
    // reset (the carriage return of its OpenPort) is dropped.
    void Reset() {
        char buffer[64];
        while (::read(master, buffer, sizeof buffer) > 0) {
        }
        Send("\t\t\t\r");
        answer = std::thread([this] {
            for (int waited = 0; waited < kOnLineWaitMs; waited += kPollMs) {
                pollfd watch{master, POLLIN, 0};
                if (::poll(&watch, 1, kPollMs) <= 0) {
                    continue;
                }
                char got[64];
                const ssize_t n = ::read(master, got, sizeof got);
                if (n > 0 && std::memchr(got, '\r', static_cast<std::size_t>(n)) != nullptr) {
                    Send(">\r\n");
                    return;
                }
            }
        });
    }
    ~FakeInstrument() {
        if (answer.joinable()) {
            answer.join();
        }
        if (master >= 0) {
            ::close(master);
        }
    }
};

int RenderPictures(const QString& folder) {
    QTemporaryDir config;
    FakeInstrument instrument;
    if (!config.isValid() || !instrument.Open() || !QDir().mkpath(folder)) {
        std::fprintf(stderr, "cannot prepare the pictures\n");
        return 1;
    }
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(config.path()));
    const QString ports = config.path() + "/vantrel/ports";
    QDir().mkpath(ports);
    QFile::link(QString::fromStdString(instrument.device), ports + "/COM3");
    QFile memory(config.path() + "/vantrel/BootLoader.ini");
    if (memory.open(QIODevice::WriteOnly)) {
        memory.write("COM3\n");
        memory.close();
    }

    CVantrelDistributionDlg window;
    window.SetMessageHook([](const QString&, const QString&, QMessageBox::Icon) {});
    window.show();
    bool ok = Save(window, folder, "window-connection-lost");

    instrument.Reset();
    QElapsedTimer waited;
    waited.start();
    while (!window.OnLine() && waited.elapsed() < kOnLineWaitMs) {
        QApplication::processEvents(QEventLoop::AllEvents, 50);
        QThread::msleep(10);
    }
    // A target file as the "Open..." button leaves it.
    if (auto* target = qobject_cast<QLineEdit*>(window.Control(control_id::kTargetFile))) {
        target->setText(QStringLiteral("/home/service/v2.4.upg"));
        window.CollectControls();
        window.RefreshControls();
    }
    ok = Save(window, folder, "window-on-line") && ok;

    // A transfer under way, as the boot-loader operations and the sender show it.
    window.SetStatus(FormatString(Str::Downloading, std::string("/home/service/v2.4.upg")));
    static_cast<OperatorDisplay&>(window).SetTitle(FormatString(Str::TitlePercentSent, 47.0));
    window.SetProgressPos(0);
    window.SetProgressStep(1);
    window.SetProgressRange(120);
    for (int i = 0; i < 56; ++i) {
        window.StepProgress();
    }
    ok = Save(window, folder, "window-transfer") && ok;

    static_cast<OperatorDisplay&>(window).SetTitle("Vantrel");
    window.SetProgressPos(120);
    window.CheckFunction(control_id::kFunctionRestart);
    window.SetRunCaption(LoadString(Str::CaptionRestart));
    window.SetStatus(LoadString(Str::DescRestart));
    ok = Save(window, folder, "window-restart") && ok;

    CVantrelAboutDlg about(&window);
    about.show();
    QApplication::processEvents();
    const QString aboutPath = folder + "/about.png";
    ok = about.grab().save(aboutPath) && ok;
    std::printf("%s\n", qPrintable(aboutPath));
    window.EndWithoutExit();
    return ok ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("VantrelDistribution"));
    const QString arg = argc == 2 ? QString::fromLocal8Bit(argv[1]) : QString();
    if (arg == QLatin1String("--run")) {
        CVantrelDistributionDlg window;
        window.DoModal();
        return 0;
    }
    if (arg.isEmpty() || arg.startsWith('-')) {
        std::fprintf(stderr, "usage: %s OUTPUT_FOLDER | --run\n", argv[0]);
        return 2;
    }
    return RenderPictures(arg);
}
