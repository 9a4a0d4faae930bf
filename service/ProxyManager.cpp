#include "ProxyManager.h"

#include "AuthorizedIpList.h"
#include "IpAddress.h"
#include "ProxyTester.h"
#include "ReplyBody.h"
#include "SafeText.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTimer>
#include <QTimerEvent>
#include <QUrl>
#include <QUrlQuery>
#if QT_CONFIG(ssl)
#include <QSslError>
#endif

#include <algorithm>

using namespace Qt::StringLiterals;
using namespace ReplyBody;

namespace {

const auto noResponseText = u"ERROR: Sorry, no response from server."_s;
const char *const timedOutProperty = "pmTimedOut";
const char *const tlsErrorProperty = "pmTlsError";
// Carries the wish for a report from a getauthips round to its setauthips reply.
const char *const callEmitProperty = "pmCallEmit";
// The list a setauthips request stores, for the round's outcome.
const char *const ipsProperty = "pmIps";
const char *const originProperty = "pmOrigin";

QString encoded(const QString &value, const QByteArray &keep = {})
{
    return QString::fromLatin1(QUrl::toPercentEncoding(value, keep));
}

QString queryValue(const QUrl &url, const QString &key)
{
    return QUrlQuery(url).queryItemValue(key, QUrl::FullyEncoded);
}

// Lines of the body, trimmed, until the first line that converts to empty text; at most
// maxLines + 1, so that a caller can tell a list past its bound.
QStringList readLines(QNetworkReply *reply, int maxLines)
{
    QStringList lines;
    while (lines.size() <= maxLines) {
        const QString line = latin1UpToNul(readLine(reply));
        if (line.isEmpty())
            return lines;
        lines.append(line.trimmed());
    }
    return lines;
}

// Only a Content-Length shows that a body arrived whole. The access manager reads a reset as a
// clean end of an unframed body, and also of a chunked one cut between chunks, without the
// last chunk: those count as whole only when they end with a line end.
bool hasLength(QNetworkReply *reply)
{
    return reply->hasRawHeader("Content-Length");
}

// A body cut short of its Content-Length: the access manager reports it after a clean close,
// not after a reset.
bool isShort(QNetworkReply *reply, qsizetype received)
{
    if (!reply->hasRawHeader("Content-Length") || reply->hasRawHeader("Content-Encoding"))
        return false;
    bool ok = false;
    const qint64 announced = reply->rawHeader("Content-Length").trimmed().toLongLong(&ok);
    return ok && received < announced;
}

bool isTimedOut(QNetworkReply *reply)
{
    return reply->property(timedOutProperty).toBool();
}

} // namespace

ProxyManager::ProxyManager()
    : QObject(nullptr), network(new QNetworkAccessManager(this)), tester(new ProxyTester(this))
{
    // Redirects are answers of their own: following one would carry the credentials elsewhere.
    network->setRedirectPolicy(QNetworkRequest::ManualRedirectPolicy);
    connect(network, &QNetworkAccessManager::finished, this, &ProxyManager::finished);
    connect(tester, &ProxyTester::startTestingProxy, this, &ProxyManager::startTestingProxy);
    connect(tester, &ProxyTester::finishedTestingProxy, this, &ProxyManager::finishedTestingProxy);
    connect(tester, &ProxyTester::finishedTest, this, &ProxyManager::finishedTest);
    tickMs = 1;
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
    this->user = user;
    this->pass = pass;
    requestMyIp();
}

void ProxyManager::requestProxies()
{
    sendApiRequest(ApiCommand::List, {});
}

void ProxyManager::requestMyIp()
{
    if (sendApiRequest(ApiCommand::GetMyIp, {})) {
        ++myIpRequestsOut;
        return;
    }
    // Said from the event loop, as an answer would be.
    QTimer::singleShot(0, this, [this] {
        myIp = u""_s;
        myIpFailure = u"not logged in"_s;
        myIpDone(FailureKind::ServiceError);
    });
}

void ProxyManager::authorize()
{
    ++roundsAwaitingMyIp;
    requestMyIp();
}

void ProxyManager::requestAuthIps(bool callEmit)
{
    sendAuthIpsRequest(callEmit,
                       callEmit ? AuthorizationOrigin::Button : AuthorizationOrigin::Periodic);
}

