// What the desktop program keeps from one run to the next, and the entry that starts it with
// the session.
#include "ClientUnderTest.h"
#include "SessionAutostart.h"
#include "TestEnvironment.h"
#include "WindowsRunValue.h"
#include "XdgAutostartEntry.h"

#include <QAction>
#include <QDir>
#include <QGuiApplication>
#include <QMenu>
#include <QScreen>
#include <QSignalSpy>
#include <QSpinBox>
#include <QStyle>
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
        QTest::addColumn<QRect>("placed");   // null: not moved
        QTest::addColumn<QRect>("expected"); // null: centred at the form's size
        const QScreen *screen = QGuiApplication::primaryScreen();
        const QRect onScreen(screen->availableGeometry().topLeft() + QPoint(30, 40),
                             QSize(700, 500));
        const QRect offScreen = onScreen.translated(screen->virtualGeometry().right() - 100, 0);
        QTest::newRow("nothing changed") << false << QRect() << QRect();
        QTest::newRow("all changed") << true << onScreen << onScreen;
        QTest::newRow("placed partly off the screens") << true << offScreen << QRect();
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
            QSignalSpy ended(first.manager, &ProxyManager::authorizationEnded);
            if (change) {
                first.child<QAction>("action_Ensure_my_IP_is_always_authorized")->trigger();
                first.child<QAction>("actionRetest15")->trigger();
                first.child<QAction>("actionShowOnlyWorking")->trigger();
                first.child<QSpinBox>("sbParallelTests")->setValue(9);
            }
            if (!placed.isNull())
                first.main.setGeometry(placed);
            QTRY_COMPARE(ended.size(), change ? 1 : 0);
        }
        env.service.clearRequests();
        config.parallelTests = 4;
        ClientUnderTest second(env, config);
        second.main.retestMinuteMs = 10;
        QSignalSpy runs(second.manager, &ProxyManager::startTestingProxy);
        auto *authorize = second.child<QAction>("action_Ensure_my_IP_is_always_authorized");
        QTest::qWait(300);
        QVERIFY(runs.isEmpty() && !authorize->isChecked());
        QVERIFY(!env.commands().contains(u"getauthips"_s));

        QVERIFY(second.logIn());
        QCOMPARE(authorize->isChecked(), change);
        QCOMPARE(second.child<QAction>("actionRetest15")->isChecked(), change);
        QCOMPARE(second.child<QAction>("actionShowOnlyWorking")->isChecked(), change);
        QCOMPARE(second.child<QSpinBox>("sbParallelTests")->value(), change ? 9 : 4);
        const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
        QCOMPARE(second.main.geometry(), expected.isNull()
                                             ? QStyle::alignedRect(Qt::LeftToRight, Qt::AlignCenter,
                                                                   QSize(640, 480), screen)
                                             : expected);
        // The switched-on round and the re-tests start at once.
        QTest::qWait(change ? 0 : 300);
        QTRY_COMPARE(env.commands().contains(u"getauthips"_s), change);
        QTRY_COMPARE(!runs.isEmpty(), change);
    }

    // Quoted so that the session or Windows gives the program back its path and folder.
    void commandLines_data()
    {
        QTest::addColumn<bool>("windows");
        QTest::addColumn<QString>("program");
        QTest::addColumn<QString>("workDir");
        QTest::addColumn<QString>("expected");
        QTest::newRow("XDG, plain") << false << u"/usr/bin/proxymanager"_s << QString()
                                    << u"\"/usr/bin/proxymanager\" --tray"_s;
        QTest::newRow("XDG, reserved characters")
            << false << u"/opt/my apps/a\"b$c`d%e\\f"_s << QString()
            << u"\"/opt/my apps/a\\\\\"b\\\\$c\\\\`d%%e\\\\\\\\f\" --tray"_s;
        QTest::newRow("Run, spaces") << true << u"C:\\Program Files\\PM\\proxymanager.exe"_s
                                     << u"C:\\Users\\me\\Proxy Manager"_s
                                     << u"\"C:\\Program Files\\PM\\proxymanager.exe\" --tray"
                                        u" --workdir \"C:\\Users\\me\\Proxy Manager\""_s;
        QTest::newRow("Run, drive root") << true << u"D:\\pm.exe"_s << u"D:\\"_s
                                         << u"\"D:\\pm.exe\" --tray --workdir \"D:\\\\\""_s;
    }
    void commandLines()
    {
        QFETCH(bool, windows);
        QFETCH(QString, program);
        QFETCH(QString, workDir);
        QFETCH(QString, expected);
        QCOMPARE(windows ? WindowsRunValue::commandLine(program, workDir)
                         : XdgAutostartEntry::execValue(program),
                 expected);
    }

    // The menu entry adds and removes the entry; --forget's removal shows when the menu opens.
    void startAtLogin()
    {
        ClientUnderTest client(env);
        QVERIFY(client.logIn());
        auto *action = client.child<QAction>("actionStartAtLogin");
        const auto entry = SessionAutostart::forThisSystem();
        QVERIFY(!action->isChecked());
        action->trigger();
        QVERIFY(action->isChecked() && entry->isEnabled());
#ifndef Q_OS_WIN
        QFile file(QDir(qEnvironmentVariable("XDG_CONFIG_HOME"))
                       .filePath(u"autostart/proxymanager.desktop"_s));
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QStringList lines = QString::fromUtf8(file.readAll()).split(u'\n');
        QVERIFY(lines.contains(u"Exec=\""_s % QCoreApplication::applicationFilePath() %
                               u"\" --tray"_s));
        QVERIFY(lines.contains(u"Path="_s % QDir::currentPath()));
        QCOMPARE(lines.value(0), u"[Desktop Entry]"_s);
        file.close();
#endif
        action->trigger();
        QVERIFY(!action->isChecked() && !entry->isEnabled());
        action->trigger();
        QVERIFY(SessionAutostart::remove() && !entry->isEnabled());
        emit client.child<QMenu>("menuProgram")->aboutToShow();
        QVERIFY(!action->isChecked());
    }

private:
    TestEnvironment env;
};

QTEST_MAIN(TestRememberedChoices)
#include "tst_rememberedchoices.moc"
