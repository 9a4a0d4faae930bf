#pragma once

#include <QElapsedTimer>
#include <QNetworkProxy>
#include <QObject>
#include <QString>
#include <QStringList>

class QNetworkAccessManager;
class QNetworkReply;
class QTimerEvent;

// The one client of the proxy service and of the ping page. It sends every request through
// one access manager, dispatches every reply in finished(), and reports through its signals.
class ProxyManager : public QObject
{
    Q_OBJECT

public:
    ProxyManager();

    // Login and list (service requests).
    void setCredentials(const QString &user, const QString &pass);
    void requestProxies();
    void requestMyIp();

    // IP authorization.
    void requestAuthIps(bool callEmit);
    void setAutoAuthorize(bool on);

    // Proxy tester.
    void startTesting();
    void stop(bool force);

    // The last successful list, one trimmed entry per line of the reply.
    QStringList proxies;
    // The user's public address as the service last reported it; empty when unknown.
    QString myIp;
    QString apiUrl;
    QString pingUrl;
    // Port left out of the window's "Up" messages.
    int defaultPort = 0;

    // Tunables, public so that tests can shorten them.
    int tickMs = 0;
    int timeoutMs = 0;
    int authPeriodMs = 0;
    int apiTimeoutMs = 0;

    bool isTesting() const;
    // A getmyip request is still out: myIp may not be this login's answer yet.
    bool isMyIpPending() const { return myIpRequestsOut > 0; }

    // Bodies past these sizes are cut off unread: the access manager would buffer them whole.
    // A list of 100,000 proxies is about 2 MB; the ping page is a single character.
    static constexpr qint64 maxApiReplyBytes = 32 * 1024 * 1024;
    static constexpr qint64 maxPingReplyBytes = 1024 * 1024;
    // Far above any real account; past it a list is refused rather than shown.
    static constexpr int maxProxies = 200000;

signals:
    void finishedGetProxies(const QStringList &result);
    // A getmyip answer (or its failure) was handled; myIp holds the outcome.
    void finishedMyIp();
    void finishedTestingProxy(const QStringList &result);
    void finishedAuthorizeIp(const QStringList &ips);
    void startTestingProxy(const QStringList &proxy);
    void finishedTest();
    // An authorization round asked for by the user failed; the text says what failed.
    void authorizeIpFailed(const QString &reason);
    // Periodic rounds are otherwise silent: the first failing round says why, and the first
    // round that works again after failures says so; nothing in between.
    void periodicAuthorizationFailed(const QString &reason);
    void periodicAuthorizationRecovered();

protected:
    void timerEvent(QTimerEvent *event) override;

private slots:
    void finished(QNetworkReply *reply);

private:
    enum class ApiCommand
    {
        List,
        GetMyIp,
        GetAuthIps,
        SetAuthIps
    };

    QNetworkReply *sendApiRequest(ApiCommand command, const QList<QPair<QString, QString>> &extra);
    QString failureOf(QNetworkReply *reply) const;
    QString failureOf(QNetworkReply *reply, const QString &firstLine) const;

    void handleList(QNetworkReply *reply);
    void handleMyIp(QNetworkReply *reply);
    void handleAuthIps(QNetworkReply *reply);
    void handleSetAuthIps(QNetworkReply *reply);

    void periodicRoundDone(const QString &failure);

    bool testProxy(int index);
    void testFrom(int index);
    void handleTestReply(QNetworkReply *reply);
    void handleProbeReply(QNetworkReply *reply);
    void sendProbe();
    void emitResult(const QString &status, const QString &extra, bool withExtra);
    void advance();
    void abandonTest();
    void startTick();
    void stopTick();

    QString probedBody;
    QString user;
    QString pass;
    int currentIndex = 0;
    QNetworkAccessManager *network = nullptr;
    QNetworkReply *testReply = nullptr;
    QNetworkReply *probeReply = nullptr;
    int tickTimerId = 0;
    int elapsedMs = 0;
    int authTimerId = 0;
    bool stopRequested = false;
    bool testInFlight = false;
    // Counts runs, so that a run superseded inside a signal stops where it is.
    quint64 runNumber = 0;
    // A run over many invalid entries goes on from the event loop, not in one pass.
    bool continuePending = false;
    bool periodicFailing = false;
    // Why myIp is empty, for the periodic rounds' report.
    QString myIpFailure;
    int myIpRequestsOut = 0;

    // Proxy under test, kept when its request is sent.
    QString testHost;
    quint16 testPort = 0;
    QElapsedTimer testClock;
    QElapsedTimer probeClock;
};
