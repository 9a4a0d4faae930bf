// The program in a real system tray (Xvfb with trayer): closing the window keeps it running,
// a click on the icon brings the window back, the tray menu's "Quit" ends it, and messages
// show at the icon.
#include "ClientUnderTest.h"
#include "TestEnvironment.h"

#include <QAction>
#include <QLabel>
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
        env.service.setAuthorizedIps(TestEnvironment::demoUser(), {u"10.9.9.9"_s});
        ClientUnderTest client(env);
        QVERIFY(client.logIn());
        MainWindow &main = client.main;
        auto *tray = main.findChild<QSystemTrayIcon *>();
        QTRY_VERIFY_WITH_TIMEOUT(tray->isVisible() && tray->geometry().isValid(), 30000);
        QVERIFY(!tray->icon().isNull());
        client.child<QAction>("action_Ensure_my_IP_is_always_authorized")->trigger();
        const QString text = u"Your IP address 127.0.0.1 was added to the authorized list"_s;
        QTRY_VERIFY_WITH_TIMEOUT(shownMessages().contains(text), 10000);
        QVERIFY(client.log().endsWith(text % u'\n'));

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
    // Texts of the message balloons on screen.
    static QStringList shownMessages()
    {
        QStringList texts;
        for (const QWidget *widget : QApplication::topLevelWidgets()) {
            if (widget->isVisible() && widget->inherits("QBalloonTip")) {
                for (const QLabel *label : widget->findChildren<QLabel *>())
                    texts << label->text();
            }
        }
        return texts;
    }

    TestEnvironment env;
};

QTEST_MAIN(TestTray)
#include "tst_tray.moc"
