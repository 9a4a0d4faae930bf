// The service client's API requests and the parsing of their replies, against the
// fake service on loopback.
#include "ProxyManager.h"
#include "TestEnvironment.h"

#include <QSignalSpy>
#include <QTest>

using namespace Qt::StringLiterals;

template <size_t N> static QByteArray withNuls(const char (&text)[N])
{
    return QByteArray(text, N - 1);
}

class TestServiceRequests : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { QVERIFY(env.start()); }
    void init();
    void cleanup();

    void credentialsArriveIntact_data();
    void credentialsArriveIntact();
    void plainRequestIsSentAsWritten();
    void emptyCredentialsSendNothing();
    void listReply_data();
    void listReply();
    void secondListReplacesFirst();
    void failedListRequests_data();
    void failedListRequests();
    void myIpReply_data();
    void myIpReply();

private:
    // Answers every request of the given command with the canned response.
    void answer(const QString &command, const CannedResponse &response);
    QStringList requestList();

    TestEnvironment env;
    ProxyManager *manager = nullptr;
};

void TestServiceRequests::init()
{
    env.reset();
    manager = new ProxyManager();
    manager->apiUrl = env.service.apiUrl().toString();
    manager->apiTimeoutMs = 1000;
}

void TestServiceRequests::cleanup()
{
    delete manager;
}

void TestServiceRequests::answer(const QString &command, const CannedResponse &response)
{
    env.service.setHandler([command, response](const ReceivedRequest &request) {
        return request.queryValue(u"command"_s) == command ? std::optional(response) : std::nullopt;
    });
}

QStringList TestServiceRequests::requestList()
{
    QSignalSpy spy(manager, &ProxyManager::finishedGetProxies);
    manager->setCredentials(u"demo"_s, u"demo-pass"_s);
    manager->requestProxies();
    if (!spy.wait(5000))
        return {u"<no signal>"_s};
    return spy.at(0).at(0).toStringList();
}

void TestServiceRequests::credentialsArriveIntact_data()
{
    QTest::addColumn<QString>("user");
    QTest::addColumn<QString>("pass");
    QTest::newRow("ampersand") << u"demo"_s << u"a&b=c"_s;
    QTest::newRow("hash") << u"demo"_s << u"pa#ss"_s;
    QTest::newRow("plus and space") << u"demo"_s << u"one+two three"_s;
    QTest::newRow("percent and place marker") << u"de%1mo"_s << u"100%25%1"_s;
    QTest::newRow("question mark") << u"demo?x"_s << u"why?"_s;
    QTest::newRow("non-ASCII") << u"dëmo"_s << u"пароль€"_s;
}

void TestServiceRequests::credentialsArriveIntact()
{
    QFETCH(QString, user);
    QFETCH(QString, pass);
    env.service.addAccount(user, pass, {u"127.0.0.1:3128"_s});
    QSignalSpy lists(manager, &ProxyManager::finishedGetProxies);
    manager->setCredentials(user, pass);
    manager->requestProxies();
    QVERIFY(lists.wait(5000));
    QCOMPARE(lists.at(0).at(0).toStringList(), QStringList{u"127.0.0.1:3128"_s});

    QTRY_COMPARE(env.service.requests().size(), 2);
    QStringList commands;
    for (const ReceivedRequest &request : env.service.requests()) {
        QCOMPARE(request.path, u"/api"_s);
        QCOMPARE(request.queryValue(u"user"_s), user);
        QCOMPARE(request.queryValue(u"pass"_s), pass);
        QVERIFY(!request.viaProxy);
        commands << request.queryValue(u"command"_s);
    }
    commands.sort();
    QCOMPARE(commands, (QStringList{u"getmyip"_s, u"list"_s}));
}

void TestServiceRequests::plainRequestIsSentAsWritten()
{
    QCOMPARE(requestList(), env.demoProxies());
    QStringList targets;
    for (const ReceivedRequest &request : env.service.requests())
        targets << QString::fromLatin1(request.target);
    targets.sort();
    QCOMPARE(targets, (QStringList{u"/api?user=demo&pass=demo-pass&command=getmyip"_s,
                                   u"/api?user=demo&pass=demo-pass&command=list"_s}));
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
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QStringList>("payload");
    QTest::addColumn<QStringList>("proxies");
    const QStringList none;
    QTest::newRow("empty body") << QByteArray()
                                << QStringList{u"ERROR: Sorry, no response from server."_s} << none;
    QTest::newRow("error line keeps its terminator")
        << "ERROR: wrong password\r\n"_ba << QStringList{u"ERROR: wrong password\r\n"_s} << none;
    QTest::newRow("ERROR inside a word")
        << "xxERRORxx\n10.0.0.1:80\n"_ba << QStringList{u"xxERRORxx\n"_s} << none;
    QTest::newRow("lower-case error is a proxy")
        << "error:1\n"_ba << QStringList{u"error:1"_s} << QStringList{u"error:1"_s};
    const QStringList two{u"10.0.0.1:3128"_s, u"10.0.0.2:80"_s};
    QTest::newRow("CR LF") << "10.0.0.1:3128\r\n10.0.0.2:80\r\n"_ba << two << two;
    QTest::newRow("no final terminator") << "10.0.0.1:3128\r\n10.0.0.2:80"_ba << two << two;
    const QStringList withBlank{u"10.0.0.1:3128"_s, QString(), u"10.0.0.2:80"_s};
    QTest::newRow("blank line") << "10.0.0.1:3128\n\n10.0.0.2:80\n"_ba << withBlank << withBlank;
    QTest::newRow("white space trimmed")
        << "  10.0.0.1:3128 \t\r\n"_ba << QStringList{two.at(0)} << QStringList{two.at(0)};
    QTest::newRow("NUL starts a line: end of list")
        << withNuls("10.0.0.1:3128\n\0hidden:1\n") << QStringList{two.at(0)}
        << QStringList{two.at(0)};
    QTest::newRow("NUL starts the body")
        << withNuls("\0"
                    "10.0.0.1:3128\n")
        << QStringList{u"ERROR: Sorry, no response from server."_s} << none;
}

