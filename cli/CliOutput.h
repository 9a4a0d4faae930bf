#pragma once

#include "ProxyManager.h"
#include "SecretMask.h"

#include <QString>

// Where proxymanager-cli reports and how it ends: output on stdout, each failure as one line on
// stderr that never shows the password, and an exit status that says what happened.
class CliOutput
{
public:
    enum ExitStatus
    {
        Done = 0,
        NoWorkingEntry = 1,
        UsageError = 2,
        ServiceError = 3,
        Unreachable = 4,
        AuthorizationFailed = 5,
        HistoryFailed = 6
    };

    // Masked in every line from now on.
    void setCredentials(const QString &user, const QString &password)
    {
        secrets = SecretMask(user, password);
    }
    const SecretMask &mask() const { return secrets; }
    // Text from the service, fit for one line of output: masked first, then cut.
    QString line(const QString &text, int maxChars = 200) const;

    static void out(const QString &text);
    // As given, for the progress line.
    static void err(const QString &text);
    static bool stderrIsTerminal();
    // One line on stderr; a failure, or the news that things work again.
    void error(const QString &message) const;

    // Ends the event loop with this status.
    static void finish(int status);
    // Prints the entries one per line and ends with success.
    void listAndFinish(const QStringList &entries) const;
    // Reports a failed request and ends with the status its kind calls for, which it returns.
    int failed(ProxyManager::FailureKind kind, const QString &reason) const;

private:
    SecretMask secrets;
};
