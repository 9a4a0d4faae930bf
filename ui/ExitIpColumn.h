#pragma once

#include <QHash>
#include <QIdentityProxyModel>
#include <QTimer>

#include <functional>

// The table's rows as they are shown, with one more column while it is shown: each working
// proxy's exit address as the exit address page gave it, empty for the others.
class ExitIpColumn : public QIdentityProxyModel
{
    Q_OBJECT

public:
    // entryAt: the list entry shown in a row of the source, -1 for none.
    ExitIpColumn(std::function<int(int row)> entryAt, QObject *parent);

    // Where the column is, or would be.
    int column() const;
    void setShown(bool shown);
    // An empty address forgets the entry's.
    void setAddress(int entry, const QString &address);
    void clear();

    int columnCount(const QModelIndex &parent = {}) const override;
    QModelIndex index(int row, int column, const QModelIndex &parent = {}) const override;
    QModelIndex parent(const QModelIndex &child) const override;
    QModelIndex sibling(int row, int column, const QModelIndex &idx) const override;
    QModelIndex mapToSource(const QModelIndex &proxyIndex) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation,
                        int role = Qt::DisplayRole) const override;
    Qt::ItemFlags flags(const QModelIndex &index) const override;

private:
    bool isOwn(const QModelIndex &index) const;
    void repaint();

    std::function<int(int)> entryAt;
    bool shown = false;
    QHash<int, QString> addresses;
    // Many results in one pass of the event loop repaint the column once.
    QTimer repaintPending;
};
