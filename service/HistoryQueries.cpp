#include "HistoryQueries.h"

#include "LatencyBuckets.h"

#include <QScopeGuard>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

#include <algorithm>

using namespace Qt::StringLiterals;

namespace {

// Up among Up, Access Denied, Timeout and Error: the user's own line being down, or an
// entry that is no proxy at all, says nothing about the proxy.
int uptimeOf(qint64 up, qint64 counted)
{
    return counted == 0 ? -1 : int(up * 100 / counted);
}

int uptimeOf(const std::array<qint64, 6> &counts)
{
    return uptimeOf(counts[0], counts[0] + counts[1] + counts[2] + counts[3]);
}

bool failed(const QSqlQuery &query, QString *error)
{
    *error = query.lastError().text();
    return true;
}

// The count columns of a summary row, each in form, e.g. "SUM(%1)".
QString summaryColumns(const QString &form = u"%1"_s)
{
    QStringList columns;
    for (int code = 0; code < 6; ++code)
        columns << form.arg(u"c%1"_s.arg(code));
    for (int bucket = 0; bucket < LatencyBuckets::count; ++bucket)
        columns << form.arg(u"b%1"_s.arg(bucket));
    return columns.join(u", "_s);
}

} // namespace

QSqlQuery &HistoryQueries::prepared(const QString &statement, const QVariantList &values) const
{
    auto &query = statements[statement];
    if (!query) {
        query = std::make_shared<QSqlQuery>(db);
        query->setForwardOnly(true);
        query->prepare(statement);
    }
    for (int i = 0; i < values.size(); ++i)
        query->bindValue(i, values.at(i));
    return *query;
}

// A read left part-way keeps its snapshot of the file, and the connection's next write would be
// refused once another program has written after it.
void HistoryQueries::finishAll() const
{
    for (const auto &statement : std::as_const(statements))
        statement->finish();
}

// Results of each code since then, in one row: grouping would sort them first.
bool HistoryQueries::countRaw(qint64 entry, qint64 target, qint64 sinceMs, Counts *counts,
                              QString *error) const
{
    QSqlQuery &query = prepared(u"SELECT SUM(code = 0), SUM(code = 1), SUM(code = 2), "
                                u"SUM(code = 3), SUM(code = 4), SUM(code = 5) FROM result "
                                u"WHERE entry = ? AND target = ? AND at >= ?"_s,
                                {entry, target, sinceMs});
    if (!query.exec() || !query.next())
        return !failed(query, error);
    for (int code = 0; code < 6; ++code)
        (*counts)[code] += query.value(code).toLongLong();
    return true;
}

QHash<qint64, RecentHistory> HistoryQueries::recent(qint64 account, qint64 target, qint64 nowMs,
                                                    const std::atomic<bool> *stop,
                                                    QString *error) const
{
    const auto done = qScopeGuard([this] { finishAll(); });
    // Two statements for the whole account: one per entry would cost more in the driver than
    // in SQLite.
    QHash<qint64, RecentHistory> answers;
    // Up results in the low 32 bits, counted ones above: one pass over each entry's day.
    QSqlQuery &counts =
        prepared(u"SELECT e.id, (SELECT SUM((code = 0) + ((code <= 3) << 32)) FROM result WHERE "
                 u"entry = e.id AND target = ? AND at >= ?) FROM entry e WHERE e.account = ?"_s,
                 {target, nowMs - dayMs, account});
    if (!counts.exec())
        return failed(counts, error), QHash<qint64, RecentHistory>();
    while (counts.next() && !*stop) {
        const qint64 packed = counts.value(1).toLongLong();
        answers[counts.value(0).toLongLong()].uptimePercent =
            uptimeOf(packed & 0xffffffff, packed >> 32);
    }
    // Each entry's results from its 20th newest on, oldest first.
    QSqlQuery &last = prepared(
        u"SELECT r.entry, r.code FROM entry e JOIN result r ON r.entry = e.id AND r.target = ? "
        u"AND r.at >= COALESCE((SELECT at FROM result WHERE entry = e.id AND target = ? "
        u"ORDER BY at DESC LIMIT 1 OFFSET %1), 0) WHERE e.account = ? ORDER BY r.entry, r.at"_s.arg(
            RecentHistory::maxRecent - 1),
        {target, target, account});
    if (*stop || !last.exec())
        return failed(last, error), QHash<qint64, RecentHistory>();
    while (last.next() && !*stop)
        answers[last.value(0).toLongLong()].recent.append(char(last.value(1).toInt()));
    return *stop ? QHash<qint64, RecentHistory>() : answers;
}