void TestServiceRequests::listReply()
{
    QFETCH(QByteArray, body);
    QFETCH(QStringList, payload);
    QFETCH(QStringList, proxies);
    CannedResponse response;
    response.body = body;
    answer(u"list"_s, response);
    QCOMPARE(requestList(), payload);
    QCOMPARE(manager->proxies, proxies);
}

void TestServiceRequests::secondListReplacesFirst()
{
    QCOMPARE(requestList(), env.demoProxies());
    CannedResponse response;
    response.body = "10.9.9.9:1\n";
    answer(u"list"_s, response);
    QCOMPARE(requestList(), QStringList{u"10.9.9.9:1"_s});
    response.body = "ERROR: account suspended\n";
    answer(u"list"_s, response);
    requestList();
    QVERIFY(manager->proxies.isEmpty());
}

void TestServiceRequests::failedListRequests_data()
{
    QTest::addColumn<QString>("apiUrl");
    QTest::addColumn<CannedResponse>("response");
    QTest::addColumn<QString>("payload");
    const QString service = env.service.apiUrl().toString();
    const QString noResponse = u"ERROR: Sorry, no response from server."_s;

    CannedResponse page = CannedResponse::withStatus(500, "<html>\nbroken:1\n</html>\n");
    QTest::newRow("HTTP 500 page is no list")
        << service << page
        << u"ERROR: Could not get the proxy list: HTTP 500 Internal Server Error"_s;
    CannedResponse errorPage = CannedResponse::withStatus(503, "ERROR: maintenance\n");
    QTest::newRow("HTTP 503 with an error line")
        << service << errorPage << u"ERROR: maintenance\n"_s;
    CannedResponse moved = CannedResponse::withStatus(302, "10.0.0.1:80\n");
    moved.headers = {{"Location", "http://127.0.0.1:1/elsewhere"}};
    QTest::newRow("redirect is not followed")
        << service << moved << u"ERROR: Could not get the proxy list: HTTP 302 Found"_s;
    CannedResponse silent;
    silent.stall = true;
    QTest::newRow("silent server times out") << service << silent << noResponse;
    CannedResponse drip;
    drip.body = "10.0.0.1:3128\n10.0.0.2:3128\n";
    drip.dripIntervalMs = 200;
    QTest::newRow("dripping server times out") << service << drip << noResponse;
    QTest::newRow("server down") << u"http://127.0.0.1:"_s % QString::number(env.closedPort) %
                                        u"/api"_s
                                 << CannedResponse() << noResponse;
    QTest::newRow("no API_URL") << QString() << CannedResponse() << noResponse;
}

void TestServiceRequests::failedListRequests()
{
    QFETCH(QString, apiUrl);
    QFETCH(CannedResponse, response);
    QFETCH(QString, payload);
    manager->apiUrl = apiUrl;
    answer(u"list"_s, response);
    QCOMPARE(requestList(), QStringList{payload});
    QVERIFY(manager->proxies.isEmpty());
}

void TestServiceRequests::myIpReply_data()
{
    QTest::addColumn<CannedResponse>("response");
    QTest::addColumn<QString>("myIp");
    QTest::newRow("first line, CR LF")
        << CannedResponse::withStatus(200, "10.1.1.1\r\n10.2.2.2\r\n") << u"10.1.1.1"_s;
    QTest::newRow("IPv6, spaces") << CannedResponse::withStatus(200, "  ::1 \n") << u"::1"_s;
    QTest::newRow("empty body") << CannedResponse::withStatus(200) << QString();
    QTest::newRow("error line") << CannedResponse::withStatus(200, "ERROR: wrong password\n")
                                << QString();
    QTest::newRow("HTTP error") << CannedResponse::withStatus(500, "10.1.1.1\n") << QString();
}

void TestServiceRequests::myIpReply()
{
    QFETCH(CannedResponse, response);
    QFETCH(QString, myIp);
    answer(u"getmyip"_s, response);
    manager->myIp = u"192.0.2.77"_s;
    requestList(); // the list answer comes after the getmyip answer on the same server
    QTRY_COMPARE(manager->myIp, myIp);
    QVERIFY(!manager->myIp.isNull());
}

QTEST_GUILESS_MAIN(TestServiceRequests)
#include "tst_servicerequests.moc"
