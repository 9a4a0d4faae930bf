#pragma once

#include "ProxyManager.h"
#include "TestReport.h"

#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>

class QTimer;

// proxymanager-cli: one subcommand against the service, reported on stdout, failures as one
// line on stderr, and an exit status that says what happened.
class CommandLineClient : public QObject
{
    Q_OBJECT

public:
    enum ExitStatus
    {
        Done = 0,
        NoWorkingEntry = 1,
        UsageError = 2,
        ServiceError = 3,
        Unreachable = 4,
        AuthorizationFailed = 5
    };

    CommandLineClient();

    // Negative when the command goes on in the event loop and ends it with its status;
    // otherwise the status to exit with at once.
    int start(const QStringList &arguments);

private:
    int parse(const QStringList &arguments);
    void runList();
    void runMyIp();
    void runTest();
    void runAuthorize();
    void roundEnded(ProxyManager::AuthorizationOutcome outcome, const QStringList &ips,
                    const QString &failure);
    void testResult(const QStringList &result);
    void testsDone();
    void progress();

    void finish(int status);
    int failed(ProxyManager::FailureKind kind, const QString &reason);
    void printError(const QString &message) const;

    ProxyManager manager;
    QString command;
    QString format;
    QString password;
    int parallel = 1;
    bool workingOnly = false;
    bool watch = false;
    int intervalMs = 60000;
    bool roundInFlight = false;
    bool showProgress = false;
    QTimer *watchTimer = nullptr;
    // The address of the last round that learned it, to report a change.
    QString lastIp;
    ProxyManager::FailureKind myIpFailureKind = ProxyManager::FailureKind::ServiceError;
    bool myIpFailedThisRound = false;
    QList<TestRecord> records;
    QList<bool> reported;
    int reportedCount = 0;
};
