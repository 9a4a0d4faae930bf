#pragma once

#include "ApiClient.h"
#include "ProxyManager.h"

#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>

#include <optional>

class QNetworkReply;
class QTimerEvent;

// Keeps the user's address on the account's authorized list: reads the list, writes it back
// with the address added when it is missing and a second read right after agrees, on request
// and on a timer while periodic rounds are on, and reports each round. Rounds run one at a
// time, so that none reads or writes a list that another is changing: one asked for meanwhile
// waits, a periodic one joins a periodic round already out or waiting.
class Authorizer : public QObject
{
    Q_OBJECT

public:
    using Outcome = ProxyManager::AuthorizationOutcome;
    using Origin = ProxyManager::AuthorizationOrigin;

    // Reads the manager's myIp and authPeriodMs and asks it for the address.
    Authorizer(ProxyManager &manager, ApiClient &api);

    void requestAuthIps(bool callEmit);
    void setAutoAuthorize(bool on);
    void authorize();
    // A getmyip request ended with the manager's myIp; failure says why it is empty.
    void myIpSettled(const QString &failure);

signals:
    void finishedAuthorizeIp(const QStringList &ips);
    void authorizeIpFailed(const QString &reason);
    void periodicAuthorizationFailed(const QString &reason);
    void periodicAuthorizationRecovered();
    void authorizationEnded(ProxyManager::AuthorizationOutcome outcome, const QStringList &ips,
                            const QString &failure, ProxyManager::AuthorizationOrigin origin);

protected:
    void timerEvent(QTimerEvent *event) override;

private:
    struct Round
    {
        explicit Round(Origin origin = Origin::Button, bool callEmit = false,
                       bool refreshesMyIp = false, bool readsAfterMyIp = false)
            : origin(origin), callEmit(callEmit), refreshesMyIp(refreshesMyIp),
              readsAfterMyIp(readsAfterMyIp)
        {
        }

        Origin origin;
        // Reports through finishedAuthorizeIp and authorizeIpFailed, not the periodic reports.
        bool callEmit;
        // The tick asks for the address beside the list, a caller before it.
        bool refreshesMyIp;
        bool readsAfterMyIp;
        quint64 number = 0;
        // The entries of the round's first read, once it found the address missing.
        std::optional<QStringList> firstRead;
        // What the setauthips request stores.
        QStringList written;
    };

    void ask(const Round &round);
    void startNext();
    void readList();
    void handleReply(ApiClient::Command command, QNetworkReply *reply);
    void handleAuthIps(QNetworkReply *reply);
    void handleSetAuthIps(QNetworkReply *reply);
    // ips by value: it may be the ending round's own list.
    void endRound(Outcome outcome, const QStringList &ips, const QString &failure);
    void periodicRoundDone(const QString &failure);

    ProxyManager &manager;
    ApiClient &api;
    int authTimerId = 0;
    bool periodicFailing = false;
    // Why myIp is empty, for the rounds' reports.
    QString myIpFailure;
    // Why a round cannot go on without the address.
    QString unknownAddress() const;
    std::optional<Round> current;
    QList<Round> waiting;
    quint64 roundsStarted = 0;
    bool awaitingMyIp = false;
};
