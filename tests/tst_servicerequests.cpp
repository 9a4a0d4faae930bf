// The service client's API requests and its reading of well-formed and hostile replies.
#include "ProxyManager.h"
#include "TestEnvironment.h"

#include <QFile>
#include <QSignalSpy>
#include <QTest>

using namespace Qt::StringLiterals;

namespace {

template <size_t N> QByteArray withNuls(const char (&text)[N])
{
    return QByteArray(text, N - 1);
}

CannedResponse answer(int status, const QByteArray &body)
{
    CannedResponse response = CannedResponse::withStatus(status, body);
    response.reason.clear(); // the standard phrase
    return response;
}

qint64 residentMiB()
{
    QFile status(u"/proc/self/status"_s);
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray text = status.readAll();
    return text.mid(text.indexOf("VmRSS:") + 6).trimmed().split(' ').value(0).toLongLong() / 1024;
}

const QString noResponse = u"ERROR: Sorry, no response from server."_s;
const QString listFailed = u"ERROR: Could not get the proxy list: "_s;

} // namespace

class TestServiceRequests : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { QVERIFY(env.start()); }
    void init();
    void cleanup() { delete manager; }

    void credentialsIntactInEveryRequest_data();
    void credentialsIntactInEveryRequest();
    void emptyCredentialsSendNothing();
    void listReply_data();
    void listReply();
    void largeReplies_data();
    void largeReplies();
    void secondListReplacesFirst();
    void myIpReply_data();
    void myIpReply();

private:
    QStringList requestList(const std::optional<CannedResponse> &response = std::nullopt);

    TestEnvironment env;
    ProxyManager *manager = nullptr;
};

void TestServiceRequests::init()
{
    env.reset();
    manager = new ProxyManager();
    manager->apiUrl = env.service.apiUrl().toString();
    manager->pingUrl = env.service.pingUrl().toString();
    manager->apiTimeoutMs = 1000;
    manager->timeoutMs = 500;
}

QStringList TestServiceRequests::requestList(const std::optional<CannedResponse> &response)
{
    if (response) {
        env.service.setHandler([response](const ReceivedRequest &r) {
            return r.queryValue(u"command"_s) == u"list" ? response : std::nullopt;
        });
    }
    QSignalSpy spy(manager, &ProxyManager::finishedGetProxies);
    manager->setCredentials(TestEnvironment::demoUser(), TestEnvironment::demoPassword());
    manager->requestProxies();
    if (!spy.wait(20000))
        return {u"<no signal>"_s};
    return spy.at(0).at(0).toStringList();
}

void TestServiceRequests::credentialsIntactInEveryRequest_data()
{
    QTest::addColumn<QString>("user");
    QTest::addColumn<QString>("pass");
    QTest::newRow("plain") << u"demo"_s << u"demo-pass"_s;
    QTest::newRow("& and =") << u"demo"_s << u"a&b=c"_s;
    QTest::newRow("hash") << u"demo"_s << u"pa#ss"_s;
    QTest::newRow("plus and space") << u"demo"_s << u"one+two three"_s;
    QTest::newRow("percent, place marker, ?") << u"de%1mo?"_s << u"100%25%1?"_s;
    QTest::newRow("non-ASCII") << u"dëmo"_s << u"пароль€"_s;
}

// A login, an authorization round and a test run: every request reaches the service
// directly, with the credentials as typed.
void TestServiceRequests::credentialsIntactInEveryRequest()
{
    QFETCH(QString, user);
    QFETCH(QString, pass);
    env.service.addAccount(user, pass, {env.silentEntry()}, {u"10.2.2.2"_s});
    env.service.setReportedIp(u"10.1.1.1"_s);
    QSignalSpy lists(manager, &ProxyManager::finishedGetProxies);
    manager->setCredentials(user, pass);
    manager->requestProxies();
    QVERIFY(lists.wait(5000));
    QCOMPARE(lists.at(0).at(0).toStringList(), QStringList{env.silentEntry()});
    QTRY_COMPARE(manager->myIp, u"10.1.1.1"_s);
    QSignalSpy ended(manager, &ProxyManager::finishedTest);
    manager->startTesting();
    manager->requestAuthIps(true);
    QTRY_COMPARE(env.service.authorizedIps(user), (QStringList{u"10.1.1.1"_s, u"10.2.2.2"_s}));
    QVERIFY(ended.wait(5000));

    QStringList commands;
    for (const ReceivedRequest &request : env.service.requestsFor(u"/api"_s)) {
        QCOMPARE(request.queryValue(u"user"_s), user);
        QCOMPARE(request.queryValue(u"pass"_s), pass);
        QVERIFY(!request.viaProxy);
        commands << request.queryValue(u"command"_s);
        if (qstrcmp(QTest::currentDataTag(), "plain") == 0 && commands.last() != u"setauthips")
            QCOMPARE(QString::fromLatin1(request.target),
                     u"/api?user=demo&pass=demo-pass&command="_s % commands.last() %
                         (commands.last() == u"getauthips" ? u"&call_emit=1"_s : QString()));
    }
    commands.sort();
    QCOMPARE(commands, (QStringList{u"getauthips"_s, u"getmyip"_s, u"list"_s, u"setauthips"_s}));
}

