#pragma once

#include "AddressWatcher.h"
#include "ProxyManager.h"

#include <QElapsedTimer>
#include <QList>
#include <QObject>
#include <QTimer>

// When the periodic authorization rounds run, as one plan: a good round plans the tick, a
// failed one the next back-off step, and a change of this machine's addresses asks for a round
// at once, resets the back-off and plans follow-ups, since right after a change the service
// may still see the old address. The periods are the manager's, read each time.
class AuthorizationSchedule : public QObject
{
    Q_OBJECT

public:
    AuthorizationSchedule(const ProxyManager &manager, QObject *parent);

    // The watcher runs while on; the next round is planned when the one switching on ends.
    void start();
    void stop();
    bool isOn() const { return on; }
    // A scheduled round ended (also the switch-on round).
    void roundEnded(bool good);
    // What a scheduled round found, empty when it worked: the first failing round of a streak
    // is reported, and the first good one after it; nothing between, nor while off.
    void reportRound(const QString &failure);

    // A child, so that tests can find it.
    AddressWatcher watcher;

signals:
    // Periodic for the tick or a retry, AddressChange for a change and its follow-ups.
    void roundDue(ProxyManager::AuthorizationOrigin origin);
    void streakFailed(const QString &reason);
    void streakEnded();

private:
    void addressChanged();
    void due();

    const ProxyManager &manager;
    bool on = false;
    int failures = 0;
    // Reported as failing; unlike failures, an address change does not end it.
    bool failing = false;
    QTimer timer;
    QElapsedTimer clock;
    // When follow-up rounds are due, on clock, earliest first.
    QList<qint64> followUps;
};
