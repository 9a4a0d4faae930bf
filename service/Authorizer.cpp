#include "Authorizer.h"

#include "AuthorizationSchedule.h"
#include "AuthorizedIpList.h"
#include "AuthorizedListEdit.h"
#include "OwnAddressRecord.h"
#include "ReplyBody.h"

#include <QDateTime>
#include <QHostAddress>
#include <QNetworkReply>
#include <QTimer>

#include <utility>

using namespace Qt::StringLiterals;
using namespace ReplyBody;

namespace {

// The number of the round a request belongs to.
const char *const roundProperty = "pmRound";

} // namespace

Authorizer::Authorizer(ProxyManager &manager, ApiClient &api)
    : QObject(&manager), manager(manager), api(api),
      schedule(new AuthorizationSchedule(manager, this))
{
    connect(&api, &ApiClient::replied, this, &Authorizer::handleReply);
    connect(schedule, &AuthorizationSchedule::roundDue, this,
            [this](Origin origin) { ask(Round(origin, false, true)); });
    connect(schedule, &AuthorizationSchedule::streakFailed, this,
            &Authorizer::periodicAuthorizationFailed);
    connect(schedule, &AuthorizationSchedule::streakEnded, this,
            &Authorizer::periodicAuthorizationRecovered);
}

Authorizer::~Authorizer() = default;

void Authorizer::authorize()
{
    ask(Round(Origin::Caller, true, true));
}

void Authorizer::readAuthorized()
{
    ask(Round(Origin::ListRead));
}

void Authorizer::editAuthorized(const QStringList &additions, const QStringList &removals)
{
    Round round(Origin::ListEdit, false, true);
    round.additions = additions;
    round.removals = removals;
    ask(round);
}

void Authorizer::setOwnAddresses(std::unique_ptr<OwnAddressRecord> record)
{
    own = std::move(record);
}

void Authorizer::requestAuthIps(bool callEmit)
{
    ask(Round(callEmit ? Origin::Button : Origin::Periodic, callEmit));
}

void Authorizer::setAutoAuthorize(bool on)
{
    if (on) {
        schedule->start();
        ask(Round(Origin::SwitchOn));
        return;
    }
    schedule->stop();
    // Switched off: periodic rounds not yet started never send anything.
    QList<Round> dropped;
    for (qsizetype i = waiting.size() - 1; i >= 0; --i) {
        if (ProxyManager::isScheduled(waiting.at(i).origin))
            dropped.prepend(waiting.takeAt(i));
    }
    for (const Round &round : std::as_const(dropped))
        emit authorizationEnded(Outcome::Failed, {}, u"periodic authorization was switched off"_s,
                                round.origin);
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
    fail(unknownAddress(), false);
}

void Authorizer::endRound(Outcome outcome, const QStringList &ips, const QString &failure)
{
    // ips may be the round's own list, which ending the round frees.
    const QStringList reported = ips; // NOLINT(performance-unnecessary-copy-initialization)
    const Round ended = std::move(*current);
    current.reset();
    if (outcome == Outcome::Added && !ended.callEmit && ProxyManager::isScheduled(ended.origin) &&
        !ended.previousAddress.isEmpty() && ended.previousAddress != ended.address)
        emit addressChangeAuthorized(ended.previousAddress, ended.address);
    if (outcome == Outcome::Added && !ended.replaced.isEmpty())
        emit previousAddressRemoved(ended.addedOwn, ended.replaced);
    if (outcome == Outcome::Failed &&
        (ended.origin == Origin::ListRead || ended.origin == Origin::ListEdit))
        emit authorizedListFailed(failure, ended.refused);
    emit authorizationEnded(outcome, reported, failure, ended.origin);
    if (ProxyManager::isScheduled(ended.origin))
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
    const QString myIp = current->readsAfterMyIp ? current->address : manager.myIp;
    if (myIp.isEmpty() && current->origin != Origin::ListRead) {
        fail(unknownAddress(), false);
        return;
    }
    const AuthorizedIpList list = AuthorizedIpList::checked(reply, api);
    QString failure = list.problem;
    // An empty or cut answer reads just like a short list, and the write would drop what it
    // missed: only two reads in a row that agree may lead to one.
    if (failure.isEmpty() && current->firstRead && *current->firstRead != list.entries)
        failure = u"the list changed between two reads"_s;
    if (!failure.isEmpty()) {
        fail(u"could not read the authorized IP addresses ("_s % failure % u")"_s);
        return;
    }
    if (current->origin == Origin::ListRead) {
        emit authorizedListRead(list.entries, QDateTime::currentDateTimeUtc());
        endRound(Outcome::AlreadyPresent, list.entries, {});
        return;
    }
    const AuthorizedListEdit edit = planned(list.entries, myIp);
    if (!edit.refusal.isEmpty()) {
        fail(edit.refusal, true, true);
        return;
    }
    if (edit.changes && !current->firstRead) {
        current->firstRead = list.entries;
        readList();
        return;
    }
    emit authorizedListRead(list.entries, QDateTime::currentDateTimeUtc());
    if (!edit.changes) {
        roundGood();
        if (current->callEmit)
            emit finishedAuthorizeIp(list.entries);
        endRound(Outcome::AlreadyPresent, list.entries, {});
        return;
    }
    QNetworkReply *update =
        api.send(ApiClient::Command::SetAuthIps, {{u"ips"_s, edit.written.join(u',')}});
    if (update) {
        update->setProperty(roundProperty, current->number);
        current->written = edit.written;
        if (edit.written.constFirst() == myIp && !list.entries.contains(myIp))
            current->addedOwn = myIp;
        if (current->origin != Origin::ListEdit)
            current->replaced = edit.removed;
    }
    if (current->callEmit)
        emit finishedAuthorizeIp(edit.written);
    // Credentials cleared since the read: nothing was written.
    if (!update)
        endRound(Outcome::Failed, {}, u"not logged in"_s);
}

AuthorizedListEdit Authorizer::planned(const QStringList &read, const QString &myIp) const
{
    if (current->origin == Origin::ListEdit)
        return AuthorizedListEdit::apply(read, myIp, current->additions, current->removals);
    const QString previous =
        own ? own->lastAdded(manager.apiUrl, api.userName(), QHostAddress(myIp).protocol())
            : QString();
    return AuthorizedListEdit::keepingListed(read, myIp, previous);
}

void Authorizer::handleSetAuthIps(QNetworkReply *reply)
{
    const QString failure = api.failureOf(reply, latin1UpToNul(readLine(reply)).trimmed());
    if (!failure.isEmpty()) {
        fail(u"the service did not store the new list ("_s % failure % u")"_s);
        return;
    }
    roundGood();
    if (own && !current->addedOwn.isEmpty())
        own->setLastAdded(manager.apiUrl, api.userName(), current->addedOwn);
    endRound(Outcome::Added, current->written, {});
}

void Authorizer::fail(const QString &reason, bool told, bool refused)
{
    if (current->callEmit) {
        if (told)
            emit authorizeIpFailed(reason);
    } else if (ProxyManager::isScheduled(current->origin)) {
        schedule->reportRound(reason);
    }
    current->refused = refused;
    endRound(Outcome::Failed, {}, reason);
}

void Authorizer::roundGood()
{
    if (!current->callEmit && ProxyManager::isScheduled(current->origin))
        schedule->reportRound({});
}
