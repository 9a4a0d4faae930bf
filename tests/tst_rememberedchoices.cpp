// What the desktop program keeps from one run to the next, and the entry that starts it with
// the session.
#include "ClientUnderTest.h"
#include "SessionAutostart.h"
#include "WindowsRunValue.h"
#include "XdgAutostartEntry.h"

#include <QAction>
#include <QDir>
#include <QGuiApplication>
#include <QScreen>
#include <QSignalSpy>
#include <QSpinBox>
#include <QTest>

using namespace Qt::StringLiterals;

class TestRememberedChoices : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { QVERIFY(env.start()); }
    void init() { env.reset(); }

    // Changed in one run, in force in the next, but only from the login on; what was never
    // changed is as at the first start, with config.ini's "Parallel tests:".
    void survivesRestart_data()
    {
        QTest::addColumn<bool>("change");
        QTest::addColumn<QRect>("placed");
        QTest::addColumn<QRect>("expected");
        const QScreen *screen = QGuiApplication::primaryScreen();
        QRect centred(QPoint(), QSize(640, 480));
        centred.moveCenter(screen->availableGeometry().center());
        const QRect moved = centred.adjusted(-20, -30, 40, 10);
        const QRect off = moved.translated(screen->virtualGeometry().right() - 100, 0);
        QTest::newRow("only placed, partly off the screens") << false << off << centred;
        QTest::newRow("all changed") << true << moved << moved;
    }
    void survivesRestart()
    {
        QFETCH(bool, change);
        QFETCH(QRect, placed);
        QFETCH(QRect, expected);
        AppConfig config;
        config.parallelTests = 3;
        {
            ClientUnderTest first(env, config);
            QVERIFY(first.logIn());
            if (change) {
                first.child<QAction>("action_Ensure_my_IP_is_always_authorized")->trigger();
                first.child<QAction>("actionRemovePreviousAddress")->trigger();
                first.child<QAction>("actionRetest15")->trigger();
                first.child<QAction>("actionShowOnlyWorking")->trigger();
                first.child<QAction>("actionKeepHistory")->trigger();
                first.child<QSpinBox>("sbParallelTests")->setValue(9);
            }
            first.main.setGeometry(placed);
        }
        config.parallelTests = 4;
        ClientUnderTest second(env, config);
        second.main.retestMinuteMs = 10;
        QSignalSpy runs(second.manager, &ProxyManager::startTestingProxy);
        QSignalSpy rounds(second.manager, &ProxyManager::authorizationEnded);
        auto *authorize = second.child<QAction>("action_Ensure_my_IP_is_always_authorized");
        QTest::qWait(300);
        QVERIFY(runs.isEmpty() && rounds.isEmpty() && !authorize->isChecked());

        QVERIFY(second.logIn());
        QCOMPARE(authorize->isChecked(), change);
        QCOMPARE(second.child<QAction>("actionRemovePreviousAddress")->isChecked(), change);
        QCOMPARE(second.child<QAction>("actionRetest15")->isChecked(), change);
        QCOMPARE(second.child<QAction>("actionShowOnlyWorking")->isChecked(), change);
        QCOMPARE(second.child<QAction>("actionKeepHistory")->isChecked(), !change);
        QCOMPARE(second.manager->isRecording(), !change);
        QCOMPARE(second.child<QSpinBox>("sbParallelTests")->value(), change ? 9 : 4);
        QCOMPARE(second.main.geometry(), expected);
        // The switched-on round and the re-tests start at once, and only when remembered.
        QTRY_COMPARE(rounds.size(), change ? 1 : 0);
        QTRY_COMPARE(!runs.isEmpty(), change);
    }

    // The menu entry adds the entry that starts this program from this folder, and removes it.
    void startAtLogin()
    {
        // On Windows the entry is the user's registry value, which the Wine run's earlier
        // steps may have made.
        QVERIFY(SessionAutostart::remove());
        ClientUnderTest client(env);
        QVERIFY(client.logIn());
        auto *action = client.child<QAction>("actionStartAtLogin");
        action->trigger();
        QVERIFY(action->isChecked() && SessionAutostart::forThisSystem()->isEnabled());
#ifndef Q_OS_WIN
        QFile file(qEnvironmentVariable("XDG_CONFIG_HOME") % u"/autostart/proxymanager.desktop"_s);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QVERIFY(QString::fromUtf8(file.readAll())
                    .contains(u"\nExec=\""_s % QCoreApplication::applicationFilePath() %
                              u"\" --tray\nPath="_s % QDir::currentPath() % u'\n'));
#endif
        action->trigger();
        QVERIFY(!action->isChecked() && !SessionAutostart::forThisSystem()->isEnabled());
        // Quoted so that the session or Windows gives the program back its path and folder.
        QCOMPARE(XdgAutostartEntry::execValue(u"/opt/my apps/a\"b$c`d%e\\f"_s),
                 u"\"/opt/my apps/a\\\\\"b\\\\$c\\\\`d%%e\\\\\\\\f\" --tray"_s);
        QCOMPARE(WindowsRunValue::commandLine(u"C:\\Program Files\\pm.exe"_s, u"D:\\"_s),
                 u"\"C:\\Program Files\\pm.exe\" --tray --workdir \"D:\\\\\""_s);
    }

private:
    TestEnvironment env;
};

QTEST_MAIN(TestRememberedChoices)
#include "tst_rememberedchoices.moc"
