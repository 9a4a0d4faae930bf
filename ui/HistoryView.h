#pragma once

#include <QHash>
#include <QObject>
#include <QPointer>
#include <QStringList>

class ApplicationMenu;
class DebugLog;
class HistoryWindow;
class ProxyManager;
class ProxyTableController;
class QWidget;

// Result history in the main window: fills the table's Uptime and History columns when a list
// shows and when a run ends, follows "Keep result history" and "Clear history", logs what
// went wrong with the store and opens an entry's history window from the table.
class HistoryView : public QObject
{
    Q_OBJECT

public:
    // Before the first list is shown: it asks for that list's history.
    HistoryView(ProxyManager *manager, ProxyTableController *table, ApplicationMenu *menu,
                DebugLog *log, QWidget *window);

private:
    void refresh();
    void updateShown();
    void confirmClear();
    void openWindow(int entry);

    ProxyManager *manager;
    ProxyTableController *table;
    DebugLog *log;
    QWidget *window;
    // The list the table shows: answers for another are stale.
    QStringList list;
    // The store failed: no history for the rest of the session.
    bool broken = false;
    bool shown = false;
    // A query of the whole list is out; asking again meanwhile waits for its answer.
    bool asking = false;
    bool askAgain = false;
    QHash<QString, QPointer<HistoryWindow>> windows;
};