void ProxyManager::sendAuthIpsRequest(bool callEmit, AuthorizationOrigin origin)
{
    QNetworkReply *reply =
        sendApiRequest(ApiCommand::GetAuthIps, {{u"call_emit"_s, callEmit ? u"1"_s : u"0"_s}});
    if (reply)
        reply->setProperty(originProperty, int(origin));
}

void ProxyManager::setAutoAuthorize(bool on)
{
    if (authTimerId != 0) {
        killTimer(authTimerId);
        authTimerId = 0;
    }
    if (!on)
        return;
    authTimerId = startTimer(authPeriodMs);
    periodicFailing = false;
    sendAuthIpsRequest(false, AuthorizationOrigin::SwitchOn);
}

QNetworkReply *ProxyManager::sendApiRequest(ApiCommand command,
                                            const QList<QPair<QString, QString>> &extra)
{
    if (user.isEmpty() || pass.isEmpty())
        return nullptr;

    static const QString words[] = {u"list"_s, u"getmyip"_s, u"getauthips"_s, u"setauthips"_s};
    // Credentials are query values: "&", "#", "+" or "%" in them must not change the query.
    QString text = apiUrl % u"?user="_s % encoded(user) % u"&pass="_s % encoded(pass) %
                   u"&command="_s % words[int(command)];
    for (const auto &[key, value] : extra)
        text += u'&' % key % u'=' % encoded(value, ",:");

    // API traffic never goes through a proxy, whatever the system's settings.
    network->setProxy(QNetworkProxy(QNetworkProxy::NoProxy));
    QNetworkReply *reply = network->get(QNetworkRequest(QUrl(text, QUrl::TolerantMode)));
    limitSize(reply, maxApiReplyBytes);
#if QT_CONFIG(ssl)
    // The reply's own error text only says that the handshake failed, not why.
    connect(reply, &QNetworkReply::sslErrors, reply, [reply](const QList<QSslError> &errors) {
        if (!errors.isEmpty())
            reply->setProperty(tlsErrorProperty, errors.first().errorString());
    });
#endif
    // A whole-request deadline: a server that drips bytes must not hold a request forever.
    QTimer::singleShot(apiTimeoutMs, reply, [reply] {
        reply->setProperty(timedOutProperty, true);
        reply->abort();
    });
    return reply;
}

// Empty when the reply succeeded; otherwise what failed, without the request's URL,
// which holds the credentials.
QString ProxyManager::failureOf(QNetworkReply *reply) const
{
    if (isTimedOut(reply))
        return u"no response from server (timed out)"_s;
    if (isTooLarge(reply))
        return u"the answer is too large"_s;
    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (status.isValid() && (status.toInt() < 200 || status.toInt() > 299)) {
        const QString reason = QString::fromLatin1(
            reply->attribute(QNetworkRequest::HttpReasonPhraseAttribute).toByteArray());
        return SafeText::singleLine(
            QString(u"HTTP "_s % QString::number(status.toInt()) % u' ' % reason).trimmed());
    }
    if (reply->error() == QNetworkReply::NoError)
        return {};
    if (reply->error() == QNetworkReply::SslHandshakeFailedError) {
        QString why = reply->property(tlsErrorProperty).toString();
        if (why.isEmpty())
            why = reply->errorString();
        if (!why.isEmpty())
            why[0] = why[0].toLower();
        return SafeText::singleLine(u"TLS handshake failed: "_s % why);
    }
    QString text = reply->errorString();
    for (const auto format : {QUrl::PrettyDecoded, QUrl::FullyEncoded})
        text.replace(reply->url().toString(format), reply->url().toString(QUrl::RemoveQuery));
    return SafeText::singleLine(text);
}

// Only for a failed reply: whether the service answered at all.
ProxyManager::FailureKind ProxyManager::failureKindOf(QNetworkReply *reply)
{
    if (isTimedOut(reply))
        return FailureKind::Unreachable;
    if (reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).isValid() || isTooLarge(reply) ||
        reply->error() == QNetworkReply::NoError)
        return FailureKind::ServiceError;
    return FailureKind::Unreachable;
}

