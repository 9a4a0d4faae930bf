#pragma once

#include "CannedResponse.h"
#include "DemoAnswers.h"
#include "ReceivedRequest.h"

#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTcpServer>
#include <QUrl>

#include <functional>
#include <memory>
#include <optional>

class DemoConnection;

// A small HTTP/1.1 server on loopback that plays the proxy service: the account API, the
// ping page and the logo. Every request is recorded, and a handler can replace any answer,
// so the same class also serves as a fake or broken proxy in tests.
class DemoService : public QObject
{
    Q_OBJECT
public:
    // Called for every request first; std::nullopt keeps the default answer.
    using Handler = std::function<std::optional<CannedResponse>(const ReceivedRequest &)>;

    explicit DemoService(QObject *parent = nullptr);
    ~DemoService() override;

    // Listens on 127.0.0.1; port 0 picks a free one.
    bool listen(quint16 port = 0);
    // The same over TLS with the given PEM certificate and key; url() then gives https URLs.
    bool listenTls(const QString &certificateFile, const QString &keyFile, quint16 port = 0);
    // Stops listening and drops every open connection.
    void close();
    bool isListening() const;
    quint16 port() const;
    QString errorString() const;
    // "127.0.0.1:<port>", the form of a proxy entry.
    QString entry() const;
    // http://127.0.0.1:<port><pathAndQuery>; pathAndQuery is taken as already encoded.
    QUrl url(const QString &pathAndQuery = {}) const;
    QUrl apiUrl() const;
    QUrl pingUrl() const;

    // Adds the account or replaces the one with the same user name.
    void addAccount(const QString &user, const QString &pass, const QStringList &proxies,
                    const QStringList &authIps = {});
    void removeAccount(const QString &user);
    void clearAccounts();
    bool hasAccount(const QString &user) const;
    void setProxies(const QString &user, const QStringList &proxies);
    QStringList proxies(const QString &user) const;
    QStringList authorizedIps(const QString &user) const;
    void setAuthorizedIps(const QString &user, const QStringList &ips);
    // The address getmyip reports; empty means the connection's peer address.
    void setReportedIp(const QString &ip);
    // Served as /logo.png; empty means 404.
    void setLogoFile(const QString &path);
    // setauthips refuses a list longer than this; 0: no cap.
    void setMaxAuthorizedIps(int max);
    // Adds the accounts of {"accounts":[{"user","pass","proxies":[],"authorizedIps":[]}]}.
    bool loadAccounts(const QString &jsonFile, QString *error = nullptr);

    // Pass an empty handler to go back to the default answers.
    void setHandler(Handler handler);

    QList<ReceivedRequest> requests() const;
    QList<ReceivedRequest> requestsFor(const QString &path) const;
    int requestCount() const;
    void clearRequests();
    int openConnectionCount() const;
    quint64 acceptedConnectionCount() const;

signals:
    // Emitted after the request is recorded and before it is answered. Do not delete the
    // service directly from a slot connected here; use deleteLater().
    void requestReceived(const ReceivedRequest &request);

private:
    void acceptConnections();
    CannedResponse respond(const ReceivedRequest &request);

    // A QSslServer while listening for TLS.
    std::unique_ptr<QTcpServer> m_server;
    bool m_tls = false;
    QList<DemoConnection *> m_connections;
    quint64 m_acceptedConnections = 0;
    DemoAnswers m_answers;
    Handler m_handler;
    QList<ReceivedRequest> m_requests;
};
