#pragma once

#include "HistoryTypes.h"
#include "TestTarget.h"

#include <QDateTime>
#include <QNetworkProxy>
#include <QObject>
#include <QString>
#include <QStringList>

class ApiClient;
class Authorizer;
struct HistoryAccount;
class ProxyTester;
class ResultHistory;
class SavedLogin;
class QNetworkReply;

// The one client of the proxy service and of the ping page. Service requests go through an
// ApiClient, never through a proxy under test; the authorization rounds are run by an
// Authorizer and the tests of the proxies by a ProxyTester.
class ProxyManager : public QObject
{
    Q_OBJECT

public:
    // Why a request failed, for callers that report it: the service answered with an error or
    // with something unusable, or it could not be reached at all.
    enum class FailureKind
    {
        ServiceError,
        Unreachable
    };
    Q_ENUM(FailureKind)
    enum class AuthorizationOutcome
    {
        Added,
        AlreadyPresent,
        Failed
    };
    Q_ENUM(AuthorizationOutcome)
    // What started a round: the "Authorize my IP" button, the periodic tick (or a retry),
    // switching the periodic rounds on, a caller's authorize(), or a change of this machine's
    // addresses (and its follow-ups).
    enum class AuthorizationOrigin
    {
        Button,
        Periodic,
        SwitchOn,
        Caller,
        AddressChange,
        // A read of the authorized list alone, and an edit of it.
        ListRead,
        ListEdit
    };
    Q_ENUM(AuthorizationOrigin)
    // The rounds that keep the address authorized while periodic authorization is on.
    static bool isScheduled(AuthorizationOrigin origin)
    {
        return origin == AuthorizationOrigin::Periodic || origin == AuthorizationOrigin::SwitchOn ||
               origin == AuthorizationOrigin::AddressChange;
    }

    ProxyManager();

    // Login and list (service requests).
    void setCredentials(const QString &user, const QString &pass);
    void requestProxies();
    // The request, to tell its answer from others'; null when not logged in.
    QNetworkReply *requestMyIp();

    // IP authorization.
    void requestAuthIps(bool callEmit);
    void setAutoAuthorize(bool on);
    // One round that asks for the address first and reads the list once it is known; ends in
    // authorizationEnded, as every round does.
    void authorize();
    // The authorized list, through the same one-round-at-a-time queue. A read never writes and
    // ends in authorizedListRead or authorizedListFailed. An edit reads the list afresh (twice,
    // agreeing) and writes it without the removed entries, with the added addresses and the
    // user's address first when missing; it is refused when a removal covers the user's address
    // or is not listed, or an addition is not an address. Both also end in authorizationEnded.
    void readAuthorizedList();
    void addAuthorized(const QStringList &addresses);
    void removeAuthorized(const QStringList &entries);
    // When a round adds the user's address, the one this program added last for this account and
    // address family leaves the list in the same write. Off by default; stateFile: an INI file
    // that remembers those addresses, empty for the program's settings.
    void setReplacePrevious(bool on, const QString &stateFile = {});

    // Proxy tester.
    void startTesting();
    // Tests only the entries at these indexes of proxies.
    void startTestingSome(const QList<int> &indexes);
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
    int timeoutMs = 0;
    int authPeriodMs = 0;
    // After failed periodic rounds, capped at authPeriodMs; after a change of address.
    QList<int> authRetryMs{5000, 10000, 30000, 60000};
    QList<int> authFollowUpMs{10000, 30000};
    int apiTimeoutMs = 0;
    // Tests in flight at once, 1 to ProxyTester::maxConcurrency; read when a run starts, and
    // lowered for that run where the open-file limit cannot hold so many.
    int testConcurrency = 1;

    // Saved login: the password in the OS keychain, the user name in the settings. Each ends
    // in its signal, within keychainWaitMs.
    QString savedUser() const;
    void checkKeychain();
    // The credentials of the last setCredentials, for apiUrl.
    void saveLogin();
    void loadSavedLogin();
    void forgetSavedLogin();
    int keychainWaitMs = 20000;

    // Test target: what each test fetches through the proxy, read when a run starts; the ping
    // page by default. An exit address page on the service's own host is not asked.
    TestTarget testTarget;
    // The key results are recorded under: the custom target's address, else the ping page.
    QString historyTarget() const;
    // The user name of the last setCredentials, whose remembered target applies.
    QString userName() const;

