#pragma once

#include "ProxyManager.h"

#include <QObject>
#include <QString>
#include <QStringList>

class CliOutput;

// proxymanager-cli authorized list|add|remove: the account's authorized list read alone, or
// read afresh and written with the addresses added or removed (this machine's address first
// when missing), then printed as stored.
class AuthorizedCommand : public QObject
{
    Q_OBJECT

public:
    AuthorizedCommand(ProxyManager &manager, const CliOutput &output, const QString &action,
                      const QStringList &addresses, QObject *parent = nullptr);

    void run();

private:
    void roundEnded(ProxyManager::AuthorizationOutcome outcome, const QStringList &ips,
                    const QString &failure);

    ProxyManager &manager;
    const CliOutput &output;
    const QString action;
    const QStringList addresses;
    bool refused = false;
    bool myIpFailed = false;
    ProxyManager::FailureKind myIpFailureKind = ProxyManager::FailureKind::ServiceError;
};
