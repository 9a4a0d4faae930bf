#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>

class QNetworkAccessManager;
class QNetworkReply;

// One plain HTTP GET of a URL's path on its host, at a fixed port, collected in memory.
// The end is reported exactly once, whatever happened, and at the latest after timeoutMs.
class LogoFetcher : public QObject
{
    Q_OBJECT

public:
    explicit LogoFetcher(QObject *parent = nullptr);

    // Returns the id that finished() will carry.
    int get(const QString &url, quint16 port, int timeoutMs);
    QByteArray data() const { return body; }

    // Larger answers are no logo; they are cut off rather than kept in memory.
    static constexpr qint64 maxBytes = 8 * 1024 * 1024;

signals:
    void finished(int requestId, bool error);

private:
    void done(bool error);

    QNetworkAccessManager *network = nullptr;
    QNetworkReply *reply = nullptr;
    QByteArray body;
    int requestId = 0;
    static int lastRequestId;
};
