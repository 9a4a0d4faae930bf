#include "TestCommand.h"

#include "CliOutput.h"
#include "ProxyManager.h"

#include <algorithm>

using namespace Qt::StringLiterals;

TestCommand::TestCommand(ProxyManager &manager, const CliOutput &output, const QString &format,
                         bool workingOnly, int parallel, bool exitIp, QObject *parent)
    : QObject(parent), manager(manager), output(output), format(format), workingOnly(workingOnly),
      parallel(parallel), exitIp(exitIp)
{
}

void TestCommand::run()
{
    showProgress = !workingOnly && CliOutput::stderrIsTerminal();
    connect(&manager, &ProxyManager::listFailed, this,
            [this](ProxyManager::FailureKind kind, const QString &reason) {
                output.failed(kind, reason);
            });
    connect(&manager, &ProxyManager::finishedTestingProxy, this, &TestCommand::testResult);
    connect(&manager, &ProxyManager::finishedTest, this, &TestCommand::testsDone);
    connect(&manager, &ProxyManager::testingNote, this, [this](const QString &line) {
        // Over the progress line, which goes on below.
        if (showProgress)
            CliOutput::err(u"\r"_s);
        output.error(line);
    });
    connect(&manager, &ProxyManager::finishedGetProxies, this, [this] {
        if (manager.proxies.isEmpty())
            return;
        records = QList<TestRecord>(manager.proxies.size());
        reported = QList<bool>(manager.proxies.size(), false);
        manager.testConcurrency = parallel;
        progress();
        manager.startTesting();
    });
    manager.requestProxies();
}

void TestCommand::testResult(const QStringList &result)
{
    bool ok = false;
    const int index = result.value(4).toInt(&ok);
    if (!ok || index < 0 || index >= reported.size() || reported.at(index))
        return;
    reported[index] = true;
    ++reportedCount;
    records[index] = TestReport::recordOf(manager.proxies.at(index), result, output.mask());
    progress();
}

void TestCommand::progress()
{
    if (!showProgress)
        return;
    CliOutput::err(u"\rTested "_s % QString::number(reportedCount) % u" of "_s %
                   QString::number(records.size()) % u' ');
}

void TestCommand::testsDone()
{
    if (showProgress)
        CliOutput::err(u"\r"_s % QString(40, u' ') % u'\r');
    if (workingOnly)
        CliOutput::out(TestReport::working(records));
    else if (format == u"csv")
        CliOutput::out(TestReport::csv(records, exitIp));
    else if (format == u"json")
        CliOutput::out(TestReport::json(records, exitIp));
    else
        CliOutput::out(TestReport::text(records, exitIp));
    const bool anyWorking = std::any_of(records.cbegin(), records.cend(),
                                        [](const TestRecord &r) { return r.code == u"0"; });
    CliOutput::finish(anyWorking ? CliOutput::Done : CliOutput::NoWorkingEntry);
}
