#pragma once

#include <QObject>
#include <QTcpServer>

// A proxy on 127.0.0.1 that answers every request with the ping page's "1", each after a delay
// of its own from minDelayMs to maxDelayMs, hundreds at once (tinyproxy serves 100). It counts
// its answers and the most connections open at once.
class FakePingProxy : public QObject
{
    Q_OBJECT

public:
    bool listen();
    // "127.0.0.1:<port>", the form of a proxy entry.
    QString entry() const;

    int minDelayMs = 2;
    int maxDelayMs = 30;
    int served = 0;
    int mostOpen = 0;

private:
    void accept();

    QTcpServer server;
    int accepted = 0;
    int open = 0;
};
