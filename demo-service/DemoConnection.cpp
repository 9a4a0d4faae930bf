#include "DemoConnection.h"

#include <QHostAddress>
#include <QPointer>
#include <QTcpSocket>
#include <QUrl>
#include <QUrlQuery>

#ifdef Q_OS_WIN
#include <winsock2.h>
#else
#include <sys/socket.h>
#endif

namespace {

constexpr qsizetype kMaxHeaderBytes = 64 * 1024;
constexpr qint64 kMaxRequestBodyBytes = 16 * 1024 * 1024;
// Large bodies go out in slices so neither the event loop nor memory is held up for long.
constexpr qint64 kChunkBytes = 256 * 1024;
constexpr qint64 kHighWaterBytes = 1024 * 1024;
constexpr int kResetDelayMs = 100;

QString addressText(const QHostAddress &address)
{
    bool isV4 = false;
    const quint32 v4 = address.toIPv4Address(&isV4);
    return isV4 ? QHostAddress(v4).toString() : address.toString();
}

bool hasToken(const QByteArray &value, const QByteArray &token)
{
    const QList<QByteArray> parts = value.split(',');
    for (const QByteArray &part : parts) {
        if (part.trimmed().compare(token, Qt::CaseInsensitive) == 0)
            return true;
    }
    return false;
}

bool isAbsoluteForm(const QByteArray &target)
{
    const qsizetype schemeEnd = target.indexOf("://");
    if (schemeEnd <= 0)
        return false;
    for (qsizetype i = 0; i < schemeEnd; ++i) {
        const char c = target.at(i);
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                        (i > 0 && ((c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.'));
        if (!ok)
            return false;
    }
    return true;
}

void fillTarget(const QByteArray &target, ReceivedRequest *request)
{
    QByteArray rest = target;
    if (isAbsoluteForm(target)) {
        request->viaProxy = true;
        const qsizetype authorityStart = target.indexOf("://") + 3;
        qsizetype pathStart = -1;
        for (qsizetype i = authorityStart; i < target.size(); ++i) {
            const char c = target.at(i);
            if (c == '/' || c == '?' || c == '#') {
                pathStart = i;
                break;
            }
        }
        rest = pathStart < 0 ? QByteArray() : target.mid(pathStart);
        if (!rest.startsWith('/'))
            rest.prepend('/');
    }
    const qsizetype hash = rest.indexOf('#');
    if (hash >= 0)
        rest.truncate(hash);
    const qsizetype question = rest.indexOf('?');
    const QByteArray pathPart = question < 0 ? rest : rest.left(question);
    request->path = QUrl::fromPercentEncoding(pathPart);
    if (question >= 0) {
        // QUrlQuery leaves '+' alone, unlike HTML form decoding.
        const QUrlQuery query(QString::fromUtf8(rest.mid(question + 1)));
        request->queryItems = query.queryItems(QUrl::FullyDecoded);
    }
}

} // namespace

DemoConnection::DemoConnection(QTcpSocket *socket, quint64 id, Responder responder, QObject *parent)
    : QObject(parent), m_socket(socket), m_id(id), m_responder(std::move(responder))
{
    m_socket->setParent(this);
    // Kept now: the socket forgets them once the peer is gone.
    m_peerAddress = addressText(m_socket->peerAddress());
    m_peerPort = m_socket->peerPort();
    m_localPort = m_socket->localPort();

    // Coarse timers may fire up to 5% early, and tests measure these delays.
    m_delayTimer.setTimerType(Qt::PreciseTimer);
    m_dripTimer.setTimerType(Qt::PreciseTimer);
    m_delayTimer.setSingleShot(true);
    connect(&m_delayTimer, &QTimer::timeout, this, &DemoConnection::deliver);
    connect(&m_dripTimer, &QTimer::timeout, this, &DemoConnection::dripByte);
    connect(m_socket, &QTcpSocket::readyRead, this, &DemoConnection::onReadyRead);
    connect(m_socket, &QTcpSocket::bytesWritten, this, &DemoConnection::onBytesWritten);
    connect(m_socket, &QTcpSocket::disconnected, this, &DemoConnection::onDisconnected);
    connect(m_socket, &QTcpSocket::errorOccurred, this, [this] {
        if (m_socket->state() == QAbstractSocket::UnconnectedState)
            onDisconnected();
    });
}

DemoConnection::~DemoConnection()
{
    m_delayTimer.stop();
    m_dripTimer.stop();
    if (m_socket) {
        // Silence the socket first so its teardown cannot call back into a half-destroyed object.
        m_socket->disconnect(this);
        m_socket->abort();
        delete m_socket;
    }
}

void DemoConnection::abort()
{
    m_state = State::Closed;
    m_socket->abort();
    onDisconnected();
}

void DemoConnection::onReadyRead()
{
    const QByteArray data = m_socket->readAll();
    if (m_state == State::Stalled || m_state == State::Closing || m_state == State::Closed)
        return;
    m_buffer += data;
    if (m_state == State::Idle)
        processBuffer();
}

void DemoConnection::onBytesWritten()
{
    if (m_state == State::Streaming)
        writeBody();
}

void DemoConnection::onDisconnected()
{
    if (m_closedSignalled)
        return;
    m_closedSignalled = true;
    m_state = State::Closed;
    m_delayTimer.stop();
    m_dripTimer.stop();
    m_buffer.clear();
    m_response = CannedResponse();
    emit closed();
}

void DemoConnection::processBuffer()
{
    if (m_state != State::Idle)
        return;
    ReceivedRequest request;
    int errorStatus = 0;
    const Parse result = parseRequest(&request, &errorStatus);
    if (result == Parse::NeedMore)
        return;
    if (result == Parse::Bad) {
        m_closeAfterResponse = true;
        const QByteArray reason = CannedResponse::standardReason(errorStatus);
        answer(CannedResponse::withStatus(errorStatus, reason + "\r\n"));
        return;
    }

    // The responder runs test code, which may close the connection or the whole service.
    QPointer<DemoConnection> self(this);
    const Responder responder = m_responder;
    const CannedResponse response = responder(request);
    if (!self || m_state != State::Idle)
        return;
    answer(response);
}

DemoConnection::Parse DemoConnection::parseRequest(ReceivedRequest *request, int *errorStatus)
{
    // Stray line breaks between requests are allowed and skipped.
    qsizetype skip = 0;
    while (skip < m_buffer.size() && (m_buffer.at(skip) == '\r' || m_buffer.at(skip) == '\n'))
        ++skip;
    if (skip > 0)
        m_buffer.remove(0, skip);

    qsizetype headEnd = m_buffer.indexOf("\r\n\r\n");
    qsizetype separator = 4;
    const qsizetype bareEnd = m_buffer.indexOf("\n\n");
    if (bareEnd >= 0 && (headEnd < 0 || bareEnd < headEnd)) {
        headEnd = bareEnd;
        separator = 2;
    }
    if (headEnd < 0 || headEnd > kMaxHeaderBytes) {
        if (m_buffer.size() <= kMaxHeaderBytes)
            return Parse::NeedMore;
        *errorStatus = 431;
        return Parse::Bad;
    }

    QList<QByteArray> lines = m_buffer.left(headEnd).split('\n');
    for (QByteArray &line : lines) {
        if (line.endsWith('\r'))
            line.chop(1);
    }
    QList<QByteArray> parts;
    const QList<QByteArray> words = lines.first().split(' ');
    for (const QByteArray &word : words) {
        if (!word.isEmpty())
            parts.append(word);
    }
    if (parts.size() != 3 || !parts.at(2).startsWith("HTTP/1.")) {
        *errorStatus = 400;
        return Parse::Bad;
    }
    request->method = parts.at(0);
    request->target = parts.at(1);
    request->httpVersion = parts.at(2);

    for (qsizetype i = 1; i < lines.size(); ++i) {
        const QByteArray &line = lines.at(i);
        if ((line.startsWith(' ') || line.startsWith('\t')) && !request->headers.isEmpty()) {
            request->headers.last().second += ' ' + line.trimmed();
            continue;
        }
        const qsizetype colon = line.indexOf(':');
        if (colon <= 0) {
            *errorStatus = 400;
            return Parse::Bad;
        }
        request->headers.append({line.left(colon).trimmed(), line.mid(colon + 1).trimmed()});
    }

    if (request->hasHeader("Transfer-Encoding")) {
        *errorStatus = 501;
        return Parse::Bad;
    }
    qint64 bodyLength = 0;
    if (request->hasHeader("Content-Length")) {
        bool ok = false;
        bodyLength = request->header("Content-Length").toLongLong(&ok);
        if (!ok || bodyLength < 0) {
            *errorStatus = 400;
            return Parse::Bad;
        }
        if (bodyLength > kMaxRequestBodyBytes) {
            *errorStatus = 413;
            return Parse::Bad;
        }
    }
    const qint64 total = headEnd + separator + bodyLength;
    if (m_buffer.size() < total)
        return Parse::NeedMore;
    request->body = m_buffer.mid(headEnd + separator, bodyLength);
    m_buffer.remove(0, total);

    fillTarget(request->target, request);
    if (request->hasHeader("Via"))
        request->viaProxy = true;
    request->peerAddress = m_peerAddress;
    request->peerPort = m_peerPort;
    request->localPort = m_localPort;
    request->connectionId = m_id;

    const QByteArray connection = request->header("Connection");
    if (request->httpVersion == "HTTP/1.0")
        m_closeAfterResponse = !hasToken(connection, "keep-alive");
    else
        m_closeAfterResponse = hasToken(connection, "close");
    return Parse::Complete;
}

void DemoConnection::answer(const CannedResponse &response)
{
    m_response = response;
    m_state = State::Delaying;
    if (m_response.delayMs > 0) {
        m_delayTimer.start(m_response.delayMs);
        return;
    }
    deliver();
}

void DemoConnection::deliver()
{
    if (m_state != State::Delaying)
        return;
    if (m_response.reset) {
        resetConnection();
        return;
    }
    if (m_response.stall) {
        m_state = State::Stalled;
        m_buffer.clear();
        return;
    }

    const qint64 bodySize = m_response.body.size();
    const QByteArray reason = m_response.reason.isEmpty()
                                  ? CannedResponse::standardReason(m_response.status)
                                  : m_response.reason;
    const QByteArray version = m_response.unframed ? "HTTP/1.0 " : "HTTP/1.1 ";
    QByteArray head = version + QByteArray::number(m_response.status) + ' ' + reason + "\r\n";
    bool hasType = false;
    bool hasLength = false;
    bool hasConnection = false;
    for (const auto &header : std::as_const(m_response.headers)) {
        head += header.first + ": " + header.second + "\r\n";
        if (header.first.compare("Content-Type", Qt::CaseInsensitive) == 0)
            hasType = true;
        if (header.first.compare("Content-Length", Qt::CaseInsensitive) == 0 ||
            header.first.compare("Transfer-Encoding", Qt::CaseInsensitive) == 0)
            hasLength = true;
        if (header.first.compare("Connection", Qt::CaseInsensitive) == 0) {
            hasConnection = true;
            if (hasToken(header.second, "close"))
                m_closeAfterResponse = true;
        }
    }
    if (!hasType)
        head += "Content-Type: text/plain\r\n";
    if (hasLength || m_response.unframed) {
        m_closeAfterResponse = true;
    } else {
        const qint64 announced =
            m_response.contentLengthOverride >= 0 ? m_response.contentLengthOverride : bodySize;
        head += "Content-Length: " + QByteArray::number(announced) + "\r\n";
        if (announced != bodySize)
            m_closeAfterResponse = true;
    }
    if (m_response.closeAfterBodyBytes >= 0 || m_response.resetAfterBody)
        m_closeAfterResponse = true;
    if (!hasConnection)
        head += m_closeAfterResponse ? "Connection: close\r\n" : "Connection: keep-alive\r\n";
    head += "\r\n";
    m_socket->write(head);

    if (m_response.stallAfterHeaders) {
        m_state = State::Stalled;
        m_buffer.clear();
        return;
    }
    m_bodySent = 0;
    m_bodyLimit = bodySize;
    if (m_response.closeAfterBodyBytes >= 0)
        m_bodyLimit = qMin(m_response.closeAfterBodyBytes, bodySize);
    if (m_response.dripIntervalMs > 0 && m_bodyLimit > 0) {
        m_state = State::Dripping;
        m_socket->flush();
        m_dripTimer.start(m_response.dripIntervalMs);
        return;
    }
    m_state = State::Streaming;
    writeBody();
}

void DemoConnection::writeBody()
{
    while (m_state == State::Streaming && m_bodySent < m_bodyLimit &&
           m_socket->bytesToWrite() < kHighWaterBytes) {
        const qint64 size = qMin(kChunkBytes, m_bodyLimit - m_bodySent);
        const qint64 written = m_socket->write(m_response.body.constData() + m_bodySent, size);
        if (written <= 0)
            return; // the socket is failing; its disconnect cleans up
        m_bodySent += written;
    }
    if (m_state == State::Streaming && m_bodySent >= m_bodyLimit)
        finishResponse();
}

void DemoConnection::dripByte()
{
    if (m_state != State::Dripping) {
        m_dripTimer.stop();
        return;
    }
    if (m_socket->write(m_response.body.constData() + m_bodySent, 1) != 1) {
        m_dripTimer.stop();
        return;
    }
    m_socket->flush();
    if (++m_bodySent >= m_bodyLimit) {
        m_dripTimer.stop();
        finishResponse();
    }
}

void DemoConnection::finishResponse()
{
    const bool reset = m_response.resetAfterBody;
    // The socket holds its own copy of what is still unsent.
    m_response = CannedResponse();
    if (reset) {
        // A reset discards whatever the peer has not read yet, so it comes a little later.
        m_state = State::Closing;
        m_socket->flush();
        QTimer::singleShot(kResetDelayMs, this, [this] {
            if (m_state == State::Closing)
                resetConnection();
        });
        return;
    }
    if (m_closeAfterResponse) {
        m_state = State::Closing;
        m_socket->disconnectFromHost();
        if (m_socket->state() == QAbstractSocket::UnconnectedState)
            onDisconnected();
        return;
    }
    m_state = State::Idle;
    // Queued so that a burst of pipelined requests cannot recurse.
    QMetaObject::invokeMethod(this, &DemoConnection::processBuffer, Qt::QueuedConnection);
}

void DemoConnection::resetConnection()
{
    m_state = State::Closed;
    const qintptr fd = m_socket->socketDescriptor();
    if (fd != -1) {
        // A zero linger time makes close() send RST instead of FIN, on Winsock too.
        linger noLinger{};
        noLinger.l_onoff = 1;
        noLinger.l_linger = 0;
#ifdef Q_OS_WIN
        ::setsockopt(static_cast<SOCKET>(fd), SOL_SOCKET, SO_LINGER,
                     reinterpret_cast<const char *>(&noLinger), sizeof(noLinger));
#else
        ::setsockopt(static_cast<int>(fd), SOL_SOCKET, SO_LINGER, &noLinger, sizeof(noLinger));
#endif
    }
    m_socket->abort();
    onDisconnected();
}
