#pragma once

#include <QObject>

class CliOutput;
class ProxyManager;

// proxymanager-cli myip: the address the service sees.
class MyIpCommand : public QObject
{
    Q_OBJECT

public:
    MyIpCommand(ProxyManager &manager, const CliOutput &output, QObject *parent = nullptr);

    void run();

private:
    ProxyManager &manager;
    const CliOutput &output;
};
