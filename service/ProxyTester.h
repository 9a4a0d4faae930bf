#pragma once

#include "TestTarget.h"

#include <QObject>
#include <QString>
#include <QStringList>

#include <memory>
#include <vector>

class LineProbe;
class TargetCheck;
class ProxyReply;
class QTimerEvent;

// Runs the tests of a proxy list, up to a given number at once, each test in flight over a
// connection of its own through its proxy.
class ProxyTester : public QObject
{
    Q_OBJECT

public:
    explicit ProxyTester(QObject *parent = nullptr);
    ~ProxyTester() override;

    // The one bound on tests at once: the spin box, the config file and the command line.
    static constexpr int maxConcurrency = 512;
    // One socket per test in flight: a probe or an exit address is asked after the test's own
    // connection closed. The rest of the program keeps the reserve.
    static constexpr int descriptorsPerTest = 1;
    static constexpr int descriptorReserve = 32;
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
    // The most tests in flight at once since the run started.
    int mostInFlight() const { return peakInFlight; }

    QString pingUrl;
    // Read when a run starts. With a custom target the ping page is still what tells whether
    // the user's own line works, asked once per run.
    TestTarget target;
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
    void readPage(Slot &slot);
    void handleReply(Slot &slot, ProxyReply *reply);
    void sendProbe(Slot &slot);
    // A custom target's answer, judged.
    void judge(Slot &slot, const TargetCheck &check);
    // A working proxy's result, with its exit address when one is asked for.
    void up(Slot &slot);
    void report(Slot &slot, const QString &status, const QStringList &extra = {});
    static QStringList resultOf(const Slot &slot, const QString &status);
    void emitResult(const QStringList &result);
    void expireLater();
    void armExpiry();
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
    int peakInFlight = 0;
    bool running = false;
    bool stopRequested = false;
    bool dropping = false;
    // Holds a custom target's unclear failures, which count as in flight until released.
    LineProbe *lineProbe;
    // A run over many invalid entries goes on from the event loop, not in one pass.
    bool continuePending = false;
    // Tags everything of a run, so that a run superseded inside a signal stops where it is.
    quint64 runNumber = 0;
    // Set for the earliest time-out of the tests in flight; none while none is out.
    int expiryTimerId = 0;
};
