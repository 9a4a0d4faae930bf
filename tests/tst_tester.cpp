// The proxy tester through real tinyproxy instances and misbehaving fake proxies.
#include "ProxyManager.h"
#include "TestEnvironment.h"

#include <QSignalSpy>
#include <QTest>

using namespace Qt::StringLiterals;

namespace {

// Every tester signal in the order of emission, as text.
class Recorder : public QObject
{
public:
    explicit Recorder(ProxyManager *manager)
    {
        connect(manager, &ProxyManager::startTestingProxy, this,
                [this](const QStringList &p) { events << u"start "_s + p.join(u' '); });
        connect(manager, &ProxyManager::finishedTestingProxy, this, [this](const QStringList &r) {
            results << r;
            events << u"result "_s + r.value(2);
        });
        connect(manager, &ProxyManager::finishedTest, this, [this] { events << u"end"_s; });
    }
    bool ended() const { return events.contains(u"end"_s); }
    QStringList events;
    QList<QStringList> results;
};

CannedResponse page(const QByteArray &body, int delayMs = 0)
{
    CannedResponse response = CannedResponse::withStatus(200, body);
    response.delayMs = delayMs;
    return response;
}

} // namespace

class TestTester : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { QVERIFY(env.start()); }
    void init();
    void cleanup() { delete manager; }

    void oneWorkingProxy();
    void outcomes_data();
    void outcomes();
    void answerBodies_data();
    void answerBodies();
    void severalProxiesInOrder();
    void timeoutAtLastEntryEndsRun();
    void stopDuringTestAndProbe_data();
    void stopDuringTestAndProbe();
    void stopWhileIdle();
    void probeThatNeverAnswers();
    void portsWrapAndZero();
    void unusableEntriesAreSkipped_data();
    void unusableEntriesAreSkipped();
    void apiRequestDuringTestKeepsReportedProxy();
    void lateAnswersCountForNothing();
    void elapsedTimeMatchesDelay();

private:
    void run(const QStringList &proxies);

    TestEnvironment env;
    DemoService fakeProxy; // answers whatever the test needs, as a proxy
    ProxyManager *manager = nullptr;
    Recorder *recorder = nullptr;
};

void TestTester::init()
{
    env.reset();
    if (!fakeProxy.isListening())
        QVERIFY(fakeProxy.listen());
    fakeProxy.setHandler({});
    fakeProxy.clearRequests();
    manager = new ProxyManager();
    manager->pingUrl = env.service.pingUrl().toString();
    manager->apiUrl = env.service.apiUrl().toString();
    manager->timeoutMs = 600;
    recorder = new Recorder(manager);
    recorder->setParent(manager);
}

void TestTester::run(const QStringList &proxies)
{
    manager->proxies = proxies;
    manager->startTesting();
    QTRY_VERIFY_WITH_TIMEOUT(recorder->ended(), 10000);
}

void TestTester::oneWorkingProxy()
{
    run({env.allowingEntry()});
    const QString port = QString::number(env.allowingProxy.port());
    QCOMPARE(recorder->events,
             (QStringList{u"start 127.0.0.1 "_s + port, u"result 0"_s, u"end"_s}));
    const QStringList result = recorder->results.at(0);
    QCOMPARE(result.size(), 5);
    QCOMPARE(result.mid(0, 3), (QStringList{u"127.0.0.1"_s, port, u"0"_s}));
    QVERIFY(result.at(3).toInt() >= 0 && result.at(3).toInt() < manager->timeoutMs);
    QCOMPARE(result.at(4), u"0"_s);
    const ReceivedRequest ping = env.service.requestsFor(u"/ping"_s).constLast();
    QVERIFY(ping.viaProxy);
    QVERIFY(ping.hasQueryItem(u"r"_s));
    QCOMPARE(ping.header("Accept-Language"), "en-us,en;q=0.5"_ba);
}

void TestTester::outcomes_data()
{
    QTest::addColumn<QString>("entry");
    QTest::addColumn<bool>("pingUp");
    QTest::addColumn<QString>("status");
    QTest::addColumn<QString>("extra");
    QTest::newRow("allowing") << env.allowingEntry() << true << u"0"_s << QString();
    QTest::newRow("refusing") << env.refusingEntry() << true << u"1"_s << u"127.0.0.1"_s;
    QTest::newRow("silent") << env.silentEntry() << true << u"2"_s << QString();
    QTest::newRow("wrong page") << env.wrongPageEntry() << true << u"3"_s
                                << QString::fromLatin1(TestEnvironment::wrongPageBody());
    QTest::newRow("closed port") << env.closedEntry() << true << u"3"_s << QString();
    QTest::newRow("ping page down") << env.closedEntry() << false << u"4"_s << QString();
}

