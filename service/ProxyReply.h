#pragma once

#include "HttpResponseParser.h"

#include <QElapsedTimer>
#include <QNetworkProxy>
#include <QNetworkReply>

class QTcpSocket;

// One GET over a connection of its own, directly or through an HTTP proxy (a tunnel by CONNECT
// for https), read as an access manager's reply would be: the same signals, attributes, raw
// headers and error codes. It costs one socket and no thread, so hundreds can be in flight at
// once, each through its own proxy. The body is buffered only up to a bound; the rest waits in
// the socket until it is read. Nothing is cached, no login or cookie is sent, and redirects are
// answers of their own.
class ProxyReply : public QNetworkReply
{
    Q_OBJECT

public:
    static constexpr qint64 bufferBytes = 64 * 1024;

    // Starts at once. proxy: an HttpProxy, or NoProxy for a direct request.
    ProxyReply(const QNetworkRequest &request, const QNetworkProxy &proxy,
               QObject *parent = nullptr);
    ~ProxyReply() override;

    void abort() override;
    void ignoreSslErrors() override;
    qint64 bytesAvailable() const override;
    bool isSequential() const override { return true; }
    // Since the request started.
    qint64 elapsedMs() const { return clock.elapsed(); }
    // From the start to the end of the answer or of the failure; -1 before.
    qint64 finishedMs() const { return endMs; }

protected:
    qint64 readData(char *data, qint64 maxSize) override;

private:
    void connected();
    void sendRequest();
    // Reads what the socket holds, as far as the buffer allows, and tells of it.
    void pump();
    void readTunnelAnswer();
    void headArrived();
    void socketError();
    void fail(NetworkError code, const QString &text);
    void complete();
    void endSocket();

    QTcpSocket *socket = nullptr;
    const bool viaProxy;
    const bool https;
    bool tunnelOpen = false;
    bool pumpQueued = false;
    bool constructed = false;
    HttpResponseParser tunnelAnswer{true};
    HttpResponseParser answer;
    QByteArray body;
    QElapsedTimer clock;
    qint64 endMs = -1;
};