void TestServiceRequests::emptyCredentialsSendNothing()
{
    QSignalSpy lists(manager, &ProxyManager::finishedGetProxies);
    manager->setCredentials(u"demo"_s, QString());
    manager->requestProxies();
    manager->requestAuthIps(true);
    manager->setCredentials(QString(), u"demo-pass"_s);
    manager->requestProxies();
    // A request sent afterwards is the barrier: the empty ones would have arrived first.
    manager->setCredentials(u"demo"_s, u"demo-pass"_s);
    QTRY_COMPARE(env.service.requests().size(), 1);
    QCOMPARE(env.service.requests().at(0).queryValue(u"command"_s), u"getmyip"_s);
    QCOMPARE(lists.size(), 0);
}

void TestServiceRequests::listReply_data()
{
    QTest::addColumn<QString>("apiUrl"); // empty: the fake service
    QTest::addColumn<CannedResponse>("response");
    QTest::addColumn<QStringList>("payload");
    const auto row = [](const char *name, const CannedResponse &response,
                        const QStringList &payload) {
        QTest::newRow(name) << QString() << response << payload;
    };
    const auto ok = [](const QByteArray &body) { return answer(200, body); };
    const QStringList two{u"10.0.0.1:3128"_s, u"10.0.0.2:80"_s};

    row("CR LF", ok("10.0.0.1:3128\r\n10.0.0.2:80\r\n"), two);
    row("no final line end", ok("10.0.0.1:3128\r\n10.0.0.2:80"), two);
    row("blank line", ok("10.0.0.1:3128\n\n10.0.0.2:80\n"), {two.at(0), {}, two.at(1)});
    row("white space trimmed", ok("  10.0.0.1:3128 \t\r\n"), {two.at(0)});
    row("lower-case error is a proxy", ok("error:1\n"), {u"error:1"_s});
    row("Latin-1 and UTF-8 bytes", ok("h\xf6st:80\nh\xc3\xb6st:80\n"),
        {u"h\u00f6st:80"_s, u"h\u00c3\u00b6st:80"_s});
    row("NUL inside lines", ok(withNuls("10.0.0.1:31\0 28\n10.0.0.2:80\0\n")),
        {u"10.0.0.1:31"_s, two.at(1)});
    row("NUL starts a line: end of list", ok(withNuls("10.0.0.1:3128\n\0hidden:1\n")), {two.at(0)});
    row("NUL starts the body",
        ok(withNuls("\0"
                    "10.0.0.1:3128\n")),
        {noResponse});
    row("empty body", ok({}), {noResponse});
    row("error line keeps its terminator", ok("ERROR: wrong password\r\n"),
        {u"ERROR: wrong password\r\n"_s});
    row("ERROR inside a word", ok("xxERRORxx\n10.0.0.1:80\n"), {u"xxERRORxx\n"_s});
    for (const int status : {301, 302, 404, 500}) {
        QTest::addRow("HTTP %d without ERROR", status)
            << QString() << answer(status, "<html>10.6.6.6:80</html>\n")
            << QStringList{listFailed % u"HTTP "_s % QString::number(status) % u' ' %
                           QString::fromLatin1(CannedResponse::standardReason(status))};
        QTest::addRow("HTTP %d with ERROR", status)
            << QString() << answer(status, "ERROR: go away\r\n")
            << QStringList{u"ERROR: go away\r\n"_s};
    }
    CannedResponse cut = ok("10.0.0.1:3128\n10.0.0.2:3128\n10.0.0.3:3128\n");
    cut.closeAfterBodyBytes = 20;
    row("closed mid-body", cut, {listFailed % u"Connection closed"_s});
    CannedResponse longer = ok("10.0.0.1:3128\n");
    longer.contentLengthOverride = 400;
    row("Content-Length too large", longer, {listFailed % u"Connection closed"_s});
    // The answer says it ends there: the client cannot know better.
    CannedResponse shorter = ok("10.0.0.1:3128\n10.0.0.2:3128\n");
    shorter.contentLengthOverride = 20;
    row("Content-Length too small", shorter, {two.at(0), u"10.0.0"_s});
    CannedResponse reset;
    reset.reset = true;
    row("connection reset", reset, {noResponse});
    CannedResponse silent;
    silent.stall = true;
    row("silent server times out", silent, {noResponse});
    CannedResponse stalled = ok("10.0.0.1:3128\n");
    stalled.stallAfterHeaders = true;
    row("headers then silence", stalled, {noResponse});
    CannedResponse drip = ok("10.0.0.1:3128\n10.0.0.2:3128\n");
    drip.dripIntervalMs = 200; // each byte restarts a transfer time-out, not the deadline
    row("dripping server times out", drip, {noResponse});
    QTest::newRow("server down") << TestEnvironment::entryOf(env.closedPort).prepend(u"http://"_s)
                                 << CannedResponse() << QStringList{noResponse};
    QTest::newRow("no API_URL") << u" "_s << CannedResponse() << QStringList{noResponse};
}

