#include "MainWindow.h"
#include "ui_MainWindow.h"

#include "ProxyEntry.h"
#include "ProxyManager.h"
#include "ProxyTableFilter.h"
#include "ProxyTableModel.h"
#include "SafeText.h"
#include "WindowPlacement.h"

#include <QActionGroup>
#include <QApplication>
#include <QClipboard>
#include <QCloseEvent>
#include <QDateTime>
#include <QHeaderView>
#include <QMenu>
#include <QScrollBar>
#include <QStatusBar>
#include <QTextCursor>
#include <QTimer>

#include <algorithm>
#include <utility>

using namespace Qt::StringLiterals;

namespace {

// Laying out one long paragraph can block the window for minutes; the view gets the head of
// such a message and a note of what is left out.
QString shownInView(const QString &message)
{
    if (message.size() <= MainWindow::maxViewMessageChars)
        return message;
    qsizetype keep = MainWindow::maxViewMessageChars;
    if (message.at(keep - 1).isHighSurrogate())
        --keep;
    return message.first(keep) % u"… ["_s % QString::number(message.size() - keep) %
           u" more characters in log.txt and in \"Copy debug log\"]"_s %
           (message.endsWith(u'\n') ? u"\n"_s : QString());
}

} // namespace

MainWindow::MainWindow(QWidget *parent) : QMainWindow(parent), ui(new Ui::MainWindow)
{
    initImageResources();
    ui->setupUi(this);
    // A read-only log has nothing to undo; the stack would keep a copy of every message.
    ui->debugLog->setUndoRedoEnabled(false);
    logFlush.setSingleShot(true);
    logFlush.setInterval(0);
    connect(&logFlush, &QTimer::timeout, this, &MainWindow::flushLog);
    // One scroll a pass of the event loop, to the newest result: a scroll a result would lay
    // out a filtered long list again for each of them.
    scrollPending.setSingleShot(true);
    scrollPending.setInterval(0);
    connect(&scrollPending, &QTimer::timeout, this, &MainWindow::scrollToLastResult);
    progressUpdate.setSingleShot(true);
    progressUpdate.setInterval(250);
    connect(&progressUpdate, &QTimer::timeout, this, &MainWindow::showProgress);

    connect(ui->action_Ensure_my_IP_is_always_authorized, &QAction::toggled, this,
            &MainWindow::authIpTimer);
    // Re-tests every few minutes would otherwise grow the view without end.
    ui->debugLog->document()->setMaximumBlockCount(maxViewLines);

    onlyWorkingAction = new QAction(tr("Show only working"), this);
    onlyWorkingAction->setObjectName(u"actionShowOnlyWorking"_s);
    onlyWorkingAction->setCheckable(true);
    connect(onlyWorkingAction, &QAction::toggled, this,
            [this](bool only) { tableFilter->setOnlyWorking(only); });
    auto *retestMenu = new QMenu(tr("Re-test every ..."), this);
    retestGroup = new QActionGroup(this);
    for (const int minutes : {0, 5, 15, 60}) {
        QAction *action =
            retestMenu->addAction(minutes == 0 ? tr("Off") : tr("%1 minutes").arg(minutes), this,
                                  [this, minutes] { setRetestPeriod(minutes); });
        action->setObjectName(u"actionRetest"_s % QString::number(minutes));
        action->setCheckable(true);
        action->setChecked(minutes == 0);
        action->setData(minutes);
        retestGroup->addAction(action);
    }
    ui->menuProgram->insertAction(ui->actionExit, onlyWorkingAction);
    ui->menuProgram->insertMenu(ui->actionExit, retestMenu);
    ui->menuProgram->insertSeparator(ui->actionExit);
    connect(&retestTimer, &QTimer::timeout, this, &MainWindow::retest);

    testSelectedAction = new QAction(tr("Test selected"), this);
    testSelectedAction->setObjectName(u"actionTestSelected"_s);
    connect(testSelectedAction, &QAction::triggered, this,
            [this] { testEntries(entriesOfRows(selectedRows())); });
    copySelectedAction = new QAction(tr("Copy selected"), this);
    copySelectedAction->setObjectName(u"actionCopySelected"_s);
    copySelectedAction->setShortcut(QKeySequence::Copy);
    copySelectedAction->setShortcutContext(Qt::WidgetShortcut);
    connect(copySelectedAction, &QAction::triggered, this, &MainWindow::copySelected);
    copyWorkingAction = new QAction(tr("Copy working proxies"), this);
    copyWorkingAction->setObjectName(u"actionCopyWorking"_s);
    connect(copyWorkingAction, &QAction::triggered, this, &MainWindow::copyWorking);
    auto *quitAction = new QAction(tr("&Quit"), this);
    connect(quitAction, &QAction::triggered, qApp, &QCoreApplication::quit);
    trayMenu = new QMenu(this);
    trayMenu->addAction(ui->action_Ensure_my_IP_is_always_authorized);
    trayMenu->addMenu(retestMenu);
    trayMenu->addSeparator();
    trayMenu->addAction(quitAction);
    trayIcon = new QSystemTrayIcon(this);
    trayIcon->setContextMenu(trayMenu);
    connect(trayIcon, &QSystemTrayIcon::activated, this, &MainWindow::iconActivated);
    const QIcon icon(u":/images/logo.ico"_s);
    trayIcon->setIcon(icon);
    setWindowIcon(icon);

    tableModel = new ProxyTableModel(this);
    tableFilter = new ProxyTableFilter(tableModel, this);
    QTableView *table = ui->tableWidget;
    table->setModel(tableFilter);
    for (int column = 0; column < ProxyTableModel::ColumnCount; ++column)
        table->horizontalHeader()->setSectionResizeMode(column, QHeaderView::Stretch);
    // Tab would otherwise wrap around inside the table and never reach the buttons.
    table->setTabKeyNavigation(false);
    table->setSelectionBehavior(QAbstractItemView::SelectRows);
    table->setSelectionMode(QAbstractItemView::ExtendedSelection);
    // Sorted on request only: a result must not move its row under the user's eyes.
    table->horizontalHeader()->setSectionsClickable(true);
    connect(table->horizontalHeader(), &QHeaderView::sectionClicked, this,
            &MainWindow::sortByColumn);
    table->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(table, &QWidget::customContextMenuRequested, this, &MainWindow::showTableMenu);
    table->addAction(copySelectedAction);
    connect(table, &QAbstractItemView::doubleClicked, this,
            [this](const QModelIndex &index) { testEntries(entriesOfRows({index.row()})); });

    centerOnPrimaryScreen(this);
}

