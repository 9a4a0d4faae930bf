#include "Authorizer.h"

#include "AuthorizedIpList.h"
#include "ReplyBody.h"

#include <QHostAddress>
#include <QNetworkReply>
#include <QTimerEvent>
#include <QUrl>
#include <QUrlQuery>

using namespace Qt::StringLiterals;
using namespace ReplyBody;

namespace {

// Carries the wish for a report from a getauthips round to its setauthips reply.
const char *const callEmitProperty = "pmCallEmit";
// The list a setauthips request stores, for the round's outcome.
const char *const ipsProperty = "pmIps";
const char *const originProperty = "pmOrigin";

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

} // namespace

Authorizer::Authorizer(ProxyManager &manager, ApiClient &api)
    : QObject(&manager), manager(manager), api(api)
{
    connect(&api, &ApiClient::replied, this, &Authorizer::handleReply);
}

void Authorizer::authorize()
{
    ++roundsAwaitingMyIp;
    manager.requestMyIp();
}

void Authorizer::requestAuthIps(bool callEmit)
{
    sendAuthIpsRequest(callEmit, callEmit ? Origin::Button : Origin::Periodic);
}

void Authorizer::sendAuthIpsRequest(bool callEmit, Origin origin)
{
    QNetworkReply *reply =
        api.send(ApiClient::Command::GetAuthIps, {{u"call_emit"_s, callEmit ? u"1"_s : u"0"_s}});
    if (reply)
        reply->setProperty(originProperty, int(origin));
}

void Authorizer::setAutoAuthorize(bool on)
{
    if (authTimerId != 0) {
        killTimer(authTimerId);
        authTimerId = 0;
    }
    if (!on)
        return;
    authTimerId = startTimer(manager.authPeriodMs);
    periodicFailing = false;
    sendAuthIpsRequest(false, Origin::SwitchOn);
}

void Authorizer::timerEvent(QTimerEvent *event)
{
    if (event->timerId() == authTimerId && authTimerId != 0) {
        manager.requestMyIp();
        requestAuthIps(false);
    }
}

// A caller round waiting for the address goes on to read the list, or ends when the address
// is unknown.
void Authorizer::myIpSettled(const QString &failure)
{
    myIpFailure = failure;
    if (roundsAwaitingMyIp == 0)
        return;
    --roundsAwaitingMyIp;
    if (manager.myIp.isEmpty()) {
        endRound(Outcome::Failed, {}, u"my IP address is not known ("_s % myIpFailure % u")"_s,
                 Origin::Caller);
        return;
    }
    sendAuthIpsRequest(true, Origin::Caller);
}

void Authorizer::endRound(Outcome outcome, const QStringList &ips, const QString &failure,
                          Origin origin)
{
    emit authorizationEnded(outcome, ips, failure, origin);
}

void Authorizer::handleReply(ApiClient::Command command, QNetworkReply *reply)
{
    if (command == ApiClient::Command::GetAuthIps)
        handleAuthIps(reply);
    else if (command == ApiClient::Command::SetAuthIps)
        handleSetAuthIps(reply);
}

void Authorizer::handleAuthIps(QNetworkReply *reply)
{
    const bool callEmit =
        QUrlQuery(reply->url()).queryItemValue(u"call_emit"_s, QUrl::FullyEncoded) == u"1";
    const auto origin = Origin(reply->property(originProperty).toInt());
    const QString &myIp = manager.myIp;
    if (myIp.isEmpty()) {
        const QString reason = myIpFailure.isEmpty()
                                   ? u"my IP address is not known"_s
                                   : u"my IP address is not known ("_s % myIpFailure % u")"_s;
        if (!callEmit)
            periodicRoundDone(reason);
        endRound(Outcome::Failed, {}, reason, origin);
        return;
    }
    QString failure = ApiClient::failureOf(reply);
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
        endRound(Outcome::Failed, {}, reason, origin);
        return;
    }

    QStringList ips = list.entries;
    if (!list.holds(QHostAddress(myIp))) {
        ips.prepend(myIp);
        QNetworkReply *update =
            api.send(ApiClient::Command::SetAuthIps, {{u"ips"_s, ips.join(u',')}});
        if (update) {
            update->setProperty(callEmitProperty, callEmit);
            update->setProperty(ipsProperty, ips);
            update->setProperty(originProperty, int(origin));
        }
        if (callEmit)
            emit finishedAuthorizeIp(ips);
        // Credentials cleared since the read: nothing was written.
        if (!update)
            endRound(Outcome::Failed, {}, u"not logged in"_s, origin);
        return;
    }
    if (!callEmit)
        periodicRoundDone({});
    if (callEmit)
        emit finishedAuthorizeIp(ips);
    endRound(Outcome::AlreadyPresent, ips, {}, origin);
}

void Authorizer::handleSetAuthIps(QNetworkReply *reply)
{
    QString failure = ApiClient::failureOf(reply, latin1UpToNul(readLine(reply)).trimmed());
    if (!failure.isEmpty())
        failure = u"the service did not store the new list ("_s % failure % u")"_s;
    if (reply->property(callEmitProperty).toBool()) {
        if (!failure.isEmpty())
            emit authorizeIpFailed(failure);
    } else {
        periodicRoundDone(failure);
    }
    const auto origin = Origin(reply->property(originProperty).toInt());
    if (failure.isEmpty())
        endRound(Outcome::Added, reply->property(ipsProperty).toStringList(), {}, origin);
    else
        endRound(Outcome::Failed, {}, failure, origin);
}

// Only while periodic authorization is on; a round that ends after it was switched off
// reports nothing.
void Authorizer::periodicRoundDone(const QString &failure)
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
