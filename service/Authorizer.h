#pragma once

#include "ApiClient.h"
#include "ProxyManager.h"

#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>

#include <memory>
#include <optional>

class AuthorizationSchedule;
class AuthorizedListEdit;
class OwnAddressRecord;
class QNetworkReply;

// Keeps the user's address on the account's authorized list: reads the list, writes it back
// with the address added when it is missing and a second read right after agrees, on request
// and, while periodic rounds are on, as their schedule says, and reports each round. Rounds
// run one at a time, so that none reads or writes a list that another is changing: one asked
// for meanwhile waits, a periodic one joins a periodic round already out or waiting, and a
// change's round joins one waiting.
class Authorizer : public QObject
{
    Q_OBJECT

public:
    using Outcome = ProxyManager::AuthorizationOutcome;
    using Origin = ProxyManager::AuthorizationOrigin;

    // Reads the manager's myIp and authPeriodMs and asks it for the address.
    Authorizer(ProxyManager &manager, ApiClient &api);
    ~Authorizer() override;

    // A read of the list that never writes; ends in authorizedListRead or authorizedListFailed.
    void readAuthorized();
    // A fresh read, then a write of it with the additions and without the removals; refused
    // when a removal covers the user's address or is not listed.
    void editAuthorized(const QStringList &additions, const QStringList &removals);
    // The record of the addresses the rounds added, which then replace the previous one of
    // their family; null: none is kept or replaced.
    void setOwnAddresses(std::unique_ptr<OwnAddressRecord> record);
    void requestAuthIps(bool callEmit);
    void setAutoAuthorize(bool on);
    void authorize();
    // A getmyip request (null: none was sent) ended with the manager's myIp; failure says why
    // it is empty.
    void myIpSettled(const QNetworkReply *reply, const QString &failure);

signals:
    void finishedAuthorizeIp(const QStringList &ips);
    void authorizeIpFailed(const QString &reason);
    void periodicAuthorizationFailed(const QString &reason);
    void periodicAuthorizationRecovered();
    void authorizationEnded(ProxyManager::AuthorizationOutcome outcome, const QStringList &ips,
                            const QString &failure, ProxyManager::AuthorizationOrigin origin);
    void addressChangeAuthorized(const QString &from, const QString &to);
    void previousAddressRemoved(const QString &added, const QStringList &removed);
    void authorizedListRead(const QStringList &entries, const QDateTime &readAt);
    void authorizedListFailed(const QString &reason, bool refused);

private:
    struct Round
    {
        explicit Round(Origin origin = Origin::Button, bool callEmit = false,
                       bool readsAfterMyIp = false)
            : origin(origin), callEmit(callEmit), readsAfterMyIp(readsAfterMyIp)
        {
        }

        Origin origin;
        // Reports through finishedAuthorizeIp and authorizeIpFailed, not the periodic reports.
        bool callEmit;
        // Asks for the address first and judges the list by that answer alone; otherwise by
        // the manager's myIp.
        bool readsAfterMyIp;
        quint64 number = 0;
        bool myIpUnsent = false;
        // The round's own getmyip answer, and the address known before it.
        QString address;
        QString previousAddress;
        // The entries of the round's first read, once it found the address missing.
        std::optional<QStringList> firstRead;
        // What the setauthips request stores.
        QStringList written;
        // A list edit's.
        QStringList additions;
        QStringList removals;
        // The user's address when the write adds it, and this program's previous one it drops.
        QString addedOwn;
        QStringList replaced;
        // Failed as a request that may not be carried out.
        bool refused = false;
    };

    void ask(const Round &round);
    void startNext();
    void readList();
    void handleReply(ApiClient::Command command, QNetworkReply *reply);
    void handleAuthIps(QNetworkReply *reply);
    void handleSetAuthIps(QNetworkReply *reply);
    AuthorizedListEdit planned(const QStringList &read, const QString &myIp) const;
    // Ends the round out as failed: the button's round hears why when told, a periodic one
    // through its streak.
    void fail(const QString &reason, bool told = true, bool refused = false);
    void roundGood();
    // ips may be the ending round's own list: it is copied before the round goes.
    void endRound(Outcome outcome, const QStringList &ips, const QString &failure);

    ProxyManager &manager;
    ApiClient &api;
    AuthorizationSchedule *schedule = nullptr;
    std::unique_ptr<OwnAddressRecord> own;
    // The last address a getmyip answer gave.
    QString lastKnownIp;
    // Why myIp is empty, for the rounds' reports.
    QString myIpFailure;
    // Why a round cannot go on without the address.
    QString unknownAddress() const;
    std::optional<Round> current;
    QList<Round> waiting;
    quint64 roundsStarted = 0;
    bool awaitingMyIp = false;
};
