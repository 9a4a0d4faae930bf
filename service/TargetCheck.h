#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QStringDecoder>

class QNetworkReply;

// Reads a custom target's answer through a proxy as it arrives and judges it: a 2xx holding the
// expected text is "Up", the service's refusal page "Access Denied", a redirect or another
// status an error, and no answer at all unclear until the user's own line is known to work.
class TargetCheck : public QObject
{
    Q_OBJECT

public:
    enum class Verdict
    {
        Up,
        Denied,
        Failed,
        // No HTTP answer: the proxy, the target or the user's own line may be at fault.
        Unclear
    };

    // The part of a page searched for the expected text; a larger page is no error.
    static constexpr qint64 maxScanBytes = 2 * 1024 * 1024;
    // Refusal pages are short: the marker is looked for only here.
    static constexpr qsizetype maxRefusalChars = 64 * 1024;

    // Starts at once, right after the request went out; a child of the reply.
    static TargetCheck *read(QNetworkReply *reply, const QString &expect);

    QNetworkReply *reply() const { return answer; }
    Verdict verdict() const { return result; }
    // The reason of a failure, or the refused address; one bounded line.
    const QString &detail() const { return why; }
    // From the request to the status line and headers; -1 when none came.
    qint64 headersMs() const { return headersAt; }

signals:
    // Once; the reply is then released, whatever it would still send.
    void finished();

private:
    TargetCheck(QNetworkReply *reply, const QString &expect);
    void headers();
    void readBody();
    void ended();
    // On what was read: the whole body, or up to a bound.
    void judge();
    void decide(Verdict verdict, const QString &detail);

    QNetworkReply *const answer;
    const QString expect;
    QElapsedTimer clock;
    QStringDecoder decoder;
    // The decoded page so far, or only its end once the refusal window is passed.
    QString text;
    qint64 scanned = 0;
    qint64 headersAt = -1;
    int status = 0;
    int tlsError = 0;
    // Read as far as the verdict needs.
    bool full = false;
    bool done = false;
    Verdict result = Verdict::Unclear;
    QString why;
};
