#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QStringList>

#include <memory>
#include <vector>

class QNetworkAccessManager;
class QNetworkReply;
class QNetworkRequest;
class QTimerEvent;

// Runs the tests of a proxy list, up to a given number at once. Each test in flight has an
// access manager of its own, since an access manager holds only one proxy setting.
class ProxyTester : public QObject
{
    Q_OBJECT

public:
    explicit ProxyTester(QObject *parent = nullptr);
    ~ProxyTester() override;

    static constexpr int maxConcurrency = 64;
    static constexpr qint64 maxPingReplyBytes = 1024 * 1024;

    // The word for a result's status code, 0 to 5 ("Up" ... "Invalid entry"); empty otherwise.
    static QString outcomeName(int code);

    // Supersedes a run still outstanding: its replies are dropped unread and it never ends.
    // With only given, the run tests just those indexes of entries, in that order; results
    // still carry each entry's index in the whole list.
    void start(const QStringList &entries, int concurrency, const QList<int> &only = {});
    // Sends no new tests; those in flight still report.
    void stop();
    // As stop(), and the results of the tests in flight are dropped: the list they came from
    // is gone. finishedTest still comes once they are done.
    void dropResults();
    bool isTesting() const { return running; }

    QString pingUrl;
    int tickMs = 1;
    int timeoutMs = 10000;

signals:
    void startTestingProxy(const QStringList &proxy);
    void finishedTestingProxy(const QStringList &result);
    void finishedTest();

protected:
    void timerEvent(QTimerEvent *event) override;

private:
    struct Slot;

    void fill();
    void send(Slot &slot, int index, const QString &host, quint16 port);
    static QNetworkRequest pageRequest(const QString &url);
    void readPage(Slot &slot);
    void handleReply(Slot &slot, QNetworkReply *reply);
    void sendProbe(Slot &slot);
    void report(Slot &slot, const QString &status, const QString &extra, bool withExtra);
    void finish();
    void abandon();
    Slot &freeSlot();

    // Grown as a run needs them, kept for the next run.
    std::vector<std::unique_ptr<Slot>> testSlots;
    QStringList entries;
    QList<int> order;
    int concurrency = 1;
    int next = 0;
    int inFlight = 0;
    bool running = false;
    bool stopRequested = false;
    bool dropping = false;
    // A run over many invalid entries goes on from the event loop, not in one pass.
    bool continuePending = false;
    // Tags everything of a run, so that a run superseded inside a signal stops where it is.
    quint64 runNumber = 0;
    int tickTimerId = 0;
};
