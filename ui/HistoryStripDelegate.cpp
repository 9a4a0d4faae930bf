#include "HistoryStripDelegate.h"

#include "ProxyTableModel.h"
#include "StatusColours.h"

#include <QApplication>
#include <QPainter>

#include <algorithm>

namespace {

constexpr int cellWidth = 5;
constexpr int gap = 1;
constexpr int margin = 3;
const QColor emptyColour(232, 232, 232);

} // namespace

QRect HistoryStripDelegate::cellRect(const QRect &item, int slot)
{
    const int height = std::max(4, item.height() - 2 * margin);
    const int top = item.top() + (item.height() - height) / 2;
    return QRect(item.left() + margin + slot * (cellWidth + gap), top, cellWidth, height);
}

int HistoryStripDelegate::stripWidth()
{
    return 2 * margin + ProxyTableModel::stripLength * (cellWidth + gap) - gap;
}

void HistoryStripDelegate::paint(QPainter *painter, const QStyleOptionViewItem &option,
                                 const QModelIndex &index) const
{
    // The item's panel first, so selection and focus look as in the other columns.
    QStyleOptionViewItem panel = option;
    initStyleOption(&panel, index);
    panel.text.clear();
    const QWidget *widget = option.widget;
    QStyle *style = widget ? widget->style() : QApplication::style();
    style->drawControl(QStyle::CE_ItemViewItem, &panel, painter, widget);

    const QByteArray codes = index.data(ProxyTableModel::StripRole).toByteArray();
    if (codes.isEmpty())
        return;
    // A short strip is right-aligned: the newest result is always the last slot. The empty
    // slots show faintly, so the strip reads as a share of 20.
    const int first = ProxyTableModel::stripLength - int(codes.size());
    for (int slot = 0; slot < ProxyTableModel::stripLength; ++slot)
        painter->fillRect(cellRect(option.rect, slot),
                          slot < first ? emptyColour : StatusColours::of(codes.at(slot - first)));
}

QSize HistoryStripDelegate::sizeHint(const QStyleOptionViewItem &option,
                                     const QModelIndex &index) const
{
    return QSize(stripWidth(), QStyledItemDelegate::sizeHint(option, index).height());
}
