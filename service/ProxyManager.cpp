#include "ProxyManager.h"

#include "AuthorizedIpList.h"
#include "IpAddress.h"
#include "ProxyEntry.h"
#include "SafeText.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QRandomGenerator>
#include <QTimer>
#include <QTimerEvent>
#include <QUrl>
#include <QUrlQuery>
#if QT_CONFIG(ssl)
#include <QSslError>
#endif

#include <limits>
#include <utility>

using namespace Qt::StringLiterals;

namespace {

const auto noResponseText = u"ERROR: Sorry, no response from server."_s;
const auto refusalMarker = u"<p>Please ensure this IP is set in your Authorized IP list: <b>"_s;
const char *const timedOutProperty = "pmTimedOut";
const char *const tooLargeProperty = "pmTooLarge";
const char *const tlsErrorProperty = "pmTlsError";
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

// Lines of the body, trimmed, until the first line that converts to empty text; at most
// maxLines + 1, so that a caller can tell a list past its bound.
QStringList readLines(QNetworkReply *reply, int maxLines)
{
    QStringList lines;
    while (lines.size() <= maxLines) {
        const QString line = latin1UpToNul(readLine(reply));
        if (line.isEmpty())
            return lines;
        lines.append(line.trimmed());
    }
    return lines;
}

// Only a Content-Length shows that a body arrived whole. The access manager reads a reset as a
// clean end of an unframed body, and also of a chunked one cut between chunks, without the
// last chunk: those count as whole only when they end with a line end.
bool hasLength(QNetworkReply *reply)
{
    return reply->hasRawHeader("Content-Length");
}

// A body cut short of its Content-Length: the access manager reports it after a clean close,
// not after a reset.
bool isShort(QNetworkReply *reply, qsizetype received)
{
    if (!reply->hasRawHeader("Content-Length") || reply->hasRawHeader("Content-Encoding"))
        return false;
    bool ok = false;
    const qint64 announced = reply->rawHeader("Content-Length").trimmed().toLongLong(&ok);
    return ok && received < announced;
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
    return testInFlight || probeReply || continuePending;
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
    if (sendApiRequest(ApiCommand::GetMyIp, {}))
        ++myIpRequestsOut;
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
    periodicFailing = false;
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
#if QT_CONFIG(ssl)
    // The reply's own error text only says that the handshake failed, not why.
    connect(reply, &QNetworkReply::sslErrors, reply, [reply](const QList<QSslError> &errors) {
        if (!errors.isEmpty())
            reply->setProperty(tlsErrorProperty, errors.first().errorString());
    });
#endif
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
        return SafeText::singleLine(
            QString(u"HTTP "_s % QString::number(status.toInt()) % u' ' % reason).trimmed());
    }
    if (reply->error() == QNetworkReply::NoError)
        return {};
    if (reply->error() == QNetworkReply::SslHandshakeFailedError) {
        QString why = reply->property(tlsErrorProperty).toString();
        if (why.isEmpty())
            why = reply->errorString();
        if (!why.isEmpty())
            why[0] = why[0].toLower();
        return SafeText::singleLine(u"TLS handshake failed: "_s % why);
    }
    QString text = reply->errorString();
    for (const auto format : {QUrl::PrettyDecoded, QUrl::FullyEncoded})
        text.replace(reply->url().toString(format), reply->url().toString(QUrl::RemoveQuery));
    return SafeText::singleLine(text);
}

// A failed request, or the service's own refusal on the first line of a successful one.
QString ProxyManager::failureOf(QNetworkReply *reply, const QString &firstLine) const
{
    const QString failure = failureOf(reply);
    return failure.isEmpty() && firstLine.contains(u"ERROR") ? SafeText::singleLine(firstLine)
                                                             : failure;
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
        const bool tlsFailed = reply->error() == QNetworkReply::SslHandshakeFailedError;
        if (!isTimedOut(reply) && first.contains(u"ERROR"))
            emit finishedGetProxies({first});
        else if (isTimedOut(reply) || (!answered && !tlsFailed && first.isEmpty()))
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
    proxies.append(readLines(reply, maxProxies - 1));
    if (proxies.size() > maxProxies) {
        proxies.clear();
        emit finishedGetProxies({u"ERROR: The proxy list has more than "_s %
                                 QString::number(maxProxies) % u" entries; none was loaded."_s});
        return;
    }
    emit finishedGetProxies(proxies);
}

void ProxyManager::handleMyIp(QNetworkReply *reply)
{
    const QString line = latin1UpToNul(readLine(reply).trimmed());
    // Only a real address may become myIp: it is later sent in the authorized list.
    myIpFailure = failureOf(reply, line);
    const QString canonical = myIpFailure.isEmpty() ? IpAddress::canonicalHost(line) : QString();
    if (myIpFailure.isEmpty() && canonical.isEmpty())
        myIpFailure =
            u"the service's answer is not an address: "_s % SafeText::singleLine(line, 80);
    myIp = canonical.isEmpty() ? u""_s : canonical;
    if (myIpRequestsOut > 0)
        --myIpRequestsOut;
    emit finishedMyIp();
}

