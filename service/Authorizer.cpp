#include "Authorizer.h"

#include "AuthorizationSchedule.h"
#include "AuthorizedIpList.h"
#include "ReplyBody.h"

#include <QHostAddress>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTimer>

#include <utility>

using namespace Qt::StringLiterals;
using namespace ReplyBody;

namespace {

// The number of the round a request belongs to.
const char *const roundProperty = "pmRound";

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
    : QObject(&manager), manager(manager), api(api),
      schedule(new AuthorizationSchedule(manager, this))
{
    connect(&api, &ApiClient::replied, this, &Authorizer::handleReply);
    connect(schedule, &AuthorizationSchedule::roundDue, this,
            [this](Origin origin) { ask(Round(origin, false, true)); });
}

void Authorizer::authorize()
{
    ask(Round(Origin::Caller, true, true));
}

void Authorizer::requestAuthIps(bool callEmit)
{
    ask(Round(callEmit ? Origin::Button : Origin::Periodic, callEmit));
}

void Authorizer::setAutoAuthorize(bool on)
{
    if (on) {
        schedule->start();
        periodicFailing = false;
        ask(Round(Origin::SwitchOn));
        return;
    }
    schedule->stop();
    // Switched off: periodic rounds not yet started never send anything.
    QList<Round> dropped;
    for (qsizetype i = waiting.size() - 1; i >= 0; --i) {
        if (isScheduled(waiting.at(i).origin))
            dropped.prepend(waiting.takeAt(i));
    }
    for (const Round &round : std::as_const(dropped))
        emit authorizationEnded(Outcome::Failed, {}, u"periodic authorization was switched off"_s,
                                round.origin);
}

bool Authorizer::isScheduled(Origin origin)
{
    return origin == Origin::Periodic || origin == Origin::SwitchOn ||
           origin == Origin::AddressChange;
}

void Authorizer::ask(const Round &round)
{
    const auto joins = [](Origin origin) {
        return origin == Origin::Periodic || origin == Origin::AddressChange;
    };
    if (joins(round.origin)) {
        for (Round &other : waiting) {
            if (joins(other.origin)) {
                other.readsAfterMyIp |= round.readsAfterMyIp;
                if (round.origin == Origin::AddressChange)
                    other.origin = Origin::AddressChange;
                return;
            }
        }
        // A change's round must ask for the address after the change: not one already out.
        if (round.origin == Origin::Periodic && current && joins(current->origin))
            return;
    }
    waiting.append(round);
    startNext();
}

void Authorizer::startNext()
{
    if (current || waiting.isEmpty())
        return;
    current = waiting.takeFirst();
    current->number = ++roundsStarted;
    if (current->readsAfterMyIp) {
        awaitingMyIp = true;
        if (QNetworkReply *reply = manager.requestMyIp())
            reply->setProperty(roundProperty, current->number);
        else
            current->myIpUnsent = true;
        return;
    }
    readList();
}

void Authorizer::readList()
{
    QNetworkReply *reply = api.send(ApiClient::Command::GetAuthIps,
                                    {{u"call_emit"_s, current->callEmit ? u"1"_s : u"0"_s}});
    if (reply) {
        reply->setProperty(roundProperty, current->number);
        return;
    }
    // Said from the event loop, as an answer would be.
    QTimer::singleShot(0, this, [this, number = current->number] {
        if (current && current->number == number)
            endRound(Outcome::Failed, {}, u"not logged in"_s);
    });
}

// A round waiting for its own answer goes on to read the list, or ends when the address is
// unknown; another request's answer may come first.
void Authorizer::myIpSettled(const QNetworkReply *reply, const QString &failure)
{
    myIpFailure = failure;
    const QString previous = lastKnownIp;
    if (!manager.myIp.isEmpty())
        lastKnownIp = manager.myIp;
    if (!awaitingMyIp || (reply ? reply->property(roundProperty).toULongLong() != current->number
                                : !current->myIpUnsent))
        return;
    awaitingMyIp = false;
    current->address = manager.myIp;
    current->previousAddress = previous;
    if (!manager.myIp.isEmpty()) {
        readList();
        return;
    }
    const QString reason = unknownAddress();
    if (!current->callEmit)
        periodicRoundDone(reason);
    endRound(Outcome::Failed, {}, reason);
}

void Authorizer::endRound(Outcome outcome, const QStringList &ips, const QString &failure)
{
    // ips may be the round's own list, which ending the round frees.
    const QStringList reported = ips; // NOLINT(performance-unnecessary-copy-initialization)
    const Round ended = std::move(*current);
    current.reset();
    if (outcome == Outcome::Added && !ended.callEmit && !ended.previousAddress.isEmpty() &&
        ended.previousAddress != ended.address)
        emit addressChangeAuthorized(ended.previousAddress, ended.address);
    emit authorizationEnded(outcome, reported, failure, ended.origin);
    if (isScheduled(ended.origin))
        schedule->roundEnded(outcome != Outcome::Failed);
    startNext();
}

void Authorizer::handleReply(ApiClient::Command command, QNetworkReply *reply)
{
    // Only the round out has requests out.
    if (!current || reply->property(roundProperty).toULongLong() != current->number)
        return;
    if (command == ApiClient::Command::GetAuthIps)
        handleAuthIps(reply);
    else if (command == ApiClient::Command::SetAuthIps)
        handleSetAuthIps(reply);
}

QString Authorizer::unknownAddress() const
{
    return myIpFailure.isEmpty() ? u"my IP address is not known"_s
                                 : u"my IP address is not known ("_s % myIpFailure % u")"_s;
}

void Authorizer::handleAuthIps(QNetworkReply *reply)
{
    const bool callEmit = current->callEmit;
    const QString myIp = current->readsAfterMyIp ? current->address : manager.myIp;
    if (myIp.isEmpty()) {
        const QString reason = unknownAddress();
        if (!callEmit)
            periodicRoundDone(reason);
        endRound(Outcome::Failed, {}, reason);
        return;
    }
    QString failure = api.failureOf(reply);
    // A 204 or another success status without a list would read as an empty one.
    if (failure.isEmpty() &&
        reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt() != 200)
        failure = api.statusFailure(reply);
    AuthorizedIpList list;
    if (failure.isEmpty()) {
        const QByteArray body = readAll(reply);
        // The setauthips list replaces the account's whole list: only a read that is whole and
        // understood line by line may lead to one, or other addresses would be lost or garbage
        // stored.
        if (isShort(reply, body.size()))
            failure = u"the answer was cut off"_s;
        else
            failure = (list = AuthorizedIpList::read(reply, hasLength(reply), api.mask())).problem;
    }
    // An empty or cut answer reads just like a short list, and the write would drop what it
    // missed: only two reads in a row that agree may lead to one.
    if (failure.isEmpty() && current->firstRead && *current->firstRead != list.entries)
        failure = u"the list changed between two reads"_s;
    if (!failure.isEmpty()) {
        const QString reason = u"could not read the authorized IP addresses ("_s % failure % u")"_s;
        if (callEmit)
            emit authorizeIpFailed(reason);
        else
            periodicRoundDone(reason);
        endRound(Outcome::Failed, {}, reason);
        return;
    }

    QStringList ips = list.entries;
    if (!list.holds(QHostAddress(myIp))) {
        if (!current->firstRead) {
            current->firstRead = list.entries;
            readList();
            return;
        }
        ips.prepend(myIp);
        QNetworkReply *update =
            api.send(ApiClient::Command::SetAuthIps, {{u"ips"_s, ips.join(u',')}});
        if (update) {
            update->setProperty(roundProperty, current->number);
            current->written = ips;
        }
        if (callEmit)
            emit finishedAuthorizeIp(ips);
        // Credentials cleared since the read: nothing was written.
        if (!update)
            endRound(Outcome::Failed, {}, u"not logged in"_s);
        return;
    }
    if (!callEmit)
        periodicRoundDone({});
    if (callEmit)
        emit finishedAuthorizeIp(ips);
    endRound(Outcome::AlreadyPresent, ips, {});
}

void Authorizer::handleSetAuthIps(QNetworkReply *reply)
{
    QString failure = api.failureOf(reply, latin1UpToNul(readLine(reply)).trimmed());
    if (!failure.isEmpty())
        failure = u"the service did not store the new list ("_s % failure % u")"_s;
    if (current->callEmit) {
        if (!failure.isEmpty())
            emit authorizeIpFailed(failure);
    } else {
        periodicRoundDone(failure);
    }
    if (failure.isEmpty())
        endRound(Outcome::Added, current->written, {});
    else
        endRound(Outcome::Failed, {}, failure);
}

// Only while periodic authorization is on; a round that ends after it was switched off
// reports nothing.
void Authorizer::periodicRoundDone(const QString &failure)
{
    if (!schedule->isOn())
        return;
    if (failure.isEmpty() && periodicFailing) {
        periodicFailing = false;
        emit periodicAuthorizationRecovered();
    } else if (!failure.isEmpty() && !periodicFailing) {
        periodicFailing = true;
        emit periodicAuthorizationFailed(failure);
    }
}
