#include "ReplyBody.h"

#include "ReplyReader.h"

#include <QNetworkReply>

QString ReplyBody::latin1UpToNul(QByteArrayView bytes)
{
    const qsizetype nul = bytes.indexOf('\0');
    return QString::fromLatin1(nul < 0 ? bytes : bytes.first(nul));
}

QByteArray ReplyBody::readLine(const QNetworkReply *reply)
{
    const ReplyReader *reader = ReplyReader::of(reply);
    return reader ? reader->firstLine() : QByteArray();
}

QByteArray ReplyBody::readAll(const QNetworkReply *reply)
{
    const ReplyReader *reader = ReplyReader::of(reply);
    return reader ? reader->body() : QByteArray();
}
