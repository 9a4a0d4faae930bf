#include "ListCommand.h"

#include "CliOutput.h"
#include "ProxyManager.h"

ListCommand::ListCommand(ProxyManager &manager, const CliOutput &output, QObject *parent)
    : QObject(parent), manager(manager), output(output)
{
}

void ListCommand::run()
{
    connect(&manager, &ProxyManager::listFailed, this,
            [this](ProxyManager::FailureKind kind, const QString &reason) {
                output.failed(kind, reason);
            });
    connect(&manager, &ProxyManager::finishedGetProxies, this, [this] {
        // A failure is followed by listFailed; a list that arrived always has an entry.
        if (manager.proxies.isEmpty())
            return;
        QString out;
        for (const QString &entry : std::as_const(manager.proxies))
            out += output.line(entry) % u'\n';
        CliOutput::out(out);
        CliOutput::finish(CliOutput::Done);
    });
    manager.requestProxies();
}
