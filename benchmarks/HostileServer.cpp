#include "HostileServer.h"

#include <QMutexLocker>
#include <QTcpServer>
#include <QTcpSocket>

#include <memory>

namespace {

constexpr qint64 sliceBytes = 256 * 1024;
constexpr qint64 highWaterBytes = 1024 * 1024;
// A request line past this is not waited for any longer.
constexpr qsizetype maxRequestBytes = 4 * 1024 * 1024;

struct Sending
{
    HostileServer::Answer answer;
    qint64 offset = 0;
    bool answered = false;
    QByteArray request;
};

} // namespace

HostileServer::HostileServer()
{
    m_context = new QObject;
    m_context->moveToThread(&m_thread);
    m_thread.start();
}

HostileServer::~HostileServer()
{
    QMetaObject::invokeMethod(
        m_context, [this] { delete m_context; }, Qt::BlockingQueuedConnection);
    m_thread.quit();
    m_thread.wait();
}

bool HostileServer::listen()
{
    QMetaObject::invokeMethod(
        m_context,
        [this] {
            m_server = new QTcpServer(m_context);
            if (m_server->listen(QHostAddress::LocalHost, 0))
                m_port = m_server->serverPort();
            QObject::connect(m_server, &QTcpServer::newConnection, m_server, [this] { accept(); });
        },
        Qt::BlockingQueuedConnection);
    return m_port != 0;
}

void HostileServer::setResponder(Responder responder)
{
    QMutexLocker lock(&m_mutex);
    m_responder = std::move(responder);
}

HostileServer::Responder HostileServer::responder()
{
    QMutexLocker lock(&m_mutex);
    return m_responder;
}

HostileServer::Answer HostileServer::plain(const QByteArray &body, const QByteArray &extraHeaders)
{
    return {"HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nConnection: close\r\n"
            "Content-Length: " +
                QByteArray::number(body.size()) + "\r\n" + extraHeaders + "\r\n",
            body, false};
}

HostileServer::Answer HostileServer::endless(const QByteArray &pattern)
{
    QByteArray body;
    while (body.size() < sliceBytes)
        body += pattern;
    return {"HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nConnection: close\r\n\r\n", body, true};
}

// On the server's thread.
void HostileServer::accept()
{
    while (QTcpSocket *socket = m_server->nextPendingConnection()) {
        auto state = std::make_shared<Sending>();
        const auto send = [this, socket, state] {
            const Answer &answer = state->answer;
            while (socket->bytesToWrite() < highWaterBytes &&
                   (answer.endless || state->offset < answer.body.size()) &&
                   !answer.body.isEmpty()) {
                const qint64 at = state->offset % answer.body.size();
                const qint64 size = std::min(sliceBytes, answer.body.size() - at);
                const qint64 written = socket->write(answer.body.constData() + at, size);
                if (written <= 0)
                    return;
                state->offset += written;
                m_bodyBytesSent += written;
            }
            if (!answer.endless && state->offset >= answer.body.size())
                socket->disconnectFromHost();
        };
        QObject::connect(socket, &QTcpSocket::readyRead, socket, [this, socket, state, send] {
            state->request += socket->readAll();
            if (state->answered ||
                (!state->request.contains("\r\n\r\n") && state->request.size() < maxRequestBytes))
                return;
            state->answered = true;
            const Responder respond = responder();
            state->answer = respond(state->request.left(state->request.indexOf("\r\n")));
            state->request.clear();
            socket->write(state->answer.head);
            send();
        });
        QObject::connect(socket, &QTcpSocket::bytesWritten, socket, [state, send] {
            if (state->answered)
                send();
        });
        QObject::connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
    }
}
