#pragma once

#include "CliOutput.h"
#include "CommandLineOptions.h"
#include "ProxyManager.h"

#include <QObject>
#include <QString>
#include <QStringList>

// proxymanager-cli: reads the options, the configuration and the credentials, then hands one
// subcommand (list, myip, test, authorize, authorized or history) the service client to run.
class CommandLineClient : public QObject
{
    Q_OBJECT

public:
    // The last results of a test run are written before the program ends.
    ~CommandLineClient() override;

    // Negative when the command goes on in the event loop and ends it with its status;
    // otherwise the status to exit with at once.
    int start(const QStringList &arguments);

private:
    int prepare(const QStringList &arguments);
    static QString stateFile();

    ProxyManager manager;
    CliOutput output;
    CommandLineOptions options;
    // test: from --parallel, else the configuration.
    int parallel = 1;
};
