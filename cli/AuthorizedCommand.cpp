#include "AuthorizedCommand.h"

#include "CliOutput.h"

using namespace Qt::StringLiterals;

AuthorizedCommand::AuthorizedCommand(ProxyManager &manager, const CliOutput &output,
                                     const QString &action, const QStringList &addresses,
                                     QObject *parent)
    : QObject(parent), manager(manager), output(output), action(action), addresses(addresses)
{
}

void AuthorizedCommand::run()
{
    connect(&manager, &ProxyManager::authorizationEnded, this, &AuthorizedCommand::roundEnded);
    connect(&manager, &ProxyManager::authorizedListFailed, this,
            [this](const QString &, bool wasRefused) { refused = wasRefused; });
    connect(&manager, &ProxyManager::myIpFailed, this, [this](ProxyManager::FailureKind kind) {
        myIpFailed = true;
        myIpFailureKind = kind;
    });
    if (action == u"list")
        manager.readAuthorizedList();
    else if (action == u"add")
        manager.addAuthorized(addresses);
    else
        manager.removeAuthorized(addresses);
}

void AuthorizedCommand::roundEnded(ProxyManager::AuthorizationOutcome outcome,
                                   const QStringList &ips, const QString &failure)
{
    if (outcome == ProxyManager::AuthorizationOutcome::Failed) {
        if (myIpFailed) {
            output.failed(myIpFailureKind, failure);
            return;
        }
        output.error((refused ? u"refused: "_s : u"failed: "_s) % output.line(failure));
        CliOutput::finish(refused ? CliOutput::UsageError : CliOutput::AuthorizationFailed);
        return;
    }
    output.listAndFinish(ips);
}
