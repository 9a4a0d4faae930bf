#pragma once

#include <QObject>

class CliOutput;
class ProxyManager;

// proxymanager-cli list: the account's proxies, one entry a line.
class ListCommand : public QObject
{
    Q_OBJECT

public:
    ListCommand(ProxyManager &manager, const CliOutput &output, QObject *parent = nullptr);

    void run();

private:
    ProxyManager &manager;
    const CliOutput &output;
};
