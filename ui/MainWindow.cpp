#include "MainWindow.h"
#include "ui_MainWindow.h"

#include "ProxyEntry.h"
#include "ProxyManager.h"
#include "ProxyTester.h"
#include "SafeText.h"
#include "WindowPlacement.h"

#include <QActionGroup>
#include <QApplication>
#include <QClipboard>
#include <QCloseEvent>
#include <QDateTime>
#include <QMenu>
#include <QScrollBar>
#include <QStatusBar>
#include <QTextCursor>
#include <QTimer>

#include <algorithm>
#include <limits>
#include <utility>

using namespace Qt::StringLiterals;

namespace {

constexpr int hostColumn = 0;
constexpr int portColumn = 1;
constexpr int statusColumn = 2;
constexpr int latencyColumn = 3;
constexpr int columnCount = 4;
// Status rank of an entry not tested yet: after every outcome.
constexpr qint64 untestedRank = 6;
constexpr qint64 noKey = std::numeric_limits<qint64>::max();

// Sort keys and tags live in members: item data would cost an allocation a cell, and every
// comparison of a sort would go through variants.
class TableItem : public QTableWidgetItem
{
public:
    explicit TableItem(const QString &text) : QTableWidgetItem(text), sortText(text) {}
    bool operator<(const QTableWidgetItem &other) const override
    {
        const auto &that = static_cast<const TableItem &>(other);
        if (key != that.key)
            return key < that.key;
        return sortText < that.sortText;
    }
    // A number to sort by; cells without one sort by their text, after those with one.
    qint64 key = noKey;
    // The entry's index in the list in a host cell, the result code in a status cell.
    int tag = -1;
    QString sortText;
};

TableItem *cell(const QTableWidget *table, int row, int column)
{
    return static_cast<TableItem *>(table->item(row, column));
}

qint64 statusKey(qint64 rank, qint64 latency)
{
    return rank * 1'000'000'000 + (rank == 0 ? latency : 0);
}

TableItem *readOnlyItem(const QString &text)
{
    auto *item = new TableItem(text);
    item->setFlags(item->flags() & ~Qt::ItemIsEditable);
    return item;
}

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

// The list text as the window shows it: one line, bounded.
QString cellText(const QString &text)
{
    constexpr int maxChars = 200;
    // Nearly every entry is short printable ASCII; a long list should not pay for a copy.
    const bool plain =
        text.size() <= maxChars &&
        std::all_of(text.begin(), text.end(), [](QChar c) { return c >= u' ' && c <= u'~'; });
    return plain ? text : SafeText::singleLine(text, maxChars);
}

QString duration(qint64 ms)
{
    if (ms < 60000)
        return QString::number(double(ms) / 1000, 'f', 1) % u" s"_s;
    const qint64 seconds = (ms + 500) / 1000;
    return QString::number(seconds / 60) % u" min "_s % QString::number(seconds % 60) % u" s"_s;
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
    tableFill.setSingleShot(true);
    tableFill.setInterval(0);
    connect(&tableFill, &QTimer::timeout, this, [this] { fillRows(filledRows + rowsPerPass); });
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
    // Hiding a row costs microseconds; a long list is filtered in passes.
    filterPass.setSingleShot(true);
    filterPass.setInterval(0);
    connect(&filterPass, &QTimer::timeout, this, [this] {
        const int end = filterNext + rowsPerFilterPass;
        applyFilter(std::exchange(filterNext, end), end);
        if (filterNext < ui->tableWidget->rowCount())
            filterPass.start();
    });
    connect(onlyWorkingAction, &QAction::toggled, this, [this] {
        filterNext = 0;
        filterPass.start();
    });
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

    QTableWidget *table = ui->tableWidget;
    table->setRowCount(0);
    table->setColumnCount(columnCount);
    const QString headers[] = {tr("Host"), tr("Port"), tr("Status"), tr("Latency")};
    for (int column = 0; column < columnCount; ++column) {
        table->setHorizontalHeaderItem(column, new QTableWidgetItem(headers[column]));
        table->horizontalHeader()->setSectionResizeMode(column, QHeaderView::Stretch);
    }
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
    connect(table, &QTableWidget::cellDoubleClicked, this,
            [this](int row) { testEntries(entriesOfRows({row})); });

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
                    notify(u"Your IP address "_s % cellText(proxyManager->myIp) %
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
    QTableWidget *table = ui->tableWidget;
    tableFill.stop();
    fillList.clear();
    filledRows = 0;
    // Rows keep their latency cells until a new result; the new list's rows start without.
    for (const int index : std::exchange(paintedRows, {}))
        delete table->takeItem(entryRows.value(index), latencyColumn);
    table->clearSpans();
    entryRows.clear();
    lastWorking.clear();
    // The new list shows in its own order until the user sorts again.
    sortColumn = -1;
    table->horizontalHeader()->setSortIndicatorShown(false);
    // The manager's only answer holding "ERROR" is a failure, whatever colons the text has.
    if (list.size() == 1 && list.first().contains(u"ERROR")) {
        showListFailure(list.first());
        return;
    }
    table->setRowCount(int(list.size()));
    entryRows.fill(-1, list.size());
    lastWorking.fill(-1, list.size());
    fillList = list;
    fillRows(rowsPerPass);
}

// Fills the rows up to end; a long list's remaining rows follow on the next passes of the
// event loop, so that no pass blocks the window for long.
void MainWindow::fillRows(int end)
{
    tableFill.stop();
    QTableWidget *table = ui->tableWidget;
    end = qMin(end, int(fillList.size()));
    table->setUpdatesEnabled(false);
    // Every row gets its items, so that an entry the tester cannot use can show so.
    const int start = filledRows;
    for (; filledRows < end; ++filledRows) {
        const ProxyEntry entry = ProxyEntry::parse(fillList.at(filledRows));
        TableItem *host = readOnlyItem(cellText(entry.host));
        host->tag = filledRows;
        entryRows[filledRows] = filledRows;
        table->setItem(filledRows, hostColumn, host);
        TableItem *port = readOnlyItem(cellText(entry.portText));
        if (entry.port > 0)
            port->key = entry.port;
        table->setItem(filledRows, portColumn, port);
        TableItem *status = readOnlyItem(QString());
        status->key = statusKey(untestedRank, 0);
        table->setItem(filledRows, statusColumn, status);
    }
    applyFilter(start, end);
    table->setUpdatesEnabled(true);
    if (filledRows < fillList.size())
        tableFill.start();
    else
        fillList.clear();
}

// One row with the whole text across the table, in place of a stale list.
void MainWindow::showListFailure(const QString &text)
{
    const QString line = SafeText::singleLine(text.trimmed(), 1000);
    QTableWidget *table = ui->tableWidget;
    table->setRowCount(1);
    table->setItem(0, 0, readOnlyItem(line));
    for (int column = 1; column < columnCount; ++column)
        delete table->takeItem(0, column);
    table->setSpan(0, 0, 1, columnCount);
    table->setRowHidden(0, false);
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

void MainWindow::paintRow(int row, const QColor &colour)
{
    // A failure row is no proxy's row: a late result must not colour it.
    if (!ui->tableWidget->item(row, statusColumn))
        return;
    paintedRows.append(cell(ui->tableWidget, row, hostColumn)->tag);
    // One brush a colour, shared by every cell painted with it.
    static QHash<QRgb, QBrush> brushes;
    auto brush = brushes.find(colour.rgba());
    if (brush == brushes.end())
        brush = brushes.insert(colour.rgba(), QBrush(colour));
    for (int column = 0; column < columnCount; ++column) {
        if (QTableWidgetItem *item = ui->tableWidget->item(row, column))
            item->setBackground(*brush);
    }
}

void MainWindow::on_bTestProxies_clicked()
{
    startRun({});
}

// An empty list of indexes runs over the whole list.
void MainWindow::startRun(const QList<int> &indexes)
{
    // Only rows that show a result need clearing: touching every row of a long list would
    // cost seconds and hundreds of MB before the first request.
    const QList<int> painted = std::exchange(paintedRows, {});
    QList<bool> inRun;
    if (!indexes.isEmpty()) {
        inRun.fill(false, entryRows.size());
        for (const int index : indexes)
            inRun[index] = true;
    }
    QList<int> cleared;
    for (const int index : painted) {
        if (!inRun.isEmpty() && !inRun.value(index)) {
            paintedRows.append(index);
            continue;
        }
        cleared.append(index);
    }
    for (const int index : cleared) {
        const int row = rowOfEntry(index);
        if (row < 0)
            continue;
        TableItem *status = cell(ui->tableWidget, row, statusColumn);
        status->setText(QString());
        status->tag = -1;
        status->key = statusKey(untestedRank, 0);
        delete ui->tableWidget->takeItem(row, latencyColumn);
        paintRow(row, QColor(255, 255, 255, 255));
        paintedRows.removeLast();
        applyFilter(row, row + 1);
    }
    wentDown.clear();
    cameBack.clear();
    setRunning(true);
    ui->bTestProxies->hide();
    ui->bStopTesting->show();
    ui->bStopTesting->setFocus();
    runConcurrency = ui->sbParallelTests->value();
    runTotal = int(indexes.isEmpty() ? proxyManager->proxies.size() : indexes.size());
    runDone = 0;
    runInFlight = 0;
    std::fill(std::begin(runOutcomes), std::end(runOutcomes), 0);
    runClock.start();
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
    return u"Testing proxy "_s % cellText(host) % u" on port "_s % cellText(port) % u"... "_s;
}

// With one test at a time the start text goes out at once; with more, results of other
// proxies would land between it and its own result, so the whole line waits for the result.
void MainWindow::startTestingProxy(const QStringList &proxy)
{
    ++runInFlight;
    lastStart.start();
    if (runConcurrency > 1)
        return;
    appendLog(startText(proxy.value(0), proxy.value(1)));
    startTextOpen = true;
}

QString MainWindow::runCounts() const
{
    QStringList counts;
    for (int outcome = 0; outcome < outcomeCount; ++outcome) {
        if (runOutcomes[outcome] > 0)
            counts << ProxyTester::outcomeName(outcome) % u' ' %
                          QString::number(runOutcomes[outcome]);
    }
    return QString::number(runDone) % u" of "_s % QString::number(runTotal) %
           (counts.isEmpty() ? QString() : u": "_s % counts.join(u", "_s));
}

void MainWindow::showProgress()
{
    QString left = u"estimating the time left"_s;
    if (runDone + runInFlight < runTotal) {
        if (runDone > 0)
            left = u"about "_s % duration(runClock.elapsed() * (runTotal - runDone) / runDone) %
                   u" left"_s;
    } else if (runInFlight > 0) {
        // The rate of the quick ones says nothing about the last ones: slow or silent proxies
        // are what is left, and the newest of them times out last.
        const qint64 bound = std::max<qint64>(0, proxyManager->timeoutMs - lastStart.elapsed());
        left = u"waiting for the last "_s % QString::number(runInFlight) % u", up to "_s %
               duration(bound) % u" left"_s;
    }
    ui->statusBar->showMessage(u"Testing: "_s % runCounts() % u" · "_s % left);
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
    QString status = ProxyTester::outcomeName(code.toInt());
    QColor colour;
    if (code == u"0") {
        logResult(u"success! ("_s % result.value(3) % u"ms)\n"_s);
        if (result.value(1).toInt() != proxyManager->defaultPort)
            status += u" on "_s % result.value(1);
        colour = QColor(0, 200, 0, 255);
    } else if (code == u"1") {
        logResult(u"IP not authorized: "_s % result.value(5) %
                  u" (please authorize and wait 1 min)\n"_s);
        colour = QColor(220, 220, 0, 255);
    } else if (code == u"2") {
        logResult(u"timeout\n"_s);
        colour = QColor(200, 0, 0, 255);
    } else if (code == u"3") {
        logResult(u"error, please send full response to support:\n"_s % result.value(5) % u"\n"_s);
        colour = QColor(200, 0, 0, 255);
    } else if (code == u"4") {
        logResult(u"connection error: test failed even without a proxy\n"_s);
        colour = QColor(220, 220, 0, 255);
    } else if (code == u"5") {
        // The entry as listed (reported at once, so the list is still the one tested): host
        // and port alone would lose brackets and extra colons.
        const QString entry = proxyManager->proxies.value(result.value(4).toInt());
        logResult(u"Invalid entry "_s % cellText(entry) % u": "_s % cellText(result.value(5)) %
                  u"\n"_s);
        colour = QColor(160, 160, 160, 255);
    } else {
        return;
    }
    ++runDone;
    ++runOutcomes[code.toInt()];
    if (code != u"5")
        runInFlight = std::max(0, runInFlight - 1);
    if (!progressUpdate.isActive())
        progressUpdate.start();

    // The tester may report an unusable entry before its row's turn to be filled.
    if (index >= filledRows && index < fillList.size())
        fillRows(index + 1);
    const int row = rowOfEntry(index);
    if (row < 0)
        return;
    // Latency cells come with results: an empty one for every entry of a long list would
    // cost megabytes.
    TableItem *latencyItem = cell(ui->tableWidget, row, latencyColumn);
    if (!latencyItem && ui->tableWidget->item(row, statusColumn)) {
        latencyItem = readOnlyItem(QString());
        ui->tableWidget->setItem(row, latencyColumn, latencyItem);
    }
    paintRow(row, colour);
    TableItem *statusItem = cell(ui->tableWidget, row, statusColumn);
    const qint64 latency = code == u"0" ? result.value(3).toLongLong() : 0;
    statusItem->setText(status);
    statusItem->tag = code.toInt();
    statusItem->key = statusKey(code.toInt(), latency);
    latencyItem->setText(code == u"0" ? QString::number(latency) % u" ms"_s : QString());
    latencyItem->key = code == u"0" ? latency : noKey;
    applyFilter(row, row + 1);

    // A first result changes nothing; later ones count when working turns to not or back.
    const qint8 working = code == u"0" ? 1 : 0;
    const qint8 before = std::exchange(lastWorking[index], working);
    if (before >= 0 && before != working)
        (working ? cameBack : wentDown).append(entryText(index));
    if (!ui->tableWidget->isRowHidden(row))
        ui->tableWidget->scrollToItem(statusItem, QAbstractItemView::PositionAtTop);
}

void MainWindow::finishedTest()
{
    progressUpdate.stop();
    const QString summary = u"Tested "_s % runCounts() % u" in "_s % duration(runClock.elapsed());
    ui->statusBar->showMessage(summary);
    // Counts and fixed words only: nothing a proxy or the service sent.
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
        const TableItem *host = cell(ui->tableWidget, row, hostColumn);
        if (host && host->tag >= 0)
            entries.append(host->tag);
    }
    return entries;
}

int MainWindow::rowOfEntry(int index) const
{
    return entryRows.value(index, -1);
}

// host:port as another program takes it; a host holding colons gets brackets.
QString MainWindow::entryText(int index) const
{
    const ProxyEntry entry = ProxyEntry::parse(proxyManager->proxies.value(index));
    QString host = entry.host;
    if (host.contains(u':'))
        host = u'[' % host % u']';
    return cellText(host % u':' % entry.portText);
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
    QTableWidget *table = ui->tableWidget;
    // Rows not filled yet have no items to move with their entries.
    if (!fillList.isEmpty())
        fillRows(int(fillList.size()));
    if (entryRows.isEmpty())
        return;
    sortOrder = column == sortColumn && sortOrder == Qt::AscendingOrder ? Qt::DescendingOrder
                                                                        : Qt::AscendingOrder;
    sortColumn = column;
    table->horizontalHeader()->setSortIndicatorShown(true);
    table->horizontalHeader()->setSortIndicator(column, sortOrder);
    table->sortItems(column, sortOrder);
    for (int row = 0; row < table->rowCount(); ++row)
        entryRows[cell(table, row, hostColumn)->tag] = row;
}

void MainWindow::applyFilter(int from, int to)
{
    QTableWidget *table = ui->tableWidget;
    const bool onlyWorking = onlyWorkingAction->isChecked();
    to = std::min(to, table->rowCount());
    for (int row = from; row < to; ++row) {
        const TableItem *status = cell(table, row, statusColumn);
        const bool hide = onlyWorking && status && status->tag != 0;
        if (table->isRowHidden(row) != hide)
            table->setRowHidden(row, hide);
    }
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
        lines << entryText(index);
    QApplication::clipboard()->setText(lines.join(u'\n'), QClipboard::Clipboard);
}

void MainWindow::copyWorking()
{
    QTableWidget *table = ui->tableWidget;
    QStringList lines;
    for (int row = 0; row < table->rowCount(); ++row) {
        const TableItem *status = cell(table, row, statusColumn);
        if (status && status->tag == 0)
            lines << entryText(cell(table, row, hostColumn)->tag);
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
