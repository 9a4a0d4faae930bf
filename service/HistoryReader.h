#pragma once

#include "HistoryQueries.h"
#include "HistoryTypes.h"

#include <QStringList>

#include <atomic>

class HistoryKeys;

// The history's reads by the texts callers know: the account, target and entry texts become
// ids once, then HistoryQueries answers. Nothing is made: what has no id has no results.
class HistoryReader
{
public:
    HistoryReader(const QSqlDatabase &db, HistoryKeys &keys) : keys(keys), queries(db) {}

    // One answer per entry, in their order; nothing more once stop is set.
    QList<RecentHistory> recent(const HistoryAccount &account, const QString &target,
                                const QStringList &entries, const std::atomic<bool> *stop,
                                QString *error);
    EntryTimeline timeline(const HistoryAccount &account, const QString &target,
                           const QString &entry, QString *error);
    // Every entry with results since then, or only that one, sorted by their text.
    QList<EntryReport> report(const HistoryAccount &account, const QString &target, qint64 sinceMs,
                              const QString &entry, QString *error);

private:
    // 0 for either that has no id yet.
    struct Ids
    {
        qint64 account = 0;
        qint64 target = 0;
    };
    Ids idsOf(const HistoryAccount &account, const QString &target, QString *error);

    HistoryKeys &keys;
    HistoryQueries queries;
};
