#pragma once

#include <QElapsedTimer>
#include <QFile>
#include <QMainWindow>
#include <QStringList>
#include <QSystemTrayIcon>
#include <QTimer>

class ProxyManager;
class QMenu;

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
    // Rows of the proxy table filled in one pass of the event loop.
    static constexpr int rowsPerPass = 20000;

    // Sets the "Parallel tests:" spin box, as config.ini says at start.
    void setParallelTests(int count);

    ProxyManager *proxyManager = nullptr;

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

private:
    void paintRow(int row, const QColor &colour);
    void fillRows(int end);
    void showListFailure(const QString &text);
    void startRunBlockOnItsOwnLine();
    QString runCounts() const;
    static QString startText(const QString &host, const QString &port);
    void showProgress();

    // Outcomes in the order of their status codes "0" to "5".
    static constexpr int outcomeCount = 6;

    Ui::MainWindow *ui;
    QSystemTrayIcon *trayIcon = nullptr;
    QMenu *trayMenu = nullptr;
    QFile logFile;
    QString pendingLog;
    // Every message of this run, unshortened, for "Copy debug log".
    QString runLog;
    // The list being shown and how many of its rows hold their items yet.
    QStringList fillList;
    int filledRows = 0;
    QTimer tableFill;
    // Rows coloured by a result since the table was filled or last reset.
    QList<int> paintedRows;
    QTimer logFlush;

    // The run in progress, as the window last started it.
    int runConcurrency = 1;
    int runTotal = 0;
    int runDone = 0;
    int runInFlight = 0;
    int runOutcomes[outcomeCount] = {};
    QElapsedTimer runClock;
    QElapsedTimer lastStart;
    // Holds progress updates back to a few a second.
    QTimer progressUpdate;
    // A "Testing proxy ..." text waits for its result on the same line.
    bool startTextOpen = false;
};
