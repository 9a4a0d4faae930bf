#pragma once

#include <QByteArray>
#include <QString>

class QNetworkReply;

// Reading the body of a reply of the service or a proxy, which may be cut off or aborted.
namespace ReplyBody {

// Bytes up to the first NUL, one character per byte.
QString latin1UpToNul(const QByteArray &bytes);
// An aborted reply is closed: it reads as an empty body.
QByteArray readLine(QNetworkReply *reply);
QByteArray readAll(QNetworkReply *reply);
// The access manager keeps a whole body in memory: a reply past maxBytes is cut off.
void limitSize(QNetworkReply *reply, qint64 maxBytes);
bool isTooLarge(QNetworkReply *reply);

} // namespace ReplyBody
