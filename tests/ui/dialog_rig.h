#pragma once

// The operator's window under test: a fresh configuration folder per test (port aliases and
// the remembered port), the simulated instrument as COM7, message boxes captured, and
// helpers to drive the window as the operator does.

#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QTimer>
#include <QtTest>
#include <functional>
#include <memory>
#include "session/operator_display.h"
#include "session/strings.h"
#include "images.h"
#include "line_rig.h"
#include "ui/about_dlg.h"
#include "ui/automation_proxy.h"
#include "ui/vantrel_distribution_dlg.h"

namespace vantrel::test {
namespace id = vantrel::control_id;

// Longest wait for the window to react to the instrument, in ms.
constexpr int kReactMs = 15000;
// Time given to the line to carry a byte that should not come, in ms.
constexpr int kSettleMs = 300;

QString S(Str id) {
    return QString::fromStdString(LoadString(id));
}

// Longest a modal box may stay open after the test has acted on it, in ms.
constexpr qint64 kModalLimitMs = 5000;

// Runs `action` on the first modal window of type T to appear, while the caller blocks in its
// modal loop. A box that the action did not close is rejected after kModalLimitMs.
template <typename T>
class ModalWatcher {
public:
    explicit ModalWatcher(std::function<void(T*)> action) : m_action(std::move(action)) {
        QObject::connect(&m_timer, &QTimer::timeout, [this] { Look(); });
        m_timer.start(10);
    }
    bool Seen() const { return m_seen; }

private:
    void Look() {
        for (QWidget* w : QApplication::topLevelWidgets()) {
            auto* found = qobject_cast<T*>(w);
            if (found == nullptr || !found->isVisible()) {
                continue;
            }
            if (!m_seen) {
                m_seen = true;
                m_since.start();
                m_action(found);
            } else if (m_since.elapsed() > kModalLimitMs) {
                QMetaObject::invokeMethod(found, "reject");
            }
            return;
        }
    }

    std::function<void(T*)> m_action;
    QTimer m_timer;
    QElapsedTimer m_since;
    bool m_seen = false;
};

class DialogRig : public QObject {
protected:
    struct Box {
        QString caption;
        QString text;
        QMessageBox::Icon icon;
        int checked;     // the checked function while the box was open
        QString status;  // the status line while the box was open
        bool runEnabled;
        bool openFlag;  // MessageBoxOpen() while the box was open
    };

    std::unique_ptr<ConfigHome> m_config;
    std::unique_ptr<Sim> m_sim;
    std::unique_ptr<Sim> m_sim2;
    std::unique_ptr<CVantrelDistributionDlg> m_dlg;
    QList<Box> m_boxes;
    QStringList m_statusShown;
    QStringList m_titles;

    QString MemoryFile() const { return m_config->ConfigPath() + "/vantrel/BootLoader.ini"; }
    void WriteMemory(const QByteArray& content) { QVERIFY(WriteFile(MemoryFile(), content)); }
    QByteArray ReadMemory() const {
        return QFileInfo::exists(MemoryFile()) ? ReadFile(MemoryFile()) : "<missing>";
    }

    bool StartSim(const QStringList& options = {}) {
        m_sim = std::make_unique<Sim>();
        return m_sim->Start(*m_config, "COM7", options) && WriteFile(MemoryFile(), "COM7\n");
    }

    // The window, with message boxes captured.
    bool OpenWindow() {
        m_dlg = std::make_unique<CVantrelDistributionDlg>();
        m_dlg->SetMessageHook(
            [this](const QString& caption, const QString& text, QMessageBox::Icon icon) {
                m_boxes.append({caption, text, icon, m_dlg->CheckedFunction(), StatusLine(),
                                Run()->isEnabled(), m_dlg->MessageBoxOpen()});
            });
        connect(Status(), &QLineEdit::textChanged, this,
                [this](const QString& text) { m_statusShown << text; });
        connect(m_dlg.get(), &QWidget::windowTitleChanged, this,
                [this](const QString& title) { m_titles << title; });
        m_dlg->show();
        return QTest::qWaitForWindowExposed(m_dlg.get());
    }

    bool OpenWindowWithoutPort() {
        WriteMemory("NONE\n");
        return OpenWindow();
    }

    // Resets the instrument and waits for On-Line, once the window has taken the bare prompt
    // that answers the port's opening (or the prompt and the signature would run together).
    bool BringOnLine() {
        if (!QTest::qWaitFor([this] { return m_sim->Commands().contains("\r"); }, kReactMs)) {
            return false;
        }
        QTest::qWait(kSettleMs);
        m_sim->Reset();
        return QTest::qWaitFor([this] { return m_dlg->OnLine(); }, kReactMs);
    }

    // The menu commands and answers the instrument received, carriage returns left out.
    QStringList MenuCommands() {
        QStringList commands = m_sim->Commands();
        commands.removeAll("\r");
        return commands;
    }

    QPushButton* Run() const { return qobject_cast<QPushButton*>(m_dlg->Control(id::kRun)); }
    QLineEdit* Status() const { return qobject_cast<QLineEdit*>(m_dlg->Control(id::kStatus)); }
    QString StatusLine() const { return Status()->text(); }
    QAbstractButton* Radio(int which) const {
        return qobject_cast<QAbstractButton*>(m_dlg->Control(which));
    }
    QComboBox* PortList() const { return qobject_cast<QComboBox*>(m_dlg->Control(id::kPortList)); }
    QProgressBar* Progress() const {
        return qobject_cast<QProgressBar*>(m_dlg->Control(id::kProgress));
    }

    // Writes `image` as `fileName` in the test's folder and chooses it through the "&Open..."
    // button's file dialog; returns the filters the dialog offered, or nothing when the file
    // was not taken.
    QString WriteTarget(const QString& fileName, const QByteArray& image) {
        const QString path = m_config->Path(fileName);
        if (!WriteFile(path, image)) {
            return {};
        }
        QString offered;
        ModalWatcher<QFileDialog> watcher([&](QFileDialog* dialog) {
            offered = dialog->nameFilters().join("\n");
            // As the operator does: the filter that shows the file, then the file.
            for (const QString& filter : dialog->nameFilters()) {
                const QString pattern = filter.section('(', -1).chopped(1);
                if (QRegularExpression::fromWildcard(pattern)
                        .match(QFileInfo(path).fileName())
                        .hasMatch()) {
                    dialog->selectNameFilter(filter);
                    break;
                }
            }
            // Typed, as selecting in the view needs the folder listed already.
            if (auto* name = dialog->findChild<QLineEdit*>("fileNameEdit")) {
                name->setText(path);
            } else {
                dialog->selectFile(path);
            }
            QMetaObject::invokeMethod(dialog, "accept");
        });
        qobject_cast<QAbstractButton*>(m_dlg->Control(id::kOpenTarget))->click();
        const bool taken =
            qobject_cast<QLineEdit*>(m_dlg->Control(id::kTargetFile))->text() == path;
        return taken ? offered : QString();
    }

    int CountOf(const QString& command) { return int(m_sim->Commands().count(command)); }

    void InitRig() {
        m_config = std::make_unique<ConfigHome>();
        m_boxes.clear();
        m_statusShown.clear();
        m_titles.clear();
    }

    void CleanupRig() {
        m_dlg.reset();
        m_sim.reset();
        m_sim2.reset();
        m_config.reset();
    }
};

}  // namespace vantrel::test