void ProxyManager::handleAuthIps(QNetworkReply *reply)
{
    const bool callEmit = queryValue(reply->url(), u"call_emit"_s) == u"1";
    if (myIp.isEmpty()) {
        if (!callEmit)
            periodicRoundDone(myIpFailure.isEmpty()
                                  ? u"my IP address is not known"_s
                                  : u"my IP address is not known ("_s % myIpFailure % u")"_s);
        return;
    }
    QString failure = failureOf(reply);
    AuthorizedIpList list;
    if (failure.isEmpty()) {
        const QByteArray body = readAll(reply);
        // The setauthips list replaces the account's whole list: only a read that is whole and
        // understood line by line may lead to one, or other addresses would be lost or garbage
        // stored.
        if (isShort(reply, body.size()))
            failure = u"the answer was cut off"_s;
        else
            failure = (list = AuthorizedIpList::parse(body, hasLength(reply))).problem;
    }
    if (!failure.isEmpty()) {
        const QString reason = u"could not read the authorized IP addresses ("_s % failure % u")"_s;
        if (callEmit)
            emit authorizeIpFailed(reason);
        else
            periodicRoundDone(reason);
        return;
    }

    QStringList ips = list.entries;
    if (!list.holds(QHostAddress(myIp))) {
        ips.prepend(myIp);
        QNetworkReply *update =
            sendApiRequest(ApiCommand::SetAuthIps, {{u"ips"_s, ips.join(u',')}});
        if (update)
            update->setProperty(callEmitProperty, callEmit);
    } else if (!callEmit) {
        periodicRoundDone({});
    }
    if (callEmit)
        emit finishedAuthorizeIp(ips);
}

void ProxyManager::handleSetAuthIps(QNetworkReply *reply)
{
    QString failure = failureOf(reply, latin1UpToNul(readLine(reply)).trimmed());
    if (!failure.isEmpty())
        failure = u"the service did not store the new list ("_s % failure % u")"_s;
    if (reply->property(callEmitProperty).toBool()) {
        if (!failure.isEmpty())
            emit authorizeIpFailed(failure);
    } else {
        periodicRoundDone(failure);
    }
}

// Only while periodic authorization is on; a round that ends after it was switched off
// reports nothing.
void ProxyManager::periodicRoundDone(const QString &failure)
{
    if (authTimerId == 0)
        return;
    if (failure.isEmpty() && periodicFailing) {
        periodicFailing = false;
        emit periodicAuthorizationRecovered();
    } else if (!failure.isEmpty() && !periodicFailing) {
        periodicFailing = true;
        emit periodicAuthorizationFailed(failure);
    }
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

// Tests the first usable entry from index on, reporting the unusable ones before it at once;
// ends the run when none is left.
void ProxyManager::testFrom(int index)
{
    // Enough to keep the event loop moving through a long list of invalid entries.
    constexpr int invalidPerPass = 64;
    const quint64 run = runNumber;
    for (int i = index, reported = 0; i < proxies.size() && !stopRequested; ++i, ++reported) {
        if (reported == invalidPerPass) {
            continuePending = true;
            QTimer::singleShot(0, this, [this, run, i] {
                if (run != runNumber)
                    return;
                continuePending = false;
                testFrom(i);
            });
            return;
        }
        currentIndex = i;
        if (testProxy(i))
            return;
        // A slot of the result may have started another run.
        if (run != runNumber)
            return;
    }
    stopRequested = true;
    stopTick();
    emit finishedTest();
}

// True when a request went out; an unusable entry is reported at once instead.
bool ProxyManager::testProxy(int index)
{
    const ProxyEntry entry = ProxyEntry::parse(proxies.at(index));
    if (!entry.isUsable()) {
        emit finishedTestingProxy({SafeText::singleLine(entry.host),
                                   SafeText::singleLine(entry.portText), u"5"_s, u"0"_s,
                                   QString::number(index), entry.problem});
        return false;
    }

    testHost = entry.host;
    testPort = entry.port;
    network->setProxy(QNetworkProxy(QNetworkProxy::HttpProxy, testHost, testPort));

    const int random = int(QRandomGenerator::global()->bounded(std::numeric_limits<int>::max()));
    QNetworkRequest request(QUrl(pingUrl % u"?r="_s % QString::number(random), QUrl::TolerantMode));
    request.setRawHeader("Accept-Language", "en-us,en;q=0.5");
    testReply = network->get(request);
    limitSize(testReply, maxPingReplyBytes);

    elapsedMs = 0;
    testInFlight = true;
    testClock.start();
    startTick();

    emit startTestingProxy({entry.host, entry.portText});
    return true;
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
            // The proxy's page is untrusted: the address goes into one log line.
            emitResult(u"1"_s, SafeText::singleLine(message), true);
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
    continuePending = false;
    ++runNumber;
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
