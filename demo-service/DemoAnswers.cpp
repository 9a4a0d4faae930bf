#include "DemoAnswers.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

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

void DemoAnswers::addAccount(const QString &user, const QString &pass, const QStringList &proxies,
                             const QStringList &authIps)
{
    m_accounts.insert(user, Account{pass, proxies, authIps});
}

void DemoAnswers::removeAccount(const QString &user)
{
    m_accounts.remove(user);
}

void DemoAnswers::clearAccounts()
{
    m_accounts.clear();
}

bool DemoAnswers::hasAccount(const QString &user) const
{
    return m_accounts.contains(user);
}

void DemoAnswers::setProxies(const QString &user, const QStringList &proxies)
{
    auto it = m_accounts.find(user);
    if (it != m_accounts.end())
        it->proxies = proxies;
}

QStringList DemoAnswers::proxies(const QString &user) const
{
    return m_accounts.value(user).proxies;
}

QStringList DemoAnswers::authorizedIps(const QString &user) const
{
    return m_accounts.value(user).authorizedIps;
}

void DemoAnswers::setAuthorizedIps(const QString &user, const QStringList &ips)
{
    auto it = m_accounts.find(user);
    if (it != m_accounts.end())
        it->authorizedIps = ips;
}

void DemoAnswers::setReportedIp(const QString &ip)
{
    m_reportedIp = ip;
}

void DemoAnswers::setLogoFile(const QString &path)
{
    m_logoFile = path;
}

bool DemoAnswers::loadAccounts(const QString &jsonFile, QString *error)
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

CannedResponse DemoAnswers::respond(const ReceivedRequest &request)
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

CannedResponse DemoAnswers::apiResponse(const ReceivedRequest &request)
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
        const QStringList ips = request.queryValue(u"ips"_s).split(u',');
        if (m_maxAuthorizedIps > 0 && ips.size() > m_maxAuthorizedIps)
            return textResponse("ERROR: the list is full\r\n");
        it->authorizedIps = ips;
        return textResponse("OK\r\n");
    }
    return textResponse("ERROR: Unknown command\r\n");
}

CannedResponse DemoAnswers::logoResponse() const
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
