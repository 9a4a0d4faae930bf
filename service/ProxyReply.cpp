#include "ProxyReply.h"

#include <QTcpSocket>
#include <QTimer>
#if QT_CONFIG(ssl)
#include <QSslConfiguration>
#include <QSslSocket>
#endif

#include <algorithm>
#include <cstring>

using namespace Qt::StringLiterals;

namespace {

constexpr qint64 readChunk = 16 * 1024;

// The port is left out where it is the scheme's own, as browsers do, unless always asked.
QByteArray hostAndPort(const QUrl &url, int defaultPort, bool always = false)
{
    const QByteArray host = url.host(QUrl::FullyEncoded).toLatin1();
    const QByteArray name = host.contains(':') ? '[' + host + ']' : host;
    const int port = url.port(defaultPort);
    return port == defaultPort && !always ? name : name + ':' + QByteArray::number(port);
}

// Header values come from the program, but a line end in one would start a header of its own.
QByteArray oneLine(QByteArray value)
{
    return value.replace('\r', ' ').replace('\n', ' ');
}

} // namespace

ProxyReply::ProxyReply(const QNetworkRequest &request, const QNetworkProxy &proxy, QObject *parent)
    : QNetworkReply(parent), viaProxy(proxy.type() == QNetworkProxy::HttpProxy),
      https(request.url().scheme() == u"https")
{
    setRequest(request);
    setUrl(request.url());
    setOperation(QNetworkAccessManager::GetOperation);
    QIODevice::open(QIODevice::ReadOnly | QIODevice::Unbuffered);
    clock.start();

#if QT_CONFIG(ssl)
    if (https) {
        auto *tls = new QSslSocket(this);
        tls->setSslConfiguration(request.sslConfiguration());
        tls->setPeerVerifyName(request.url().host());
        connect(tls, &QSslSocket::sslErrors, this, &ProxyReply::sslErrors);
        connect(tls, &QSslSocket::encrypted, this, &ProxyReply::sendRequest);
        socket = tls;
    }
#endif
    if (!socket)
        socket = new QTcpSocket(this);
    // The program's own proxy settings must not carry a test through another proxy.
    socket->setProxy(QNetworkProxy::NoProxy);
    socket->setReadBufferSize(bufferBytes);
    connect(socket, &QAbstractSocket::connected, this, &ProxyReply::connected);
    connect(socket, &QAbstractSocket::readyRead, this, &ProxyReply::pump);
    connect(socket, &QAbstractSocket::disconnected, this, &ProxyReply::pump);
    connect(socket, &QAbstractSocket::errorOccurred, this, &ProxyReply::socketError);

#if !QT_CONFIG(ssl)
    if (https) {
        QTimer::singleShot(0, this,
                           [this] { fail(SslHandshakeFailedError, u"this build has no TLS"_s); });
        return;
    }
#endif
    const quint16 port = quint16(request.url().port(https ? 443 : 80));
    if (viaProxy)
        socket->connectToHost(proxy.hostName(), proxy.port());
#if QT_CONFIG(ssl)
    else if (https)
        static_cast<QSslSocket *>(socket)->connectToHostEncrypted(request.url().host(), port);
#endif
    else
        socket->connectToHost(request.url().host(), port);
    constructed = true;
}

ProxyReply::~ProxyReply()
{
    if (socket)
        socket->disconnect(this);
}

void ProxyReply::connected()
{
    if (!viaProxy || !https)
        return sendRequest();
    const QByteArray authority = hostAndPort(url(), 443, true);
    socket->write("CONNECT " + authority + " HTTP/1.1\r\nHost: " + authority +
                  "\r\nUser-Agent: Mozilla/5.0\r\n\r\n");
}

void ProxyReply::sendRequest()
{
    if (viaProxy && https && !tunnelOpen)
        return;
    const QNetworkRequest request = this->request();
    // A proxy forwarding plain HTTP takes the whole address; a server or a tunnel the path.
    const QByteArray target =
        viaProxy && !https
            ? url().toEncoded(QUrl::RemoveFragment | QUrl::RemoveUserInfo)
            : url().toEncoded(QUrl::RemoveScheme | QUrl::RemoveAuthority | QUrl::RemoveFragment);
    QByteArray head = "GET " + (target.isEmpty() ? "/"_ba : target) +
                      " HTTP/1.1\r\nHost: " + hostAndPort(url(), https ? 443 : 80) + "\r\n";
    for (const QByteArray &name : request.rawHeaderList()) {
        const QByteArray lower = name.toLower();
        if (lower == "host" || lower == "connection" || lower.startsWith("proxy-"))
            continue;
        head += oneLine(name) + ": " + oneLine(request.rawHeader(name)) + "\r\n";
    }
    if (!request.hasRawHeader("User-Agent"))
        head += "User-Agent: Mozilla/5.0\r\n";
    head += "Connection: close\r\n\r\n";
    socket->write(head);
}