MainWindow::~MainWindow()
{
    logFile.close();
    delete ui;
}

void MainWindow::initAndShow()
{
    QApplication::setQuitOnLastWindowClosed(false);
    show();
    trayIcon->show();

    logFile.setFileName(u"log.txt"_s);
    const bool logOpen = logFile.open(QIODevice::Append | QIODevice::Text);
    if (logOpen)
        startRunBlockOnItsOwnLine();
    appendLog(QDateTime::currentDateTime().toString(Qt::TextDate) % u"\n"_s);
    if (!logOpen)
        appendLog(u"Could not open log.txt, this log is not saved: "_s % logFile.errorString() %
                  u"\n"_s);
    // The address and the list are asked for together and may answer in either order.
    if (proxyManager->isMyIpPending()) {
        const auto logWhenKnown = [this] {
            if (proxyManager->isMyIpPending())
                return;
            disconnect(myIpAnswerWait);
            disconnect(myIpFailureWait);
            appendLog(u"Your IP address: "_s % proxyManager->myIp % u"\n"_s);
        };
        myIpAnswerWait = connect(proxyManager, &ProxyManager::myIpAnswered, this, logWhenKnown);
        myIpFailureWait = connect(proxyManager, &ProxyManager::myIpFailed, this, logWhenKnown);
    } else {
        appendLog(u"Your IP address: "_s % proxyManager->myIp % u"\n"_s);
    }

    connect(proxyManager, &ProxyManager::finishedTestingProxy, this,
            &MainWindow::finishedTestingProxy);
    connect(proxyManager, &ProxyManager::finishedGetProxies, this, &MainWindow::getProxies);
    connect(proxyManager, &ProxyManager::finishedAuthorizeIp, this, &MainWindow::authorizeIp);
    connect(proxyManager, &ProxyManager::startTestingProxy, this, &MainWindow::startTestingProxy);
    connect(proxyManager, &ProxyManager::finishedTest, this, &MainWindow::finishedTest);
    connect(proxyManager, &ProxyManager::authorizeIpFailed, this, [this](const QString &reason) {
        appendLog(u"Authorizing my IP failed: "_s % reason % u"\n"_s);
    });
    connect(proxyManager, &ProxyManager::periodicAuthorizationFailed, this,
            [this](const QString &reason) {
                appendLog(u"Keeping my IP authorized failed: "_s % reason % u"\n"_s);
            });
    connect(proxyManager, &ProxyManager::periodicAuthorizationRecovered, this,
            [this] { appendLog(u"Keeping my IP authorized works again\n"_s); });
    connect(proxyManager, &ProxyManager::authorizationEnded, this,
            [this](ProxyManager::AuthorizationOutcome outcome) {
                if (outcome == ProxyManager::AuthorizationOutcome::Added &&
                    ui->action_Ensure_my_IP_is_always_authorized->isChecked())
                    notify(u"Your IP address "_s % SafeText::singleLine(proxyManager->myIp) %
                           u" was added to the authorized list"_s);
            });

    getProxies(proxyManager->proxies);
}

