#include "HistoryCommand.h"

#include "CliOutput.h"
#include "HistoryReport.h"
#include "ProxyManager.h"

#include <QDateTime>

#include <utility>

using namespace Qt::StringLiterals;

HistoryCommand::HistoryCommand(ProxyManager &manager, const CliOutput &output,
                               const QString &format, qint64 periodMs, const QString &entry,
                               QObject *parent)
    : QObject(parent), manager(manager), output(output), format(format), periodMs(periodMs),
      entry(entry)
{
}

void HistoryCommand::run()
{
    const qint64 sinceMs = QDateTime::currentMSecsSinceEpoch() - periodMs;
    // A problem may come before, or instead of, the answer: the first of them ends the run.
    connect(&manager, &ProxyManager::historyProblem, this, [this](const QString &line) {
        if (std::exchange(ended, true))
            return;
        output.error(u"no history: "_s % line);
        CliOutput::finish(CliOutput::HistoryFailed);
    });
    connect(&manager, &ProxyManager::historyReportReady, this,
            [this, sinceMs](const QList<EntryReport> &report) {
                if (std::exchange(ended, true))
                    return;
                if (format == u"csv")
                    CliOutput::out(HistoryReport::csv(report));
                else if (format == u"json")
                    CliOutput::out(HistoryReport::json(report));
                else
                    CliOutput::out(HistoryReport::text(report, sinceMs));
                CliOutput::finish(CliOutput::Done);
            });
    manager.requestHistoryReport(sinceMs, entry);
}
