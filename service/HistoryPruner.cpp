#include "HistoryPruner.h"

#include "HistoryQueries.h"

#include <QList>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

#include <limits>
#include <utility>

using namespace Qt::StringLiterals;

bool HistoryPruner::step(qint64 nowMs, QString *error)
{
    error->clear();
    const bool more = vacuuming ? givePagesBack(error) : pruneEntries(nowMs, error);
    if (!more || !error->isEmpty()) {
        lastEntry = 0;
        vacuuming = false;
        lastFree = std::numeric_limits<qint64>::max();
        return false;
    }
    return true;
}

bool HistoryPruner::pruneEntries(qint64 nowMs, QString *error)
{
    QSqlQuery query(db);
    query.prepare(u"SELECT id FROM entry WHERE id > ? ORDER BY id LIMIT ?"_s);
    query.bindValue(0, lastEntry);
    query.bindValue(1, entriesPerStep);
    if (!query.exec()) {
        *error = query.lastError().text();
        return false;
    }
    QList<qint64> ids;
    while (query.next())
        ids.append(query.value(0).toLongLong());
    query.finish();
    if (ids.isEmpty()) {
        vacuuming = true;
        return true;
    }
    // Whole hours leave, so an hour's results are either all kept or all counted only.
    const qint64 hourMs = HistoryQueries::hourMs;
    const qint64 rawCut = (nowMs - HistoryQueries::rawRetentionMs) / hourMs * hourMs;
    const qint64 hourCut = (nowMs - summaryRetentionMs) / hourMs;
    const qint64 dayCut = hourCut / 24;
    QSqlQuery raw(db);
    QSqlQuery hours(db);
    QSqlQuery days(db);
    const bool ok = query.exec(u"BEGIN IMMEDIATE"_s) &&
                    raw.prepare(u"DELETE FROM result WHERE entry = ? AND at < ?"_s) &&
                    hours.prepare(u"DELETE FROM hourly WHERE entry = ? AND hour < ?"_s) &&
                    days.prepare(u"DELETE FROM daily WHERE entry = ? AND day < ?"_s);
    for (int i = 0; ok && i < ids.size(); ++i) {
        for (auto &[statement, cut] :
             {std::pair{&raw, rawCut}, std::pair{&hours, hourCut}, std::pair{&days, dayCut}}) {
            statement->bindValue(0, ids.at(i));
            statement->bindValue(1, cut);
            if (!statement->exec()) {
                *error = statement->lastError().text();
                query.exec(u"ROLLBACK"_s);
                return false;
            }
        }
    }
    if (!ok || !query.exec(u"COMMIT"_s)) {
        *error = query.lastError().text();
        query.exec(u"ROLLBACK"_s);
        return false;
    }
    lastEntry = ids.constLast();
    return true;
}

bool HistoryPruner::givePagesBack(QString *error)
{
    QSqlQuery query(db);
    // Each freed page is a row of its own: the pragma runs only as far as it is read.
    if (!query.exec(u"PRAGMA incremental_vacuum(%1)"_s.arg(pagesPerStep))) {
        *error = query.lastError().text();
        return false;
    }
    while (query.next()) {
    }
    if (!query.exec(u"PRAGMA freelist_count"_s) || !query.next()) {
        *error = query.lastError().text();
        return false;
    }
    // Another step only while pages still come back: a file that gives none back (made
    // without incremental vacuum) must not keep the writer busy.
    const qint64 free = query.value(0).toLongLong();
    return free > 0 && free < std::exchange(lastFree, free);
}
