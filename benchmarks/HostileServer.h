#pragma once

#include <QByteArray>
#include <QMutex>
#include <QThread>

#include <atomic>
#include <functional>

class QTcpServer;

// A loopback HTTP server on a thread of its own, so that sending a huge or endless answer costs
// the measured event loop nothing. Every connection gets one answer, then is closed.
class HostileServer
{
public:
    struct Answer
    {
        // Status line and headers, the blank line included.
        QByteArray head;
        QByteArray body;
        // The body is sent again and again until the client goes away.
        bool endless = false;
    };
    // Called on the server's thread with the request line.
    using Responder = std::function<Answer(const QByteArray &requestLine)>;

    HostileServer();
    ~HostileServer();
    HostileServer(const HostileServer &) = delete;
    HostileServer &operator=(const HostileServer &) = delete;

    bool listen();
    quint16 port() const { return m_port; }
    void setResponder(Responder responder);
    // Body bytes handed to sockets so far, all connections together.
    qint64 bodyBytesSent() const { return m_bodyBytesSent; }

    // 200 with a Content-Length, and these extra header lines ("Name: value\r\n" each).
    static Answer plain(const QByteArray &body, const QByteArray &extraHeaders = {});
    // 200 without a length: the body ends when the connection does, here never.
    static Answer endless(const QByteArray &pattern);

private:
    void accept();
    Responder responder();

    QThread m_thread;
    QObject *m_context = nullptr;
    QTcpServer *m_server = nullptr;
    quint16 m_port = 0;
    QMutex m_mutex;
    Responder m_responder;
    std::atomic<qint64> m_bodyBytesSent{0};
};
