#pragma once

#include "RunProgress.h"

#include <QFile>
#include <QMainWindow>
#include <QStringList>
#include <QSystemTrayIcon>
#include <QTimer>

#include <functional>

class ProxyManager;
class QAction;
class QActionGroup;
class QMenu;
class ProxyTableFilter;
class ProxyTableModel;

namespace Ui {
class MainWindow;
}

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
    static constexpr qsizetype maxViewMessageChars = 4000;

    // Sets the "Parallel tests:" spin box, as config.ini says at start.
    void setParallelTests(int count);

    ProxyManager *proxyManager = nullptr;

    // One minute of the "Re-test every ..." periods; tests shorten it.
    int retestMinuteMs = 60000;
    // The lines the log view holds at most.
    static constexpr int maxViewLines = 5000;
    // Where tray messages go; tests replace it to see them.
    std::function<void(const QString &title, const QString &text)> showTrayMessage;

    // Entries of the proxy list shown in the table rows given, in that order.
    QList<int> entriesOfRows(const QList<int> &rows) const;
    void testEntries(const QList<int> &indexes);

public slots:
    void initAndShow();
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
    void sortByColumn(int column);
    void showTableMenu(const QPoint &pos);
    void copySelected();
    void copyWorking();
    void setRetestPeriod(int minutes);
    void retest();

private:
    void showListFailure(const QString &text);
    void startRunBlockOnItsOwnLine();
    static QString startText(const QString &host, const QString &port);
    void showProgress();
    void startRun(const QList<int> &indexes);
    void setRunning(bool running);
    void scrollToLastResult();
    void notify(const QString &text);
    QList<int> selectedRows() const;

    Ui::MainWindow *ui;
    QSystemTrayIcon *trayIcon = nullptr;
    QMenu *trayMenu = nullptr;
    QFile logFile;
    QString pendingLog;
    // Every message of this run, unshortened, for "Copy debug log".
    QString runLog;
    ProxyTableModel *tableModel = nullptr;
    ProxyTableFilter *tableFilter = nullptr;
    // The entry of the newest result, scrolled to once the event loop comes round.
    int lastResult = -1;
    QTimer scrollPending;
    // Logs the address once the getmyip answer of this login is in.
    QMetaObject::Connection myIpAnswerWait;
    QMetaObject::Connection myIpFailureWait;
    QTimer logFlush;

    // The run in progress, as the window last started it.
    int runConcurrency = 1;
    RunProgress progress;
    // Holds progress updates back to a few a second.
    QTimer progressUpdate;
    // A "Testing proxy ..." text waits for its result on the same line.
    bool startTextOpen = false;

    int sortColumn = -1;
    Qt::SortOrder sortOrder = Qt::AscendingOrder;
    QAction *testSelectedAction = nullptr;
    QAction *copySelectedAction = nullptr;
    QAction *copyWorkingAction = nullptr;
    QAction *onlyWorkingAction = nullptr;
    QActionGroup *retestGroup = nullptr;
    QTimer retestTimer;
    bool periodicRun = false;
    QStringList wentDown;
    QStringList cameBack;
};
