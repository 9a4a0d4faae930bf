#include "ProxyManager.h"

#include <QHostAddress>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QRandomGenerator>
#include <QTimer>
#include <QTimerEvent>
#include <QUrl>
#include <QUrlQuery>

#include <limits>
#include <utility>

using namespace Qt::StringLiterals;

namespace {

const auto noResponseText = u"ERROR: Sorry, no response from server."_s;
const auto refusalMarker = u"<p>Please ensure this IP is set in your Authorized IP list: <b>"_s;
const char *const timedOutProperty = "pmTimedOut";
const char *const tooLargeProperty = "pmTooLarge";
// Carries the wish for a report from a getauthips round to its setauthips reply.
const char *const callEmitProperty = "pmCallEmit";

// Bytes up to the first NUL, one character per byte.
QString latin1UpToNul(const QByteArray &bytes)
{
    const qsizetype nul = bytes.indexOf('\0');
    return QString::fromLatin1(nul < 0 ? bytes : bytes.first(nul));
}

QString encoded(const QString &value, const QByteArray &keep = {})
{
    return QString::fromLatin1(QUrl::toPercentEncoding(value, keep));
}

QString queryValue(const QUrl &url, const QString &key)
{
    return QUrlQuery(url).queryItemValue(key, QUrl::FullyEncoded);
}

// An aborted reply is closed: it reads as an empty body.
QByteArray readLine(QNetworkReply *reply)
{
    return reply->isReadable() ? reply->readLine() : QByteArray();
}

QByteArray readAll(QNetworkReply *reply)
{
    return reply->isReadable() ? reply->readAll() : QByteArray();
}

// Lines of the body, trimmed, until the first line that converts to empty text.
QStringList readLines(QNetworkReply *reply)
{
    QStringList lines;
    for (;;) {
        const QString line = latin1UpToNul(readLine(reply));
        if (line.isEmpty())
            return lines;
        lines.append(line.trimmed());
    }
}

bool isTimedOut(QNetworkReply *reply)
{
    return reply->property(timedOutProperty).toBool();
}

// The access manager keeps a whole body in memory: a reply past the limit is cut off.
void limitSize(QNetworkReply *reply, qint64 maxBytes)
{
    QObject::connect(reply, &QNetworkReply::downloadProgress, reply,
                     [reply, maxBytes](qint64 received, qint64) {
                         if (received <= maxBytes || reply->property(tooLargeProperty).toBool())
                             return;
                         reply->setProperty(tooLargeProperty, true);
                         reply->abort();
                     });
}

} // namespace

ProxyManager::ProxyManager() : QObject(nullptr), network(new QNetworkAccessManager(this))
{
    // Redirects are answers of their own: following one would carry the credentials elsewhere.
    network->setRedirectPolicy(QNetworkRequest::ManualRedirectPolicy);
    connect(network, &QNetworkAccessManager::finished, this, &ProxyManager::finished);
    testInFlight = false;
    tickMs = 1;
    timeoutMs = 10000;
    authPeriodMs = 60000;
    apiTimeoutMs = 30000;
    defaultPort = 3128;
    myIp = u""_s;
}

bool ProxyManager::isTesting() const
{
    return testInFlight || probeReply;
}

void ProxyManager::setCredentials(const QString &user, const QString &pass)
{
    this->user = user;
    this->pass = pass;
    requestMyIp();
}

void ProxyManager::requestProxies()
{
    sendApiRequest(ApiCommand::List, {});
}

void ProxyManager::requestMyIp()
{
    sendApiRequest(ApiCommand::GetMyIp, {});
}

void ProxyManager::requestAuthIps(bool callEmit)
{
    sendApiRequest(ApiCommand::GetAuthIps, {{u"call_emit"_s, callEmit ? u"1"_s : u"0"_s}});
}

void ProxyManager::setAutoAuthorize(bool on)
{
    if (authTimerId != 0) {
        killTimer(authTimerId);
        authTimerId = 0;
    }
    if (!on)
        return;
    authTimerId = startTimer(authPeriodMs);
    requestAuthIps(false);
}

QNetworkReply *ProxyManager::sendApiRequest(ApiCommand command,
                                            const QList<QPair<QString, QString>> &extra)
{
    if (user.isEmpty() || pass.isEmpty())
        return nullptr;

    static const QString words[] = {u"list"_s, u"getmyip"_s, u"getauthips"_s, u"setauthips"_s};
    // Credentials are query values: "&", "#", "+" or "%" in them must not change the query.
    QString text = apiUrl % u"?user="_s % encoded(user) % u"&pass="_s % encoded(pass) %
                   u"&command="_s % words[int(command)];
    for (const auto &[key, value] : extra)
        text += u'&' % key % u'=' % encoded(value, ",:");

    // API traffic never goes through a proxy under test.
    network->setProxy(QNetworkProxy(QNetworkProxy::NoProxy));
    QNetworkReply *reply = network->get(QNetworkRequest(QUrl(text, QUrl::TolerantMode)));
    limitSize(reply, maxApiReplyBytes);
    // A whole-request deadline: a server that drips bytes must not hold a request forever.
    QTimer::singleShot(apiTimeoutMs, reply, [reply] {
        reply->setProperty(timedOutProperty, true);
        reply->abort();
    });
    return reply;
}