// A failed request, or the service's own refusal on the first line of a successful one.
QString ProxyManager::failureOf(QNetworkReply *reply, const QString &firstLine) const
{
    const QString failure = failureOf(reply);
    return failure.isEmpty() && firstLine.contains(u"ERROR") ? SafeText::singleLine(firstLine)
                                                             : failure;
}

void ProxyManager::finished(QNetworkReply *reply)
{
    const QString command = queryValue(reply->url(), u"command"_s);
    if (command == u"list")
        handleList(reply);
    else if (command == u"getmyip")
        handleMyIp(reply);
    else if (command == u"getauthips")
        handleAuthIps(reply);
    else if (command == u"setauthips")
        handleSetAuthIps(reply);
    reply->deleteLater();
}

void ProxyManager::handleList(QNetworkReply *reply)
{
    const QString first = latin1UpToNul(readLine(reply));
    proxies.clear();
    // Indexes of a run still in flight point into the old list: its results count for nothing.
    tester->dropResults();

    const QString failure = failureOf(reply);
    if (!failure.isEmpty()) {
        const bool answered = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).isValid();
        const bool tlsFailed = reply->error() == QNetworkReply::SslHandshakeFailedError;
        if (!isTimedOut(reply) && first.contains(u"ERROR")) {
            emit finishedGetProxies({first});
        } else if (isTimedOut(reply) || (!answered && !tlsFailed && first.isEmpty())) {
            emit finishedGetProxies({noResponseText});
        } else {
            emit finishedGetProxies({u"ERROR: Could not get the proxy list: "_s % failure});
        }
        emit listFailed(failureKindOf(reply), failure);
        return;
    }
    if (first.isEmpty()) {
        emit finishedGetProxies({noResponseText});
        emit listFailed(FailureKind::ServiceError, u"the answer is empty"_s);
        return;
    }
    if (first.contains(u"ERROR")) {
        emit finishedGetProxies({first});
        emit listFailed(FailureKind::ServiceError, SafeText::singleLine(first.trimmed()));
        return;
    }
    proxies.append(first.trimmed());
    proxies.append(readLines(reply, maxProxies - 1));
    if (proxies.size() > maxProxies) {
        proxies.clear();
        emit finishedGetProxies({u"ERROR: The proxy list has more than "_s %
                                 QString::number(maxProxies) % u" entries; none was loaded."_s});
        emit listFailed(FailureKind::ServiceError, u"the list is too long"_s);
        return;
    }
    emit finishedGetProxies(proxies);
}

void ProxyManager::handleMyIp(QNetworkReply *reply)
{
    const QString line = latin1UpToNul(readLine(reply).trimmed());
    // Only a real address may become myIp: it is later sent in the authorized list.
    myIpFailure = failureOf(reply, line);
    const QString canonical = myIpFailure.isEmpty() ? IpAddress::canonicalHost(line) : QString();
    if (myIpFailure.isEmpty() && canonical.isEmpty())
        myIpFailure =
            u"the service's answer is not an address: "_s % SafeText::singleLine(line, 80);
    myIp = canonical.isEmpty() ? u""_s : canonical;
    if (myIpRequestsOut > 0)
        --myIpRequestsOut;
    myIpDone(failureOf(reply).isEmpty() ? FailureKind::ServiceError : failureKindOf(reply));
}

// Reports the getmyip answer now in myIp or myIpFailure; a caller round waiting for it goes on
// to read the list, or ends when the address is unknown.
void ProxyManager::myIpDone(FailureKind kind)
{
    if (myIp.isEmpty())
        emit myIpFailed(kind, myIpFailure);
    else
        emit myIpAnswered(myIp);
    if (roundsAwaitingMyIp == 0)
        return;
    --roundsAwaitingMyIp;
    if (myIp.isEmpty()) {
        endRound(AuthorizationOutcome::Failed, {},
                 u"my IP address is not known ("_s % myIpFailure % u")"_s,
                 AuthorizationOrigin::Caller);
        return;
    }
    sendAuthIpsRequest(true, AuthorizationOrigin::Caller);
}

void ProxyManager::endRound(AuthorizationOutcome outcome, const QStringList &ips,
                            const QString &failure, AuthorizationOrigin origin)
{
    emit authorizationEnded(outcome, ips, failure, origin);
}

