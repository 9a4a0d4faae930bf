#include "ProxyManager.h"

#include "ApiClient.h"
#include "Authorizer.h"
#include "IpAddress.h"
#include "OpenFileLimit.h"
#include "OwnAddressRecord.h"
#include "ProxyListAnswer.h"
#include "ProxyTester.h"
#include "ReplyBody.h"
#include "ReplyReader.h"
#include "ResultHistory.h"
#include "SafeText.h"
#include "SavedLogin.h"

#include <QNetworkReply>
#include <QNetworkRequest>
#include <QSettings>
#include <QStandardPaths>
#include <QTimer>

#include <algorithm>

using namespace Qt::StringLiterals;
using namespace ReplyBody;

ProxyManager::ProxyManager()
    : QObject(nullptr), api(new ApiClient(*this)), authorizer(new Authorizer(*this, *api)),
      tester(new ProxyTester(this)), saved(new SavedLogin(this)), history(new ResultHistory(this))
{
    connect(saved, &SavedLogin::checked, this, &ProxyManager::keychainChecked);
    connect(saved, &SavedLogin::saved, this, &ProxyManager::loginSaved);
    connect(saved, &SavedLogin::loaded, this, &ProxyManager::savedLoginLoaded);
    connect(saved, &SavedLogin::forgotten, this, &ProxyManager::savedLoginForgotten);
    connect(api, &ApiClient::replied, this, [this](ApiClient::Command command, QNetworkReply *r) {
        if (command == ApiClient::Command::List)
            handleList(r);
        else if (command == ApiClient::Command::GetMyIp)
            handleMyIp(r);
    });
    connect(authorizer, &Authorizer::finishedAuthorizeIp, this, &ProxyManager::finishedAuthorizeIp);
    connect(authorizer, &Authorizer::authorizeIpFailed, this, &ProxyManager::authorizeIpFailed);
    connect(authorizer, &Authorizer::periodicAuthorizationFailed, this,
            &ProxyManager::periodicAuthorizationFailed);
    connect(authorizer, &Authorizer::periodicAuthorizationRecovered, this,
            &ProxyManager::periodicAuthorizationRecovered);
    connect(authorizer, &Authorizer::authorizationEnded, this, &ProxyManager::authorizationEnded);
    connect(authorizer, &Authorizer::addressChangeAuthorized, this,
            &ProxyManager::addressChangeAuthorized);
    connect(authorizer, &Authorizer::previousAddressRemoved, this,
            &ProxyManager::previousAddressRemoved);
    connect(authorizer, &Authorizer::authorizedListRead, this, &ProxyManager::authorizedListRead);
    connect(authorizer, &Authorizer::authorizedListFailed, this,
            &ProxyManager::authorizedListFailed);
    connect(tester, &ProxyTester::startTestingProxy, this, &ProxyManager::startTestingProxy);
    connect(tester, &ProxyTester::finishedTestingProxy, this, &ProxyManager::recordResult);
    connect(tester, &ProxyTester::finishedTestingProxy, this, &ProxyManager::finishedTestingProxy);
    connect(history, &ResultHistory::recentReady, this, &ProxyManager::recentHistoryReady);
    connect(history, &ResultHistory::timelineReady, this, &ProxyManager::timelineReady);
    connect(history, &ResultHistory::reportReady, this, &ProxyManager::historyReportReady);
    connect(history, &ResultHistory::cleared, this, &ProxyManager::historyCleared);
    connect(history, &ResultHistory::problem, this, &ProxyManager::historyProblem);
    connect(tester, &ProxyTester::finishedTest, this, &ProxyManager::finishedTest);
    timeoutMs = 10000;
    authPeriodMs = 60000;
    apiTimeoutMs = 30000;
    defaultPort = 3128;
    myIp = u""_s;
}

bool ProxyManager::isTesting() const
{
    return tester->isTesting();
}

void ProxyManager::setCredentials(const QString &user, const QString &pass)
{
    api->setCredentials(user, pass);
    requestMyIp();
}

void ProxyManager::requestProxies()
{
    api->send(ApiClient::Command::List);
}

QNetworkReply *ProxyManager::requestMyIp()
{
    if (QNetworkReply *reply = api->send(ApiClient::Command::GetMyIp)) {
        ++myIpRequestsOut;
        return reply;
    }
    // Said from the event loop, as an answer would be.
    QTimer::singleShot(0, this, [this] {
        myIp = u""_s;
        myIpFailure = u"not logged in"_s;
        myIpDone(FailureKind::ServiceError, nullptr);
    });
    return nullptr;
}

void ProxyManager::authorize()
{
    authorizer->authorize();
}

void ProxyManager::readAuthorizedList()
{
    authorizer->readAuthorized();
}

void ProxyManager::addAuthorized(const QStringList &addresses)
{
    authorizer->editAuthorized(addresses, {});
}

void ProxyManager::removeAuthorized(const QStringList &entries)
{
    authorizer->editAuthorized({}, entries);
}

void ProxyManager::setReplacePrevious(bool on, const QString &stateFile)
{
    if (!on)
        authorizer->setOwnAddresses(nullptr);
    else if (stateFile.isEmpty())
        authorizer->setOwnAddresses(std::make_unique<OwnAddressRecord>());
    else
        authorizer->setOwnAddresses(std::make_unique<OwnAddressRecord>(
            std::make_unique<QSettings>(stateFile, QSettings::IniFormat)));
}

void ProxyManager::requestAuthIps(bool callEmit)
{
    authorizer->requestAuthIps(callEmit);
}

