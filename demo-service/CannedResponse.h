#pragma once

#include <QByteArray>
#include <QList>
#include <QPair>

// An answer a test hands to DemoService, including ways to misbehave on the wire.
// The delay comes first; then reset, stall, or headers followed by the body.
struct CannedResponse
{
    int status = 200;
    // Sent as given; an empty reason is replaced by the standard phrase for the status.
    QByteArray reason = QByteArrayLiteral("OK");
    // Sent after the status line. Without a Content-Type here, "text/plain" is sent. A
    // Content-Length or Transfer-Encoding here replaces the computed Content-Length, and the
    // connection is closed after the body since its framing is then unknown.
    QList<QPair<QByteArray, QByteArray>> headers;
    QByteArray body;
    // Wait this long before doing anything else.
    int delayMs = 0;
    // Never answer; the socket stays open until the client closes it.
    bool stall = false;
    // Send the status line and headers (announcing the full body), then nothing more.
    bool stallAfterHeaders = false;
    // Send the body one byte per interval.
    int dripIntervalMs = 0;
    // Send only this many body bytes, then close the connection.
    qint64 closeAfterBodyBytes = -1;
    // Announce this Content-Length instead of the real one; the real body is still sent and
    // the connection is closed afterwards, as its framing is broken.
    qint64 contentLengthOverride = -1;
    // Abort the connection with a TCP reset instead of answering.
    bool reset = false;
    // Answer as HTTP/1.0 without Content-Length: the end of the connection ends the body.
    bool unframed = false;
    // After the body (or its first closeAfterBodyBytes), end the connection with a TCP reset
    // instead of a clean close; the bytes sent are given time to arrive first.
    bool resetAfterBody = false;

    // QList::append cannot take a braced pair, hence this.
    void addHeader(const QByteArray &name, const QByteArray &value);

    static CannedResponse withStatus(int status, const QByteArray &body = {});
    static QByteArray standardReason(int status);
};