// A run killed in the middle of a line leaves log.txt without its last line end; the next
// run's date line must not be glued to that line.
void MainWindow::startRunBlockOnItsOwnLine()
{
    const qint64 size = logFile.size();
    if (size == 0)
        return;
    QFile reader(logFile.fileName());
    if (!reader.open(QIODevice::ReadOnly) || !reader.seek(size - 1) || reader.read(1) == "\n")
        return;
    logFile.write("\n");
}

void MainWindow::appendLog(const QString &message)
{
    runLog += message;
    // The view takes the messages of one event-loop pass in one insertion: laying the text
    // out again for each of them would cost more than everything else a test run does.
    pendingLog += shownInView(message);
    if (!logFlush.isActive())
        logFlush.start();

    // The file gets every message at once, so a killed process loses none of them.
    if (!logFile.isOpen())
        return;
    logFile.write(message.toUtf8());
    logFile.flush();
}

void MainWindow::flushLog()
{
    logFlush.stop();
    if (pendingLog.isEmpty())
        return;
    // Appending at the end keeps each message's cost independent of the log's length.
    QTextCursor cursor(ui->debugLog->document());
    cursor.movePosition(QTextCursor::End);
    cursor.insertText(pendingLog);
    pendingLog.clear();
    QScrollBar *bar = ui->debugLog->verticalScrollBar();
    bar->setValue(bar->maximum());
}

void MainWindow::setParallelTests(int count)
{
    ui->sbParallelTests->setValue(count);
}

void MainWindow::getProxies(const QStringList &list)
{
    // The results of a run over the old list are dropped: its open line gets no result.
    if (std::exchange(startTextOpen, false))
        appendLog(u"not finished, the list was refreshed\n"_s);
    scrollPending.stop();
    ui->tableWidget->clearSpans();
    // The new list shows in its own order until the user sorts again.
    sortColumn = -1;
    ui->tableWidget->horizontalHeader()->setSortIndicatorShown(false);
    tableFilter->setOrder({});
    tableModel->defaultPort = proxyManager->defaultPort;
    // The manager's only answer holding "ERROR" is a failure, whatever colons the text has.
    if (list.size() == 1 && list.first().contains(u"ERROR")) {
        showListFailure(list.first());
        return;
    }
    tableModel->setList(list);
}

// One row with the whole text across the table, in place of a stale list.
void MainWindow::showListFailure(const QString &text)
{
    const QString line = SafeText::singleLine(text.trimmed(), 1000);
    tableModel->setFailure(line);
    ui->tableWidget->setSpan(0, 0, 1, ProxyTableModel::ColumnCount);
    appendLog(u"Proxy list not refreshed: "_s % line % u"\n"_s);
}

void MainWindow::on_bCopyProxies_clicked()
{
    QApplication::clipboard()->setText(proxyManager->proxies.join(u'\n'), QClipboard::Clipboard);
}

void MainWindow::on_bCopyLog_clicked()
{
    QApplication::clipboard()->setText(runLog, QClipboard::Clipboard);
}

void MainWindow::on_actionExit_triggered()
{
    QCoreApplication::quit();
}

void MainWindow::closeEvent(QCloseEvent *event)
{
    // Without a system tray a hidden window could never come back.
    if (!QSystemTrayIcon::isSystemTrayAvailable())
        QCoreApplication::quit();
    event->accept();
}

void MainWindow::iconActivated(QSystemTrayIcon::ActivationReason reason)
{
    if (reason == QSystemTrayIcon::Trigger)
        show();
}

void MainWindow::on_bAuthIp_clicked()
{
    proxyManager->requestAuthIps(true);
}

void MainWindow::authIpTimer(bool checked)
{
    proxyManager->setAutoAuthorize(checked);
}

