#pragma once

#include "HistoryTypes.h"

#include <QSqlDatabase>
#include <QStringList>

// The history's reads for the table, an entry's window and the command line's report. Every
// figure comes from SQLite's own aggregates and sorts: an account's month of results is
// millions of rows, too many to carry into the program.
class HistoryQueries
{
public:
    explicit HistoryQueries(const QSqlDatabase &db) : db(db) {}

    static constexpr qint64 hourMs = 3600 * 1000;
    static constexpr qint64 dayMs = 24 * hourMs;
    // Results are kept one by one this long, then only in the hourly counts.
    static constexpr qint64 rawRetentionMs = 14 * dayMs;

    // Ids as HistoryKeys gives them; 0 for one that has none yet (no results).
    QList<RecentHistory> recent(const QList<qint64> &entries, qint64 target, qint64 nowMs,
                                QString *error) const;
    EntryTimeline timeline(qint64 entry, qint64 target, qint64 nowMs, QString *error) const;
    // Nothing for an entry without results since sinceMs.
    EntryReport report(qint64 entry, qint64 target, qint64 sinceMs, qint64 nowMs,
                       QString *error) const;

private:
    QSqlDatabase db;
};
