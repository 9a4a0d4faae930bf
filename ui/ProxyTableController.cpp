#include "ProxyTableController.h"

#include "HistoryStripDelegate.h"
#include "ProxyTableFilter.h"
#include "ProxyTableModel.h"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QFontMetrics>
#include <QHeaderView>
#include <QMenu>
#include <QTableView>

#include <algorithm>

using namespace Qt::StringLiterals;

ProxyTableController::ProxyTableController(QTableView *view, QObject *parent)
    : QObject(parent), view(view), model(new ProxyTableModel(this)),
      filter(new ProxyTableFilter(model, this))
{
    // One scroll a pass of the event loop, to the newest result: a scroll a result would lay
    // out a filtered long list again for each of them.
    scrollPending.setSingleShot(true);
    scrollPending.setInterval(0);
    connect(&scrollPending, &QTimer::timeout, this, &ProxyTableController::scrollToLastResult);

    testSelectedAction = new QAction(tr("Test selected"), this);
    testSelectedAction->setObjectName(u"actionTestSelected"_s);
    connect(testSelectedAction, &QAction::triggered, this,
            [this] { emit testRequested(entriesOfRows(selectedRows())); });
    copySelectedAction = new QAction(tr("Copy selected"), this);
    copySelectedAction->setObjectName(u"actionCopySelected"_s);
    copySelectedAction->setShortcut(QKeySequence::Copy);
    copySelectedAction->setShortcutContext(Qt::WidgetShortcut);
    connect(copySelectedAction, &QAction::triggered, this, &ProxyTableController::copySelected);
    copyWorkingAction = new QAction(tr("Copy working proxies"), this);
    copyWorkingAction->setObjectName(u"actionCopyWorking"_s);
    connect(copyWorkingAction, &QAction::triggered, this, &ProxyTableController::copyWorking);

    showHistoryAction = new QAction(tr("Show history"), this);
    showHistoryAction->setObjectName(u"actionShowHistory"_s);
    showHistoryAction->setEnabled(false);
    // The row under the menu, or else the current row.
    connect(showHistoryAction, &QAction::triggered, this, [this] {
        const int entry =
            menuEntry >= 0 ? menuEntry : filter->entryAt(this->view->currentIndex().row());
        if (entry >= 0)
            emit historyRequested(entry);
    });

    view->setModel(filter);
    view->setItemDelegateForColumn(ProxyTableModel::HistoryColumn, new HistoryStripDelegate(this));
    QHeaderView *header = view->horizontalHeader();
    for (int column = 0; column < ProxyTableModel::UptimeColumn; ++column)
        header->setSectionResizeMode(column, QHeaderView::Stretch);
    // Sized once from the font: measuring rows would visit a long list at every result.
    const QFontMetrics metrics = header->fontMetrics();
    const int padding = 2 * metrics.averageCharWidth() + 8;
    const auto headerText = [this](int column) {
        return model->headerData(column, Qt::Horizontal).toString();
    };
    header->setSectionResizeMode(ProxyTableModel::UptimeColumn, QHeaderView::Fixed);
    header->resizeSection(
        ProxyTableModel::UptimeColumn,
        std::max(metrics.horizontalAdvance(headerText(ProxyTableModel::UptimeColumn)),
                 metrics.horizontalAdvance(u"100%"_s)) +
            padding);
    header->setSectionResizeMode(ProxyTableModel::HistoryColumn, QHeaderView::Fixed);
    header->resizeSection(
        ProxyTableModel::HistoryColumn,
        std::max(metrics.horizontalAdvance(headerText(ProxyTableModel::HistoryColumn)) + padding,
                 HistoryStripDelegate::stripWidth()));
    // Tab would otherwise wrap around inside the table and never reach the buttons.
    view->setTabKeyNavigation(false);
    view->setSelectionBehavior(QAbstractItemView::SelectRows);
    view->setSelectionMode(QAbstractItemView::ExtendedSelection);
    // Sorted on request only: a result must not move its row under the user's eyes.
    view->horizontalHeader()->setSectionsClickable(true);
    connect(view->horizontalHeader(), &QHeaderView::sectionClicked, this,
            &ProxyTableController::sortByColumn);
    view->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(view, &QWidget::customContextMenuRequested, this, &ProxyTableController::showMenu);
    view->addAction(copySelectedAction);
    connect(view, &QAbstractItemView::doubleClicked, this,
            [this](const QModelIndex &index) { emit testRequested(entriesOfRows({index.row()})); });
}

