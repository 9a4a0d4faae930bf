#include "HistoryReader.h"

#include "HistoryKeys.h"

#include <QDateTime>

HistoryReader::Ids HistoryReader::idsOf(const HistoryAccount &account, const QString &target,
                                        QString *error)
{
    return {keys.account(account.api, account.user, false, error),
            keys.target(target, false, error)};
}

QList<RecentHistory> HistoryReader::recent(const HistoryAccount &account, const QString &target,
                                           const QStringList &entries,
                                           const std::atomic<bool> *stop, QString *error)
{
    const Ids ids = idsOf(account, target, error);
    const QHash<QString, qint64> known =
        ids.account ? keys.entries(ids.account, error) : QHash<QString, qint64>();
    const QHash<qint64, RecentHistory> read =
        ids.account && ids.target ? queries.recent(ids.account, ids.target,
                                                   QDateTime::currentMSecsSinceEpoch(), stop, error)
                                  : QHash<qint64, RecentHistory>();
    QList<RecentHistory> answers(entries.size());
    for (int i = 0; i < entries.size(); ++i)
        answers[i] = read.value(known.value(entries.at(i)));
    return answers;
}

EntryTimeline HistoryReader::timeline(const HistoryAccount &account, const QString &target,
                                      const QString &entry, QString *error)
{
    const Ids ids = idsOf(account, target, error);
    const qint64 entryId = ids.account ? keys.entry(ids.account, entry, false, error) : 0;
    if (!entryId || !ids.target)
        return {};
    return queries.timeline(entryId, ids.target, QDateTime::currentMSecsSinceEpoch(), error);
}

QList<EntryReport> HistoryReader::report(const HistoryAccount &account, const QString &target,
                                         qint64 sinceMs, const QString &entry, QString *error)
{
    const Ids ids = idsOf(account, target, error);
    const QHash<QString, qint64> known =
        ids.account ? keys.entries(ids.account, error) : QHash<QString, qint64>();
    QStringList texts = entry.isEmpty() ? known.keys() : QStringList{entry};
    texts.sort();
    QList<EntryReport> reports;
    for (const QString &text : std::as_const(texts)) {
        if (!known.value(text) || !ids.target || !error->isEmpty())
            continue;
        EntryReport report = queries.report(known.value(text), ids.target, sinceMs,
                                            QDateTime::currentMSecsSinceEpoch(), error);
        report.entry = text;
        if (report.results > 0)
            reports.append(report);
    }
    return reports;
}
