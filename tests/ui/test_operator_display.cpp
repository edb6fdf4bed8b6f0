// The operator display on the window's own controls: the progress bar, the immediate repaint,
// the exact fields, the message boxes and the About box, the window held by automation.

#include <QtTest>

#include "dialog_rig.h"

using namespace vantrel;
using namespace vantrel::test;
using namespace vantrel::test::rig;

class OperatorDisplayTest : public DialogRig {
    Q_OBJECT
private slots:
    void init() { InitRig(); }
    void cleanup() { CleanupRig(); }

    // While held, a status change shows the hidden window again.
    void heldWindowComesBackWithStatus() {
        QVERIFY(OpenWindowWithoutPort());
        CVantrelDistributionDlgAutoProxy proxy;
        proxy.Attach(m_dlg.get());
        m_dlg->reject();
        QVERIFY(!m_dlg->isVisible());
        m_dlg->SetStatus(LoadString(Str::ConnectionLost));
        QVERIFY(m_dlg->isVisible());
    }

    // The real message box: stop icon, the application's name as caption, open while shown.
    void messageBoxOnScreen() {
        QVERIFY(OpenWindowWithoutPort());
        m_dlg->SetMessageHook(nullptr);
        QString seen;
        bool openWhileShown = false;
        ModalWatcher<QMessageBox> watcher([&](QMessageBox* box) {
            seen = box->windowTitle() + "|" + box->text() + "|" + QString::number(int(box->icon()));
            openWhileShown = m_dlg->MessageBoxOpen();
            box->button(QMessageBox::Ok)->click();
        });
        m_dlg->accept();
        QVERIFY(watcher.Seen());
        QCOMPARE(seen, QCoreApplication::applicationName() + "|" + S(Str::InstrumentOffLine) + "|" +
                           QString::number(int(QMessageBox::Critical)));
        QVERIFY(openWhileShown);
        QVERIFY(!m_dlg->MessageBoxOpen());
    }

    void progressBar_data() {
        QTest::addColumn<QString>("steps");
        QTest::addColumn<int>("value");
        QTest::addColumn<int>("maximum");
        QTest::newRow("steps within the range") << "r15 i1 p0 s s s" << 3 << 15;
        QTest::newRow("position past the end") << "r10 p25" << 10 << 10;
        QTest::newRow("smaller range clamps the position") << "r10 p8 r4" << 4 << 4;
        QTest::newRow("empty range is empty, not busy") << "r0 p0" << 0 << 1;
        QTest::newRow("range beyond 16 bits") << "r70000 i1 p69999 s s" << 70000 << 70000;
    }
    void progressBar() {
        QFETCH(QString, steps);
        QFETCH(int, value);
        QFETCH(int, maximum);
        QVERIFY(OpenWindowWithoutPort());
        OperatorDisplay& display = *m_dlg;
        for (const QString& step : steps.split(' ')) {
            const int n = step.mid(1).toInt();
            switch (step.at(0).toLatin1()) {
                case 'r':
                    display.SetProgressRange(n);
                    break;
                case 'i':
                    display.SetProgressStep(n);
                    break;
                case 'p':
                    display.SetProgressPos(n);
                    break;
                case 's':
                    display.StepProgress();
                    break;
                default:
                    QFAIL("bad step");
            }
        }
        QCOMPARE(Progress()->value(), value);
        QCOMPARE(Progress()->maximum(), maximum);
        QCOMPARE(Progress()->minimum(), 0);
    }

    // SetStatus inside an operation paints at once and handles no input meanwhile.
    void statusPaintsAtOnce() {
        QVERIFY(OpenWindowWithoutPort());
        struct PaintCounter : QObject {
            int paints = 0;
            bool eventFilter(QObject*, QEvent* e) override {
                paints += e->type() == QEvent::Paint ? 1 : 0;
                return false;
            }
        } counter;
        Status()->installEventFilter(&counter);
        QWidget* exitButton = m_dlg->Control(id::kExit);
        const QPoint centre = exitButton->rect().center();
        QCoreApplication::postEvent(
            exitButton,
            new QMouseEvent(QEvent::MouseButtonPress, centre, exitButton->mapToGlobal(centre),
                            Qt::LeftButton, Qt::LeftButton, Qt::NoModifier));
        QCoreApplication::postEvent(
            exitButton,
            new QMouseEvent(QEvent::MouseButtonRelease, centre, exitButton->mapToGlobal(centre),
                            Qt::LeftButton, Qt::NoButton, Qt::NoModifier));
        bool ended = false;
        connect(m_dlg.get(), &QDialog::finished, this, [&] { ended = true; });

        m_dlg->SetStatus(LoadString(Str::ErasingUserArea));

        QVERIFY(counter.paints > 0);
        QCOMPARE(StatusLine(), S(Str::ErasingUserArea));
        QVERIFY(!ended);
        QCoreApplication::removePostedEvents(exitButton);
    }

    // The fields keep their exact bytes while the read-only controls show them.
    void fieldsKeepTheirBytes_data() {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<QString>("shown");
        QTest::newRow("boot loader line with a stray byte")
            << QByteArray("Erasing block 03... \xff") << QString("Erasing block 03... \uFFFD");
    }
    void fieldsKeepTheirBytes() {
        QFETCH(QByteArray, text);
        QFETCH(QString, shown);
        QVERIFY(OpenWindowWithoutPort());
        m_dlg->SetStatus(text.toStdString());
        QCOMPARE(StatusLine(), shown);
        m_dlg->CollectControls();
        QCOMPARE(QByteArray::fromStdString(m_dlg->StatusText()), text);
    }
};

QTEST_MAIN(OperatorDisplayTest)
#include "test_operator_display.moc"
