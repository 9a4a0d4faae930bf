#include "HistorySchema.h"

#include "LatencyBuckets.h"

#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QStringList>
#include <QVariant>

using namespace Qt::StringLiterals;

namespace {

bool run(QSqlDatabase &db, const QString &statement, QString *error)
{
    QSqlQuery query(db);
    if (query.exec(statement))
        return true;
    *error = query.lastError().text();
    return false;
}

// Counts per outcome and latency bucket, a row per entry, target and hour (or day).
QString summaryTable(const QString &name, const QString &period)
{
    QStringList columns{u"entry INTEGER NOT NULL"_s, u"target INTEGER NOT NULL"_s,
                        period % u" INTEGER NOT NULL"_s};
    for (int code = 0; code < 6; ++code)
        columns << u"c%1 INTEGER NOT NULL DEFAULT 0"_s.arg(code);
    for (int bucket = 0; bucket < LatencyBuckets::count; ++bucket)
        columns << u"b%1 INTEGER NOT NULL DEFAULT 0"_s.arg(bucket);
    columns << u"PRIMARY KEY(entry, target, "_s % period % u')';
    return u"CREATE TABLE "_s % name % u'(' % columns.join(u", "_s) % u") WITHOUT ROWID"_s;
}

} // namespace

bool HistorySchema::prepare(QSqlDatabase &db, QString *error)
{
    // Only a database without tables takes a new vacuum mode, so it comes first.
    if (!run(db, u"PRAGMA auto_vacuum=INCREMENTAL"_s, error) ||
        !run(db, u"PRAGMA journal_mode=WAL"_s, error) ||
        !run(db, u"PRAGMA synchronous=NORMAL"_s, error))
        return false;
    // A deferred transaction would fail at once, not wait, when another writer is busy.
    if (!run(db, u"BEGIN IMMEDIATE"_s, error))
        return false;
    QSqlQuery query(db);
    QString ignored;
    if (!query.exec(u"PRAGMA user_version"_s) || !query.next()) {
        *error = query.lastError().text();
        run(db, u"ROLLBACK"_s, &ignored);
        return false;
    }
    const int found = query.value(0).toInt();
    query.finish();
    if (found > version) {
        run(db, u"ROLLBACK"_s, &ignored);
        *error = u"made by a later version of the program"_s;
        return false;
    }
    if (found == version)
        return run(db, u"COMMIT"_s, error);
    const QStringList statements{
        u"CREATE TABLE account(id INTEGER PRIMARY KEY, api TEXT NOT NULL, user TEXT NOT NULL, "
        u"UNIQUE(api, user))"_s,
        u"CREATE TABLE target(id INTEGER PRIMARY KEY, url TEXT NOT NULL UNIQUE)"_s,
        u"CREATE TABLE entry(id INTEGER PRIMARY KEY, account INTEGER NOT NULL, "
        u"text TEXT NOT NULL, UNIQUE(account, text))"_s,
        u"CREATE TABLE result(entry INTEGER NOT NULL, target INTEGER NOT NULL, "
        u"at INTEGER NOT NULL, code INTEGER NOT NULL, latency INTEGER NOT NULL, "
        u"PRIMARY KEY(entry, target, at)) WITHOUT ROWID"_s,
        summaryTable(u"hourly"_s, u"hour"_s),
        summaryTable(u"daily"_s, u"day"_s),
        u"PRAGMA user_version=%1"_s.arg(version)};
    for (const QString &statement : statements) {
        if (!run(db, statement, error)) {
            run(db, u"ROLLBACK"_s, &ignored);
            return false;
        }
    }
    return run(db, u"COMMIT"_s, error);
}
