#include "HistoryView.h"

#include "ApplicationMenu.h"
#include "DebugLog.h"
#include "HistoryTypes.h"
#include "HistoryWindow.h"
#include "ProxyManager.h"
#include "ProxyTableController.h"
#include "SafeText.h"

#include <QAction>
#include <QMessageBox>

#include <utility>

using namespace Qt::StringLiterals;

HistoryView::HistoryView(ProxyManager *manager, ProxyTableController *table, ApplicationMenu *menu,
                         DebugLog *log, QWidget *window)
    : QObject(window), manager(manager), table(table), log(log), window(window)
{
    QAction *keep = menu->keepHistoryAction();
    manager->setRecording(keep->isChecked());
    connect(keep, &QAction::toggled, this, [this](bool on) {
        this->manager->setRecording(on);
        updateShown();
    });
    connect(menu, &ApplicationMenu::clearHistoryChosen, this, &HistoryView::confirmClear);
    connect(table, &ProxyTableController::listShown, this, [this](const QStringList &shownList) {
        list = shownList;
        refresh();
    });
    connect(table, &ProxyTableController::historyRequested, this, &HistoryView::openWindow);
    // The Uptime figures of a run come with the query at its end; the strips grew meanwhile.
    connect(manager, &ProxyManager::finishedTest, this, &HistoryView::refresh);
    connect(manager, &ProxyManager::recentHistoryReady, this,
            [this](const QStringList &entries, const QList<RecentHistory> &history) {
                asking = false;
                this->table->showHistory(entries, history);
                if (std::exchange(askAgain, false))
                    refresh();
            });
    connect(manager, &ProxyManager::historyCleared, this, [this] {
        this->log->appendLines(u"History cleared.\n"_s);
        this->table->clearHistory();
        for (const QPointer<HistoryWindow> &open : std::as_const(windows)) {
            if (open)
                open->refresh();
        }
    });
    connect(manager, &ProxyManager::historyProblem, this, [this](const QString &line) {
        this->log->appendLines(u"History: "_s % SafeText::singleLine(line) % u'\n');
        broken = true;
        updateShown();
    });
    updateShown();
}

void HistoryView::updateShown()
{
    const bool wanted = !broken && !manager->historyFile.isEmpty() && manager->isRecording();
    table->setHistoryShown(wanted);
    if (wanted && !shown) {
        shown = true;
        refresh();
    }
    shown = wanted;
}

// A long list's query may take the store a while: runs that end meanwhile add one more, not one
// each.
void HistoryView::refresh()
{
    if (!shown || list.isEmpty())
        return;
    if (asking) {
        askAgain = true;
        return;
    }
    asking = true;
    manager->requestRecentHistory(list);
}

void HistoryView::confirmClear()
{
    if (manager->historyFile.isEmpty() || broken) {
        log->appendLines(u"No history to clear.\n"_s);
        return;
    }
    if (QMessageBox::question(
            window, tr("Clear history"), tr("Clear the recorded results of this account?"),
            QMessageBox::Yes | QMessageBox::No, QMessageBox::No) == QMessageBox::Yes)
        manager->clearHistory();
}

void HistoryView::openWindow(int entry)
{
    const QString text = list.value(entry);
    if (text.isEmpty())
        return;
    // One window an entry: asking again raises it with a fresh read.
    QPointer<HistoryWindow> &open = windows[text];
    if (open)
        open->refresh();
    else {
        open = new HistoryWindow(manager, text, window);
        open->move(window->geometry().center() - open->rect().center());
    }
    open->show();
    open->raise();
    open->activateWindow();
}
