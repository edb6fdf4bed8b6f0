#include "app/test_operator.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QAbstractButton>
#include <QApplication>
#include <QCoreApplication>
#include <QFile>
#include <QKeyEvent>
#include <QMetaObject>
#include <QWidget>
#include <cstdio>

#include "ui/vantrel_distribution_dlg.h"

namespace vantrel {

namespace {

constexpr char kDirVariable[] = "VANTREL_TEST_OPERATOR_DIR";
// Upper bound of one read from the pipe; commands are a few bytes each.
constexpr size_t kReadChunk = 512;

}  // namespace

std::unique_ptr<TestOperator> TestOperator::FromEnvironment(CVantrelDistributionDlg& dialog) {
    const QString dir = qEnvironmentVariable(kDirVariable);
    if (dir.isEmpty()) {
        return nullptr;
    }
    const QString base = dir + u'/' + QString::number(QCoreApplication::applicationPid());
    // Made under another name and renamed once open, so that a test that sees the pipe can
    // write to it at once.
    const QByteArray pipePath = QFile::encodeName(base + QStringLiteral(".in"));
    const QByteArray makingPath = pipePath + ".new";
    if (::mkfifo(makingPath.constData(), 0600) != 0) {
        return nullptr;
    }
    // Opened for reading and writing, so the pipe never reports an end when a test's writer
    // closes it, and the open does not wait for a writer.
    const int fd = ::open(makingPath.constData(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0 || ::rename(makingPath.constData(), pipePath.constData()) != 0) {
        if (fd >= 0) {
            ::close(fd);
        }
        ::unlink(makingPath.constData());
        return nullptr;
    }
    return std::unique_ptr<TestOperator>(new TestOperator(dialog, base, fd));
}

TestOperator::TestOperator(CVantrelDistributionDlg& dialog, const QString& basePath, int fd)
    : m_dialog(dialog), m_basePath(basePath), m_fd(fd), m_notifier(fd, QSocketNotifier::Read) {
    connect(&m_notifier, &QSocketNotifier::activated, this, &TestOperator::ReadCommands);
}

TestOperator::~TestOperator() {
    m_notifier.setEnabled(false);
    ::close(m_fd);
    QFile::remove(m_basePath + QStringLiteral(".in"));
}

void TestOperator::ReadCommands() {
    char chunk[kReadChunk];
    ssize_t got = 0;
    while ((got = ::read(m_fd, chunk, sizeof chunk)) > 0) {
        m_pending.append(chunk, got);
    }
    qsizetype end = 0;
    while ((end = m_pending.indexOf('\n')) >= 0) {
        const QByteArray command = m_pending.first(end).trimmed();
        m_pending.remove(0, end + 1);
        // Queued, so a command whose handler opens a box returns here at once and the
        // commands after it reach the box.
        QMetaObject::invokeMethod(
            this, [this, command] { Perform(command); }, Qt::QueuedConnection);
    }
}

void TestOperator::Perform(const QByteArray& command) {
    if (command == "key Escape") {
        PressKey(Qt::Key_Escape);
    } else if (command == "key Return") {
        PressKey(Qt::Key_Return);
    } else if (command.startsWith("click ")) {
        auto* button = qobject_cast<QAbstractButton*>(m_dialog.Control(command.mid(6).toInt()));
        if (button != nullptr) {
            button->click();
        }
    } else if (command == "close") {
        m_dialog.close();
    } else if (command == "report") {
        Report();
    }
}

void TestOperator::PressKey(int key) {
    QWidget* front = QApplication::activeModalWidget();
    if (front == nullptr) {
        front = &m_dialog;
    }
    QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier);
    QCoreApplication::sendEvent(front, &press);
    QKeyEvent release(QEvent::KeyRelease, key, Qt::NoModifier);
    QCoreApplication::sendEvent(front, &release);
}

void TestOperator::Report() {
    QFile out(m_basePath + QStringLiteral(".out"));
    if (out.open(QIODevice::Append)) {
        out.write(QByteArray("window=") + (m_dialog.isVisible() ? "shown" : "hidden") +
                  " box=" + (m_dialog.MessageBoxOpen() ? "open" : "none") + '\n');
    }
}

}  // namespace vantrel
