#pragma once

#include "CannedResponse.h"
#include "ReceivedRequest.h"

#include <QMap>
#include <QString>
#include <QStringList>

// What DemoService answers when no handler steps in: the account API over the accounts it
// holds, the ping page and the logo.
class DemoAnswers
{
public:
    void addAccount(const QString &user, const QString &pass, const QStringList &proxies,
                    const QStringList &authIps);
    void removeAccount(const QString &user);
    void clearAccounts();
    bool hasAccount(const QString &user) const;
    void setProxies(const QString &user, const QStringList &proxies);
    QStringList proxies(const QString &user) const;
    QStringList authorizedIps(const QString &user) const;
    void setAuthorizedIps(const QString &user, const QStringList &ips);
    void setReportedIp(const QString &ip);
    void setLogoFile(const QString &path);
    // setauthips refuses a longer list with an ERROR line; 0: no cap.
    void setMaxAuthorizedIps(int max) { m_maxAuthorizedIps = max; }
    bool loadAccounts(const QString &jsonFile, QString *error);

    // setauthips changes the account, hence not const.
    CannedResponse respond(const ReceivedRequest &request);

private:
    struct Account
    {
        QString password;
        QStringList proxies;
        QStringList authorizedIps;
    };

    CannedResponse apiResponse(const ReceivedRequest &request);
    CannedResponse logoResponse() const;

    QMap<QString, Account> m_accounts;
    QString m_reportedIp;
    QString m_logoFile;
    int m_maxAuthorizedIps = 0;
};
