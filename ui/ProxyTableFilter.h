#pragma once

#include <QList>
#include <QSortFilterProxyModel>
#include <QTimer>

class ProxyTableModel;

// Shows the list in the order of the last sort and, on request, only working entries: a row
// being tested again stays until its new result says otherwise, so a periodic run does not
// empty the table. The order is taken once per sort: a later result never moves its row.
class ProxyTableFilter : public QSortFilterProxyModel
{
    Q_OBJECT

public:
    explicit ProxyTableFilter(ProxyTableModel *model, QObject *parent = nullptr);

    // Entries top down; an empty list restores the list's own order.
    void setOrder(const QList<int> &entries);
    void setOnlyWorking(bool only);
    // The entry shown in a row of this model, -1 for none.
    int entryAt(int row) const;

    // How long results may wait before the filter shows or hides their rows.
    int refilterMs = 100;

protected:
    bool lessThan(const QModelIndex &left, const QModelIndex &right) const override;
    bool filterAcceptsRow(int sourceRow, const QModelIndex &sourceParent) const override;

private:
    ProxyTableModel *table;
    // Each entry's place in the order of the last sort.
    QList<int> rank;
    bool onlyWorking = false;
    QTimer refilter;
};
