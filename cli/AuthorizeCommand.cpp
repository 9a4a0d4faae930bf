#include "AuthorizeCommand.h"

#include "CliOutput.h"
#include "StopSignal.h"

#include <utility>

using namespace Qt::StringLiterals;

AuthorizeCommand::AuthorizeCommand(ProxyManager &manager, const CliOutput &output, bool watch,
                                   int intervalMs, QObject *parent)
    : QObject(parent), manager(manager), output(output), watch(watch), intervalMs(intervalMs)
{
}

void AuthorizeCommand::run()
{
    connect(&manager, &ProxyManager::authorizationEnded, this, &AuthorizeCommand::roundEnded);
    connect(&manager, &ProxyManager::myIpFailed, this, [this](ProxyManager::FailureKind kind) {
        myIpFailedThisRound = true;
        myIpFailureKind = kind;
    });
    connect(&manager, &ProxyManager::myIpAnswered, this, [this] { myIpFailedThisRound = false; });
    connect(&manager, &ProxyManager::previousAddressRemoved, this,
            [this](const QString &, const QStringList &removed) {
                for (const QString &entry : removed)
                    CliOutput::out(u"previous address "_s % output.line(entry) %
                                   u" was removed\n"_s);
            });
    if (watch) {
        manager.authPeriodMs = intervalMs;
        auto *stop = new StopSignal(this);
        connect(stop, &StopSignal::stopRequested, this, [] { CliOutput::finish(CliOutput::Done); });
    }
    roundInFlight = true;
    manager.authorize();
}

void AuthorizeCommand::roundEnded(ProxyManager::AuthorizationOutcome outcome,
                                  const QStringList &ips, const QString &failure,
                                  ProxyManager::AuthorizationOrigin origin)
{
    // The first round, then in a watch the manager's schedule: ticks, retries, and a round
    // when this machine's addresses change.
    if (!roundInFlight && (!watch || origin == ProxyManager::AuthorizationOrigin::Caller))
        return;
    const bool first = std::exchange(roundInFlight, false);
    using Outcome = ProxyManager::AuthorizationOutcome;
    if (!watch) {
        if (outcome == Outcome::Failed) {
            if (myIpFailedThisRound)
                output.failed(myIpFailureKind, failure);
            else {
                output.error(u"authorization failed: "_s % failure);
                CliOutput::finish(CliOutput::AuthorizationFailed);
            }
            return;
        }
        output.listAndFinish(ips);
        return;
    }

    if (outcome == Outcome::Failed) {
        if (!failing)
            output.error(u"authorization failed: "_s % failure);
        failing = true;
    } else {
        if (failing)
            output.error(u"authorization works again"_s);
        failing = false;
        const QString ip = output.line(manager.myIp);
        const bool changed = !lastIp.isEmpty() && lastIp != ip;
        if (changed)
            CliOutput::out(
                u"address changed from "_s % lastIp % u" to "_s % ip %
                (outcome == Outcome::Added ? u", authorized\n"_s : u", already authorized\n"_s));
        else if (outcome == Outcome::Added)
            CliOutput::out(u"address "_s % ip % u" was not authorized, authorized\n"_s);
        lastIp = ip;
    }
    if (first)
        manager.setAutoAuthorize(true);
}