EntryTimeline HistoryQueries::timeline(qint64 entry, qint64 target, qint64 nowMs,
                                       QString *error) const
{
    const auto done = qScopeGuard([this] { finishAll(); });
    EntryTimeline timeline;
    const qint64 monthAgo = nowMs - 30 * dayMs;
    QSqlQuery &points = prepared(u"SELECT at, code, latency FROM result WHERE entry = ? AND "
                                 u"target = ? AND at >= ? ORDER BY at"_s,
                                 {entry, target, monthAgo});
    if (!points.exec())
        return failed(points, error), EntryTimeline();
    Counts day{}, week{}, month{};
    while (points.next()) {
        const HistoryPoint point{points.value(0).toLongLong(), qint8(points.value(1).toInt()),
                                 points.value(2).toInt()};
        if (point.code < 0 || point.code > 5)
            continue;
        timeline.points.append(point);
        ++month[point.code];
        if (point.atMs >= nowMs - 7 * dayMs)
            ++week[point.code];
        if (point.atMs >= nowMs - dayMs)
            ++day[point.code];
    }
    // Every hour is counted as it is written; only those before the kept results add to them.
    const qint64 firstKept = timeline.points.isEmpty() ? nowMs : timeline.points.first().atMs;
    QSqlQuery &hours = prepared(u"SELECT hour, "_s % summaryColumns(u"SUM(%1)"_s) %
                                    u" FROM hourly WHERE entry = ? AND target = ? AND hour >= ? "
                                    u"AND hour < ? GROUP BY hour ORDER BY hour"_s,
                                {entry, target, monthAgo / hourMs, firstKept / hourMs});
    if (!hours.exec())
        return failed(hours, error), EntryTimeline();
    while (hours.next()) {
        HistoryHour hour;
        hour.startMs = hours.value(0).toLongLong() * hourMs;
        LatencyBuckets::Counts buckets{};
        for (int code = 0; code < 6; ++code) {
            hour.counts[code] = hours.value(1 + code).toInt();
            month[code] += hour.counts[code];
            if (hour.startMs >= nowMs - 7 * dayMs)
                week[code] += hour.counts[code];
        }
        for (int bucket = 0; bucket < LatencyBuckets::count; ++bucket)
            buckets[bucket] = hours.value(7 + bucket).toLongLong();
        hour.medianMs = LatencyBuckets::estimate(buckets, 0.5);
        timeline.hours.append(hour);
    }
    timeline.uptime24h = uptimeOf(day);
    timeline.uptime7d = uptimeOf(week);
    timeline.uptime30d = uptimeOf(month);
    return timeline;
}

EntryReport HistoryQueries::report(qint64 entry, qint64 target, qint64 sinceMs, qint64 nowMs,
                                   QString *error) const
{
    const auto done = qScopeGuard([this] { finishAll(); });
    EntryReport report;
    QSqlQuery &last = prepared(u"SELECT at, code FROM result WHERE entry = ? AND target = ? "
                               u"AND at >= ? ORDER BY at DESC LIMIT 1"_s,
                               {entry, target, sinceMs});
    if (!last.exec())
        return failed(last, error), EntryReport();
    if (last.next()) {
        report.lastAtMs = last.value(0).toLongLong();
        report.lastCode = last.value(1).toInt();
    }
    Counts counts{};
    // Where the period reaches results no longer kept one by one, only the summaries know it:
    // its figures are estimates. The whole days come from the daily rows, the hours before the
    // first of them from the hourly.
    const qint64 rawCut = (nowMs - rawRetentionMs) / hourMs * hourMs;
    QSqlQuery &older = prepared(u"SELECT 1 FROM hourly WHERE entry = ? AND target = ? AND "
                                u"hour >= ? AND hour < ? LIMIT 1"_s,
                                {entry, target, sinceMs / hourMs, rawCut / hourMs});
    if (!older.exec())
        return failed(older, error), EntryReport();
    if (sinceMs < rawCut && older.next()) {
        report.estimated = true;
        const qint64 firstDay = (sinceMs + dayMs - 1) / dayMs;
        QSqlQuery &sums = prepared(
            u"SELECT "_s % summaryColumns(u"SUM(%1)"_s) % u" FROM (SELECT "_s % summaryColumns() %
                u" FROM hourly WHERE entry = ? AND target = ? AND hour >= ? AND hour < ? "
                u"UNION ALL SELECT "_s %
                summaryColumns() % u" FROM daily WHERE entry = ? AND target = ? AND day >= ?)"_s,
            {entry, target, sinceMs / hourMs, firstDay * 24, entry, target, firstDay});
        if (!sums.exec() || !sums.next())
            return failed(sums, error), EntryReport();
        LatencyBuckets::Counts buckets{};
        for (int code = 0; code < 6; ++code)
            counts[code] = sums.value(code).toLongLong();
        for (int bucket = 0; bucket < LatencyBuckets::count; ++bucket)
            buckets[bucket] = sums.value(6 + bucket).toLongLong();
        report.medianMs = LatencyBuckets::estimate(buckets, 0.5);
        report.p95Ms = LatencyBuckets::estimate(buckets, 0.95);
    } else {
        if (!countRaw(entry, target, sinceMs, &counts, error))
            return {};
        // Two ranks of the sorted Up latencies, sorted by SQLite rather than carried here.
        const auto rankQuery = u"SELECT latency FROM result WHERE entry = ? AND target = ? AND "
                               u"at >= ? AND code = 0 ORDER BY latency LIMIT 1 OFFSET ?"_s;
        for (const auto &[quantile, figure] :
             {std::pair{0.5, &report.medianMs}, std::pair{0.95, &report.p95Ms}}) {
            if (counts[0] == 0)
                break;
            QSqlQuery &rank =
                prepared(rankQuery, {entry, target, sinceMs,
                                     LatencyBuckets::nearestRank(counts[0], quantile) - 1});
            if (!rank.exec())
                return failed(rank, error), EntryReport();
            if (rank.next())
                *figure = rank.value(0).toInt();
        }
    }
    for (const qint64 count : counts)
        report.results += int(count);
    report.uptimePercent = uptimeOf(counts);
    return report;
}
