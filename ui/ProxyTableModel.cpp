#include "ProxyTableModel.h"

#include "HistoryTypes.h"
#include "ProxyEntry.h"
#include "ProxyTester.h"
#include "SafeText.h"
#include "StatusColours.h"

#include <QBrush>

#include <algorithm>
#include <limits>
#include <numeric>
#include <utility>

using namespace Qt::StringLiterals;

namespace {

constexpr qint64 noKey = std::numeric_limits<qint64>::max();
// Status rank of an entry without a result: after every outcome.
constexpr qint64 untestedRank = 6;

// Made once: data() is asked for every visible cell at every repaint.
QBrush brushOf(int code)
{
    static const QBrush brushes[] = {
        StatusColours::of(-1), StatusColours::of(0), StatusColours::of(1), StatusColours::of(2),
        StatusColours::of(3),  StatusColours::of(4), StatusColours::of(5)};
    return brushes[code - ProxyTableModel::cleared];
}

} // namespace

void ProxyTableModel::setList(const QStringList &list)
{
    beginResetModel();
    failure = false;
    failureText.clear();
    entries = list;
    results = QList<Result>(list.size());
    strips = QList<ResultStrip>(list.size());
    uptimes = QList<qint8>(list.size(), qint8(-1));
    withResult.clear();
    wholeListRun = false;
    endResetModel();
}

void ProxyTableModel::setFailure(const QString &line)
{
    beginResetModel();
    failure = true;
    failureText = line;
    entries.clear();
    results.clear();
    strips.clear();
    uptimes.clear();
    withResult.clear();
    wholeListRun = false;
    endResetModel();
}

int ProxyTableModel::setResult(int entry, int code, int port, qint64 latencyMs)
{
    // A result of a list that is gone, or of the failure row, has no row to go to.
    if (failure || entry < 0 || entry >= results.size() || code < 0 || code > 5)
        return 0;
    Result &result = results[entry];
    if (result.code < 0)
        withResult.append(entry);
    result.code = qint8(code);
    result.port = quint16(port);
    result.latencyMs = qint32(std::clamp<qint64>(latencyMs, 0, std::numeric_limits<qint32>::max()));
    if (historyShown)
        strips[entry].push(code);
    const qint8 before = std::exchange(result.working, qint8(code == 0));
    emit dataChanged(index(entry, 0), index(entry, ColumnCount - 1));
    return before < 0 || before == result.working ? 0 : (result.working ? 1 : -1);
}

void ProxyTableModel::clearResults(const QList<int> &only)
{
    int first = int(results.size());
    int last = -1;
    const auto clear = [&](int entry) {
        results[entry].code = cleared;
        first = std::min(first, entry);
        last = std::max(last, entry);
    };
    QList<bool> inRun;
    if (!only.isEmpty()) {
        inRun.fill(false, results.size());
        for (const int entry : only) {
            if (entry < 0 || entry >= inRun.size())
                continue;
            inRun[entry] = true;
            if (results.at(entry).code == notTested)
                clear(entry);
        }
    }
    QList<int> kept;
    for (const int entry : std::as_const(withResult)) {
        if (!inRun.isEmpty() && !inRun.at(entry))
            kept.append(entry);
        else
            clear(entry);
    }
    withResult = kept;
    if (only.isEmpty() && !std::exchange(wholeListRun, true) && !results.isEmpty()) {
        first = 0;
        last = int(results.size()) - 1;
    }
    // One signal for the span: a signal a row would cost seconds on a long list.
    if (last >= 0)
        emit dataChanged(index(first, 0), index(last, ColumnCount - 1));
}

void ProxyTableModel::setHistoryShown(bool shown)
{
    if (!shown)
        clearHistory();
    historyShown = shown;
}

void ProxyTableModel::setHistory(const QStringList &list, const QList<RecentHistory> &history)
{
    if (!historyShown || failure || history.size() != entries.size() || entries.isEmpty() ||
        list != entries)
        return;
    for (int entry = 0; entry < history.size(); ++entry) {
        const RecentHistory &recent = history.at(entry);
        ResultStrip strip;
        for (const char code : recent.recent.right(stripLength)) {
            if (code >= 0 && code <= 5)
                strip.push(code);
        }
        strips[entry] = strip;
        uptimes[entry] = qint8(std::clamp(recent.uptimePercent, -1, 100));
    }
    emit dataChanged(index(0, UptimeColumn), index(int(entries.size()) - 1, HistoryColumn));
}

void ProxyTableModel::clearHistory()
{
    if (failure || entries.isEmpty())
        return;
    strips.fill(ResultStrip());
    uptimes.fill(-1);
    emit dataChanged(index(0, UptimeColumn), index(int(entries.size()) - 1, HistoryColumn));
}

bool ProxyTableModel::isWorking(int entry) const
{
    return entry >= 0 && entry < results.size() && results.at(entry).working == 1;
}

