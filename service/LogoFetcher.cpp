#include "LogoFetcher.h"

#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTimer>
#include <QUrl>

using namespace Qt::StringLiterals;

int LogoFetcher::lastRequestId = 0;

LogoFetcher::LogoFetcher(QObject *parent)
    : QObject(parent), network(new QNetworkAccessManager(this))
{
    network->setProxy(QNetworkProxy(QNetworkProxy::NoProxy));
    network->setRedirectPolicy(QNetworkRequest::ManualRedirectPolicy);
}

int LogoFetcher::get(const QString &url, quint16 port, int timeoutMs)
{
    const QUrl source(url);
    // Always plain HTTP on the given port: the URL's own scheme, port and query are not used.
    QUrl target;
    target.setScheme(u"http"_s);
    target.setHost(source.host());
    target.setPort(port);
    target.setPath(source.path().isEmpty() ? u"/"_s : source.path());

    requestId = ++lastRequestId;
    const int id = requestId;
    body.clear();
    reply = network->get(QNetworkRequest(target));
    QNetworkReply *const current = reply;
    connect(reply, &QNetworkReply::downloadProgress, this, [current](qint64 received, qint64) {
        if (received > maxBytes)
            current->abort();
    });
    connect(reply, &QNetworkReply::finished, this, [this] {
        const bool error = reply->error() != QNetworkReply::NoError;
        body = error ? QByteArray() : reply->readAll();
        done(error);
    });
    QTimer::singleShot(timeoutMs, current, [current] { current->abort(); });
    return id;
}

void LogoFetcher::done(bool error)
{
    reply->disconnect(this);
    reply->deleteLater();
    reply = nullptr;
    emit finished(requestId, error);
}
