#include "FakePingProxy.h"

#include <QTcpSocket>
#include <QTimer>

#include <algorithm>

bool FakePingProxy::listen()
{
    connect(&server, &QTcpServer::newConnection, this, &FakePingProxy::accept);
    // Past the backlog, a connection would wait for its SYN to be sent again.
    server.setListenBacklogSize(1024);
    server.setMaxPendingConnections(1024);
    return server.listen(QHostAddress::LocalHost);
}

QString FakePingProxy::entry() const
{
    return QStringLiteral("127.0.0.1:") + QString::number(server.serverPort());
}

void FakePingProxy::accept()
{
    while (QTcpSocket *socket = server.nextPendingConnection()) {
        mostOpen = std::max(mostOpen, ++open);
        // Spread over the range, so that answers come back in another order than asked.
        const int delayMs = minDelayMs + accepted++ * 37 % std::max(1, maxDelayMs - minDelayMs);
        connect(socket, &QTcpSocket::disconnected, this, [this, socket] {
            --open;
            socket->deleteLater();
        });
        // Whatever was asked. Read, so that the close is no reset.
        connect(
            socket, &QTcpSocket::readyRead, this,
            [this, socket, delayMs] {
                socket->readAll();
                QTimer::singleShot(delayMs, socket, [this, socket] {
                    ++served;
                    socket->write(
                        "HTTP/1.1 200 OK\r\nContent-Length: 1\r\nConnection: close\r\n\r\n1");
                    socket->disconnectFromHost();
                });
            },
            Qt::SingleShotConnection);
    }
}
