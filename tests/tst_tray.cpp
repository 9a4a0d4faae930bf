// The program in a real system tray (Xvfb with trayer): closing the window keeps it running,
// a click on the icon brings the window back, the tray menu's "Quit" ends it.
#include "ClientUnderTest.h"
#include "TestEnvironment.h"

#include <QMenu>
#include <QTest>
#include <QTimer>

using namespace Qt::StringLiterals;

class TestTray : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        // The tray may take a while to claim its selection after the display starts.
        if (!QTest::qWaitFor([] { return QSystemTrayIcon::isSystemTrayAvailable(); }, 30000)) {
            QVERIFY2(qEnvironmentVariableIsEmpty("PM_EXPECT_TRAY"), "the tray did not come up");
            QSKIP("no system tray on this display (run through run-with-tray.sh)");
        }
        QVERIFY(env.start());
    }
    void livesInTheTray()
    {
        ClientUnderTest client(env);
        QVERIFY(client.logIn());
        MainWindow &main = client.main;
        auto *tray = main.findChild<QSystemTrayIcon *>();
        QTRY_VERIFY_WITH_TIMEOUT(tray->isVisible() && tray->geometry().isValid(), 30000);

        // Each step in its own event-loop pass, so a quit asked for by the one before has ended
        // the loop by then.
        bool hiddenAndRunning = false;
        bool shownAgain = false;
        QTimer::singleShot(0, &main, [&] { main.close(); });
        QTimer::singleShot(100, &main, [&] {
            for (auto reason : {QSystemTrayIcon::Context, QSystemTrayIcon::DoubleClick,
                                QSystemTrayIcon::MiddleClick, QSystemTrayIcon::Unknown})
                emit tray->activated(reason);
            hiddenAndRunning = !main.isVisible();
            emit tray->activated(QSystemTrayIcon::Trigger);
        });
        QTimer::singleShot(200, &main, [&] {
            shownAgain = main.isVisible();
            tray->contextMenu()->actions().constLast()->trigger();
        });
        QTimer::singleShot(30000, qApp, [] { QCoreApplication::exit(7); });
        QCOMPARE(QCoreApplication::exec(), 0);
        QVERIFY(hiddenAndRunning);
        QVERIFY(shownAgain);
    }

private:
    TestEnvironment env;
};

QTEST_MAIN(TestTray)
#include "tst_tray.moc"
