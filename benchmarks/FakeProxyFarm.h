#pragma once

#include <QList>
#include <QObject>

class QTcpServer;
class QTcpSocket;

// Many small HTTP proxies on loopback in one process: each port either forwards a request to
// its target after a fixed delay of its own, or accepts and never answers.
class FakeProxyFarm : public QObject
{
public:
    // The port, or 0 when nothing could listen.
    quint16 addForwarding(int delayMs);
    quint16 addSilent();

private:
    quint16 listen(int delayMs);
    void serve(QTcpSocket *client, int delayMs);
    static void forward(QTcpSocket *client, const QByteArray &head);

    QList<QTcpServer *> m_servers;
};
