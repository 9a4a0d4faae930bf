#pragma once

#include "ProxyManager.h"

#include <QObject>
#include <QString>
#include <QStringList>

class CliOutput;

// proxymanager-cli authorize: one round that adds this machine's address to the authorized list
// when missing and prints the list; with watch, the manager's periodic rounds after it (every
// interval, sooner after a failure or a change of this machine's addresses) until SIGTERM or
// SIGINT, printing only changes, and one line when rounds start failing and one when they work
// again.
class AuthorizeCommand : public QObject
{
    Q_OBJECT

public:
    AuthorizeCommand(ProxyManager &manager, const CliOutput &output, bool watch, int intervalMs,
                     QObject *parent = nullptr);

    void run();

private:
    void roundEnded(ProxyManager::AuthorizationOutcome outcome, const QStringList &ips,
                    const QString &failure, ProxyManager::AuthorizationOrigin origin);

    ProxyManager &manager;
    const CliOutput &output;
    const bool watch;
    const int intervalMs;
    // The first round is out.
    bool roundInFlight = false;
    // The address of the last round that learned it, to report a change.
    QString lastIp;
    // A failing streak is reported once, not each round of it.
    bool failing = false;
    ProxyManager::FailureKind myIpFailureKind = ProxyManager::FailureKind::ServiceError;
    bool myIpFailedThisRound = false;
};