    // Result history. While recording is on, every result of every run is recorded in
    // historyFile for the account (apiUrl and the user name, never the password) and the
    // target (historyTarget()). Empty historyFile: no history. Each request ends in its signal;
    // where the database cannot be opened or written, historyProblem says so once, and
    // history is off for the rest of the session.
    QString historyFile;
    static QString defaultHistoryFile();
    void setRecording(bool on);
    bool isRecording() const;
    // For the table: each entry's last results and its uptime over 24 hours.
    void requestRecentHistory(const QStringList &entries);
    void requestTimeline(const QString &entry);
    // Every entry with results since then (or only that entry, when given).
    void requestHistoryReport(qint64 sinceMs, const QString &entry = {});
    // The current account's history, every target.
    void clearHistory();
    // Writes what is waiting and waits for it, and ends history for this ProxyManager: for a
    // program about to end.
    void closeHistory();

    bool isTesting() const;
    // A getmyip request is still out: myIp may not be this login's answer yet.
    bool isMyIpPending() const { return myIpRequestsOut > 0; }

    // Bodies past these sizes are cut off unread.
    // A list of 100,000 proxies is about 2 MB; the ping page is a single character.
    static constexpr qint64 maxApiReplyBytes = 32 * 1024 * 1024;
    static constexpr qint64 maxPingReplyBytes = 1024 * 1024;
    // Far above any real account; past it a list is refused rather than shown.
    static constexpr int maxProxies = 200000;
    // Answers are read as they arrive and cut off at these. A list entry or an address is far
    // shorter than a line may be; an error line past it is shown cut there.
    static constexpr qsizetype maxLineBytes = 4096;
    // The authorized list is written back whole: one past this is not read at all.
    static constexpr int maxAuthorizedIps = 100000;

signals:
    void finishedGetProxies(const QStringList &result);
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

    // For callers that wait for an outcome: each getmyip request ends in exactly one of the
    // first two, each failed list request in listFailed (beside finishedGetProxies), and each
    // authorization round in one authorizationEnded, after the write was answered.
    void myIpAnswered(const QString &ip);
    void myIpFailed(ProxyManager::FailureKind kind, const QString &reason);
    void listFailed(ProxyManager::FailureKind kind, const QString &reason);
    void authorizationEnded(ProxyManager::AuthorizationOutcome outcome, const QStringList &ips,
                            const QString &failure, ProxyManager::AuthorizationOrigin origin);
    // Right before the authorizationEnded of a periodic round whose own answer was a new
    // address, from the one known before, and that added it.
    void addressChangeAuthorized(const QString &from, const QString &to);
    // Right before the authorizationEnded of a round that added the user's address and removed
    // this program's previous one.
    void previousAddressRemoved(const QString &added, const QStringList &removed);
    // Each complete read that a round went on with (every check passed), with when it ended.
    void authorizedListRead(const QStringList &entries, const QDateTime &readAt);
    // A list read or edit failed and changed nothing; refused: it was not carried out because
    // it would remove the user's address or an entry that is not listed.
    void authorizedListFailed(const QString &reason, bool refused);

    void keychainChecked(bool answers, const QString &reason);
    void loginSaved(bool ok, const QString &reason);
    // An empty password when none was saved or it could not be read; reason says why.
    void savedLoginLoaded(const QString &user, const QString &password, const QString &reason);
    void savedLoginForgotten();

    // Answers of the history requests, in the order asked.
    void recentHistoryReady(const QStringList &entries, const QList<RecentHistory> &history);
    void timelineReady(const EntryTimeline &timeline);
    void historyReportReady(const QList<EntryReport> &report);
    void historyCleared();
    // One line, without its line break.
    void historyProblem(const QString &line);
    // A run goes on otherwise than asked, and why: one line for the log, without its line break.
    void testingNote(const QString &line);

private:
    SavedLogin *keychain();
    // The history, on the current file, and the account its records belong to.
    ResultHistory *historyFor(HistoryAccount *account);
    void recordResult(const QStringList &result);
    void myIpDone(FailureKind kind, const QNetworkReply *reply);
    void handleList(QNetworkReply *reply);
    void handleMyIp(QNetworkReply *reply);

    ApiClient *api = nullptr;
    Authorizer *authorizer = nullptr;
    ProxyTester *tester = nullptr;
    SavedLogin *saved = nullptr;
    ResultHistory *history = nullptr;
    // Why myIp is empty.
    QString myIpFailure;
    int myIpRequestsOut = 0;
};