void ProxyManager::setAutoAuthorize(bool on)
{
    authorizer->setAutoAuthorize(on);
}

SavedLogin *ProxyManager::keychain()
{
    saved->waitMs = keychainWaitMs;
    return saved;
}

QString ProxyManager::savedUser() const
{
    return SavedLogin::userFor(apiUrl);
}

void ProxyManager::checkKeychain()
{
    keychain()->check();
}

void ProxyManager::saveLogin()
{
    keychain()->save(apiUrl, api->userName(), api->password());
}

void ProxyManager::loadSavedLogin()
{
    keychain()->load(apiUrl);
}

void ProxyManager::forgetSavedLogin()
{
    keychain()->forget();
}

void ProxyManager::handleList(QNetworkReply *reply)
{
    const ProxyListAnswer answer = ProxyListAnswer::read(reply, *api);
    proxies.clear();
    // Indexes of a run still in flight point into the old list: its results count for nothing.
    tester->dropResults();
    if (!answer.failed)
        proxies = answer.shown;
    emit finishedGetProxies(answer.shown);
    if (answer.failed)
        emit listFailed(answer.kind, answer.reason);
}

void ProxyManager::handleMyIp(QNetworkReply *reply)
{
    // The whole line, NUL bytes included: only a line that is one address and nothing more
    // may become myIp, which is later sent in the authorized list.
    const QString line = QString::fromLatin1(readLine(reply).trimmed());
    myIpFailure = api->failureOf(reply, line);
    const QString canonical = myIpFailure.isEmpty() ? IpAddress::canonicalHost(line) : QString();
    if (myIpFailure.isEmpty() && canonical.isEmpty())
        myIpFailure = u"the service's answer is not an address: "_s %
                      SafeText::singleLine(api->mask().masked(line), 80);
    myIp = canonical.isEmpty() ? u""_s : canonical;
    if (myIpRequestsOut > 0)
        --myIpRequestsOut;
    myIpDone(api->failureOf(reply).isEmpty() ? FailureKind::ServiceError
                                             : ApiClient::failureKindOf(reply),
             reply);
}

// Reports the getmyip answer now in myIp or myIpFailure, then lets a round waiting for it go on.
void ProxyManager::myIpDone(FailureKind kind, const QNetworkReply *reply)
{
    if (myIp.isEmpty())
        emit myIpFailed(kind, myIpFailure);
    else
        emit myIpAnswered(myIp);
    authorizer->myIpSettled(reply, myIpFailure);
}

void ProxyManager::startTesting()
{
    startTestingSome({});
}

void ProxyManager::startTestingSome(const QList<int> &indexes)
{
    tester->pingUrl = pingUrl;
    tester->target = testTarget;
    if (!testTarget.exitIpProblem(apiUrl).isEmpty())
        tester->target.exitIpUrl.clear();
    tester->timeoutMs = timeoutMs;
    const int wanted = std::clamp(testConcurrency, 1, ProxyTester::maxConcurrency);
    const int fitting = OpenFileLimit::fitting(wanted, ProxyTester::descriptorsPerTest,
                                               ProxyTester::descriptorReserve);
    // Fewer at once rather than tests failing for want of a socket.
    if (fitting < wanted)
        emit testingNote(
            u"Testing %1 at once instead of %2: the open-file limit (%3) allows no more."_s
                .arg(fitting)
                .arg(wanted)
                .arg(OpenFileLimit::soft()));
    tester->start(proxies, fitting, indexes);
}

void ProxyManager::stop(bool force)
{
    Q_UNUSED(force);
    tester->stop();
}

QString ProxyManager::defaultHistoryFile()
{
    const QString folder = QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation);
    return folder.isEmpty() ? QString() : folder % u"/history.sqlite"_s;
}

ResultHistory *ProxyManager::historyFor(HistoryAccount *account)
{
    *account = {apiUrl, api->userName()};
    history->setFile(historyFile);
    return history;
}

void ProxyManager::recordResult(const QStringList &result)
{
    bool ok = false;
    const int index = result.value(4).toInt(&ok);
    if (!ok || index < 0 || index >= proxies.size())
        return;
    HistoryAccount account;
    historyFor(&account)->record(account, historyTarget(), proxies.at(index),
                                 result.value(2).toInt(), result.value(3).toLongLong());
}

void ProxyManager::setRecording(bool on)
{
    history->setRecording(on);
}

bool ProxyManager::isRecording() const
{
    return history->isRecording();
}

void ProxyManager::requestRecentHistory(const QStringList &entries)
{
    HistoryAccount account;
    historyFor(&account)->requestRecent(account, historyTarget(), entries);
}

void ProxyManager::requestTimeline(const QString &entry)
{
    HistoryAccount account;
    historyFor(&account)->requestTimeline(account, historyTarget(), entry);
}

void ProxyManager::requestHistoryReport(qint64 sinceMs, const QString &entry)
{
    HistoryAccount account;
    historyFor(&account)->requestReport(account, historyTarget(), sinceMs, entry);
}

void ProxyManager::clearHistory()
{
    HistoryAccount account;
    historyFor(&account)->clear(account);
}

void ProxyManager::closeHistory()
{
    // For good: a request after it (a window closing at the program's end) would start a
    // writer thread that nothing ends before the process does.
    historyFile.clear();
    history->setFile({});
}

// Test target

QString ProxyManager::historyTarget() const
{
    return testTarget.isPingPage() ? pingUrl : testTarget.url.trimmed();
}

QString ProxyManager::userName() const
{
    return api->userName();
}
