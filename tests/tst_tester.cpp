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
    explicit Recorder(ProxyManager *manager) : QObject(manager)
    {
        connect(manager, &ProxyManager::startTestingProxy, this,
                [this](const QStringList &p) { events << u"start "_s + p.join(u':'); });
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

const QString marker = u"<p>Please ensure this IP is set in your Authorized IP list: <b>"_s;

} // namespace

class TestTester : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup() { delete manager; }

    void outcomes_data();
    void outcomes();
    void runSequence_data();
    void runSequence();
    void stopDuringTestAndProbe_data();
    void stopDuringTestAndProbe();
    void stopWhileIdle();
    void portsWrapAndZero();
    void apiRequestDuringTestKeepsReportedProxy();
    void lateAnswersCountForNothing();
    void elapsedTimeMatchesDelay();

private:
    void run(const QStringList &proxies);

    TestEnvironment env;
    DemoService fakeProxy; // answers whatever a row needs, as a proxy
    ProxyManager *manager = nullptr;
    Recorder *recorder = nullptr;
};

void TestTester::initTestCase()
{
    QVERIFY(env.start());
    QVERIFY(fakeProxy.listen());
}

void TestTester::init()
{
    env.reset();
    fakeProxy.setHandler({});
    fakeProxy.clearRequests();
    manager = new ProxyManager();
    manager->pingUrl = env.service.pingUrl().toString();
    manager->apiUrl = env.service.apiUrl().toString();
    manager->timeoutMs = 600;
    recorder = new Recorder(manager);
}

void TestTester::run(const QStringList &proxies)
{
    manager->proxies = proxies;
    manager->startTesting();
    QTRY_VERIFY_WITH_TIMEOUT(recorder->ended(), 10000);
}

void TestTester::outcomes_data()
{
    QTest::addColumn<QString>("entry"); // empty: the fake proxy with the row's answer
    QTest::addColumn<CannedResponse>("answer");
    QTest::addColumn<QString>("ping"); // where the ping page is: up, down or silent
    QTest::addColumn<QString>("status");
    QTest::addColumn<QString>("extra"); // element 5; "-" when there is none
    const QString none = u"-"_s;
    const auto real = [&](const char *name, const QString &entry, const QString &ping,
                          const QString &status, const QString &extra) {
        QTest::newRow(name) << entry << CannedResponse() << ping << status << extra;
    };
    const auto fake = [&](const char *name, const CannedResponse &answer, const QString &status,
                          const QString &extra) {
        QTest::newRow(name) << QString() << answer << u"up"_s << status << extra;
    };
    real("allowing", env.allowingEntry(), u"up"_s, u"0"_s, none);
    real("refusing", env.refusingEntry(), u"up"_s, u"1"_s, u"127.0.0.1"_s);
    real("silent", env.silentEntry(), u"up"_s, u"2"_s, none);
    real("wrong page", env.wrongPageEntry(), u"up"_s, u"3"_s,
         QString::fromLatin1(TestEnvironment::wrongPageBody()));
    real("closed port", env.closedEntry(), u"up"_s, u"3"_s, QString());
    real("ping page down", env.closedEntry(), u"down"_s, u"4"_s, none);
    real("probe never answers", env.wrongPageEntry(), u"silent"_s, u"4"_s, none);

    fake("1 in white space", page(" \r\n1\n\t"), u"0"_s, none);
    fake("1x", page("1x"), u"3"_s, u"1x"_s);
    fake("11", page("11"), u"3"_s, u"11"_s);
    fake("1 then garbage", page("1\n<html>junk</html>"), u"3"_s, u"1\n<html>junk</html>"_s);
    fake("refusal, untrimmed address", page((marker % u" 10.0.0.5 </b></p>"_s).toLatin1()), u"1"_s,
         u" 10.0.0.5 "_s);
    fake("refusal without </b>", page((marker % u"10.0.0.5\n"_s).toLatin1()), u"1"_s,
         u"10.0.0.5\n"_s);
    fake("refusal with empty address probes", page((marker % u"</b>"_s).toLatin1()), u"3"_s,
         marker % u"</b>"_s);
    // Indistinguishable from a working proxy: the client only ever sees the "1".
    fake("answers 1 without asking the ping page", page("1"), u"0"_s, none);
    CannedResponse reset;
    reset.reset = true;
    fake("resets the connection", reset, u"3"_s, QString());
    fake("407", CannedResponse::withStatus(407, "Proxy Authentication Required"), u"3"_s,
         u"Proxy Authentication Required"_s);
    CannedResponse stall = page("1");
    stall.stallAfterHeaders = true;
    fake("headers then silence", stall, u"2"_s, none);
    fake("100 MB answer is cut off", page(QByteArray(100 << 20, '1')), u"3"_s, QString());
}

