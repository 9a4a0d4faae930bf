#include "DemoConnection.h"

#include "RequestParser.h"
#include "ResponseHead.h"

#include <QHostAddress>
#include <QPointer>
#include <QTcpSocket>

#ifdef Q_OS_WIN
#include <winsock2.h>
#else
#include <sys/socket.h>
#endif

namespace {

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
    const RequestParser::Result result = RequestParser::parse(&m_buffer, &request, &errorStatus);
    if (result == RequestParser::Result::NeedMore)
        return;
    if (result == RequestParser::Result::Bad) {
        m_closeAfterResponse = true;
        const QByteArray reason = CannedResponse::standardReason(errorStatus);
        answer(CannedResponse::withStatus(errorStatus, reason + "\r\n"));
        return;
    }
    request.peerAddress = m_peerAddress;
    request.peerPort = m_peerPort;
    request.localPort = m_localPort;
    request.connectionId = m_id;
    m_closeAfterResponse = RequestParser::wantsClose(request);

    // The responder runs test code, which may close the connection or the whole service.
    QPointer<DemoConnection> self(this);
    const Responder responder = m_responder;
    const CannedResponse response = responder(request);
    if (!self || m_state != State::Idle)
        return;
    answer(response);
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
    const QByteArray head = ResponseHead::compose(m_response, &m_closeAfterResponse);
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
