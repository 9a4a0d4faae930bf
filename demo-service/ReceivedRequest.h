#pragma once

#include <QByteArray>
#include <QList>
#include <QMetaType>
#include <QPair>
#include <QString>

// One request as the demo service received it, recorded so tests can check what a client sent.
struct ReceivedRequest
{
    QByteArray method;
    // The request target exactly as it appeared on the request line.
    QByteArray target;
    QByteArray httpVersion;
    // Percent-decoded path; for an absolute-form target only its path part.
    QString path;
    // Percent-decoded as UTF-8; '+' is kept as it is.
    QList<QPair<QString, QString>> queryItems;
    QList<QPair<QByteArray, QByteArray>> headers;
    QByteArray body;
    // Absolute-form target or a Via header: the request came from or through a proxy.
    bool viaProxy = false;
    QString peerAddress;
    quint16 peerPort = 0;
    quint16 localPort = 0;
    // Counts the service's accepted connections from 1, to tell connection reuse apart.
    quint64 connectionId = 0;

    QString queryValue(const QString &key) const;
    bool hasQueryItem(const QString &key) const;
    // Case-insensitive; the first header of that name, or empty.
    QByteArray header(const QByteArray &name) const;
    bool hasHeader(const QByteArray &name) const;
};

Q_DECLARE_METATYPE(ReceivedRequest)
