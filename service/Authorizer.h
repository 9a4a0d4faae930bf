#pragma once

#include "ApiClient.h"
#include "ProxyManager.h"

#include <QObject>
#include <QString>
#include <QStringList>

class QNetworkReply;
class QTimerEvent;

// Keeps the user's address on the account's authorized list: reads the list, writes it back
// with the address added when it is missing, on request and on a timer while periodic rounds
// are on, and reports each round.
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
    void sendAuthIpsRequest(bool callEmit, Origin origin);
    void handleReply(ApiClient::Command command, QNetworkReply *reply);
    void handleAuthIps(QNetworkReply *reply);
    void handleSetAuthIps(QNetworkReply *reply);
    void endRound(Outcome outcome, const QStringList &ips, const QString &failure, Origin origin);
    void periodicRoundDone(const QString &failure);

    ProxyManager &manager;
    ApiClient &api;
    int authTimerId = 0;
    bool periodicFailing = false;
    // Why myIp is empty, for the rounds' reports.
    QString myIpFailure;
    // Caller rounds waiting for the address before they read the list.
    int roundsAwaitingMyIp = 0;
};
