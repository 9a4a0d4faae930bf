#include "ProxyTableFilter.h"

#include "ProxyTableModel.h"

ProxyTableFilter::ProxyTableFilter(ProxyTableModel *model, QObject *parent)
    : QSortFilterProxyModel(parent), table(model)
{
    setSourceModel(model);
    // Results show or hide their rows as they arrive; the frozen order keeps them in place.
    setDynamicSortFilter(true);
}

void ProxyTableFilter::setOrder(const QList<int> &entries)
{
    if (entries.isEmpty()) {
        rank.clear();
        sort(-1);
        return;
    }
    rank = QList<int>(table->rowCount(), 0);
    for (int place = 0; place < entries.size(); ++place)
        rank[entries.at(place)] = place;
    // sort() does nothing when asked for the order it already has.
    if (sortColumn() == 0)
        invalidate();
    else
        sort(0);
}

void ProxyTableFilter::setOnlyWorking(bool only)
{
    onlyWorking = only;
    // One layout change: removing the rows one interval at a time costs seconds on a long list.
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
    return !onlyWorking || table->isFailure() || table->resultCode(sourceRow) == 0;
}