void MainWindow::authorizeIp(const QStringList &ips)
{
    appendLog(u"Authorized IP addresses:\n"_s % ips.join(u'\n') % u"\n"_s);
}

void MainWindow::on_bTestProxies_clicked()
{
    startRun({});
}

// An empty list of indexes runs over the whole list.
void MainWindow::startRun(const QList<int> &indexes)
{
    // Only the entries of this run lose their results.
    tableModel->clearResults(indexes);
    wentDown.clear();
    cameBack.clear();
    setRunning(true);
    ui->bTestProxies->hide();
    ui->bStopTesting->show();
    ui->bStopTesting->setFocus();
    runConcurrency = ui->sbParallelTests->value();
    progress.start(int(indexes.isEmpty() ? proxyManager->proxies.size() : indexes.size()));
    showProgress();
    proxyManager->testConcurrency = runConcurrency;
    if (indexes.isEmpty())
        proxyManager->startTesting();
    else
        proxyManager->startTestingSome(indexes);
}

void MainWindow::on_bStopTesting_clicked()
{
    stopTest(false);
}

void MainWindow::on_bGetProxies_clicked()
{
    stopTest(true);
    ui->bTestProxies->setEnabled(true);
    proxyManager->requestProxies();
}

void MainWindow::stopTest(bool force)
{
    ui->bStopTesting->hide();
    ui->bTestProxies->show();
    ui->bTestProxies->setEnabled(false);
    proxyManager->stop(force);
}

QString MainWindow::startText(const QString &host, const QString &port)
{
    return u"Testing proxy "_s % SafeText::singleLine(host) % u" on port "_s %
           SafeText::singleLine(port) % u"... "_s;
}

// With one test at a time the start text goes out at once; with more, results of other
// proxies would land between it and its own result, so the whole line waits for the result.
void MainWindow::startTestingProxy(const QStringList &proxy)
{
    progress.testStarted();
    if (runConcurrency > 1)
        return;
    appendLog(startText(proxy.value(0), proxy.value(1)));
    startTextOpen = true;
}

void MainWindow::showProgress()
{
    ui->statusBar->showMessage(progress.progressText(proxyManager->timeoutMs));
}

void MainWindow::finishedTestingProxy(const QStringList &result)
{
    const QString code = result.value(2);
    const int index = result.value(4).toInt();
    // The whole line at once when tests overlap; the entry as listed gives the same words as
    // its start signal.
    QString lineStart;
    if (code != u"5" && runConcurrency > 1) {
        const ProxyEntry entry = ProxyEntry::parse(proxyManager->proxies.value(index));
        lineStart = startText(entry.host, entry.portText);
    }
    startTextOpen = false;
    const auto logResult = [this, &lineStart](const QString &text) { appendLog(lineStart % text); };
    if (code == u"0") {
        logResult(u"success! ("_s % result.value(3) % u"ms)\n"_s);
    } else if (code == u"1") {
        logResult(u"IP not authorized: "_s % result.value(5) %
                  u" (please authorize and wait 1 min)\n"_s);
    } else if (code == u"2") {
        logResult(u"timeout\n"_s);
    } else if (code == u"3") {
        logResult(u"error, please send full response to support:\n"_s % result.value(5) % u"\n"_s);
    } else if (code == u"4") {
        logResult(u"connection error: test failed even without a proxy\n"_s);
    } else if (code == u"5") {
        // The entry as listed (reported at once, so the list is still the one tested): host
        // and port alone would lose brackets and extra colons.
        const QString entry = proxyManager->proxies.value(index);
        logResult(u"Invalid entry "_s % SafeText::singleLine(entry) % u": "_s %
                  SafeText::singleLine(result.value(5)) % u"\n"_s);
    } else {
        return;
    }
    progress.resultArrived(code.toInt());
    if (!progressUpdate.isActive())
        progressUpdate.start();

    const int change = tableModel->setResult(index, code.toInt(), result.value(1).toInt(),
                                             code == u"0" ? result.value(3).toLongLong() : 0);
    if (change != 0)
        (change > 0 ? cameBack : wentDown).append(tableModel->entryText(index));
    lastResult = index;
    scrollPending.start();
}

void MainWindow::scrollToLastResult()
{
    const QModelIndex shown =
        tableFilter->mapFromSource(tableModel->index(lastResult, ProxyTableModel::StatusColumn));
    if (shown.isValid())
        ui->tableWidget->scrollTo(shown, QAbstractItemView::PositionAtTop);
}