void TestTester::outcomes()
{
    QFETCH(QString, entry);
    QFETCH(bool, pingUp);
    QFETCH(QString, status);
    QFETCH(QString, extra);
    if (!pingUp)
        manager->pingUrl = u"http://127.0.0.1:"_s % QString::number(env.closedPort) % u"/ping"_s;
    run({entry});
    QCOMPARE(recorder->results.size(), 1);
    const QStringList result = recorder->results.at(0);
    QCOMPARE(result.value(0) % u':' % result.value(1), entry);
    QCOMPARE(result.value(2), status);
    const bool hasExtra = status == u"1" || status == u"3";
    QCOMPARE(result.size(), hasExtra ? 6 : 5);
    QCOMPARE(result.value(5), extra);
    if (status == u"2")
        QVERIFY(result.at(3).toInt() >= manager->timeoutMs);
}

void TestTester::answerBodies_data()
{
    const QString marker = u"<p>Please ensure this IP is set in your Authorized IP list: <b>"_s;
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QString>("status");
    QTest::addColumn<QString>("extra");
    QTest::newRow("1 in white space") << " \r\n1\n\t"_ba << u"0"_s << QString();
    QTest::newRow("1x") << "1x"_ba << u"3"_s << u"1x"_s;
    QTest::newRow("11") << "11"_ba << u"3"_s << u"11"_s;
    QTest::newRow("1 then garbage")
        << "1\n<html>junk</html>"_ba << u"3"_s << u"1\n<html>junk</html>"_s;
    QTest::newRow("refusal, untrimmed address")
        << (u"<html>"_s % marker % u" 10.0.0.5 </b></p>"_s).toLatin1() << u"1"_s << u" 10.0.0.5 "_s;
    QTest::newRow("refusal without </b>")
        << (marker % u"10.0.0.5\n"_s).toLatin1() << u"1"_s << u"10.0.0.5\n"_s;
    QTest::newRow("refusal with empty address probes")
        << (marker % u"</b>"_s).toLatin1() << u"3"_s << marker % u"</b>"_s;
}

void TestTester::answerBodies()
{
    QFETCH(QByteArray, body);
    QFETCH(QString, status);
    QFETCH(QString, extra);
    fakeProxy.setHandler([body](const ReceivedRequest &) { return std::optional(page(body)); });
    run({fakeProxy.entry()});
    QCOMPARE(recorder->results.size(), 1);
    QCOMPARE(recorder->results.at(0).value(2), status);
    QCOMPARE(recorder->results.at(0).value(5), extra);
}

void TestTester::severalProxiesInOrder()
{
    run({env.allowingEntry(), env.refusingEntry(), env.wrongPageEntry()});
    QCOMPARE(recorder->events.size(), 7);
    QCOMPARE(recorder->events.constLast(), u"end"_s);
    for (int i = 0; i < 3; ++i) {
        QVERIFY(recorder->events.at(2 * i).startsWith(u"start "_s));
        QCOMPARE(recorder->results.at(i).at(4), QString::number(i));
    }
    QCOMPARE(recorder->results.at(0).at(2), u"0"_s);
    QCOMPARE(recorder->results.at(1).at(2), u"1"_s);
    QCOMPARE(recorder->results.at(2).at(2), u"3"_s);
}

void TestTester::timeoutAtLastEntryEndsRun()
{
    manager->timeoutMs = 300;
    run({env.allowingEntry(), env.silentEntry()});
    QCOMPARE(recorder->events.mid(2),
             (QStringList{recorder->events.at(2), u"result 2"_s, u"end"_s}));
    // Nothing comes afterwards from the abandoned request.
    QTest::qWait(400);
    QCOMPARE(recorder->results.size(), 2);
    QVERIFY(!manager->isTesting());
}

void TestTester::stopDuringTestAndProbe_data()
{
    QTest::addColumn<bool>("duringProbe");
    QTest::newRow("during test") << false;
    QTest::newRow("during probe") << true;
}

void TestTester::stopDuringTestAndProbe()
{
    QFETCH(bool, duringProbe);
    CannedResponse slowPing = page("1", 300);
    env.service.setHandler([=](const ReceivedRequest &r) {
        return duringProbe && r.hasQueryItem(u"testError"_s) ? std::optional(slowPing)
                                                             : std::nullopt;
    });
    manager->proxies = {duringProbe ? env.wrongPageEntry() : env.silentEntry(),
                        env.allowingEntry()};
    manager->startTesting();
    QTRY_COMPARE(recorder->events.size(), 1);
    if (duringProbe)
        QTRY_COMPARE(env.service.requestsFor(u"/ping"_s).size(), 1);
    manager->stop(false);
    QTRY_VERIFY(recorder->ended());
    QCOMPARE(recorder->results.size(), 1);
    QCOMPARE(recorder->results.at(0).at(2), duringProbe ? u"3"_s : u"2"_s);
    QCOMPARE(recorder->events.size(), 3);
}

