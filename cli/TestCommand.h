#pragma once

#include "TestReport.h"

#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>

class CliOutput;
class ProxyManager;

// proxymanager-cli test: tests every entry of the list and prints the results in list order,
// with a progress line on a terminal's stderr while it runs.
class TestCommand : public QObject
{
    Q_OBJECT

public:
    // format is text, csv or json; workingOnly prints host:port of the working entries instead.
    TestCommand(ProxyManager &manager, const CliOutput &output, const QString &format,
                bool workingOnly, int parallel, bool exitIp, QObject *parent = nullptr);

    void run();

private:
    void testResult(const QStringList &result);
    void testsDone();
    void progress();

    ProxyManager &manager;
    const CliOutput &output;
    const QString format;
    const bool workingOnly;
    const int parallel;
    // Records carry exit_ip.
    const bool exitIp;
    bool showProgress = false;
    QList<TestRecord> records;
    QList<bool> reported;
    int reportedCount = 0;
};
