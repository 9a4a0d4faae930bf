#pragma once

#include "DebugLog.h"

#include <QMainWindow>
#include <QStringList>
#include <QSystemTrayIcon>

#include <functional>

class ApplicationMenu;
class ProxyManager;
class ProxyTableController;
class RememberedChoices;
class RetestScheduler;
class RunStatus;
class TestRunLog;
class TrayIcon;

namespace Ui {
class MainWindow;
}

// The working window after login. It follows the ProxyManager's signals and the user's
// buttons and hands the work to its parts: the debug log, the table, the run's log lines and
// status, the menus, the tray icon and the periodic re-tests.
class MainWindow : public QMainWindow
{
    Q_OBJECT

public:
    explicit MainWindow(QWidget *parent = nullptr);
    ~MainWindow() override;

    // The one way to write the debug log: the view and log.txt get the message verbatim.
    void appendLog(const QString &message);
    // Puts the messages appended since the last event-loop pass into the view now.
    void flushLog();

    // What one message may put in the view; log.txt and "Copy debug log" keep all of it.
    static constexpr qsizetype maxViewMessageChars = DebugLog::maxViewMessageChars;

    // Sets the "Parallel tests:" spin box, as config.ini says at start, unless the user chose.
    void setParallelTests(int count);

    ProxyManager *proxyManager = nullptr;

    // One minute of the "Re-test every ..." periods; tests shorten it.
    int retestMinuteMs = 60000;
    // The lines the log view holds at most.
    static constexpr int maxViewLines = DebugLog::maxViewLines;
    // Where tray messages go; tests replace it to see them.
    std::function<void(const QString &title, const QString &text)> showTrayMessage;

    // Entries of the proxy list shown in the table rows given, in that order.
    QList<int> entriesOfRows(const QList<int> &rows) const;
    void testEntries(const QList<int> &indexes);

public slots:
    void initAndShow();
    // Logged in without a window: only the tray icon shows.
    void initInTray();
    void getProxies(const QStringList &list);
    void finishedTestingProxy(const QStringList &result);
    void authorizeIp(const QStringList &ips);
    void startTestingProxy(const QStringList &proxy);
    void finishedTest();
    void stopTest(bool force = false);
    void authIpTimer(bool checked);

protected:
    void closeEvent(QCloseEvent *event) override;

private slots:
    void on_bCopyProxies_clicked();
    void on_bCopyLog_clicked();
    void on_bGetProxies_clicked();
    void on_actionExit_triggered();
    void iconActivated(QSystemTrayIcon::ActivationReason reason);
    void on_bTestProxies_clicked();
    void on_bStopTesting_clicked();
    void on_bAuthIp_clicked();
    void retest();

private:
    void logMyIpWhenKnown();
    // An empty list of indexes runs over the whole list.
    void startRun(const QList<int> &indexes, bool periodic = false);
    void setRunning(bool running);
    // The tray says it when there is one; the log always keeps it.
    void notify(const QString &text);

    Ui::MainWindow *ui;
    DebugLog *log;
    TestRunLog *runLog;
    ProxyTableController *table;
    ApplicationMenu *menu;
    TrayIcon *tray;
    RetestScheduler *retests;
    RunStatus *status;
    RememberedChoices *choices;
    // Logs the address once the getmyip answer of this login is in.
    QMetaObject::Connection myIpAnswerWait;
    QMetaObject::Connection myIpFailureWait;
    bool running = false;
};