void ProxyReply::pump()
{
    pumpQueued = false;
    if (isFinished() || !socket || !constructed)
        return;
    if (viaProxy && https && !tunnelOpen)
        return readTunnelAnswer();
    bool grew = false;
    while (answer.state() != HttpResponseParser::State::Done && body.size() < bufferBytes &&
           socket->bytesAvailable() > 0) {
        char chunk[readChunk];
        const qint64 size = socket->read(chunk, std::min(readChunk, bufferBytes - body.size()));
        if (size <= 0)
            break;
        const bool hadHead = answer.hasHead();
        const qsizetype before = body.size();
        answer.feed(QByteArrayView(chunk, size), body);
        if (!hadHead && answer.hasHead()) {
            headArrived();
            if (isFinished())
                return;
        }
        if (answer.state() == HttpResponseParser::State::Failed)
            return fail(ProtocolFailure, u"the answer is not HTTP"_s);
        grew = grew || body.size() > before;
    }
    if (grew) {
        emit readyRead();
        if (isFinished())
            return;
    }
    if (answer.state() == HttpResponseParser::State::Done)
        return complete();
    if (socket->state() != QAbstractSocket::UnconnectedState || socket->bytesAvailable() > 0)
        return;
    answer.closed();
    if (answer.state() == HttpResponseParser::State::Done)
        return complete();
    fail(RemoteHostClosedError, u"the connection closed before the answer ended"_s);
}

void ProxyReply::readTunnelAnswer()
{
    QByteArray none;
    const QByteArray data = socket->read(HttpResponseParser::maxHeadBytes);
    const qsizetype used = tunnelAnswer.feed(data, none);
    if (tunnelAnswer.state() == HttpResponseParser::State::Failed)
        return fail(UnknownProxyError, u"the proxy's answer to CONNECT is not HTTP"_s);
    if (tunnelAnswer.state() != HttpResponseParser::State::Done) {
        if (socket->state() == QAbstractSocket::UnconnectedState)
            fail(ProxyConnectionClosedError, u"the proxy closed the connection"_s);
        return;
    }
    const int status = tunnelAnswer.status();
    if (status == 407)
        return fail(ProxyAuthenticationRequiredError, u"the proxy asks for a login"_s);
    if (status < 200 || status > 299 || used < data.size())
        return fail(UnknownProxyError, u"the proxy refused the tunnel"_s);
#if QT_CONFIG(ssl)
    tunnelOpen = true;
    static_cast<QSslSocket *>(socket)->startClientEncryption();
#endif
}

void ProxyReply::headArrived()
{
    setAttribute(QNetworkRequest::HttpStatusCodeAttribute, answer.status());
    setAttribute(QNetworkRequest::HttpReasonPhraseAttribute, QString::fromLatin1(answer.reason()));
    for (const auto &[name, value] : answer.headers())
        setRawHeader(name, value);
    emit metaDataChanged();
}

void ProxyReply::socketError()
{
    if (isFinished() || !socket)
        return;
    // A connection refused at once (as Wine does on loopback) must not end the reply before
    // its caller could connect to it.
    if (!constructed)
        return QTimer::singleShot(0, this, &ProxyReply::socketError);
    const bool toProxy = viaProxy && !tunnelOpen;
    switch (socket->error()) {
    case QAbstractSocket::RemoteHostClosedError:
        // What was read before still counts; pump() ends the answer.
        return pump();
    case QAbstractSocket::ConnectionRefusedError:
        return fail(toProxy ? ProxyConnectionRefusedError : ConnectionRefusedError,
                    socket->errorString());
    case QAbstractSocket::HostNotFoundError:
        return fail(toProxy ? ProxyNotFoundError : HostNotFoundError, socket->errorString());
    case QAbstractSocket::SocketTimeoutError:
        return fail(toProxy ? ProxyTimeoutError : TimeoutError, socket->errorString());
    case QAbstractSocket::SslHandshakeFailedError:
        return fail(SslHandshakeFailedError, socket->errorString());
    default:
        return fail(UnknownNetworkError, socket->errorString());
    }
}

void ProxyReply::ignoreSslErrors()
{
#if QT_CONFIG(ssl)
    if (auto *tls = qobject_cast<QSslSocket *>(socket))
        tls->ignoreSslErrors();
#endif
}

void ProxyReply::fail(NetworkError code, const QString &text)
{
    if (isFinished())
        return;
    endSocket();
    setError(code, text);
    setFinished(true);
    endMs = clock.elapsed();
    emit errorOccurred(code);
    emit finished();
}

void ProxyReply::complete()
{
    endSocket();
    setFinished(true);
    endMs = clock.elapsed();
    emit finished();
}

void ProxyReply::abort()
{
    const bool wasOpen = isOpen();
    endSocket();
    QNetworkReply::close();
    if (!isFinished() && wasOpen)
        fail(OperationCanceledError, u"Operation canceled"_s);
}

void ProxyReply::endSocket()
{
    if (!socket)
        return;
    socket->disconnect(this);
    socket->abort();
    socket->deleteLater();
    socket = nullptr;
}

qint64 ProxyReply::bytesAvailable() const
{
    return body.size() + QNetworkReply::bytesAvailable();
}

qint64 ProxyReply::readData(char *data, qint64 maxSize)
{
    const qint64 size = std::min<qint64>(maxSize, body.size());
    if (size == 0)
        return isFinished() ? -1 : 0;
    std::memcpy(data, body.constData(), size_t(size));
    body.remove(0, qsizetype(size));
    // The socket holds more than the buffer took.
    if (!pumpQueued && socket && socket->bytesAvailable() > 0) {
        pumpQueued = true;
        QMetaObject::invokeMethod(this, &ProxyReply::pump, Qt::QueuedConnection);
    }
    return size;
}
