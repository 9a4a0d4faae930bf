#pragma once

#include <QDateTime>
#include <QElapsedTimer>
#include <QNetworkInformation>
#include <QObject>
#include <QStringList>
#include <QTimer>

// Tells when this machine's own addresses change: another network, a VPN going up or down, a
// wake from sleep. It reads the interfaces every pollMs, which is cheap and works the same on
// every platform; where a reachability backend loads, its events count too, but never alone.
class AddressWatcher : public QObject
{
    Q_OBJECT

public:
    explicit AddressWatcher(QObject *parent = nullptr);

    // Takes the addresses of now as known; a change from them is the first news.
    void start();
    void stop();
    bool isActive() const { return timer.isActive(); }

    // Public so that tests can shorten them. Read at start().
    int pollMs = 1000;
    // The wall clock running this far ahead of the monotonic one between two polls: a sleep.
    qint64 wakeJumpMs = 5000;

    // Up and running interfaces' addresses, without loopback and link-local ones, sorted.
    static QStringList currentAddresses();

signals:
    void changed();

private:
    void poll();
    void listenForReachability();
    void reachabilityChanged(QNetworkInformation::Reachability reachability);

    QTimer timer;
    QStringList known;
    QElapsedTimer sinceLastPoll;
    QDateTime wallAtLastPoll;
};
