#pragma once

#include "CliOutput.h"
#include "ProxyManager.h"

#include <QObject>
#include <QString>
#include <QStringList>

// proxymanager-cli: reads the options, the configuration and the credentials, then hands one
// subcommand (list, myip, test or authorize) the service client to run.
class CommandLineClient : public QObject
{
    Q_OBJECT

public:
    // Negative when the command goes on in the event loop and ends it with its status;
    // otherwise the status to exit with at once.
    int start(const QStringList &arguments);

private:
    int parse(const QStringList &arguments);
    // The arguments after "authorized"; negative when they are good, else listEditError says
    // why not.
    int parseListEdit(const QStringList &arguments);
    static QString stateFile();

    ProxyManager manager;
    CliOutput output;
    QString command;
    QString format;
    int parallel = 1;
    bool workingOnly = false;
    bool watch = false;
    int intervalMs = 60000;
    // authorized: its action and addresses.
    QStringList listEdit;
    QString listEditError;
};