void TestTester::stopWhileIdle()
{
    manager->proxies = {env.allowingEntry()};
    manager->stop(true);
    QTest::qWait(50);
    QVERIFY(recorder->events.isEmpty());
    manager->startTesting(); // clears the stop
    QTRY_VERIFY(recorder->ended());
    QCOMPARE(recorder->results.size(), 1);
}

void TestTester::probeThatNeverAnswers()
{
    manager->timeoutMs = 300;
    manager->pingUrl = env.silentListener.pingUrl().toString();
    // The wrong page answers at once; the probe then goes to the silent ping page.
    run({env.wrongPageEntry()});
    QCOMPARE(recorder->results.size(), 1);
    QCOMPARE(recorder->results.at(0).at(2), u"4"_s);
    QVERIFY(recorder->results.at(0).at(3).toInt() < manager->timeoutMs);
}

void TestTester::portsWrapAndZero()
{
    const int port = env.allowingProxy.port();
    run({u"127.0.0.1:"_s % QString::number(port + 65536), u"127.0.0.1:"_s});
    QCOMPARE(recorder->results.size(), 2);
    QCOMPARE(recorder->results.at(0).mid(1, 2), (QStringList{QString::number(port), u"0"_s}));
    QCOMPARE(recorder->results.at(1).mid(1, 2), (QStringList{u"0"_s, u"3"_s}));
}

void TestTester::unusableEntriesAreSkipped_data()
{
    QTest::addColumn<QStringList>("proxies");
    QTest::addColumn<QStringList>("events");
    QTest::newRow("empty list") << QStringList() << QStringList{u"end"_s};
    QTest::newRow("only unusable")
        << QStringList{QString(), u"a:b:c"_s, u"nocolon"_s} << QStringList{u"end"_s};
    QTest::newRow("unusable around a good one")
        << QStringList{QString(), env.allowingEntry(), u"a:b:c"_s}
        << QStringList{u"start "_s + env.allowingEntry().replace(u':', u' '), u"result 0"_s,
                       u"end"_s};
}

void TestTester::unusableEntriesAreSkipped()
{
    QFETCH(QStringList, proxies);
    QFETCH(QStringList, events);
    run(proxies);
    QCOMPARE(recorder->events, events);
    if (!recorder->results.isEmpty())
        QCOMPARE(recorder->results.at(0).at(4), u"1"_s);
}

void TestTester::apiRequestDuringTestKeepsReportedProxy()
{
    manager->timeoutMs = 400;
    manager->setCredentials(TestEnvironment::demoUser(), TestEnvironment::demoPassword());
    manager->proxies = {env.silentEntry()};
    manager->startTesting();
    manager->requestProxies();
    manager->requestAuthIps(false);
    QTRY_VERIFY(recorder->ended());
    QCOMPARE(recorder->results.at(0).value(0) % u':' % recorder->results.at(0).value(1),
             env.silentEntry());
    for (const ReceivedRequest &request : env.service.requestsFor(u"/api"_s))
        QVERIFY(!request.viaProxy);
}

void TestTester::lateAnswersCountForNothing()
{
    // The first run's answer comes late; a new run in the meantime must not take it.
    fakeProxy.setHandler([](const ReceivedRequest &) { return std::optional(page("1", 300)); });
    manager->proxies = {fakeProxy.entry()};
    manager->startTesting();
    QTRY_COMPARE(fakeProxy.requestCount(), 1);
    manager->timeoutMs = 700;
    manager->proxies = {env.silentEntry()};
    manager->startTesting();
    QTRY_VERIFY_WITH_TIMEOUT(recorder->ended(), 5000);
    QCOMPARE(recorder->results.size(), 1);
    QCOMPARE(recorder->results.at(0).at(2), u"2"_s);
}

void TestTester::elapsedTimeMatchesDelay()
{
    env.service.setHandler([](const ReceivedRequest &r) {
        return r.path == u"/ping" ? std::optional(page("1", 250)) : std::nullopt;
    });
    run({env.allowingEntry()});
    const int elapsed = recorder->results.at(0).at(3).toInt();
    QVERIFY2(elapsed >= 250 && elapsed < 290, qPrintable(QString::number(elapsed)));
}

QTEST_GUILESS_MAIN(TestTester)
#include "tst_tester.moc"
