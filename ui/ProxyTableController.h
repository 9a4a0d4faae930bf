#pragma once

#include <QList>
#include <QObject>
#include <QStringList>
#include <QTimer>

struct RecentHistory;
class ProxyTableFilter;
class ProxyTableModel;
class QAction;
class QPoint;
class QTableView;

// The proxy table: its model and filter, sorting by a header click, the selection, the
// context menu with its copy actions, and a double-click that tests one row.
class ProxyTableController : public QObject
{
    Q_OBJECT

public:
    ProxyTableController(QTableView *view, QObject *parent);

    // The list in its own order; defaultPort is the one a working proxy's status leaves out.
    void showList(const QStringList &list, int defaultPort);
    // One row with the whole text across the table, in place of a stale list.
    void showFailure(const QString &line);
    void setOnlyWorking(bool only);
    // The entries of a new run lose their results; none listed: the whole list.
    void clearResults(const QList<int> &entries);
    // Shows a result on its entry's row and scrolls there once the event loop comes round.
    // Returns +1 when the entry came back, -1 when it went down, 0 otherwise.
    int showResult(int entry, int code, int port, qint64 latencyMs);
    QString entryText(int entry) const;
    // Entries of the proxy list shown in the table rows given, in that order.
    QList<int> entriesOfRows(const QList<int> &rows) const;
    // "Test selected" is offered only while no run is in progress.
    void setRunning(bool running);
    // Off: the Uptime and History columns stay empty and "Show history" is not offered.
    void setHistoryShown(bool shown);
    // Applied only while list is still the one shown.
    void showHistory(const QStringList &list, const QList<RecentHistory> &history);
    void clearHistory();

signals:
    // From the context menu or a double-click.
    void testRequested(const QList<int> &entries);
    // From "Show history" in the context menu.
    void historyRequested(int entry);
    void listShown(const QStringList &list);

private slots:
    void sortByColumn(int column);
    void showMenu(const QPoint &pos);
    void copySelected();
    void copyWorking();
    void scrollToLastResult();

private:
    void forgetView();
    QList<int> selectedRows() const;

    QTableView *view;
    ProxyTableModel *model;
    ProxyTableFilter *filter;
    QAction *testSelectedAction;
    QAction *copySelectedAction;
    QAction *copyWorkingAction;
    QAction *showHistoryAction;
    // The entry of the row the context menu was opened on.
    int menuEntry = -1;
    int sortColumn = -1;
    Qt::SortOrder sortOrder = Qt::AscendingOrder;
    // The entry of the newest result, scrolled to once the event loop comes round.
    int lastResult = -1;
    QTimer scrollPending;
};