void TestTester::outcomes()
{
    QFETCH(QString, entry);
    QFETCH(CannedResponse, answer);
    QFETCH(QString, ping);
    QFETCH(QString, status);
    QFETCH(QString, extra);
    if (entry.isEmpty()) {
        fakeProxy.setHandler([answer](const ReceivedRequest &) { return std::optional(answer); });
        entry = fakeProxy.entry();
    }
    if (ping == u"down")
        manager->pingUrl = u"http://"_s % env.closedEntry() % u"/ping"_s;
    else if (ping == u"silent")
        manager->pingUrl = env.silentListener.pingUrl().toString();
    run({entry});
    QCOMPARE(recorder->events, (QStringList{u"start "_s + entry, u"result "_s + status, u"end"_s}));
    const QStringList result = recorder->results.at(0);
    QCOMPARE(result.mid(0, 3),
             (QStringList{entry.section(u':', 0, 0), entry.section(u':', 1), status}));
    QCOMPARE(result.at(4), u"0"_s);
    QCOMPARE(result.value(5, u"-"_s), extra);
    QCOMPARE(result.size(), extra == u"-" ? 5 : 6);
    const int elapsed = result.at(3).toInt();
    // A time-out at its limit; an answer, even one followed by a probe, before it.
    QVERIFY2(status == u"2" ? elapsed >= manager->timeoutMs : elapsed < manager->timeoutMs,
             qPrintable(result.at(3)));
    if (status == u"0" && ping == u"up" && answer.body.isEmpty()) {
        const ReceivedRequest request = env.service.requestsFor(u"/ping"_s).constLast();
        QVERIFY(request.viaProxy && request.hasQueryItem(u"r"_s));
        QCOMPARE(request.header("Accept-Language"), "en-us,en;q=0.5"_ba);
    }
}

void TestTester::runSequence_data()
{
    QTest::addColumn<QStringList>("proxies");
    QTest::addColumn<QStringList>("events");
    const QString allowing = env.allowingEntry();
    QTest::newRow("several, in order")
        << QStringList{allowing, env.refusingEntry(), env.wrongPageEntry()}
        << QStringList{u"start "_s + allowing,
                       u"result 0"_s,
                       u"start "_s + env.refusingEntry(),
                       u"result 1"_s,
                       u"start "_s + env.wrongPageEntry(),
                       u"result 3"_s,
                       u"end"_s};
    QTest::newRow("time-out at the last entry")
        << QStringList{allowing, env.silentEntry()}
        << QStringList{u"start "_s + allowing, u"result 0"_s, u"start "_s + env.silentEntry(),
                       u"result 2"_s, u"end"_s};
    QTest::newRow("empty list ends at once") << QStringList() << QStringList{u"end"_s};
    QTest::newRow("only unusable entries")
        << QStringList{QString(), u"a:b:c"_s, u"nocolon"_s} << QStringList{u"end"_s};
    QTest::newRow("unusable entries skipped")
        << QStringList{QString(), allowing, u"a:b:c"_s}
        << QStringList{u"start "_s + allowing, u"result 0"_s, u"end"_s};
}

void TestTester::runSequence()
{
    QFETCH(QStringList, proxies);
    QFETCH(QStringList, events);
    manager->timeoutMs = 300;
    run(proxies);
    QCOMPARE(recorder->events, events);
    for (const QStringList &result : std::as_const(recorder->results))
        QCOMPARE(proxies.value(result.at(4).toInt()), result.at(0) % u':' % result.at(1));
    // Nothing comes afterwards from an abandoned request.
    QTest::qWait(manager->timeoutMs);
    QCOMPARE(recorder->events.size(), events.size());
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
    if (duringProbe)
        QTRY_COMPARE(env.service.requestsFor(u"/ping"_s).size(), 1);
    manager->stop(false);
    QTRY_VERIFY(recorder->ended());
    QCOMPARE(recorder->events.mid(1),
             (QStringList{duringProbe ? u"result 3"_s : u"result 2"_s, u"end"_s}));
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

void TestTester::portsWrapAndZero()
{
    const int port = env.allowingProxy.port();
    run({u"127.0.0.1:"_s % QString::number(port + 65536), u"127.0.0.1:"_s});
    QCOMPARE(recorder->results.at(0).mid(1, 2), (QStringList{QString::number(port), u"0"_s}));
    QCOMPARE(recorder->results.at(1).mid(1, 2), (QStringList{u"0"_s, u"3"_s}));
}

void TestTester::apiRequestDuringTestKeepsReportedProxy()
{
    manager->setCredentials(TestEnvironment::demoUser(), TestEnvironment::demoPassword());
    manager->proxies = {env.silentEntry()};
    manager->startTesting();
    manager->requestProxies();
    manager->requestAuthIps(false);
    QTRY_VERIFY(recorder->ended());
    QCOMPARE(recorder->results.at(0).value(0) % u':' % recorder->results.at(0).value(1),
             env.silentEntry());
}

void TestTester::lateAnswersCountForNothing()
{
    // The first run's answer comes late; a new run in the meantime must not take it.
    fakeProxy.setHandler([](const ReceivedRequest &) { return std::optional(page("1", 300)); });
    manager->proxies = {fakeProxy.entry()};
    manager->startTesting();
    QTRY_COMPARE(fakeProxy.requestCount(), 1);
    manager->timeoutMs = 700;
    run({env.silentEntry()});
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