void TestServiceRequests::listReply()
{
    QFETCH(QString, apiUrl);
    QFETCH(CannedResponse, response);
    QFETCH(QStringList, payload);
    if (!apiUrl.isEmpty())
        manager->apiUrl = apiUrl.trimmed();
    QCOMPARE(requestList(response), payload);
    QCOMPARE(manager->proxies, payload.at(0).contains(u"ERROR"_s) ? QStringList() : payload);
}

void TestServiceRequests::largeReplies_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<int>("entries"); // -1: cut off as too large
    QByteArray many;
    for (int i = 0; i < 100000; ++i)
        many +=
            "10.0." + QByteArray::number(i / 256) + '.' + QByteArray::number(i % 256) + ":3128\r\n";
    QTest::newRow("100,000 entries") << many << 100000;
    QTest::newRow("1 MB line") << QByteArray(1 << 20, 'x') + "\n10.0.0.1:80\n" << 2;
    QTest::newRow("100 MB body") << QByteArray(100 << 20, 'y') << -1;
}

void TestServiceRequests::largeReplies()
{
    QFETCH(QByteArray, body);
    QFETCH(int, entries);
    manager->apiTimeoutMs = 20000; // the size limit, not the deadline, must end the 100 MB
    const qint64 before = residentMiB();
    const QStringList payload = requestList(CannedResponse::withStatus(200, body));
    qInfo("resident memory grew by %lld MiB", residentMiB() - before);
    if (entries > 0) {
        QCOMPARE(payload.size(), entries);
        return;
    }
    QCOMPARE(payload, QStringList{listFailed % u"the answer is too large"_s});
#ifndef __SANITIZE_ADDRESS__ // its quarantine keeps freed memory resident
    // Cut off at the limit instead of buffering 100 MB and splitting it into lines.
    QVERIFY(residentMiB() - before < 80);
#endif
}

void TestServiceRequests::secondListReplacesFirst()
{
    QCOMPARE(requestList(), env.demoProxies());
    QCOMPARE(requestList(answer(200, "10.9.9.9:1\n")), QStringList{u"10.9.9.9:1"_s});
    requestList(answer(200, "ERROR: account suspended\n"));
    QVERIFY(manager->proxies.isEmpty());
}

void TestServiceRequests::myIpReply_data()
{
    QTest::addColumn<CannedResponse>("response");
    QTest::addColumn<QString>("myIp");
    QTest::newRow("first line, CR LF") << answer(200, "10.1.1.1\r\n10.2.2.2\r\n") << u"10.1.1.1"_s;
    QTest::newRow("IPv6, spaces") << answer(200, "  ::1 \n") << u"::1"_s;
    QTest::newRow("empty body") << answer(200, {}) << QString();
    QTest::newRow("error line") << answer(200, "ERROR: wrong password\n") << QString();
    QTest::newRow("HTTP error") << answer(500, "10.1.1.1\n") << QString();
}

void TestServiceRequests::myIpReply()
{
    QFETCH(CannedResponse, response);
    QFETCH(QString, myIp);
    env.service.setHandler([response](const ReceivedRequest &r) {
        return r.queryValue(u"command"_s) == u"getmyip" ? std::optional(response) : std::nullopt;
    });
    manager->myIp = u"192.0.2.77"_s;
    manager->setCredentials(TestEnvironment::demoUser(), TestEnvironment::demoPassword());
    QTRY_COMPARE(manager->myIp, myIp);
    QVERIFY(!manager->myIp.isNull());
}

QTEST_GUILESS_MAIN(TestServiceRequests)
#include "tst_servicerequests.moc"
