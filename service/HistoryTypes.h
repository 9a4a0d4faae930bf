#pragma once

#include <QByteArray>
#include <QList>
#include <QMetaType>
#include <QString>

#include <array>

// The values result history answers with: plain data, copied between the writer's thread and
// its callers.

// Whose results: the service's address and the user name.
struct HistoryAccount
{
    QString api;
    QString user;
};

// What the proxy table shows of one entry's recorded results.
struct RecentHistory
{
    static constexpr int maxRecent = 20;
    // Up as a share of the counted results (Up, Access Denied, Timeout, Error) of the last 24
    // hours, in whole percent rounded down; -1 when there is none.
    int uptimePercent = -1;
    // Status codes (0 to 5) of the last results, at most maxRecent, oldest first.
    QByteArray recent;
};

// One recorded result.
struct HistoryPoint
{
    // Milliseconds since the epoch.
    qint64 atMs = 0;
    qint8 code = 0;
    qint32 latencyMs = 0;
};

// An hour whose results are kept only as counts: older than the raw results' retention.
struct HistoryHour
{
    qint64 startMs = 0;
    // Results of each status code 0 to 5.
    std::array<int, 6> counts{};
    // Estimated from the latency buckets of its Up results; -1 without any.
    int medianMs = -1;
};

// One entry's history for its window.
struct EntryTimeline
{
    QString entry;
    // The last 30 days: kept results, oldest first, and the summarized hours before them.
    QList<HistoryPoint> points;
    QList<HistoryHour> hours;
    // -1 where the period holds no counted result.
    int uptime24h = -1;
    int uptime7d = -1;
    int uptime30d = -1;
};

// One entry's line of proxymanager-cli history.
struct EntryReport
{
    QString entry;
    // Every result of the period, counted or not.
    int results = 0;
    int uptimePercent = -1;
    // Of the Up results; -1 without any.
    int medianMs = -1;
    int p95Ms = -1;
    // The latencies came (partly) from hourly summaries' buckets.
    bool estimated = false;
    int lastCode = -1;
    qint64 lastAtMs = 0;
};

Q_DECLARE_METATYPE(RecentHistory)
Q_DECLARE_METATYPE(EntryTimeline)
Q_DECLARE_METATYPE(EntryReport)