// A new list, or the failure row, shows in its own order and with nothing to scroll to.
void ProxyTableController::forgetView()
{
    scrollPending.stop();
    view->clearSpans();
    sortColumn = -1;
    view->horizontalHeader()->setSortIndicatorShown(false);
    filter->setOrder({});
}

void ProxyTableController::showList(const QStringList &list, int defaultPort)
{
    forgetView();
    model->defaultPort = defaultPort;
    model->setList(list);
    emit listShown(list);
}

void ProxyTableController::showFailure(const QString &line)
{
    forgetView();
    model->setFailure(line);
    view->setSpan(0, 0, 1, ProxyTableModel::ColumnCount);
}

void ProxyTableController::setOnlyWorking(bool only)
{
    filter->setOnlyWorking(only);
}

void ProxyTableController::clearResults(const QList<int> &entries)
{
    model->clearResults(entries);
}

int ProxyTableController::showResult(int entry, int code, int port, qint64 latencyMs)
{
    const int change = model->setResult(entry, code, port, latencyMs);
    lastResult = entry;
    scrollPending.start();
    return change;
}

QString ProxyTableController::entryText(int entry) const
{
    return model->entryText(entry);
}

void ProxyTableController::scrollToLastResult()
{
    const QModelIndex shown =
        filter->mapFromSource(model->index(lastResult, ProxyTableModel::StatusColumn));
    if (shown.isValid())
        view->scrollTo(shown, QAbstractItemView::PositionAtTop);
}

void ProxyTableController::setRunning(bool running)
{
    testSelectedAction->setEnabled(!running);
}

void ProxyTableController::setHistoryShown(bool shown)
{
    model->setHistoryShown(shown);
    showHistoryAction->setEnabled(shown);
}

void ProxyTableController::showHistory(const QStringList &list, const QList<RecentHistory> &history)
{
    model->setHistory(list, history);
}

void ProxyTableController::clearHistory()
{
    model->clearHistory();
}

QList<int> ProxyTableController::selectedRows() const
{
    QList<int> rows;
    for (const QModelIndex &index : view->selectionModel()->selectedRows())
        rows.append(index.row());
    std::sort(rows.begin(), rows.end());
    return rows;
}

QList<int> ProxyTableController::entriesOfRows(const QList<int> &rows) const
{
    QList<int> entries;
    for (const int row : rows) {
        const int entry = filter->entryAt(row);
        if (entry >= 0)
            entries.append(entry);
    }
    return entries;
}

void ProxyTableController::sortByColumn(int column)
{
    if (model->isFailure() || model->rowCount() == 0)
        return;
    sortOrder = column == sortColumn && sortOrder == Qt::AscendingOrder ? Qt::DescendingOrder
                                                                        : Qt::AscendingOrder;
    sortColumn = column;
    QHeaderView *header = view->horizontalHeader();
    header->setSortIndicatorShown(true);
    header->setSortIndicator(column, sortOrder);
    filter->setOrder(model->sortedEntries(column, sortOrder));
}

void ProxyTableController::showMenu(const QPoint &pos)
{
    const QModelIndex under = view->indexAt(pos);
    const int row = under.isValid() ? under.row() : view->currentIndex().row();
    menuEntry = model->isFailure() ? -1 : filter->entryAt(row);
    QMenu menu(view);
    menu.addAction(testSelectedAction);
    menu.addAction(copySelectedAction);
    menu.addAction(copyWorkingAction);
    menu.addSeparator();
    menu.addAction(showHistoryAction);
    menu.exec(view->viewport()->mapToGlobal(pos));
    menuEntry = -1;
}

void ProxyTableController::copySelected()
{
    QStringList lines;
    for (const int index : entriesOfRows(selectedRows()))
        lines << model->entryText(index);
    QApplication::clipboard()->setText(lines.join(u'\n'), QClipboard::Clipboard);
}

void ProxyTableController::copyWorking()
{
    QStringList lines;
    for (int row = 0; row < filter->rowCount(); ++row) {
        const int entry = filter->entryAt(row);
        if (model->isWorking(entry))
            lines << model->entryText(entry);
    }
    QApplication::clipboard()->setText(lines.join(u'\n'), QClipboard::Clipboard);
}
