// A test's own connection through a proxy, against a loopback peer that answers with the row's
// bytes and then closes: framing, bounds, a proxy's refusals, and what goes out.
#include "ProxyReply.h"

#include <QHostAddress>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

using namespace Qt::StringLiterals;

namespace {

// Answers each request, once its head is in, with the given bytes, and closes.
class CannedPeer : public QTcpServer
{
public:
    explicit CannedPeer(const QByteArray &answer) : answer(answer)
    {
        connect(this, &QTcpServer::newConnection, this, [this] {
            QTcpSocket *client = nextPendingConnection();
            connect(client, &QTcpSocket::readyRead, client, [this, client] {
                request += client->readAll();
                if (!request.contains("\r\n\r\n") || std::exchange(answered, true))
                    return;
                client->write(this->answer);
                client->disconnectFromHost();
            });
        });
        listen(QHostAddress::LocalHost);
    }
    QByteArray request;

private:
    QByteArray answer;
    bool answered = false;
};

QNetworkProxy proxyAt(const QTcpServer &server)
{
    return QNetworkProxy(QNetworkProxy::HttpProxy, u"127.0.0.1"_s, server.serverPort());
}

} // namespace

class TestProxyReply : public QObject
{
    Q_OBJECT

private slots:
    void answers_data()
    {
        QTest::addColumn<QByteArray>("answer");
        QTest::addColumn<QString>("url");
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<int>("error");
        const QString http = u"http://shop.test:8080/p?q=1#top"_s;
        const QString https = u"https://shop.test/"_s;
        const auto row = [&](const char *name, const QByteArray &answer, int status,
                             const QByteArray &body, QNetworkReply::NetworkError error,
                             const QString &url = {}) {
            QTest::newRow(name) << answer << (url.isEmpty() ? http : url) << status << body
                                << int(error);
        };
        const QByteArray ok = "HTTP/1.1 200 OK\r\n";
        row("length, more after it", ok + "Content-Length: 5\r\n\r\nhelloEXTRA", 200, "hello",
            QNetworkReply::NoError);
        row("chunked, extension, trailer",
            ok + "Transfer-Encoding: chunked\r\n\r\n5;x=1\r\nhello\r\n6\r\n world\r\n0\r\nT: "
                 "1\r\n\r\n",
            200, "hello world", QNetworkReply::NoError);
        row("until the end", "HTTP/1.0 200 OK\r\n\r\nabc", 200, "abc", QNetworkReply::NoError);
        row("interim answer skipped",
            "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 404 Not Found\r\nContent-Length: 2\r\n\r\nno",
            404, "no", QNetworkReply::NoError);
        row("body cut short", ok + "Content-Length: 10\r\n\r\nabc", 200, "abc",
            QNetworkReply::RemoteHostClosedError);
        row("closed without answer", {}, 0, {}, QNetworkReply::RemoteHostClosedError);
        row("not HTTP", "SSH-2.0-OpenSSH_9.2\r\n", 0, {}, QNetworkReply::ProtocolFailure);
        row("head past 64 KB", ok + "X: " + QByteArray(70000, 'a'), 0, {},
            QNetworkReply::ProtocolFailure);
        QByteArray many = ok;
        for (int i = 0; i <= HttpResponseParser::maxHeaders; ++i)
            many += "X-" + QByteArray::number(i) + ": 1\r\n";
        row("too many headers", many + "\r\n", 0, {}, QNetworkReply::ProtocolFailure);
        row("bad chunk size", ok + "Transfer-Encoding: chunked\r\n\r\nzz\r\n", 200, {},
            QNetworkReply::ProtocolFailure);
        row("negative length", ok + "Content-Length: -1\r\n\r\n", 200, {},
            QNetworkReply::ProtocolFailure);
        row("tunnel refused", "HTTP/1.1 403 Forbidden\r\n\r\n", 0, {},
            QNetworkReply::UnknownProxyError, https);
        row("tunnel needs a login", "HTTP/1.1 407 Login\r\n\r\n", 0, {},
            QNetworkReply::ProxyAuthenticationRequiredError, https);
        row("tunnel closed", {}, 0, {}, QNetworkReply::ProxyConnectionClosedError, https);
    }
    void answers()
    {
        QFETCH(QByteArray, answer);
        QFETCH(QString, url);
        QFETCH(int, status);
        QFETCH(QByteArray, body);
        QFETCH(int, error);
        CannedPeer proxy(answer);
        QNetworkRequest request{QUrl(url)};
        // A value with a line end must not become a header of its own.
        request.setRawHeader("Accept-Language", "en\r\nX-Forged: 1");
        ProxyReply reply(request, proxyAt(proxy));
        QSignalSpy finished(&reply, &QNetworkReply::finished);
        QTRY_COMPARE(finished.size(), 1);
        QCOMPARE(int(reply.error()), error);
        QCOMPARE(reply.attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), status);
        QCOMPARE(reply.readAll(), body);
        QVERIFY(reply.finishedMs() >= 0);
        const QByteArray head = proxy.request.left(proxy.request.indexOf("\r\n"));
        if (url.startsWith(u"https")) {
            QCOMPARE(head, "CONNECT shop.test:443 HTTP/1.1"_ba);
        } else {
            QCOMPARE(head, "GET http://shop.test:8080/p?q=1 HTTP/1.1"_ba);
            QVERIFY(proxy.request.contains("\r\nHost: shop.test:8080\r\n"));
            QVERIFY(proxy.request.contains("\r\nAccept-Language: en  X-Forged: 1\r\n"));
        }
    }
    // What is not read yet waits in the socket, past a bound, and none of it is lost.
    void largeBodyWaitsForItsReader()
    {
        const QByteArray data(1 << 20, 'x');
        CannedPeer server("HTTP/1.1 200 OK\r\nContent-Length: 1048576\r\n\r\n" + data);
        ProxyReply reply(QNetworkRequest(QUrl(u"http://127.0.0.1:%1/"_s.arg(server.serverPort()))),
                         QNetworkProxy(QNetworkProxy::NoProxy));
        QByteArray read;
        qint64 most = 0;
        QTRY_VERIFY((most = std::max(most, reply.bytesAvailable()), read += reply.readAll(),
                     reply.isFinished() && reply.bytesAvailable() == 0));
        QVERIFY2(most <= ProxyReply::bufferBytes, qPrintable(QString::number(most)));
        QCOMPARE(read.size(), data.size());
        QCOMPARE(reply.error(), QNetworkReply::NoError);
    }
};

QTEST_GUILESS_MAIN(TestProxyReply)
#include "tst_proxyreply.moc"
