#include "ApiClient.h"

#include "ReplyReader.h"
#include "SafeText.h"

#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTimer>
#include <QUrl>
#include <QUrlQuery>
#if QT_CONFIG(ssl)
#include <QSslError>
#endif

#include <algorithm>
#include <iterator>

using namespace Qt::StringLiterals;

namespace {

const QString commandWords[] = {u"list"_s, u"getmyip"_s, u"getauthips"_s, u"setauthips"_s};
const char *const timedOutProperty = "pmTimedOut";
const char *const tlsErrorProperty = "pmTlsError";

QString encoded(const QString &value, const QByteArray &keep = {})
{
    return QString::fromLatin1(QUrl::toPercentEncoding(value, keep));
}

ReplyReader::Bounds boundsOf(ApiClient::Command command)
{
    using Keep = ReplyReader::Keep;
    switch (command) {
    case ApiClient::Command::List:
        return {Keep::Lines, ProxyManager::maxApiReplyBytes, ProxyManager::maxLineBytes,
                ProxyManager::maxProxies};
    case ApiClient::Command::GetAuthIps:
        return {Keep::AuthorizedIps, ProxyManager::maxApiReplyBytes, ProxyManager::maxLineBytes,
                ProxyManager::maxAuthorizedIps};
    default:
        return {Keep::FirstLine, ProxyManager::maxApiReplyBytes, ProxyManager::maxLineBytes, 0};
    }
}

} // namespace

ApiClient::ApiClient(ProxyManager &manager)
    : QObject(&manager), manager(manager), network(new QNetworkAccessManager(this))
{
    // Redirects are answers of their own: following one would carry the credentials elsewhere.
    network->setRedirectPolicy(QNetworkRequest::ManualRedirectPolicy);
    connect(network, &QNetworkAccessManager::finished, this, &ApiClient::finished);
}

void ApiClient::setCredentials(const QString &user, const QString &pass)
{
    this->user = user;
    this->pass = pass;
    secrets = SecretMask(user, pass);
}

QNetworkReply *ApiClient::send(Command command, const QList<QPair<QString, QString>> &extra)
{
    if (user.isEmpty() || pass.isEmpty())
        return nullptr;

    // Credentials are query values: "&", "#", "+" or "%" in them must not change the query.
    QString text = manager.apiUrl % u"?user="_s % encoded(user) % u"&pass="_s % encoded(pass) %
                   u"&command="_s % commandWords[int(command)];
    for (const auto &[key, value] : extra)
        text += u'&' % key % u'=' % encoded(value, ",:");

    // API traffic never goes through a proxy, whatever the system's settings.
    network->setProxy(QNetworkProxy(QNetworkProxy::NoProxy));
    QNetworkRequest request(QUrl(text, QUrl::TolerantMode));
    // A compressed body could inflate to any size before it is read.
    request.setRawHeader("Accept-Encoding", "identity");
    QNetworkReply *reply = network->get(request);
    connect(ReplyReader::read(reply, boundsOf(command)), &ReplyReader::finished, this,
            &ApiClient::deliver);
#if QT_CONFIG(ssl)
    // The reply's own error text only says that the handshake failed, not why.
    connect(reply, &QNetworkReply::sslErrors, reply, [reply](const QList<QSslError> &errors) {
        if (!errors.isEmpty())
            reply->setProperty(tlsErrorProperty, errors.first().errorString());
    });
#endif
    // A whole-request deadline: a server that drips bytes must not hold a request forever.
    QTimer::singleShot(manager.apiTimeoutMs, reply, [reply] {
        // An answer that has arrived whole may still be being read.
        if (reply->isFinished())
            return;
        reply->setProperty(timedOutProperty, true);
        reply->abort();
    });
    return reply;
}

bool ApiClient::isTimedOut(QNetworkReply *reply)
{
    return reply->property(timedOutProperty).toBool();
}

QString ApiClient::failureOf(QNetworkReply *reply) const
{
    if (isTimedOut(reply))
        return u"no response from server (timed out)"_s;
    if (ReplyReader::isTooLarge(reply))
        return u"the answer is too large"_s;
    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (status.isValid() && (status.toInt() < 200 || status.toInt() > 299))
        return statusFailure(reply);
    if (QString bound = ReplyReader::boundPassed(reply); !bound.isEmpty())
        return bound;
    if (reply->error() == QNetworkReply::NoError)
        return {};
    if (reply->error() == QNetworkReply::SslHandshakeFailedError) {
        QString why = reply->property(tlsErrorProperty).toString();
        if (why.isEmpty())
            why = reply->errorString();
        if (!why.isEmpty())
            why[0] = why[0].toLower();
        return SafeText::singleLine(secrets.masked(u"TLS handshake failed: "_s % why));
    }
    QString text = reply->errorString();
    for (const auto format : {QUrl::PrettyDecoded, QUrl::FullyEncoded})
        text.replace(reply->url().toString(format), reply->url().toString(QUrl::RemoveQuery));
    return SafeText::singleLine(secrets.masked(text));
}

QString ApiClient::statusFailure(QNetworkReply *reply) const
{
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    const QString reason = QString::fromLatin1(
        reply->attribute(QNetworkRequest::HttpReasonPhraseAttribute).toByteArray());
    return SafeText::singleLine(
        secrets.masked(u"HTTP "_s % QString::number(status) % u' ' % reason).trimmed());
}

ProxyManager::FailureKind ApiClient::failureKindOf(QNetworkReply *reply)
{
    using Kind = ProxyManager::FailureKind;
    if (isTimedOut(reply))
        return Kind::Unreachable;
    if (reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).isValid() ||
        ReplyReader::isTooLarge(reply) || reply->error() == QNetworkReply::NoError)
        return Kind::ServiceError;
    return Kind::Unreachable;
}

QString ApiClient::failureOf(QNetworkReply *reply, const QString &firstLine) const
{
    const QString failure = failureOf(reply);
    return failure.isEmpty() && firstLine.contains(u"ERROR")
               ? SafeText::singleLine(secrets.masked(firstLine))
               : failure;
}

void ApiClient::finished(QNetworkReply *reply)
{
    ended.append(reply);
    deliver();
}

// In the order the replies ended, each once its reader is done with it.
void ApiClient::deliver()
{
    while (!ended.isEmpty()) {
        QNetworkReply *reply = ended.constFirst();
        if (const ReplyReader *reader = ReplyReader::of(reply); reader && !reader->isDone())
            return;
        ended.removeFirst();
        const QString command =
            QUrlQuery(reply->url()).queryItemValue(u"command"_s, QUrl::FullyEncoded);
        const auto *word = std::find(std::begin(commandWords), std::end(commandWords), command);
        if (word != std::end(commandWords))
            emit replied(Command(word - std::begin(commandWords)), reply);
        reply->deleteLater();
    }
}
