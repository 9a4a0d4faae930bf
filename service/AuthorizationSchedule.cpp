#include "AuthorizationSchedule.h"

#include <algorithm>

using Origin = ProxyManager::AuthorizationOrigin;

namespace {

// A follow-up this close to the timer firing goes with it rather than a moment later.
constexpr qint64 slackMs = 100;

} // namespace

AuthorizationSchedule::AuthorizationSchedule(const ProxyManager &manager, QObject *parent)
    : QObject(parent), watcher(this), manager(manager)
{
    timer.setSingleShot(true);
    connect(&timer, &QTimer::timeout, this, &AuthorizationSchedule::due);
    connect(&watcher, &AddressWatcher::changed, this, &AuthorizationSchedule::addressChanged);
    clock.start();
}

void AuthorizationSchedule::start()
{
    on = true;
    failures = 0;
    failing = false;
    followUps.clear();
    timer.stop();
    watcher.start();
}

void AuthorizationSchedule::stop()
{
    on = false;
    timer.stop();
    followUps.clear();
    watcher.stop();
}

void AuthorizationSchedule::reportRound(const QString &failure)
{
    if (!on || failure.isEmpty() == !failing)
        return;
    failing = !failure.isEmpty();
    if (failing)
        emit streakFailed(failure);
    else
        emit streakEnded();
}

void AuthorizationSchedule::roundEnded(bool good)
{
    if (!on)
        return;
    const int period = std::max(manager.authPeriodMs, 1);
    int delay = period;
    if (good) {
        failures = 0;
    } else {
        const QList<int> &steps = manager.authRetryMs;
        ++failures;
        // A failed round never waits longer than a good one would.
        if (!steps.isEmpty())
            delay =
                std::clamp(steps.at(std::min<qsizetype>(failures, steps.size()) - 1), 0, period);
    }
    const qint64 now = clock.elapsed();
    qint64 next = now + delay;
    if (!followUps.isEmpty())
        next = std::min(next, followUps.first());
    timer.start(int(std::max<qint64>(next - now, 0)));
}

void AuthorizationSchedule::addressChanged()
{
    if (!on)
        return;
    failures = 0;
    timer.stop();
    const qint64 now = clock.elapsed();
    followUps.clear();
    for (int after : manager.authFollowUpMs)
        followUps << now + std::max(after, 0);
    std::sort(followUps.begin(), followUps.end());
    emit roundDue(Origin::AddressChange);
}

void AuthorizationSchedule::due()
{
    bool followUp = false;
    const qint64 now = clock.elapsed();
    while (!followUps.isEmpty() && followUps.first() <= now + slackMs) {
        followUps.removeFirst();
        followUp = true;
    }
    emit roundDue(followUp ? Origin::AddressChange : Origin::Periodic);
}
