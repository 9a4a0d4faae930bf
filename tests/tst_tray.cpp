// The program in a real system tray (Xvfb with trayer): closing the window keeps it running,
// a click on the icon brings the window back, the tray menu's "Quit" ends it.
#include "ClientUnderTest.h"
#include "ScopedWorkDir.h"
#include "TestEnvironment.h"

#include <QMenu>
#include <QTest>
#include <QTimer>

using namespace Qt::StringLiterals;

class TestTray : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void livesInTheTray();

private:
    TestEnvironment env;
};

void TestTray::initTestCase()
{
    // The tray may take a moment to claim its selection after the display starts.
    if (!QTest::qWaitFor([] { return QSystemTrayIcon::isSystemTrayAvailable(); }, 3000)) {
        QVERIFY2(qEnvironmentVariableIsEmpty("PM_EXPECT_TRAY"), "the tray did not come up");
        QSKIP("no system tray on this display (run through run-with-tray.sh)");
    }
    QVERIFY(env.start());
}

void TestTray::livesInTheTray()
{
    ScopedWorkDir dir;
    ClientUnderTest client(env);
    QVERIFY(client.logIn(TestEnvironment::demoUser(), TestEnvironment::demoPassword()));
    MainWindow &main = client.main;
    auto *tray = main.findChild<QSystemTrayIcon *>();
    QTRY_VERIFY(tray->isVisible() && tray->geometry().isValid());

    bool hiddenAndRunning = false;
    bool shownAgain = false;
    QTimer::singleShot(0, &main, [&] { main.close(); });
    QTimer::singleShot(300, &main, [&] {
        hiddenAndRunning = !main.isVisible();
        emit tray->activated(QSystemTrayIcon::Trigger);
    });
    QTimer::singleShot(600, &main, [&] {
        shownAgain = main.isVisible();
        tray->contextMenu()->actions().constLast()->trigger();
    });
    QTimer::singleShot(5000, qApp, [] { QCoreApplication::exit(7); });
    QCOMPARE(QCoreApplication::exec(), 0);
    QVERIFY(hiddenAndRunning);
    QVERIFY(shownAgain);
}

QTEST_MAIN(TestTray)
#include "tst_tray.moc"
