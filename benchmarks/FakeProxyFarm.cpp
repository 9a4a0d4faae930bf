#include "FakeProxyFarm.h"

#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <QUrl>

quint16 FakeProxyFarm::addForwarding(int delayMs)
{
    return listen(delayMs);
}

quint16 FakeProxyFarm::addSilent()
{
    return listen(-1);
}

quint16 FakeProxyFarm::listen(int delayMs)
{
    auto *server = new QTcpServer(this);
    if (!server->listen(QHostAddress::LocalHost, 0)) {
        delete server;
        return 0;
    }
    connect(server, &QTcpServer::newConnection, server, [this, server, delayMs] {
        while (QTcpSocket *client = server->nextPendingConnection())
            serve(client, delayMs);
    });
    m_servers.append(server);
    return server->serverPort();
}

// Reads the request head; a silent port keeps reading, a forwarding one waits its delay and
// then passes the request on.
void FakeProxyFarm::serve(QTcpSocket *client, int delayMs)
{
    connect(client, &QTcpSocket::disconnected, client, &QObject::deleteLater);
    connect(client, &QTcpSocket::readyRead, client, [client, delayMs] {
        QByteArray head = client->property("head").toByteArray() + client->readAll();
        client->setProperty("head", head);
        if (delayMs < 0 || !head.contains("\r\n\r\n") || client->property("seen").toBool())
            return;
        client->setProperty("seen", true);
        QTimer::singleShot(delayMs, Qt::PreciseTimer, client,
                           [client, head] { forward(client, head); });
    });
}

void FakeProxyFarm::forward(QTcpSocket *client, const QByteArray &head)
{
    // "GET http://host:port/path?query HTTP/1.1"
    const QList<QByteArray> requestLine = head.left(head.indexOf("\r\n")).split(' ');
    const QUrl target(QString::fromLatin1(requestLine.value(1)));
    auto *upstream = new QTcpSocket(client);
    connect(upstream, &QTcpSocket::connected, upstream, [upstream, target] {
        upstream->write("GET " + target.toEncoded(QUrl::RemoveScheme | QUrl::RemoveAuthority) +
                        " HTTP/1.0\r\nHost: " + target.authority().toLatin1() +
                        "\r\nConnection: close\r\n\r\n");
    });
    connect(upstream, &QTcpSocket::readyRead, client,
            [client, upstream] { client->write(upstream->readAll()); });
    connect(upstream, &QTcpSocket::disconnected, client, [client, upstream] {
        client->write(upstream->readAll());
        client->disconnectFromHost();
    });
    connect(upstream, &QTcpSocket::errorOccurred, client,
            [client](QAbstractSocket::SocketError) { client->disconnectFromHost(); });
    upstream->connectToHost(target.host(), quint16(target.port(80)));
}
