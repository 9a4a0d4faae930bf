#include "ReplyBody.h"

#include <QNetworkReply>

namespace {

const char *const tooLargeProperty = "pmTooLarge";

} // namespace

QString ReplyBody::latin1UpToNul(const QByteArray &bytes)
{
    const qsizetype nul = bytes.indexOf('\0');
    return QString::fromLatin1(nul < 0 ? bytes : bytes.first(nul));
}

QByteArray ReplyBody::readLine(QNetworkReply *reply)
{
    return reply->isReadable() ? reply->readLine() : QByteArray();
}

QByteArray ReplyBody::readAll(QNetworkReply *reply)
{
    return reply->isReadable() ? reply->readAll() : QByteArray();
}

void ReplyBody::limitSize(QNetworkReply *reply, qint64 maxBytes)
{
    QObject::connect(reply, &QNetworkReply::downloadProgress, reply,
                     [reply, maxBytes](qint64 received, qint64) {
                         if (received <= maxBytes || isTooLarge(reply))
                             return;
                         reply->setProperty(tooLargeProperty, true);
                         reply->abort();
                     });
}

bool ReplyBody::isTooLarge(QNetworkReply *reply)
{
    return reply->property(tooLargeProperty).toBool();
}
