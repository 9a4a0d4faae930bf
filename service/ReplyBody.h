#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

class QNetworkReply;

// The body of a reply of the service or a proxy, which may be cut off or aborted, as the
// reply's ReplyReader kept it.
namespace ReplyBody {

// Bytes up to the first NUL, one character per byte.
QString latin1UpToNul(QByteArrayView bytes);
// The first line, its terminator included. An aborted or cut off reply reads as empty.
QByteArray readLine(const QNetworkReply *reply);
QByteArray readAll(const QNetworkReply *reply);

} // namespace ReplyBody