void ProxyManager::handleAuthIps(QNetworkReply *reply)
{
    const bool callEmit = queryValue(reply->url(), u"call_emit"_s) == u"1";
    const auto origin = AuthorizationOrigin(reply->property(originProperty).toInt());
    if (myIp.isEmpty()) {
        const QString reason = myIpFailure.isEmpty()
                                   ? u"my IP address is not known"_s
                                   : u"my IP address is not known ("_s % myIpFailure % u")"_s;
        if (!callEmit)
            periodicRoundDone(reason);
        endRound(AuthorizationOutcome::Failed, {}, reason, origin);
        return;
    }
    QString failure = failureOf(reply);
    AuthorizedIpList list;
    if (failure.isEmpty()) {
        const QByteArray body = readAll(reply);
        // The setauthips list replaces the account's whole list: only a read that is whole and
        // understood line by line may lead to one, or other addresses would be lost or garbage
        // stored.
        if (isShort(reply, body.size()))
            failure = u"the answer was cut off"_s;
        else
            failure = (list = AuthorizedIpList::parse(body, hasLength(reply))).problem;
    }
    if (!failure.isEmpty()) {
        const QString reason = u"could not read the authorized IP addresses ("_s % failure % u")"_s;
        if (callEmit)
            emit authorizeIpFailed(reason);
        else
            periodicRoundDone(reason);
        endRound(AuthorizationOutcome::Failed, {}, reason, origin);
        return;
    }

    QStringList ips = list.entries;
    if (!list.holds(QHostAddress(myIp))) {
        ips.prepend(myIp);
        QNetworkReply *update =
            sendApiRequest(ApiCommand::SetAuthIps, {{u"ips"_s, ips.join(u',')}});
        if (update) {
            update->setProperty(callEmitProperty, callEmit);
            update->setProperty(ipsProperty, ips);
            update->setProperty(originProperty, int(origin));
        }
        if (callEmit)
            emit finishedAuthorizeIp(ips);
        // Credentials cleared since the read: nothing was written.
        if (!update)
            endRound(AuthorizationOutcome::Failed, {}, u"not logged in"_s, origin);
        return;
    }
    if (!callEmit)
        periodicRoundDone({});
    if (callEmit)
        emit finishedAuthorizeIp(ips);
    endRound(AuthorizationOutcome::AlreadyPresent, ips, {}, origin);
}

void ProxyManager::handleSetAuthIps(QNetworkReply *reply)
{
    QString failure = failureOf(reply, latin1UpToNul(readLine(reply)).trimmed());
    if (!failure.isEmpty())
        failure = u"the service did not store the new list ("_s % failure % u")"_s;
    if (reply->property(callEmitProperty).toBool()) {
        if (!failure.isEmpty())
            emit authorizeIpFailed(failure);
    } else {
        periodicRoundDone(failure);
    }
    const auto origin = AuthorizationOrigin(reply->property(originProperty).toInt());
    if (failure.isEmpty())
        endRound(AuthorizationOutcome::Added, reply->property(ipsProperty).toStringList(), {},
                 origin);
    else
        endRound(AuthorizationOutcome::Failed, {}, failure, origin);
}

// Only while periodic authorization is on; a round that ends after it was switched off
// reports nothing.
void ProxyManager::periodicRoundDone(const QString &failure)
{
    if (authTimerId == 0)
        return;
    if (failure.isEmpty() && periodicFailing) {
        periodicFailing = false;
        emit periodicAuthorizationRecovered();
    } else if (!failure.isEmpty() && !periodicFailing) {
        periodicFailing = true;
        emit periodicAuthorizationFailed(failure);
    }
}

void ProxyManager::startTesting()
{
    startTestingSome({});
}

void ProxyManager::startTestingSome(const QList<int> &indexes)
{
    tester->pingUrl = pingUrl;
    tester->timeoutMs = timeoutMs;
    tester->tickMs = tickMs;
    tester->start(proxies, std::clamp(testConcurrency, 1, maxTestConcurrency), indexes);
}

void ProxyManager::stop(bool force)
{
    Q_UNUSED(force);
    tester->stop();
}

void ProxyManager::timerEvent(QTimerEvent *event)
{
    if (event->timerId() == authTimerId && authTimerId != 0) {
        requestMyIp();
        requestAuthIps(false);
    }
}
