#pragma once

#include "HistoryTypes.h"

#include <QHash>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QStringList>

#include <array>
#include <atomic>
#include <memory>

// The history's reads for the table, an entry's window and the command line's report. Every
// figure comes from SQLite's own aggregates and sorts: an account's month of results is
// millions of rows, too many to carry into the program.
class HistoryQueries
{
public:
    explicit HistoryQueries(const QSqlDatabase &db) : db(db) {}
    HistoryQueries(const HistoryQueries &) = delete;
    HistoryQueries &operator=(const HistoryQueries &) = delete;

    static constexpr qint64 hourMs = 3600 * 1000;
    static constexpr qint64 dayMs = 24 * hourMs;
    // Results are kept one by one this long, then only in the hourly counts.
    static constexpr qint64 rawRetentionMs = 14 * dayMs;

    // Ids as HistoryKeys gives them. By entry id, every entry of the account with results;
    // nothing once stop is set.
    QHash<qint64, RecentHistory> recent(qint64 account, qint64 target, qint64 nowMs,
                                        const std::atomic<bool> *stop, QString *error) const;
    EntryTimeline timeline(qint64 entry, qint64 target, qint64 nowMs, QString *error) const;
    // Nothing for an entry without results since sinceMs.
    EntryReport report(qint64 entry, qint64 target, qint64 sinceMs, qint64 nowMs,
                       QString *error) const;

private:
    using Counts = std::array<qint64, 6>;

    // Prepared once, bound with these values.
    QSqlQuery &prepared(const QString &statement, const QVariantList &values) const;
    void finishAll() const;
    bool countRaw(qint64 entry, qint64 target, qint64 sinceMs, Counts *counts,
                  QString *error) const;

    QSqlDatabase db;
    mutable QHash<QString, std::shared_ptr<QSqlQuery>> statements;
};
