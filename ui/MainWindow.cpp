#include "MainWindow.h"
#include "ui_MainWindow.h"

#include "ApplicationMenu.h"
#include "AuthorizationReport.h"
#include "AuthorizedListWindow.h"
#include "HistoryView.h"
#include "ProxyManager.h"
#include "ProxyTableController.h"
#include "ProxyTester.h"
#include "RememberedChoices.h"
#include "RetestScheduler.h"
#include "RunStatus.h"
#include "SafeText.h"
#include "TestRunLog.h"
#include "TestTargetControls.h"
#include "TrayIcon.h"
#include "WindowPlacement.h"

#include <QApplication>
#include <QClipboard>
#include <QCloseEvent>

using namespace Qt::StringLiterals;

MainWindow::MainWindow(QWidget *parent) : QMainWindow(parent), ui(new Ui::MainWindow)
{
    initImageResources();
    ui->setupUi(this);
    log = new DebugLog(ui->debugLog, this);
    runLog = new TestRunLog(log, this);
    status = new RunStatus(ui->statusBar, this);

    connect(ui->action_Ensure_my_IP_is_always_authorized, &QAction::toggled, this,
            &MainWindow::authIpTimer);
    menu = new ApplicationMenu(ui->menuProgram, ui->action_Ensure_my_IP_is_always_authorized,
                               ui->actionExit, this);
    retests = new RetestScheduler(this);
    connect(menu, &ApplicationMenu::retestPeriodChosen, this,
            [this](int minutes) { retests->setPeriod(minutes * retestMinuteMs); });
    connect(retests, &RetestScheduler::due, this, &MainWindow::retest);
    tray = new TrayIcon(menu->trayMenu(), this);
    connect(tray, &TrayIcon::activated, this, &MainWindow::iconActivated);

    table = new ProxyTableController(ui->tableWidget, this);
    connect(menu, &ApplicationMenu::onlyWorkingToggled, table,
            &ProxyTableController::setOnlyWorking);
    connect(table, &ProxyTableController::testRequested, this, &MainWindow::testEntries);
    connect(menu, &ApplicationMenu::forgetSavedLoginChosen, this, [this] {
        connect(
            proxyManager, &ProxyManager::savedLoginForgotten, this,
            [this] { appendLog(u"Saved login forgotten.\n"_s); }, Qt::SingleShotConnection);
        proxyManager->forgetSavedLogin();
    });

    connect(menu, &ApplicationMenu::problem, this, &MainWindow::appendLog);
    ui->sbParallelTests->setMaximum(ProxyTester::maxConcurrency);
    choices = new RememberedChoices(this, ui->sbParallelTests,
                                    ui->action_Ensure_my_IP_is_always_authorized, menu);
    choices->placeWindow();
}

MainWindow::~MainWindow()
{
    choices->rememberPlacement();
    delete ui;
}

void MainWindow::initAndShow()
{
    initInTray();
    show();
}

void MainWindow::initInTray()
{
    QApplication::setQuitOnLastWindowClosed(false);
    tray->show();

    log->start();
    logMyIpWhenKnown();
    connect(proxyManager, &ProxyManager::finishedTestingProxy, this,
            &MainWindow::finishedTestingProxy);
    connect(proxyManager, &ProxyManager::finishedGetProxies, this, &MainWindow::getProxies);
    connect(proxyManager, &ProxyManager::finishedAuthorizeIp, this, &MainWindow::authorizeIp);
    connect(proxyManager, &ProxyManager::startTestingProxy, this, &MainWindow::startTestingProxy);
    connect(proxyManager, &ProxyManager::finishedTest, this, &MainWindow::finishedTest);
    connect(proxyManager, &ProxyManager::testingNote, this,
            [this](const QString &line) { log->appendLines(line % u'\n'); });
    connect(new AuthorizationReport(proxyManager, log, ui->action_Ensure_my_IP_is_always_authorized,
                                    this),
            &AuthorizationReport::notice, this, &MainWindow::notify);

    connect(menu->removePreviousAction(), &QAction::toggled, proxyManager,
            [this](bool on) { proxyManager->setReplacePrevious(on); });
    connect(menu, &ApplicationMenu::authorizedAddressesChosen, this,
            [this] { AuthorizedListWindow::open(proxyManager, this); });

    new HistoryView(proxyManager, table, menu, log, this);
    getProxies(proxyManager->proxies);
    new TestTargetControls(proxyManager, table, this);
    choices->restoreAfterLogin();
}