// Empty when the reply succeeded; otherwise what failed, without the request's URL,
// which holds the credentials.
QString ProxyManager::failureOf(QNetworkReply *reply) const
{
    if (isTimedOut(reply))
        return u"no response from server (timed out)"_s;
    if (reply->property(tooLargeProperty).toBool())
        return u"the answer is too large"_s;
    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (status.isValid() && (status.toInt() < 200 || status.toInt() > 299)) {
        const QString reason = QString::fromLatin1(
            reply->attribute(QNetworkRequest::HttpReasonPhraseAttribute).toByteArray());
        return QString(u"HTTP "_s % QString::number(status.toInt()) % u' ' % reason).trimmed();
    }
    if (reply->error() == QNetworkReply::NoError)
        return {};
    QString text = reply->errorString();
    for (const auto format : {QUrl::PrettyDecoded, QUrl::FullyEncoded})
        text.replace(reply->url().toString(format), reply->url().toString(QUrl::RemoveQuery));
    return text;
}

// A failed request, or the service's own refusal on the first line of a successful one.
QString ProxyManager::failureOf(QNetworkReply *reply, const QString &firstLine) const
{
    const QString failure = failureOf(reply);
    return failure.isEmpty() && firstLine.contains(u"ERROR") ? firstLine : failure;
}

void ProxyManager::finished(QNetworkReply *reply)
{
    if (reply == testReply) {
        handleTestReply(reply);
    } else if (reply == probeReply) {
        handleProbeReply(reply);
    } else {
        // Anything else of the ping page (a late answer of an abandoned test) is released unread.
        const QString command = queryValue(reply->url(), u"command"_s);
        if (command == u"list")
            handleList(reply);
        else if (command == u"getmyip")
            handleMyIp(reply);
        else if (command == u"getauthips")
            handleAuthIps(reply);
        else if (command == u"setauthips")
            handleSetAuthIps(reply);
    }
    reply->deleteLater();
}

void ProxyManager::handleList(QNetworkReply *reply)
{
    const QString first = latin1UpToNul(readLine(reply));
    proxies.clear();

    const QString failure = failureOf(reply);
    if (!failure.isEmpty()) {
        const bool answered = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).isValid();
        if (!isTimedOut(reply) && first.contains(u"ERROR"))
            emit finishedGetProxies({first});
        else if (isTimedOut(reply) || (!answered && first.isEmpty()))
            emit finishedGetProxies({noResponseText});
        else
            emit finishedGetProxies({u"ERROR: Could not get the proxy list: "_s % failure});
        return;
    }
    if (first.isEmpty()) {
        emit finishedGetProxies({noResponseText});
        return;
    }
    if (first.contains(u"ERROR")) {
        emit finishedGetProxies({first});
        return;
    }
    proxies.append(first.trimmed());
    proxies.append(readLines(reply));
    emit finishedGetProxies(proxies);
}

void ProxyManager::handleMyIp(QNetworkReply *reply)
{
    const QString line = latin1UpToNul(readLine(reply).trimmed());
    // Only a real address may become myIp: it is later sent in the authorized list.
    const bool valid = failureOf(reply).isEmpty() && !QHostAddress(line).isNull();
    myIp = valid ? line : u""_s;
}

void ProxyManager::handleAuthIps(QNetworkReply *reply)
{
    if (myIp.isEmpty())
        return;
    const bool callEmit = queryValue(reply->url(), u"call_emit"_s) == u"1";
    QStringList ips = readLines(reply);
    const QString failure = failureOf(reply, ips.value(0));
    // The setauthips list replaces the account's whole list: never send one built from a
    // failed read, or every other authorized address would be lost.
    if (!failure.isEmpty()) {
        if (callEmit)
            emit authorizeIpFailed(u"could not read the authorized IP addresses ("_s % failure %
                                   u")"_s);
        return;
    }
    if (!ips.contains(myIp)) {
        ips.prepend(myIp);
        QNetworkReply *update =
            sendApiRequest(ApiCommand::SetAuthIps, {{u"ips"_s, ips.join(u',')}});
        if (update)
            update->setProperty(callEmitProperty, callEmit);
    }
    if (callEmit)
        emit finishedAuthorizeIp(ips);
}

void ProxyManager::handleSetAuthIps(QNetworkReply *reply)
{
    if (!reply->property(callEmitProperty).toBool())
        return;
    const QString failure = failureOf(reply, latin1UpToNul(readLine(reply)).trimmed());
    if (!failure.isEmpty())
        emit authorizeIpFailed(u"the service did not store the new list ("_s % failure % u")"_s);
}

