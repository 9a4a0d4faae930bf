#pragma once

#include <QStyledItemDelegate>

// Paints the History column: an entry's last results as a row of small cells in the Status
// colours, newest on the right, each cell always in the same place so rows line up.
class HistoryStripDelegate : public QStyledItemDelegate
{
    Q_OBJECT

public:
    using QStyledItemDelegate::QStyledItemDelegate;

    // Where the cell of a slot goes, 0 the oldest of a full strip, inside the item's rect.
    static QRect cellRect(const QRect &item, int slot);
    // The width the column needs for a full strip.
    static int stripWidth();

    void paint(QPainter *painter, const QStyleOptionViewItem &option,
               const QModelIndex &index) const override;
    QSize sizeHint(const QStyleOptionViewItem &option, const QModelIndex &index) const override;
};
