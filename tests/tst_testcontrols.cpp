// Test runs driven from the main window's buttons, through real proxies, end to end.
#include "ClientUnderTest.h"
#include "ScopedWorkDir.h"
#include "TestEnvironment.h"

#include <QPushButton>
#include <QSignalSpy>
#include <QTableWidget>
#include <QTest>
#include <QTextEdit>

using namespace Qt::StringLiterals;

namespace {

const QColor white(255, 255, 255), green(0, 200, 0), yellow(220, 220, 0), red(200, 0, 0);

} // namespace

class TestTestControls : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { QVERIFY(env.start()); }
    void init();
    void cleanup();

    void runShowsEveryOutcome();
    void secondRunResetsRows();
    void stopDuringRun();
    void getProxiesDuringRun();
    void emptyListEndsAtOnce();
    void scrollsToTestedRow();

private:
    // Logs in with the given proxy list and returns the client's window parts.
    void logInWith(const QStringList &proxies);
    QPushButton *button(const char *name) const { return client->mainChild<QPushButton>(name); }
    QTableWidget *table() const { return client->mainChild<QTableWidget>("tableWidget"); }
    // What the view shows once the event loop has run.
    QString log() const
    {
        client->main.flushLog();
        return client->mainChild<QTextEdit>("debugLog")->toPlainText();
    }
    void clickTest() { QTest::mouseClick(button("bTestProxies"), Qt::LeftButton); }
    bool ready() const
    {
        return button("bTestProxies")->isVisible() && button("bTestProxies")->isEnabled() &&
               !button("bStopTesting")->isVisible();
    }
    // Status text and the background of the three cells, which must agree.
    QString rowState(int row) const;

    TestEnvironment env;
    std::unique_ptr<ScopedWorkDir> dir;
    std::unique_ptr<ClientUnderTest> client;
};

void TestTestControls::init()
{
    env.reset();
    dir.reset(); // the old one restores the directory it found
    dir = std::make_unique<ScopedWorkDir>();
}

void TestTestControls::cleanup()
{
    client.reset();
}

void TestTestControls::logInWith(const QStringList &proxies)
{
    env.service.setProxies(TestEnvironment::demoUser(), proxies);
    client = std::make_unique<ClientUnderTest>(env);
    client->manager->timeoutMs = 500;
    QVERIFY(client->logIn(TestEnvironment::demoUser(), TestEnvironment::demoPassword()));
    client->main.activateWindow();
}

QString TestTestControls::rowState(int row) const
{
    QStringList colours;
    for (int column = 0; column < 3; ++column) {
        const QTableWidgetItem *item = table()->item(row, column);
        if (!item)
            return u"no items"_s;
        const QBrush brush = item->background();
        colours << (brush.style() == Qt::NoBrush ? u"none"_s : brush.color().name());
    }
    colours.removeDuplicates();
    return table()->item(row, 2)->text() % u" on "_s % colours.join(u'/');
}

void TestTestControls::runShowsEveryOutcome()
{
    logInWith({env.allowingEntry(), env.refusingEntry(), env.silentEntry(), env.wrongPageEntry()});
    QSignalSpy ended(client->manager, &ProxyManager::finishedTest);
    clickTest();
    QVERIFY(!button("bTestProxies")->isVisible());
    QVERIFY(button("bStopTesting")->isVisible());
    QCOMPARE(client->main.focusWidget(), button("bStopTesting"));
    QVERIFY(ended.wait(5000));
    QVERIFY(ready());
    QCOMPARE(client->main.focusWidget(), button("bTestProxies"));

    const QString port = QString::number(env.allowingProxy.port());
    QCOMPARE(rowState(0), u"Up on "_s % port % u" on "_s % green.name());
    QCOMPARE(rowState(1), u"Access Denied on "_s % yellow.name());
    QCOMPARE(rowState(2), u"Timeout on "_s % red.name());
    QCOMPARE(rowState(3), u"Error on "_s % red.name());

    const QStringList lines = log().split(u'\n');
    const auto testing = [](const QString &entry) -> QString {
        const QStringList parts = entry.split(u':');
        return u"Testing proxy "_s % parts.at(0) % u" on port "_s % parts.at(1) % u"... "_s;
    };
    QVERIFY(lines.at(2).startsWith(testing(env.allowingEntry()) % u"success! ("_s));
    QVERIFY(lines.at(2).endsWith(u"ms)"_s));
    QCOMPARE(lines.at(3), testing(env.refusingEntry()) %
                              u"IP not authorized: 127.0.0.1 (please authorize and wait 1 min)"_s);
    QCOMPARE(lines.at(4), testing(env.silentEntry()) % u"timeout"_s);
    QCOMPARE(lines.at(5),
             testing(env.wrongPageEntry()) % u"error, please send full response to support:"_s);
    QCOMPARE(lines.at(6), QString::fromLatin1(TestEnvironment::wrongPageBody()));
    QCOMPARE(lines.size(), 8);

    // The default port is left out of the status word.
    client->manager->defaultPort = env.allowingProxy.port();
    client->manager->proxies = {env.allowingEntry()};
    clickTest();
    QTRY_VERIFY(ready());
    QCOMPARE(table()->item(0, 2)->text(), u"Up"_s);
}

