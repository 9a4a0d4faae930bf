#pragma once

#include "TestTarget.h"

#include <QString>
#include <QStringList>

#include <optional>

// The command and options of one proxymanager-cli run, each checked on its own and against the
// command it goes with; the configuration and the credentials are the client's.
class CommandLineOptions
{
public:
    // Negative when they make a command to run; otherwise the status to exit with at once:
    // done after the help text was printed, or a usage error that error says.
    int parse(const QStringList &arguments);

    QString error;

    QString command;
    // authorized: its action and addresses.
    QStringList listEdit;
    bool configNamed = false;
    QString configFile;
    std::optional<QString> apiUrl;
    std::optional<QString> pingUrl;
    QString credentialsFile;
    QString format;
    // 0 when not given.
    int parallel = 0;
    int timeoutMs = 0;
    bool workingOnly = false;
    // test: --target, --expect and --exit-ip; the ping page without them.
    TestTarget target;
    bool watch = false;
    int intervalMs = 60000;
    bool replacePrevious = false;
    std::optional<QString> stateFile;
    bool yes = false;
    // history: the period back from now, one entry or every one, the user name to use.
    qint64 periodMs = 24 * 3600 * 1000;
    QString entry;
    QString user;
    // test: results go to the history unless --no-record.
    bool record = true;

    // A number with its unit (s, m, h, d or w), up to 366 days; -1 for anything else.
    static qint64 durationMs(const QString &text);

private:
    int usage(const QString &message);
    // The arguments after "authorized"; negative when they are good.
    int parseListEdit(const QStringList &arguments);
};
