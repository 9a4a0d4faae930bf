#include "ExitAddressFetch.h"

#include "IpAddress.h"
#include "OutcomeText.h"
#include "ProxyReply.h"
#include "ReplyBody.h"
#include "ReplyReader.h"

#include <QNetworkReply>
#include <QNetworkRequest>
#include <QUrl>

#include <utility>

using namespace Qt::StringLiterals;

ExitAddressFetch::ExitAddressFetch(const QNetworkProxy &proxy, const QString &url, QObject *parent)
    : QObject(parent)
{
    QNetworkRequest request(QUrl(url.trimmed()));
    request.setRawHeader("Accept-Encoding", "identity");
    reply = new ProxyReply(request, proxy, this);
    const ReplyReader *reader =
        ReplyReader::read(reply, {ReplyReader::Keep::Body, maxAnswerBytes, 0, 0});
    connect(reader, &ReplyReader::finished, this, &ExitAddressFetch::answered);
    deadline.setSingleShot(true);
    connect(&deadline, &QTimer::timeout, this, [this] {
        end({}, u"the exit address page gave no answer within "_s %
                    QString::number(timeoutMs / 1000) % u" s"_s);
    });
    deadline.start(timeoutMs);
}

ExitAddressFetch::~ExitAddressFetch()
{
    delete reply;
}

void ExitAddressFetch::answered()
{
    if (!reply)
        return;
    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (!status.isValid())
        return end({}, u"exit address page: "_s % OutcomeText::networkFailure(reply->error()));
    const QString answer = ReplyBody::latin1UpToNul(ReplyBody::readAll(reply)).trimmed();
    if (status.toInt() < 200 || status.toInt() > 299)
        return end(
            {}, u"exit address page: "_s %
                    OutcomeText::statusLine(
                        status.toInt(),
                        reply->attribute(QNetworkRequest::HttpReasonPhraseAttribute).toString()));
    const QString address = IpAddress::canonicalHost(answer);
    end(address, address.isEmpty() ? OutcomeText::noExitAddress(answer) : QString());
}

void ExitAddressFetch::end(const QString &address, const QString &problem)
{
    deadline.stop();
    // Released from the event loop: this may run inside a signal of the reply's reader.
    QNetworkReply *done = std::exchange(reply, nullptr);
    done->disconnect();
    ReplyReader::of(done)->disconnect(this);
    done->abort();
    done->deleteLater();
    emit finished(problem.isEmpty() ? QStringList{address} : QStringList{address, problem});
}
