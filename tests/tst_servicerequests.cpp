// The service client's API requests and its reading of well-formed and hostile replies.
#include "ProxyManager.h"
#include "TestEnvironment.h"

#include <QNetworkReply>
#include <QSignalSpy>
#include <QSslSocket>
#include <QTest>

using namespace Qt::StringLiterals;

namespace {

const auto answer = &CannedResponse::withStatus;
const QString noResponse = u"ERROR: Sorry, no response from server."_s;
const QString listFailed = u"ERROR: Could not get the proxy list: "_s;
// The password of listReply's request, and what a service might echo of it: as typed,
// percent-encoded, and the base64 of "user:password".
const QString echoedPass = u"s3cr&t w%rd"_s;
const QByteArray echoes = "s3cr&t w%rd s3cr%26t%20w%25rd ZGVtbzpzM2NyJnQgdyVyZA==";

} // namespace

class TestServiceRequests : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { QVERIFY(env.start()); }
    void init()
    {
        env.reset();
        manager = std::make_unique<ProxyManager>();
        manager->apiUrl = env.service.apiUrl().toString();
        manager->pingUrl = env.service.pingUrl().toString();
        manager->apiTimeoutMs = 1000;
        manager->timeoutMs = 500;
    }

    void listReply_data()
    {
        QTest::addColumn<QString>("apiUrl"); // empty: the fake service
        QTest::addColumn<CannedResponse>("response");
        QTest::addColumn<QStringList>("payload");
        const auto row = [](const char *name, const CannedResponse &response,
                            const QStringList &payload, const QString &apiUrl = {}) {
            QTest::newRow(name) << apiUrl << response << payload;
        };
        const auto ok = [](const QByteArray &body) { return answer(200, body); };
        const QString a = u"10.0.0.1:3128"_s, b = u"10.0.0.2:80"_s;

        row("CR LF, spaces, blank line, Latin-1; NUL ends a line, one at its start the list",
            ok("  10.0.0.1:3128 \t\r\n\r\nh\xf6st:80\n10.0.0.2:80\0 28\n\0hidden:1\n"_ba),
            {a, {}, u"h\u00f6st:80"_s, b});
        row("NUL starts the body", ok("\0"_ba + "10.0.0.1:3128\n"), {noResponse});
        row("error line keeps its terminator", ok("ERROR: wrong password\r\n10.0.0.1:80\n"),
            {u"ERROR: wrong password\r\n"_s});
        row("HTTP 500 with ERROR", answer(500, "ERROR: go away\r\n"), {u"ERROR: go away\r\n"_s});
        // An error page's list is not used; following a redirect would carry the credentials
        // elsewhere.
        CannedResponse redirect = answer(302, "10.6.6.6:80\n");
        redirect.addHeader("Location", "/elsewhere");
        row("redirect not followed", redirect, {listFailed % u"HTTP 302 Found"_s});
        CannedResponse cut = ok("10.0.0.1:3128\n10.0.0.2:3128\n10.0.0.3:3128\n");
        cut.closeAfterBodyBytes = 20;
        row("closed mid-body", cut, {listFailed % u"Connection closed"_s});
        CannedResponse drip = ok("10.0.0.1:3128\n10.0.0.2:3128\n");
        drip.dripIntervalMs = 200; // each byte restarts a transfer time-out, not the deadline
        row("dripping server times out", drip, {noResponse});
        row("server down", {}, {noResponse}, u"http://"_s + env.closedEntry());
        row("self-signed certificate", {},
            {listFailed % u"TLS handshake failed: the certificate is self-signed, and untrusted"_s},
            env.tlsService.apiUrl().toString());
        // The reason phrase is the server's own text: one line, bounded. With no body, an
        // error status is still an answer.
        CannedResponse forged = answer(500, {});
        forged.reason =
            "Bad\rTesting proxy 6.6.6.6 on port 1... success! (2ms)\x1b" + QByteArray(1000, 'x');
        row("HTTP reason made one bounded line", forged,
            {listFailed %
             u"HTTP 500 Bad Testing proxy 6.6.6.6 on port 1... success! (2ms)\ufffd"_s %
             QString(113, u'x') % u"… (887 more characters)"_s});
        // Masked before the cut, which would fall inside the base64 of "user:password".
        CannedResponse echoing = answer(401, {});
        echoing.reason = "Bad " + QByteArray(130, 'x') + ' ' + echoes + ' ' + QByteArray(60, 'y');
        row("HTTP reason echoing the password", echoing,
            {listFailed % u"HTTP 401 Bad "_s % QString(130, u'x') % u" *** *** *** "_s %
             QString(21, u'y') % u"… (39 more characters)"_s});
        row("error line echoing the password", ok("ERROR: refused " + echoes + "\n"),
            {u"ERROR: refused *** *** ***\n"_s});
        QStringList many;
        for (int i = 0; i < ProxyManager::maxProxies; ++i)
            many << u"10.%1.%2.%3:3128"_s.arg(i / 65536).arg(i / 256 % 256).arg(i % 256);
        const QByteArray body = many.join(u"\r\n"_s).toLatin1() + "\r\n";
        row("200,000 entries, the most a list may hold", ok(body), many);
        const QStringList refused{
            u"ERROR: The proxy list has more than 200000 entries; none was loaded."_s};
        row("one entry more is refused", ok(body + "1:1\n"), refused);
        // Counted as the lines arrive. (Past the size bound it could end either way, by which
        // bound the bytes reach first: under Wine they outrun the reading.)
        row("2,000,000 short entries refused at the entry past the bound",
            ok(QByteArray("1:1\n").repeated(2 << 20)), refused);
        row("100 MB body is cut off, also past the end of the list",
            ok("10.0.0.1:3128\n\0"_ba + QByteArray(100 << 20, 'y')),
            {listFailed % u"the answer is too large"_s});
        row("line of 4096 bytes", ok(QByteArray(4096, 'a') + '\n'), {QString(4096, u'a')});
        row("line past 4096 bytes", ok("10.0.0.1:3128\n" + QByteArray(4097, 'a') + '\n'),
            {listFailed % u"a line of the answer is longer than 4096 bytes"_s});
        row("error line past 4096 bytes shown cut", ok("ERROR: " + QByteArray(5000, 'e') + '\n'),
            {u"ERROR: "_s % QString(4089, u'e')});
        CannedResponse compressed = ok("10.0.0.1:3128\n");
        compressed.addHeader("Content-Encoding", "gzip");
        row("compressed answer, not asked for", compressed,
            {listFailed % u"the answer is compressed, which was not asked for"_s});
    }
    // Each list replaces the one before, which stays only while a new one has not arrived.
    void listReply()
    {
        QFETCH(QString, apiUrl);
        QFETCH(CannedResponse, response);
        QFETCH(QStringList, payload);
        if (apiUrl == env.tlsService.apiUrl().toString() &&
            QSslSocket::activeBackend() != u"openssl"_s)
            QSKIP("the TLS test server needs the OpenSSL backend: with Schannel it closes the "
                  "connection before the client sees its certificate");
        QCOMPARE(requestList(), env.demoProxies());
        for (const ReceivedRequest &request : env.service.requestsFor(u"/api"_s))
            QCOMPARE(request.header("Accept-Encoding"), "identity"_ba);
        if (!apiUrl.isEmpty())
            manager->apiUrl = apiUrl.trimmed();
        // The size limit, not the deadline, must end a large answer.
        if (response.body.size() > 1000000)
            manager->apiTimeoutMs = 60000;
        QCOMPARE(requestList(response, echoedPass), payload);
        // Each reply is released once handled, or a client left running would grow for ever.
        QTRY_VERIFY(manager->findChildren<QNetworkReply *>().isEmpty());
        QCOMPARE(manager->proxies, payload.at(0).contains(u"ERROR"_s) ? QStringList() : payload);
    }

    void myIpReply_data()
    {
        QTest::addColumn<CannedResponse>("response");
        QTest::addColumn<QString>("myIp");
        QTest::newRow("first line") << answer(200, "10.1.1.1\r\n10.2.2.2\r\n") << u"10.1.1.1"_s;
        QTest::newRow("IPv6") << answer(200, " 2001:DB8:0:0::a:F \n") << u"2001:db8::a:f"_s;
        // Forms QHostAddress also takes, none of them one host's address as the service means it.
        for (const char *text :
             {"1", "127.1", "0x7f000001", "017700000001", "010.1.1.1", "10.1.1.1/32", "0.0.0.0",
              "255.255.255.255", "::", "fe80::1%lo", "[::1]", "<html>", "ERROR: wrong password"})
            QTest::addRow("%s", text) << answer(200, QByteArray(text) + "\n") << QString();
        // The whole line is the address, or nothing is taken.
        QTest::newRow("NUL after the address") << answer(200, "10.1.1.1\0x\n"_ba) << QString();
        QTest::newRow("second address") << answer(200, "10.1.1.1 10.2.2.2\n") << QString();
        QTest::newRow("HTTP error") << answer(500, "10.1.1.1\n") << QString();
        QTest::newRow("line past 4096 bytes")
            << answer(200, "10.1.1.1" + QByteArray(4096, ' ') + '\n') << QString();
    }
    void myIpReply()
    {
        QFETCH(CannedResponse, response);
        QFETCH(QString, myIp);
        env.answerWith(u"getmyip"_s, response);
        manager->myIp = u"192.0.2.77"_s;
        manager->setCredentials(TestEnvironment::demoUser(), TestEnvironment::demoPassword());
        QTRY_COMPARE(manager->myIp, myIp);
    }

private:
    // The list as the manager reports it, with the service's list answer replaced.
    QStringList requestList(const std::optional<CannedResponse> &response = std::nullopt,
                            const QString &pass = TestEnvironment::demoPassword())
    {
        env.answerWith(u"list"_s, response);
        QSignalSpy spy(manager.get(), &ProxyManager::finishedGetProxies);
        manager->setCredentials(TestEnvironment::demoUser(), pass);
        manager->requestProxies();
        return spy.wait(30000) ? spy.at(0).at(0).toStringList() : QStringList{u"<no signal>"_s};
    }

    TestEnvironment env;
    std::unique_ptr<ProxyManager> manager;
};

QTEST_GUILESS_MAIN(TestServiceRequests)
#include "tst_servicerequests.moc"
