#include "HistoryWriter.h"

#include "HistoryKeys.h"
#include "HistoryPruner.h"
#include "HistoryQueries.h"
#include "HistoryReader.h"
#include "HistorySchema.h"
#include "LatencyBuckets.h"
#include "SafeText.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QScopeGuard>
#include <QSqlError>
#include <QSqlQuery>
#include <QTimer>
#include <QVariant>

#include <algorithm>

using namespace Qt::StringLiterals;

namespace {

// Long enough for the other program's longest step, short of looking hung.
constexpr int busyTimeoutMs = 10000;

qint64 now()
{
    return QDateTime::currentMSecsSinceEpoch();
}

} // namespace

HistoryWriter::HistoryWriter(const QString &file, const QString &options,
                             const QStringList &pragmas)
    : file(file), options(options), pragmas(pragmas),
      connection(u"history-%1"_s.arg(quintptr(this), 0, 16))
{
}

HistoryWriter::~HistoryWriter()
{
    shutDown();
}

void HistoryWriter::shutDown()
{
    closeConnection();
    broken = true;
}

void HistoryWriter::closeConnection()
{
    if (pruneTimer)
        pruneTimer->stop();
    if (idleTimer)
        idleTimer->stop();
    insertResult.reset();
    summaryStatements.clear();
    pruner.reset();
    reader.reset();
    keys.reset();
    db = QSqlDatabase();
    if (std::exchange(opened, false))
        QSqlDatabase::removeDatabase(connection);
}

// Held only while in use: under Wine two programs holding the file kept one of them from ending.
void HistoryWriter::stillInUse()
{
    if (idleTimer && !broken)
        idleTimer->start(idleCloseMs);
}

bool HistoryWriter::usable()
{
    if (broken)
        return false;
    if (opened)
        return true;
    opened = true;
    if (!QDir().mkpath(QFileInfo(file).absolutePath()))
        return fail(u"open"_s, u"cannot make its folder"_s);
    db = QSqlDatabase::addDatabase(u"QSQLITE"_s, connection);
    if (!db.isValid())
        return fail(u"open"_s, u"no SQLite driver"_s);
    db.setDatabaseName(file);
    QString connectOptions = u"QSQLITE_BUSY_TIMEOUT=%1"_s.arg(busyTimeoutMs);
    if (!options.isEmpty())
        connectOptions += u';' % options;
    db.setConnectOptions(connectOptions);
    if (!db.open())
        return fail(u"open"_s, db.lastError().text());
    QString error;
    if (!HistorySchema::prepare(db, &error))
        return fail(u"open"_s, error);
    for (const QString &pragma : pragmas)
        if (QSqlQuery query(db); !query.exec(pragma))
            return fail(u"open"_s, query.lastError().text());
    keys = std::make_unique<HistoryKeys>(db);
    reader = std::make_unique<HistoryReader>(db, *keys);
    pruner = std::make_unique<HistoryPruner>(db);
    insertResult = std::make_unique<QSqlQuery>(db);
    insertResult->prepare(u"INSERT OR IGNORE INTO result(entry, target, at, code, latency) "
                          u"VALUES (?, ?, ?, ?, ?)"_s);
    if (!pruneTimer) {
        pruneTimer = new QTimer(this);
        pruneTimer->setSingleShot(true);
        connect(pruneTimer, &QTimer::timeout, this, &HistoryWriter::pruneStep);
        idleTimer = new QTimer(this);
        idleTimer->setSingleShot(true);
        connect(idleTimer, &QTimer::timeout, this, &HistoryWriter::closeConnection);
    }
    // A pass soon after the first opening, then one an interval after the last.
    const qint64 sinceLast = now() - lastPassEndedMs;
    pruneTimer->start(int(std::clamp<qint64>(pruneIntervalMs - sinceLast, 1000, pruneIntervalMs)));
    stillInUse();
    return true;
}

bool HistoryWriter::fail(const QString &what, const QString &reason)
{
    broken = true;
    if (pruneTimer)
        pruneTimer->stop();
    emit problem(u"Result history is off: cannot "_s % what % u' ' %
                 QDir::toNativeSeparators(file) % u" ("_s % SafeText::singleLine(reason, 200) %
                 u')');
    return false;
}

void HistoryWriter::write(const QList<RecordedResult> &batch)
{
    if (batch.isEmpty() || !usable())
        return;
    stillInUse();
    QSqlQuery control(db);
    if (!control.exec(u"BEGIN IMMEDIATE"_s)) {
        fail(u"write"_s, control.lastError().text());
        return;
    }
    QString error;
    for (const RecordedResult &result : batch) {
        if (!writeOne(result, &error)) {
            control.exec(u"ROLLBACK"_s);
            fail(u"write"_s, error);
            return;
        }
    }
    if (!control.exec(u"COMMIT"_s)) {
        error = control.lastError().text();
        control.exec(u"ROLLBACK"_s);
        fail(u"write"_s, error);
    }
}

