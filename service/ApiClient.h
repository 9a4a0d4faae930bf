#pragma once

#include "ProxyManager.h"
#include "SecretMask.h"

#include <QList>
#include <QObject>
#include <QPair>
#include <QString>

class QNetworkAccessManager;
class QNetworkReply;

// The service's API: builds each request with the credentials, sends it directly (never through
// a proxy) with a deadline, reads each answer within bounds as it arrives, tells each reply's
// command from its URL and says why a reply failed.
class ApiClient : public QObject
{
    Q_OBJECT

public:
    enum class Command
    {
        List,
        GetMyIp,
        GetAuthIps,
        SetAuthIps
    };

    // The manager's apiUrl and apiTimeoutMs are read at each request.
    explicit ApiClient(ProxyManager &manager);

    void setCredentials(const QString &user, const QString &pass);
    const QString &userName() const { return user; }
    const QString &password() const { return pass; }
    // Null, and nothing sent, unless both credentials are set.
    QNetworkReply *send(Command command, const QList<QPair<QString, QString>> &extra = {});

    // The current credentials' mask, for any text from the service shown as a message.
    const SecretMask &mask() const { return secrets; }

    // Empty when the reply succeeded; otherwise what failed, without the request's URL or the
    // password in any form.
    QString failureOf(QNetworkReply *reply) const;
    // A failed request, or the service's own refusal on the first line of a successful one.
    QString failureOf(QNetworkReply *reply, const QString &firstLine) const;
    // The reply's status as one line, "HTTP 204 No Content", for a status that is not wanted.
    QString statusFailure(QNetworkReply *reply) const;
    // Only for a failed reply: whether the service answered at all.
    static ProxyManager::FailureKind failureKindOf(QNetworkReply *reply);
    static bool isTimedOut(QNetworkReply *reply);

signals:
    // Each reply once, then it is released; one with no known command is released unread.
    void replied(ApiClient::Command command, QNetworkReply *reply);

private:
    void finished(QNetworkReply *reply);
    void deliver();

    const ProxyManager &manager;
    QString user;
    QString pass;
    SecretMask secrets;
    QNetworkAccessManager *network = nullptr;
    // Ended, not yet handed on: a reply waits until its reader is done and those before it
    // are handed on.
    QList<QNetworkReply *> ended;
};
