#include "ProxyTableFilter.h"

#include "ProxyTableModel.h"

ProxyTableFilter::ProxyTableFilter(ProxyTableModel *model, QObject *parent)
    : QSortFilterProxyModel(parent), table(model)
{
    setSourceModel(model);
    // Rows keep the order of the last sort; the filter catches up with results in one pass a
    // while: a row shown or hidden at each result costs a third of a millisecond on a long list.
    setDynamicSortFilter(false);
    refilter.setSingleShot(true);
    connect(&refilter, &QTimer::timeout, this, &QSortFilterProxyModel::invalidate);
    connect(model, &QAbstractItemModel::dataChanged, this, [this] {
        if (onlyWorking && !refilter.isActive())
            refilter.start(refilterMs);
    });
}

void ProxyTableFilter::setOrder(const QList<int> &entries)
{
    rank = QList<int>(entries.isEmpty() ? 0 : table->rowCount(), 0);
    for (int place = 0; place < entries.size(); ++place)
        rank[entries.at(place)] = place;
    sort(entries.isEmpty() ? -1 : 0);
}

void ProxyTableFilter::setOnlyWorking(bool only)
{
    onlyWorking = only;
    refilter.stop();
    invalidate();
}

int ProxyTableFilter::entryAt(int row) const
{
    if (table->isFailure() || row < 0 || row >= rowCount())
        return -1;
    return mapToSource(index(row, 0)).row();
}

bool ProxyTableFilter::lessThan(const QModelIndex &left, const QModelIndex &right) const
{
    return rank.value(left.row()) < rank.value(right.row());
}

bool ProxyTableFilter::filterAcceptsRow(int sourceRow, const QModelIndex &) const
{
    return !onlyWorking || table->isFailure() || table->isWorking(sourceRow);
}
