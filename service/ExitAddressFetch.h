#pragma once

#include <QObject>
#include <QString>
#include <QTimer>

class QNetworkProxy;
class QNetworkReply;

// Asks a page that answers the caller's address as plain text, through the given proxy, so the
// answer is the address the proxy's traffic leaves from. Bounded in time and size; the request
// carries no credentials.
class ExitAddressFetch : public QObject
{
    Q_OBJECT

public:
    static constexpr int timeoutMs = 5000;
    // An address with a line end fits many times.
    static constexpr qint64 maxAnswerBytes = 1024;

    ExitAddressFetch(const QNetworkProxy &proxy, const QString &url, QObject *parent);
    ~ExitAddressFetch() override;

signals:
    // Once: the address in canonical form, or an empty one and why.
    void finished(const QStringList &addressAndProblem);

private:
    void answered();
    void end(const QString &address, const QString &problem);

    QNetworkReply *reply = nullptr;
    QTimer deadline;
};
