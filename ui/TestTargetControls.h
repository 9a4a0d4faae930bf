#pragma once

#include "TestTarget.h"

#include <QList>
#include <QObject>

class ExitIpColumn;
class MainWindow;
class ProxyManager;
class ProxyTableController;
class QTableView;

// The main window's parts for the test target: "Test target..." and its dialog, the choice
// kept per user, the "Exit IP" column while an exit address page is set, and "Test failed
// again", which runs over every entry whose last result was a failure, shown or not.
class TestTargetControls : public QObject
{
    Q_OBJECT

public:
    // The entries go into the window's Application menu, before "Show only working", and
    // "Test failed again" into the table's context menu. After login: the user's remembered target
    // applies at once.
    TestTargetControls(ProxyManager *manager, ProxyTableController *table, MainWindow *window);

    // In list order.
    QList<int> failedEntries() const;
    void setTarget(const TestTarget &target);

private:
    void chooseTarget();
    void resultArrived(const QStringList &result);
    void listArrived();

    ProxyManager *manager;
    MainWindow *window;
    QTableView *view;
    ExitIpColumn *exitColumn;
    // Each entry's last status code; -1 before its first result.
    QList<qint8> lastCodes;
};
