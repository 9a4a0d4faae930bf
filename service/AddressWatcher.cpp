#include "AddressWatcher.h"

#include <QHostAddress>
#include <QNetworkInformation>
#include <QNetworkInterface>

AddressWatcher::AddressWatcher(QObject *parent) : QObject(parent)
{
    timer.setTimerType(Qt::CoarseTimer);
    connect(&timer, &QTimer::timeout, this, &AddressWatcher::poll);
}

void AddressWatcher::start()
{
    known = currentAddresses();
    sinceLastPoll.start();
    wallAtLastPoll = QDateTime::currentDateTimeUtc();
    timer.start(pollMs);
    listenForReachability();
}

void AddressWatcher::stop()
{
    timer.stop();
    if (QNetworkInformation *info = QNetworkInformation::instance())
        disconnect(info, nullptr, this, nullptr);
}

QStringList AddressWatcher::currentAddresses()
{
    QStringList addresses;
    const auto wanted = QNetworkInterface::IsUp | QNetworkInterface::IsRunning;
    for (const QNetworkInterface &interface : QNetworkInterface::allInterfaces()) {
        if ((interface.flags() & wanted) != wanted ||
            interface.flags().testFlag(QNetworkInterface::IsLoopBack))
            continue;
        for (const QNetworkAddressEntry &entry : interface.addressEntries()) {
            const QHostAddress ip = entry.ip();
            if (!ip.isNull() && !ip.isLoopback() && !ip.isLinkLocal())
                addresses << ip.toString();
        }
    }
    addresses.sort();
    addresses.removeDuplicates();
    return addresses;
}

void AddressWatcher::poll()
{
    // The monotonic clock stands still while the machine sleeps (Linux), or the timer comes
    // that much late (where it does not): either way the wall clock runs ahead.
    const qint64 monotonic = sinceLastPoll.restart();
    const QDateTime wall = QDateTime::currentDateTimeUtc();
    const qint64 wallElapsed = wallAtLastPoll.msecsTo(wall);
    wallAtLastPoll = wall;
    const bool woke =
        wallElapsed - monotonic > wakeJumpMs || monotonic > qint64(pollMs) + wakeJumpMs;
    QStringList now = currentAddresses();
    const bool moved = now != known;
    known = std::move(now);
    if (moved || woke)
        emit changed();
}

// A backend that reports going online again adds that moment; the polls still decide alone
// where none loads (Windows builds without the plugin, a system without NetworkManager).
void AddressWatcher::listenForReachability()
{
    if (!QNetworkInformation::instance() &&
        !QNetworkInformation::loadBackendByFeatures(QNetworkInformation::Feature::Reachability))
        return;
    QNetworkInformation *info = QNetworkInformation::instance();
    connect(info, &QNetworkInformation::reachabilityChanged, this,
            &AddressWatcher::reachabilityChanged, Qt::UniqueConnection);
}

void AddressWatcher::reachabilityChanged(QNetworkInformation::Reachability reachability)
{
    if (timer.isActive() && reachability == QNetworkInformation::Reachability::Online)
        emit changed();
}