// The address and the list are asked for together and may answer in either order.
void MainWindow::logMyIpWhenKnown()
{
    const auto logWhenKnown = [this] {
        if (proxyManager->isMyIpPending())
            return;
        disconnect(myIpAnswerWait);
        disconnect(myIpFailureWait);
        log->appendLines(u"Your IP address: "_s % proxyManager->myIp % u"\n"_s);
    };
    if (!proxyManager->isMyIpPending())
        return logWhenKnown();
    myIpAnswerWait = connect(proxyManager, &ProxyManager::myIpAnswered, this, logWhenKnown);
    myIpFailureWait = connect(proxyManager, &ProxyManager::myIpFailed, this, logWhenKnown);
}

void MainWindow::appendLog(const QString &message)
{
    log->append(message);
}

void MainWindow::flushLog()
{
    log->flush();
}

void MainWindow::setParallelTests(int count)
{
    choices->setConfiguredParallelTests(count);
}

void MainWindow::getProxies(const QStringList &list)
{
    runLog->listReplaced();
    // The manager's only answer holding "ERROR" is a failure, whatever colons the text has.
    if (list.size() == 1 && list.first().contains(u"ERROR")) {
        const QString line = SafeText::singleLine(list.first().trimmed(), 1000);
        table->showFailure(line);
        appendLog(u"Proxy list not refreshed: "_s % line % u"\n"_s);
        return;
    }
    table->showList(list, proxyManager->defaultPort);
}

void MainWindow::on_bCopyProxies_clicked()
{
    QApplication::clipboard()->setText(proxyManager->proxies.join(u'\n'), QClipboard::Clipboard);
}

void MainWindow::on_bCopyLog_clicked()
{
    QApplication::clipboard()->setText(log->text(), QClipboard::Clipboard);
}

void MainWindow::on_actionExit_triggered()
{
    QCoreApplication::quit();
}

void MainWindow::closeEvent(QCloseEvent *event)
{
    choices->rememberPlacement();
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
    log->appendLines(u"Authorized IP addresses:\n"_s % ips.join(u'\n') % u"\n"_s);
}

void MainWindow::on_bTestProxies_clicked()
{
    startRun({});
}

void MainWindow::startRun(const QList<int> &indexes, bool periodic)
{
    table->clearResults(indexes);
    retests->runStarted(periodic);
    setRunning(true);
    ui->bTestProxies->hide();
    ui->bStopTesting->show();
    ui->bStopTesting->setFocus();
    const int concurrency = ui->sbParallelTests->value();
    runLog->runStarted(concurrency, !proxyManager->testTarget.isPingPage());
    status->start(int(indexes.isEmpty() ? proxyManager->proxies.size() : indexes.size()),
                  proxyManager->timeoutMs, proxyManager->testTarget.label());
    proxyManager->testConcurrency = concurrency;
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

void MainWindow::startTestingProxy(const QStringList &proxy)
{
    status->testStarted();
    runLog->testStarted(proxy.value(0), proxy.value(1));
}

void MainWindow::finishedTestingProxy(const QStringList &result)
{
    const int code = result.value(2).toInt();
    const int index = result.value(4).toInt();
    if (!runLog->resultArrived(result, proxyManager->proxies.value(index)))
        return;
    status->resultArrived(code);
    const int change = table->showResult(index, code, result.value(1).toInt(),
                                         code == 0 ? result.value(3).toLongLong() : 0);
    if (change != 0)
        retests->entryChanged(change > 0, table->entryText(index));
}

void MainWindow::finishedTest()
{
    tray->setToolTip(status->finish());
    ui->bStopTesting->hide();
    ui->bTestProxies->show();
    ui->bTestProxies->setEnabled(true);
    ui->bTestProxies->setFocus();
    setRunning(false);
    const QString changes = retests->runEnded();
    if (!changes.isEmpty())
        notify(changes);
}

void MainWindow::setRunning(bool on)
{
    running = on;
    table->setRunning(on);
}

QList<int> MainWindow::entriesOfRows(const QList<int> &rows) const
{
    return table->entriesOfRows(rows);
}

void MainWindow::testEntries(const QList<int> &indexes)
{
    // An empty list would mean the whole list to the run.
    if (indexes.isEmpty() || running || ui->bStopTesting->isVisible())
        return;
    startRun(indexes);
}

// A period that comes while a run is in progress is skipped, never queued behind it.
void MainWindow::retest()
{
    if (running || ui->bStopTesting->isVisible() || proxyManager->proxies.isEmpty() ||
        !ui->bTestProxies->isEnabled())
        return;
    startRun({}, true);
}

void MainWindow::notify(const QString &text)
{
    log->appendLines(text % u"\n"_s);
    const QString title = tr("Proxy Manager");
    // Some trays render markup in messages; entries are shown as the text they are.
    if (showTrayMessage)
        showTrayMessage(title, text.toHtmlEscaped());
    else
        tray->showMessage(title, text.toHtmlEscaped());
}