bool HistoryWriter::writeOne(const RecordedResult &result, QString *error)
{
    if (result.code < 0 || result.code > 5)
        return true;
    const qint64 account = keys->account(result.account.api, result.account.user, true, error);
    const qint64 target = account ? keys->target(result.target, true, error) : 0;
    const qint64 entry = target ? keys->entry(account, result.entry, true, error) : 0;
    if (entry == 0)
        return error->isEmpty() ? (*error = u"no id for an entry"_s, false) : false;
    const qint64 latency = std::clamp<qint64>(result.latencyMs, 0, 0x7fffffff);
    // Two results of an entry in one millisecond (two programs testing it) both stay: the later
    // moves on by a millisecond.
    for (qint64 at = result.atMs; at < result.atMs + 1000; ++at) {
        const QVariantList values{entry, target, at, result.code, latency};
        for (int i = 0; i < values.size(); ++i)
            insertResult->bindValue(i, values.at(i));
        if (!insertResult->exec()) {
            *error = insertResult->lastError().text();
            return false;
        }
        if (insertResult->numRowsAffected() > 0)
            break;
    }
    // The hour's and the day's counts.
    for (const qint64 period : {HistoryQueries::hourMs, HistoryQueries::dayMs}) {
        QSqlQuery &summary =
            summaryStatement(period == HistoryQueries::dayMs, result.code, latency);
        summary.bindValue(0, entry);
        summary.bindValue(1, target);
        summary.bindValue(2, result.atMs / period);
        if (!summary.exec()) {
            *error = summary.lastError().text();
            return false;
        }
    }
    return true;
}

// An hour's or a day's row gains one in its outcome's column and, for Up, in its latency bucket.
QSqlQuery &HistoryWriter::summaryStatement(bool daily, int code, qint64 latencyMs)
{
    const int bucket = code == 0 ? LatencyBuckets::bucketOf(latencyMs) : -1;
    const int key = int(daily) * 10000 + code * 100 + bucket;
    auto &statement = summaryStatements[key];
    if (!statement) {
        statement = std::make_shared<QSqlQuery>(db);
        QString columns = u"c%1"_s.arg(code);
        QString update = u"c%1 = c%1 + 1"_s.arg(code);
        if (bucket >= 0) {
            columns += u", b%1"_s.arg(bucket);
            update += u", b%1 = b%1 + 1"_s.arg(bucket);
        }
        const QString table =
            daily ? u"daily(entry, target, day"_s : u"hourly(entry, target, hour"_s;
        const QString key = daily ? u"(entry, target, day)"_s : u"(entry, target, hour)"_s;
        statement->prepare(u"INSERT INTO "_s % table % u", "_s % columns %
                           u") VALUES (?, ?, ?, 1"_s % (bucket >= 0 ? u", 1"_s : QString()) %
                           u") ON CONFLICT"_s % key % u" DO UPDATE SET "_s % update);
    }
    return *statement;
}

QList<RecentHistory> HistoryWriter::recent(const HistoryAccount &account, const QString &target,
                                           const QStringList &entries)
{
    const auto inUse = qScopeGuard([this] { stillInUse(); });
    if (!usable())
        return {};
    QString error;
    QList<RecentHistory> answers = reader->recent(account, target, entries, &leaving, &error);
    if (!error.isEmpty())
        fail(u"read"_s, error);
    return answers;
}

EntryTimeline HistoryWriter::timeline(const HistoryAccount &account, const QString &target,
                                      const QString &entry)
{
    const auto inUse = qScopeGuard([this] { stillInUse(); });
    EntryTimeline timeline;
    QString error;
    if (usable()) {
        timeline = reader->timeline(account, target, entry, &error);
        if (!error.isEmpty())
            fail(u"read"_s, error);
    }
    timeline.entry = entry;
    return timeline;
}

QList<EntryReport> HistoryWriter::report(const HistoryAccount &account, const QString &target,
                                         qint64 sinceMs, const QString &entry)
{
    const auto inUse = qScopeGuard([this] { stillInUse(); });
    if (!usable())
        return {};
    QString error;
    QList<EntryReport> reports = reader->report(account, target, sinceMs, entry, &error);
    if (!error.isEmpty()) {
        fail(u"read"_s, error);
        return {};
    }
    return reports;
}

void HistoryWriter::clear(const HistoryAccount &account)
{
    const auto inUse = qScopeGuard([this] { stillInUse(); });
    if (!usable())
        return;
    QString error;
    const qint64 accountId = keys->account(account.api, account.user, false, &error);
    if (accountId == 0) {
        if (!error.isEmpty())
            fail(u"clear"_s, error);
        return;
    }
    // Entry ids stay: another process may hold them, and a result of it still belongs here.
    QSqlQuery query(db);
    bool ok = query.exec(u"BEGIN IMMEDIATE"_s);
    for (const QString &table : {u"result"_s, u"hourly"_s, u"daily"_s}) {
        ok = ok && query.prepare(u"DELETE FROM "_s % table %
                                 u" WHERE entry IN (SELECT id FROM entry WHERE account = ?)"_s);
        query.bindValue(0, accountId);
        ok = ok && query.exec();
    }
    if (!ok || !query.exec(u"COMMIT"_s)) {
        error = query.lastError().text();
        query.exec(u"ROLLBACK"_s);
        fail(u"clear"_s, error);
        return;
    }
    pruneTimer->start(0);
}

void HistoryWriter::pruneStep()
{
    if (broken)
        return;
    QString error;
    const bool more = pruner->step(now(), &error);
    if (!error.isEmpty()) {
        fail(u"prune"_s, error);
        return;
    }
    if (!more)
        lastPassEndedMs = now();
    // Each step is its own event, so that writes and reads come in between.
    pruneTimer->start(more ? 0 : pruneIntervalMs);
    stillInUse();
}