QString ProxyTableModel::entryText(int entry) const
{
    const ProxyEntry parsed = ProxyEntry::parse(entries.value(entry));
    // An entry the tester cannot use is copied as listed: taken apart it would turn to garbage.
    if (!parsed.isUsable())
        return SafeText::singleLine(entries.value(entry));
    QString host = parsed.host;
    if (host.contains(u':'))
        host = u'[' % host % u']';
    return SafeText::singleLine(host % u':' % parsed.portText);
}

QString ProxyTableModel::statusText(const Result &result) const
{
    QString text = ProxyTester::outcomeName(result.code);
    if (result.code == 0 && result.port != defaultPort)
        text += u" on "_s % QString::number(result.port);
    return text;
}

QString ProxyTableModel::cellText(int entry, int column) const
{
    const Result &result = results.at(entry);
    switch (column) {
    case HostColumn:
        return SafeText::singleLine(ProxyEntry::parse(entries.at(entry)).host);
    case PortColumn:
        return SafeText::singleLine(ProxyEntry::parse(entries.at(entry)).portText);
    case StatusColumn:
        return statusText(result);
    case LatencyColumn:
        return result.code == 0 ? QString::number(result.latencyMs) % u" ms"_s : QString();
    case UptimeColumn:
        return uptimes.at(entry) >= 0 ? QString::number(uptimes.at(entry)) % u'%' : QString();
    }
    return {};
}

QList<int> ProxyTableModel::sortedEntries(int column, Qt::SortOrder order) const
{
    // Keys first, texts only where keys tie: a sort compares each entry many times.
    struct Key
    {
        qint64 number;
        QString text;
    };
    QList<Key> keys(entries.size());
    for (int entry = 0; entry < entries.size(); ++entry) {
        const Result &result = results.at(entry);
        qint64 number = noKey;
        if (column == PortColumn) {
            const ProxyEntry parsed = ProxyEntry::parse(entries.at(entry));
            if (parsed.port > 0)
                number = parsed.port;
        } else if (column == StatusColumn) {
            const qint64 rank = result.code >= 0 ? result.code : untestedRank;
            number = rank * 1'000'000'000'000 + (result.code == 0 ? result.latencyMs : 0);
        } else if (column == LatencyColumn && result.code == 0) {
            number = result.latencyMs;
        } else if (column == UptimeColumn && uptimes.at(entry) >= 0) {
            number = int(uptimes.at(entry));
        } else if (column == HistoryColumn && !strips.at(entry).isEmpty()) {
            number = strips.at(entry).failures();
        }
        keys[entry] = {number, number == noKey || column == StatusColumn ? cellText(entry, column)
                                                                         : QString()};
    }
    QList<int> sorted(entries.size());
    std::iota(sorted.begin(), sorted.end(), 0);
    const auto less = [&keys](int a, int b) {
        const Key &x = keys.at(a);
        const Key &y = keys.at(b);
        return x.number != y.number ? x.number < y.number : x.text < y.text;
    };
    if (order == Qt::AscendingOrder)
        std::stable_sort(sorted.begin(), sorted.end(), less);
    else
        std::stable_sort(sorted.begin(), sorted.end(),
                         [&less](int a, int b) { return less(b, a); });
    // An entry without history says nothing about either end of these orders.
    if (column == UptimeColumn || column == HistoryColumn)
        std::stable_partition(sorted.begin(), sorted.end(),
                              [&keys](int entry) { return keys.at(entry).number != noKey; });
    return sorted;
}

int ProxyTableModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : failure ? 1 : int(entries.size());
}

int ProxyTableModel::columnCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : ColumnCount;
}

QVariant ProxyTableModel::data(const QModelIndex &index, int role) const
{
    if (!index.isValid())
        return {};
    if (failure)
        return role == Qt::DisplayRole && index.column() == 0 ? QVariant(failureText) : QVariant();
    if (role == Qt::DisplayRole)
        return cellText(index.row(), index.column());
    if (role == StripRole && index.column() == HistoryColumn)
        return strips.at(index.row()).codes();
    if (role == Qt::BackgroundRole && index.column() != HistoryColumn) {
        const qint8 code = results.at(index.row()).code;
        if (code == notTested)
            return wholeListRun ? QVariant(brushOf(cleared)) : QVariant();
        return brushOf(code);
    }
    return {};
}

QVariant ProxyTableModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    static const QString headers[] = {tr("Host"),    tr("Port"),   tr("Status"),
                                      tr("Latency"), tr("Uptime"), tr("History")};
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole || section < 0 ||
        section >= ColumnCount)
        return QAbstractTableModel::headerData(section, orientation, role);
    return headers[section];
}

Qt::ItemFlags ProxyTableModel::flags(const QModelIndex &index) const
{
    return index.isValid() ? Qt::ItemIsSelectable | Qt::ItemIsEnabled : Qt::NoItemFlags;
}