void TestTestControls::secondRunResetsRows()
{
    logInWith({env.silentEntry(), env.allowingEntry()});
    clickTest();
    QTRY_VERIFY(ready());
    QCOMPARE(rowState(1),
             u"Up on "_s % QString::number(env.allowingProxy.port()) % u" on "_s % green.name());
    QSignalSpy started(client->manager, &ProxyManager::startTestingProxy);
    clickTest();
    // Row 0 is under test again; row 1 is back to an empty status on white.
    QCOMPARE(started.size(), 1);
    QCOMPARE(rowState(0), u" on "_s % white.name());
    QCOMPARE(rowState(1), u" on "_s % white.name());
    QTRY_VERIFY(ready());
}

void TestTestControls::stopDuringRun()
{
    logInWith({env.silentEntry(), env.allowingEntry()});
    clickTest();
    QTest::mouseClick(button("bStopTesting"), Qt::LeftButton);
    QVERIFY(button("bTestProxies")->isVisible());
    QVERIFY(!button("bTestProxies")->isEnabled());
    QVERIFY(!button("bStopTesting")->isVisible());
    // The proxy under test still reports, then the run ends without the second proxy.
    QTRY_VERIFY(ready());
    QCOMPARE(rowState(0), u"Timeout on "_s % red.name());
    QCOMPARE(rowState(1), u" on "_s % white.name());
    QVERIFY(!log().contains(env.allowingEntry().section(u':', 1) % u"... "_s));
}

void TestTestControls::getProxiesDuringRun()
{
    logInWith({env.allowingEntry(), env.silentEntry()});
    QSignalSpy started(client->manager, &ProxyManager::startTestingProxy);
    clickTest();
    QTRY_COMPARE(started.size(), 2);
    // The refill removes row 1 before the stopped run's result for it arrives.
    env.service.setProxies(TestEnvironment::demoUser(), {env.wrongPageEntry()});
    QSignalSpy refilled(client->manager, &ProxyManager::finishedGetProxies);
    QSignalSpy ended(client->manager, &ProxyManager::finishedTest);
    QTest::mouseClick(button("bGetProxies"), Qt::LeftButton);
    QVERIFY(button("bTestProxies")->isVisible() && button("bTestProxies")->isEnabled());
    QVERIFY(!button("bStopTesting")->isVisible());
    QVERIFY(refilled.wait(5000));
    QCOMPARE(ended.size(), 0);
    QCOMPARE(table()->rowCount(), 1);
    QCOMPARE(rowState(0), u" on none"_s); // a fresh row
    QVERIFY(ended.wait(5000));
    QVERIFY(ready());
    QCOMPARE(table()->rowCount(), 1);
    QVERIFY(log().endsWith(u"timeout\n"_s));
}

void TestTestControls::emptyListEndsAtOnce()
{
    logInWith({u"nocolon"_s});
    clickTest();
    QVERIFY(ready());
    client->manager->proxies.clear();
    clickTest();
    QVERIFY(ready());
}

void TestTestControls::scrollsToTestedRow()
{
    QStringList proxies;
    for (int i = 0; i < 30; ++i)
        proxies << env.allowingEntry();
    logInWith(proxies);
    QList<int> topRows;
    connect(client->manager, &ProxyManager::finishedTestingProxy, this,
            [&](const QStringList &result) {
                if (result.at(4) == u"10")
                    topRows << table()->rowAt(0);
            });
    clickTest();
    QTRY_VERIFY(ready());
    QCOMPARE(topRows, QList<int>{10});
    const QRect last = table()->visualItemRect(table()->item(29, 2));
    QVERIFY(table()->viewport()->rect().contains(last.center()));
}

QTEST_MAIN(TestTestControls)
#include "tst_testcontrols.moc"