void ProxyManager::startTesting()
{
    // A run still outstanding is superseded: its replies no longer count.
    abandonTest();
    currentIndex = 0;
    stopRequested = false;
    testFrom(0);
}

void ProxyManager::stop(bool force)
{
    Q_UNUSED(force);
    stopRequested = true;
}

// Tests the first usable entry from index on; ends the run when none is left.
void ProxyManager::testFrom(int index)
{
    for (int i = index; i < proxies.size(); ++i) {
        currentIndex = i;
        testProxy(i);
        if (testInFlight)
            return;
    }
    stopRequested = true;
    emit finishedTest();
}

void ProxyManager::testProxy(int index)
{
    const QString entry = proxies.at(index);
    if (entry.isEmpty())
        return;
    const QStringList parts = entry.split(u':');
    if (parts.size() != 2)
        return;

    testHost = parts.at(0);
    testPort = quint16(parts.at(1).toInt());
    network->setProxy(QNetworkProxy(QNetworkProxy::HttpProxy, testHost, testPort));

    const int random = int(QRandomGenerator::global()->bounded(std::numeric_limits<int>::max()));
    QNetworkRequest request(QUrl(pingUrl % u"?r="_s % QString::number(random), QUrl::TolerantMode));
    request.setRawHeader("Accept-Language", "en-us,en;q=0.5");
    testReply = network->get(request);
    limitSize(testReply, maxPingReplyBytes);

    emit startTestingProxy(parts);

    elapsedMs = 0;
    testInFlight = true;
    testClock.start();
    startTick();
}

void ProxyManager::timerEvent(QTimerEvent *event)
{
    if (event->timerId() == tickTimerId && tickTimerId != 0) {
        if (testInFlight && testClock.elapsed() >= timeoutMs) {
            testInFlight = false;
            elapsedMs = int(testClock.elapsed());
            // Destroyed, not aborted: an abandoned reply must never reach the dispatcher.
            delete std::exchange(testReply, nullptr);
            emitResult(u"2"_s, {}, false);
            advance();
        } else if (probeReply && probeClock.elapsed() >= timeoutMs) {
            delete std::exchange(probeReply, nullptr);
            emitResult(u"4"_s, {}, false);
            advance();
        }
    } else if (event->timerId() == authTimerId && authTimerId != 0) {
        requestMyIp();
        requestAuthIps(false);
    }
}

void ProxyManager::handleTestReply(QNetworkReply *reply)
{
    testReply = nullptr;
    testInFlight = false;
    elapsedMs = int(testClock.elapsed());
    const QString body = latin1UpToNul(readAll(reply));

    if (body.trimmed() == u"1") {
        emitResult(u"0"_s, {}, false);
        advance();
        return;
    }
    const qsizetype p = body.indexOf(refusalMarker);
    if (p >= 0) {
        const qsizetype start = p + refusalMarker.size();
        const qsizetype end = body.indexOf(u"</b>"_s, p);
        const QString message = body.mid(start, end < 0 ? -1 : end - start);
        if (!message.isEmpty()) {
            emitResult(u"1"_s, message, true);
            advance();
            return;
        }
    }
    probedBody = body;
    sendProbe();
}

void ProxyManager::sendProbe()
{
    const QNetworkProxy underTest = network->proxy();
    network->setProxy(QNetworkProxy(QNetworkProxy::NoProxy));
    probeReply =
        network->get(QNetworkRequest(QUrl(pingUrl % u"?testError=1"_s, QUrl::TolerantMode)));
    limitSize(probeReply, maxPingReplyBytes);
    network->setProxy(underTest);
    probeClock.start();
}

void ProxyManager::handleProbeReply(QNetworkReply *reply)
{
    probeReply = nullptr;
    const bool pingReachable = latin1UpToNul(readAll(reply)).trimmed() == u"1";
    if (pingReachable)
        emitResult(u"3"_s, probedBody, true);
    else
        emitResult(u"4"_s, {}, false);
    advance();
}

void ProxyManager::emitResult(const QString &status, const QString &extra, bool withExtra)
{
    QStringList result{testHost, QString::number(testPort), status, QString::number(elapsedMs),
                       QString::number(currentIndex)};
    if (withExtra)
        result.append(extra);
    emit finishedTestingProxy(result);
}

void ProxyManager::advance()
{
    stopTick();
    if (stopRequested || currentIndex >= proxies.size() - 1) {
        stopRequested = true;
        emit finishedTest();
        return;
    }
    testFrom(currentIndex + 1);
}

void ProxyManager::abandonTest()
{
    delete std::exchange(testReply, nullptr);
    delete std::exchange(probeReply, nullptr);
    testInFlight = false;
    stopTick();
}

// The tick runs only while a test or its probe is outstanding.
void ProxyManager::startTick()
{
    if (tickTimerId == 0)
        tickTimerId = startTimer(tickMs, Qt::PreciseTimer);
}

void ProxyManager::stopTick()
{
    if (tickTimerId != 0 && !isTesting()) {
        killTimer(tickTimerId);
        tickTimerId = 0;
    }
}
