#include "ExitIpColumn.h"

#include <utility>

using namespace Qt::StringLiterals;

ExitIpColumn::ExitIpColumn(std::function<int(int row)> entryAt, QObject *parent)
    : QIdentityProxyModel(parent), entryAt(std::move(entryAt))
{
    repaintPending.setSingleShot(true);
    repaintPending.setInterval(0);
    connect(&repaintPending, &QTimer::timeout, this, &ExitIpColumn::repaint);
    // A row's new colour reaches this column too.
    connect(this, &QAbstractItemModel::dataChanged, this,
            [this](const QModelIndex &topLeft, const QModelIndex &bottomRight) {
                if (shown && topLeft.isValid() && bottomRight.column() < column())
                    emit dataChanged(index(topLeft.row(), column()),
                                     index(bottomRight.row(), column()), {Qt::BackgroundRole});
            });
}

int ExitIpColumn::column() const
{
    return sourceModel() ? sourceModel()->columnCount() : 0;
}

void ExitIpColumn::setShown(bool on)
{
    if (on == shown)
        return;
    if (on)
        beginInsertColumns({}, column(), column());
    else
        beginRemoveColumns({}, column(), column());
    shown = on;
    if (on)
        endInsertColumns();
    else
        endRemoveColumns();
}

void ExitIpColumn::setAddress(int entry, const QString &address)
{
    if (address.isEmpty() ? addresses.remove(entry) == 0 : addresses.value(entry) == address)
        return;
    if (!address.isEmpty())
        addresses.insert(entry, address);
    repaintPending.start();
}

void ExitIpColumn::clear()
{
    addresses.clear();
    repaintPending.start();
}

void ExitIpColumn::repaint()
{
    if (shown && rowCount() > 0)
        emit dataChanged(index(0, column()), index(rowCount() - 1, column()), {Qt::DisplayRole});
}

bool ExitIpColumn::isOwn(const QModelIndex &index) const
{
    return shown && index.isValid() && index.model() == this && index.column() == column();
}

int ExitIpColumn::columnCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : column() + int(shown);
}

QModelIndex ExitIpColumn::index(int row, int column, const QModelIndex &parent) const
{
    if (parent.isValid() || row < 0 || row >= rowCount() || column < 0 || column >= columnCount())
        return {};
    return column == this->column() ? createIndex(row, column)
                                    : QIdentityProxyModel::index(row, column, parent);
}

QModelIndex ExitIpColumn::parent(const QModelIndex &child) const
{
    return isOwn(child) ? QModelIndex() : QIdentityProxyModel::parent(child);
}

QModelIndex ExitIpColumn::sibling(int row, int column, const QModelIndex &) const
{
    return index(row, column);
}

QModelIndex ExitIpColumn::mapToSource(const QModelIndex &proxyIndex) const
{
    return isOwn(proxyIndex) ? QModelIndex() : QIdentityProxyModel::mapToSource(proxyIndex);
}

QVariant ExitIpColumn::data(const QModelIndex &index, int role) const
{
    if (!isOwn(index))
        return QIdentityProxyModel::data(index, role);
    const int entry = entryAt(index.row());
    if (role == Qt::DisplayRole)
        return addresses.value(entry);
    // The row's colour spans this column too.
    if (role == Qt::BackgroundRole)
        return QIdentityProxyModel::data(this->index(index.row(), 0), role);
    return {};
}

QVariant ExitIpColumn::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (shown && orientation == Qt::Horizontal && section == column() && role == Qt::DisplayRole)
        return tr("Exit IP");
    return QIdentityProxyModel::headerData(section, orientation, role);
}

Qt::ItemFlags ExitIpColumn::flags(const QModelIndex &index) const
{
    return isOwn(index) ? Qt::ItemIsEnabled | Qt::ItemIsSelectable
                        : QIdentityProxyModel::flags(index);
}
