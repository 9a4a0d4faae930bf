#pragma once

#include <QObject>
#include <QString>
#include <QStringList>

class DebugLog;

// A test run's lines in the debug log: "Testing proxy ..." and the result of each proxy. With
// one test at a time the line opens when the test starts and its result completes it; with
// more, results of other proxies would land in between, so each line waits for its result.
class TestRunLog : public QObject
{
    Q_OBJECT

public:
    TestRunLog(DebugLog *log, QObject *parent);

    // customTarget: an error's detail is a reason, not the ping page's answer.
    void runStarted(int concurrency, bool customTarget = false);
    void testStarted(const QString &host, const QString &port);
    // Logs a result of the tester; false for a status code without a line. entry: the proxy
    // entry as listed.
    bool resultArrived(const QStringList &result, const QString &entry);
    // The results of a run over the old list are dropped: an open line gets no result.
    void listReplaced();

private:
    static QString startText(const QString &host, const QString &port);
    static QString exitAddressText(const QStringList &result);

    DebugLog *log;
    int concurrency = 1;
    bool customTarget = false;
    // A "Testing proxy ..." text waits for its result on the same line.
    bool lineOpen = false;
};
