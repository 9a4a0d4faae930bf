#include "DemoService.h"

#include "DemoConnection.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTcpSocket>
#if QT_CONFIG(ssl)
#include <QSslCertificate>
#include <QSslKey>
#include <QSslServer>
#endif

using namespace Qt::StringLiterals;

namespace {

CannedResponse textResponse(const QByteArray &body)
{
    CannedResponse response;
    response.addHeader("Content-Type", "text/plain; charset=utf-8");
    response.body = body;
    return response;
}

QByteArray lines(const QStringList &items)
{
    QByteArray out;
    for (const QString &item : items)
        out += item.toUtf8() + "\r\n";
    return out;
}

QStringList stringList(const QJsonValue &value)
{
    QStringList out;
    const QJsonArray array = value.toArray();
    for (const QJsonValue item : array)
        out.append(item.toString());
    return out;
}

} // namespace

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
    m_accounts.insert(user, Account{pass, proxies, authIps});
}

void DemoService::removeAccount(const QString &user)
{
    m_accounts.remove(user);
}

void DemoService::clearAccounts()
{
    m_accounts.clear();
}

bool DemoService::hasAccount(const QString &user) const
{
    return m_accounts.contains(user);
}

void DemoService::setProxies(const QString &user, const QStringList &proxies)
{
    auto it = m_accounts.find(user);
    if (it != m_accounts.end())
        it->proxies = proxies;
}

QStringList DemoService::proxies(const QString &user) const
{
    return m_accounts.value(user).proxies;
}

QStringList DemoService::authorizedIps(const QString &user) const
{
    return m_accounts.value(user).authorizedIps;
}

void DemoService::setAuthorizedIps(const QString &user, const QStringList &ips)
{
    auto it = m_accounts.find(user);
    if (it != m_accounts.end())
        it->authorizedIps = ips;
}

void DemoService::setReportedIp(const QString &ip)
{
    m_reportedIp = ip;
}

void DemoService::setLogoFile(const QString &path)
{
    m_logoFile = path;
}

bool DemoService::loadAccounts(const QString &jsonFile, QString *error)
{
    auto fail = [error](const QString &message) {
        if (error)
            *error = message;
        return false;
    };
    QFile file(jsonFile);
    if (!file.open(QIODevice::ReadOnly))
        return fail(jsonFile + u": "_s + file.errorString());
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(file.readAll(), &parseError);
    if (parseError.error != QJsonParseError::NoError)
        return fail(jsonFile + u": "_s + parseError.errorString());
    const QJsonValue accounts = document.object().value(u"accounts"_s);
    if (!accounts.isArray())
        return fail(jsonFile + u": no \"accounts\" array"_s);
    const QJsonArray array = accounts.toArray();
    for (const QJsonValue value : array) {
        const QJsonObject object = value.toObject();
        const QString user = object.value(u"user"_s).toString();
        if (user.isEmpty())
            return fail(jsonFile + u": an account has no \"user\""_s);
        addAccount(user, object.value(u"pass"_s).toString(), stringList(object.value(u"proxies"_s)),
                   stringList(object.value(u"authorizedIps"_s)));
    }
    return true;
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
    CannedResponse response = custom ? *custom : defaultResponse(request);
    // Last, as a slot may change the service.
    emit requestReceived(request);
    return response;
}

CannedResponse DemoService::defaultResponse(const ReceivedRequest &request)
{
    if (request.method != "GET") {
        CannedResponse response = CannedResponse::withStatus(405, "Method not allowed\r\n");
        response.addHeader("Allow", "GET");
        return response;
    }
    if (request.path == u"/api")
        return apiResponse(request);
    if (request.path == u"/ping")
        return CannedResponse::withStatus(200, "1");
    if (request.path == u"/logo.png")
        return logoResponse();
    return CannedResponse::withStatus(404, "Not found\r\n");
}

CannedResponse DemoService::apiResponse(const ReceivedRequest &request)
{
    const auto it = m_accounts.find(request.queryValue(u"user"_s));
    if (it == m_accounts.end() || !request.hasQueryItem(u"pass"_s) ||
        it->password != request.queryValue(u"pass"_s))
        return textResponse("ERROR: Wrong username or password\r\n");

    const QString command = request.queryValue(u"command"_s);
    if (command == u"list")
        return textResponse(lines(it->proxies));
    if (command == u"getmyip")
        return textResponse(lines({m_reportedIp.isEmpty() ? request.peerAddress : m_reportedIp}));
    if (command == u"getauthips")
        return textResponse(lines(it->authorizedIps));
    if (command == u"setauthips") {
        it->authorizedIps = request.queryValue(u"ips"_s).split(u',');
        return textResponse("OK\r\n");
    }
    return textResponse("ERROR: Unknown command\r\n");
}

CannedResponse DemoService::logoResponse() const
{
    if (m_logoFile.isEmpty())
        return CannedResponse::withStatus(404, "Not found\r\n");
    QFile file(m_logoFile);
    if (!file.open(QIODevice::ReadOnly))
        return CannedResponse::withStatus(404, "Not found\r\n");
    CannedResponse response;
    const QByteArray type = QFileInfo(m_logoFile).suffix().compare(u"png", Qt::CaseInsensitive) == 0
                                ? QByteArrayLiteral("image/png")
                                : QByteArrayLiteral("application/octet-stream");
    response.addHeader("Content-Type", type);
    response.body = file.readAll();
    return response;
}