void MainWindow::finishedTest()
{
    progressUpdate.stop();
    const QString summary = progress.summaryText();
    ui->statusBar->showMessage(summary);
    trayIcon->setToolTip(summary);
    ui->bStopTesting->hide();
    ui->bTestProxies->show();
    ui->bTestProxies->setEnabled(true);
    ui->bTestProxies->setFocus();
    setRunning(false);
    if (!std::exchange(periodicRun, false) || (wentDown.isEmpty() && cameBack.isEmpty()))
        return;
    const auto named = [](const QStringList &entries) -> QString {
        constexpr int shown = 5;
        return entries.mid(0, shown).join(u", "_s) %
               (entries.size() > shown ? u", …"_s : QString());
    };
    QStringList parts;
    if (!wentDown.isEmpty())
        parts << QString::number(wentDown.size()) % u" went down: "_s % named(wentDown);
    if (!cameBack.isEmpty())
        parts << QString::number(cameBack.size()) % u" came back: "_s % named(cameBack);
    notify(parts.join(u"; "_s));
}

void MainWindow::setRunning(bool running)
{
    testSelectedAction->setEnabled(!running);
}

QList<int> MainWindow::selectedRows() const
{
    QList<int> rows;
    for (const QModelIndex &index : ui->tableWidget->selectionModel()->selectedRows())
        rows.append(index.row());
    std::sort(rows.begin(), rows.end());
    return rows;
}

QList<int> MainWindow::entriesOfRows(const QList<int> &rows) const
{
    QList<int> entries;
    for (const int row : rows) {
        const int entry = tableFilter->entryAt(row);
        if (entry >= 0)
            entries.append(entry);
    }
    return entries;
}

void MainWindow::testEntries(const QList<int> &indexes)
{
    // An empty list would mean the whole list to the run.
    if (indexes.isEmpty() || !testSelectedAction->isEnabled() || ui->bStopTesting->isVisible())
        return;
    startRun(indexes);
}

void MainWindow::sortByColumn(int column)
{
    if (tableModel->isFailure() || tableModel->rowCount() == 0)
        return;
    sortOrder = column == sortColumn && sortOrder == Qt::AscendingOrder ? Qt::DescendingOrder
                                                                        : Qt::AscendingOrder;
    sortColumn = column;
    QHeaderView *header = ui->tableWidget->horizontalHeader();
    header->setSortIndicatorShown(true);
    header->setSortIndicator(column, sortOrder);
    tableFilter->setOrder(tableModel->sortedEntries(column, sortOrder));
}

void MainWindow::showTableMenu(const QPoint &pos)
{
    QMenu menu(this);
    menu.addAction(testSelectedAction);
    menu.addAction(copySelectedAction);
    menu.addAction(copyWorkingAction);
    menu.exec(ui->tableWidget->viewport()->mapToGlobal(pos));
}

void MainWindow::copySelected()
{
    QStringList lines;
    for (const int index : entriesOfRows(selectedRows()))
        lines << tableModel->entryText(index);
    QApplication::clipboard()->setText(lines.join(u'\n'), QClipboard::Clipboard);
}

void MainWindow::copyWorking()
{
    QStringList lines;
    for (int row = 0; row < tableFilter->rowCount(); ++row) {
        const int entry = tableFilter->entryAt(row);
        if (tableModel->isWorking(entry))
            lines << tableModel->entryText(entry);
    }
    QApplication::clipboard()->setText(lines.join(u'\n'), QClipboard::Clipboard);
}

void MainWindow::setRetestPeriod(int minutes)
{
    retestTimer.stop();
    if (minutes > 0)
        retestTimer.start(minutes * retestMinuteMs);
}

// A period that comes while a run is in progress is skipped, never queued behind it.
void MainWindow::retest()
{
    if (!testSelectedAction->isEnabled() || ui->bStopTesting->isVisible() ||
        proxyManager->proxies.isEmpty() || !ui->bTestProxies->isEnabled())
        return;
    periodicRun = true;
    startRun({});
}

// The tray says it when there is one; the log always keeps it.
void MainWindow::notify(const QString &text)
{
    appendLog(text % u"\n"_s);
    const QString title = tr("Proxy Manager");
    // Some trays render markup in messages; entries are shown as the text they are.
    if (showTrayMessage)
        showTrayMessage(title, text.toHtmlEscaped());
    else if (QSystemTrayIcon::isSystemTrayAvailable() && trayIcon->isVisible())
        trayIcon->showMessage(title, text.toHtmlEscaped());
}
