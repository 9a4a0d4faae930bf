#include "ProxyTableModel.h"

#include "ProxyEntry.h"
#include "ProxyTester.h"
#include "SafeText.h"

#include <QBrush>
#include <QColor>

#include <algorithm>
#include <limits>
#include <numeric>
#include <utility>

using namespace Qt::StringLiterals;

namespace {

constexpr qint64 noKey = std::numeric_limits<qint64>::max();
// Status rank of an entry without a result: after every outcome.
constexpr qint64 untestedRank = 6;

QBrush brushOf(int code)
{
    static const QBrush brushes[] = {QColor(255, 255, 255), QColor(0, 200, 0), QColor(220, 220, 0),
                                     QColor(200, 0, 0),     QColor(200, 0, 0), QColor(220, 220, 0),
                                     QColor(160, 160, 160)};
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
    if (role == Qt::BackgroundRole) {
        const qint8 code = results.at(index.row()).code;
        if (code == notTested)
            return wholeListRun ? QVariant(brushOf(cleared)) : QVariant();
        return brushOf(code);
    }
    return {};
}

QVariant ProxyTableModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    static const QString headers[] = {tr("Host"), tr("Port"), tr("Status"), tr("Latency")};
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole || section < 0 ||
        section >= ColumnCount)
        return QAbstractTableModel::headerData(section, orientation, role);
    return headers[section];
}

Qt::ItemFlags ProxyTableModel::flags(const QModelIndex &index) const
{
    return index.isValid() ? Qt::ItemIsSelectable | Qt::ItemIsEnabled : Qt::NoItemFlags;
}
