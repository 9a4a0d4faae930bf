#include "DemoService.h"

#include "DemoConnection.h"

#include <QFile>
#include <QTcpSocket>
#if QT_CONFIG(ssl)
#include <QSslCertificate>
#include <QSslKey>
#include <QSslServer>
#endif

using namespace Qt::StringLiterals;

DemoService::DemoService(QObject *parent) : QObject(parent), m_server(new QTcpServer)
{
    qRegisterMetaType<ReceivedRequest>();
    connect(m_server.get(), &QTcpServer::newConnection, this, &DemoService::acceptConnections);
}

DemoService::~DemoService()
{
    m_server->close();
    // Deleted here, not later: their timers and sockets must not outlive the service.
    const QList<DemoConnection *> connections = m_connections;
    m_connections.clear();
    qDeleteAll(connections);
}

bool DemoService::listen(quint16 port)
{
    if (m_tls) {
        m_server.reset(new QTcpServer);
        connect(m_server.get(), &QTcpServer::newConnection, this, &DemoService::acceptConnections);
        m_tls = false;
    }
    if (m_server->isListening())
        m_server->close();
    return m_server->listen(QHostAddress::LocalHost, port);
}

bool DemoService::listenTls(const QString &certificateFile, const QString &keyFile, quint16 port)
{
#if QT_CONFIG(ssl)
    QFile certificate(certificateFile);
    QFile key(keyFile);
    if (!certificate.open(QIODevice::ReadOnly) || !key.open(QIODevice::ReadOnly))
        return false;
    QSslConfiguration configuration;
    configuration.setLocalCertificate(QSslCertificate(certificate.readAll(), QSsl::Pem));
    configuration.setPrivateKey(QSslKey(key.readAll(), QSsl::Rsa, QSsl::Pem));
    auto *server = new QSslServer;
    server->setSslConfiguration(configuration);
    // Connections become pending once their handshake is done.
    connect(server, &QSslServer::pendingConnectionAvailable, this, &DemoService::acceptConnections);
    m_server.reset(server);
    m_tls = true;
    return m_server->listen(QHostAddress::LocalHost, port);
#else
    Q_UNUSED(certificateFile);
    Q_UNUSED(keyFile);
    Q_UNUSED(port);
    return false;
#endif
}

void DemoService::close()
{
    m_server->close();
    const QList<DemoConnection *> connections = m_connections;
    for (DemoConnection *connection : connections)
        connection->abort();
}

bool DemoService::isListening() const
{
    return m_server->isListening();
}

quint16 DemoService::port() const
{
    return m_server->serverPort();
}

QString DemoService::errorString() const
{
    return m_server->errorString();
}

QString DemoService::entry() const
{
    return u"127.0.0.1:"_s + QString::number(port());
}

QUrl DemoService::url(const QString &pathAndQuery) const
{
    QString tail = pathAndQuery;
    if (!tail.isEmpty() && !tail.startsWith(u'/'))
        tail.prepend(u'/');
    return QUrl((m_tls ? u"https://127.0.0.1:"_s : u"http://127.0.0.1:"_s) +
                QString::number(port()) + tail);
}

QUrl DemoService::apiUrl() const
{
    return url(u"/api"_s);
}

QUrl DemoService::pingUrl() const
{
    return url(u"/ping"_s);
}

void DemoService::addAccount(const QString &user, const QString &pass, const QStringList &proxies,
                             const QStringList &authIps)
{
    m_answers.addAccount(user, pass, proxies, authIps);
}

void DemoService::removeAccount(const QString &user)
{
    m_answers.removeAccount(user);
}

void DemoService::clearAccounts()
{
    m_answers.clearAccounts();
}

bool DemoService::hasAccount(const QString &user) const
{
    return m_answers.hasAccount(user);
}

void DemoService::setProxies(const QString &user, const QStringList &proxies)
{
    m_answers.setProxies(user, proxies);
}

QStringList DemoService::proxies(const QString &user) const
{
    return m_answers.proxies(user);
}

QStringList DemoService::authorizedIps(const QString &user) const
{
    return m_answers.authorizedIps(user);
}

void DemoService::setAuthorizedIps(const QString &user, const QStringList &ips)
{
    m_answers.setAuthorizedIps(user, ips);
}

void DemoService::setReportedIp(const QString &ip)
{
    m_answers.setReportedIp(ip);
}

void DemoService::setMaxAuthorizedIps(int max)
{
    m_answers.setMaxAuthorizedIps(max);
}

void DemoService::setLogoFile(const QString &path)
{
    m_answers.setLogoFile(path);
}

bool DemoService::loadAccounts(const QString &jsonFile, QString *error)
{
    return m_answers.loadAccounts(jsonFile, error);
}

void DemoService::setHandler(Handler handler)
{
    m_handler = std::move(handler);
}

QList<ReceivedRequest> DemoService::requests() const
{
    return m_requests;
}

QList<ReceivedRequest> DemoService::requestsFor(const QString &path) const
{
    QList<ReceivedRequest> out;
    for (const ReceivedRequest &request : m_requests) {
        if (request.path == path)
            out.append(request);
    }
    return out;
}

int DemoService::requestCount() const
{
    return int(m_requests.size());
}

void DemoService::clearRequests()
{
    m_requests.clear();
}

int DemoService::openConnectionCount() const
{
    return int(m_connections.size());
}

quint64 DemoService::acceptedConnectionCount() const
{
    return m_acceptedConnections;
}

void DemoService::acceptConnections()
{
    while (QTcpSocket *socket = m_server->nextPendingConnection()) {
        auto *connection = new DemoConnection(
            socket, ++m_acceptedConnections,
            [this](const ReceivedRequest &request) { return respond(request); }, this);
        m_connections.append(connection);
        connect(connection, &DemoConnection::closed, this, [this, connection] {
            m_connections.removeOne(connection);
            connection->deleteLater();
        });
    }
}

CannedResponse DemoService::respond(const ReceivedRequest &request)
{
    m_requests.append(request);
    std::optional<CannedResponse> custom;
    if (m_handler) {
        // A copy, so the handler may replace itself.
        const Handler handler = m_handler;
        custom = handler(request);
    }
    CannedResponse response = custom ? *custom : m_answers.respond(request);
    // Last, as a slot may change the service.
    emit requestReceived(request);
    return response;
}
