#pragma once

#include "CannedResponse.h"
#include "ReceivedRequest.h"

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QTimer>

#include <functional>

class QTcpSocket;

// One accepted connection of a DemoService. Requests are answered one at a time in arrival
// order, so pipelined or kept-alive requests on the same connection are all served.
class DemoConnection : public QObject
{
    Q_OBJECT
public:
    using Responder = std::function<CannedResponse(const ReceivedRequest &)>;

    // Takes ownership of the socket.
    DemoConnection(QTcpSocket *socket, quint64 id, Responder responder, QObject *parent = nullptr);
    ~DemoConnection() override;

    quint64 id() const { return m_id; }
    // Drops the connection at once, discarding anything not yet sent.
    void abort();

signals:
    // The connection is gone; the owner should deleteLater() this object.
    void closed();

private:
    enum class State
    {
        Idle,
        Delaying,
        Streaming,
        Dripping,
        Stalled,
        Closing,
        Closed
    };

    void onReadyRead();
    void onBytesWritten();
    void onDisconnected();
    void processBuffer();
    void answer(const CannedResponse &response);
    void deliver();
    void writeBody();
    void dripByte();
    void finishResponse();
    void resetConnection();

    QTcpSocket *m_socket = nullptr;
    const quint64 m_id;
    const Responder m_responder;
    QString m_peerAddress;
    quint16 m_peerPort = 0;
    quint16 m_localPort = 0;

    State m_state = State::Idle;
    bool m_closeAfterResponse = false;
    bool m_closedSignalled = false;
    QByteArray m_buffer;
    CannedResponse m_response;
    qint64 m_bodySent = 0;
    qint64 m_bodyLimit = 0;
    QTimer m_delayTimer;
    QTimer m_dripTimer;
};
