#pragma once

#include <QByteArray>
#include <QObject>
#include <QSocketNotifier>
#include <QString>
#include <memory>

class CVantrelDistributionDlg;

namespace vantrel {

// Lets an automated test play the operator of a running copy, which may have been started by
// the bus where the test cannot reach its input. Only active when VANTREL_TEST_OPERATOR_DIR
// names a folder: the copy then makes the named pipe DIR/<pid>.in and takes one command a
// line from it:
//   key Escape | key Return   the key, pressed in the window in front (the main dialog, or
//                             the box that one of its handlers has open)
//   click ID                  a click on the main dialog's button with control id ID
//   close                     the main dialog's close box
//   report                    appends "window=shown|hidden box=open|none" to DIR/<pid>.out
// The pipe is removed when the main dialog ends.
class TestOperator : public QObject {
    Q_OBJECT
public:
    // The test operator asked for by the environment, or none.
    static std::unique_ptr<TestOperator> FromEnvironment(CVantrelDistributionDlg& dialog);

    ~TestOperator() override;
    TestOperator(const TestOperator&) = delete;
    TestOperator& operator=(const TestOperator&) = delete;

private:
    TestOperator(CVantrelDistributionDlg& dialog, const QString& basePath, int fd);
    void ReadCommands();
    void Perform(const QByteArray& command);
    void PressKey(int key);
    void Report();

    CVantrelDistributionDlg& m_dialog;
    QString m_basePath;
    int m_fd;
    QByteArray m_pending;
    QSocketNotifier m_notifier;
};

}  // namespace vantrel
