#include "MyIpCommand.h"

#include "CliOutput.h"
#include "ProxyManager.h"

MyIpCommand::MyIpCommand(ProxyManager &manager, const CliOutput &output, QObject *parent)
    : QObject(parent), manager(manager), output(output)
{
}

void MyIpCommand::run()
{
    // setCredentials() already asked.
    connect(&manager, &ProxyManager::myIpAnswered, this, [this](const QString &ip) {
        CliOutput::out(output.line(ip) % u'\n');
        CliOutput::finish(CliOutput::Done);
    });
    connect(&manager, &ProxyManager::myIpFailed, this,
            [this](ProxyManager::FailureKind kind, const QString &reason) {
                output.failed(kind, reason);
            });
}
