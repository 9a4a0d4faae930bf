#include "HistoryReport.h"

#include "ProxyTester.h"
#include "SafeText.h"
#include "TestReport.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

using namespace Qt::StringLiterals;

const QStringList HistoryReport::fieldNames{u"entry"_s,        u"uptime"_s,    u"results"_s,
                                            u"median_ms"_s,    u"p95_ms"_s,    u"estimated"_s,
                                            u"last_outcome"_s, u"last_code"_s, u"last_at"_s};

namespace {

QString localTime(qint64 ms)
{
    return QDateTime::fromMSecsSinceEpoch(ms).toString(u"yyyy-MM-dd HH:mm:ss"_s);
}

QString utcTime(qint64 ms)
{
    return QDateTime::fromMSecsSinceEpoch(ms, Qt::UTC).toString(Qt::ISODate);
}

// The store's entry texts came from the service's list.
QString entryOf(const EntryReport &line)
{
    return SafeText::singleLine(line.entry);
}

// Empty, or null in JSON, where there is no figure.
QString numberOr(int value, const QString &none = {})
{
    return value < 0 ? none : QString::number(value);
}

QJsonValue jsonNumber(int value)
{
    return value < 0 ? QJsonValue() : QJsonValue(value);
}

} // namespace

QString HistoryReport::text(const QList<EntryReport> &report, qint64 sinceMs)
{
    if (report.isEmpty())
        return u"No results recorded since "_s % localTime(sinceMs) % u".\n"_s;
    QList<QStringList> rows{
        {u"ENTRY"_s, u"UPTIME"_s, u"RESULTS"_s, u"MEDIAN"_s, u"P95"_s, u"LAST"_s, u"AT"_s}};
    bool anyEstimated = false;
    for (const EntryReport &line : report) {
        anyEstimated = anyEstimated || line.estimated;
        const QString mark = line.estimated ? u"~"_s : QString();
        const auto latency = [&mark](int ms) {
            return ms < 0 ? u"-"_s : mark % QString::number(ms) % u" ms"_s;
        };
        rows << QStringList{entryOf(line),
                            line.uptimePercent < 0 ? u"-"_s
                                                   : QString::number(line.uptimePercent) % u'%',
                            QString::number(line.results),
                            latency(line.medianMs),
                            latency(line.p95Ms),
                            ProxyTester::outcomeName(line.lastCode),
                            localTime(line.lastAtMs)};
    }
    QString out = TestReport::aligned(rows);
    if (anyEstimated)
        out += u"~ estimated from hourly summaries: the period reaches back past the 14 days of "
               u"results kept one by one\n"_s;
    return out;
}

QString HistoryReport::csv(const QList<EntryReport> &report)
{
    QString out = fieldNames.join(u',') % u'\n';
    for (const EntryReport &line : report)
        out += TestReport::csvRow({entryOf(line), numberOr(line.uptimePercent),
                                   QString::number(line.results), numberOr(line.medianMs),
                                   numberOr(line.p95Ms), line.estimated ? u"true"_s : u"false"_s,
                                   ProxyTester::outcomeName(line.lastCode),
                                   QString::number(line.lastCode), utcTime(line.lastAtMs)});
    return out;
}

QString HistoryReport::json(const QList<EntryReport> &report)
{
    QJsonArray array;
    for (const EntryReport &line : report) {
        array.append(QJsonObject{{u"entry"_s, entryOf(line)},
                                 {u"uptime"_s, jsonNumber(line.uptimePercent)},
                                 {u"results"_s, line.results},
                                 {u"median_ms"_s, jsonNumber(line.medianMs)},
                                 {u"p95_ms"_s, jsonNumber(line.p95Ms)},
                                 {u"estimated"_s, line.estimated},
                                 {u"last_outcome"_s, ProxyTester::outcomeName(line.lastCode)},
                                 {u"last_code"_s, line.lastCode},
                                 {u"last_at"_s, utcTime(line.lastAtMs)}});
    }
    return QString::fromUtf8(QJsonDocument(array).toJson(QJsonDocument::Indented));
}
