#pragma once

#include "AuthorizedIpList.h"

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>

class QNetworkReply;

// Reads a reply's body as it arrives, a bounded slice per pass of the event loop, and cuts the
// reply off at the first bound it passes, so that no answer, however large, fast or endless,
// holds the event loop for long. Keeps only what its reader needs.
class ReplyReader : public QObject
{
    Q_OBJECT

public:
    enum class Keep
    {
        // The first line, its terminator included; the rest is read and dropped.
        FirstLine,
        // The first line, and every line, converted up to its first NUL and trimmed, up to the
        // first line that begins with a NUL byte. An error answer (a first line holding
        // "ERROR", or a status other than 2xx) holds no list: only its first line is kept.
        Lines,
        // The whole body.
        Body,
        // The whole body, its lines also parsed as an authorized list as they arrive.
        AuthorizedIps
    };
    struct Bounds
    {
        Keep keep = Keep::Body;
        // Past it the reply is cut off as too large.
        qint64 maxBytes = 0;
        // Past it the reply fails; but with FirstLine or Lines, a first line that holds
        // "ERROR" within the bound is kept cut there. 0: none.
        qsizetype maxLineBytes = 0;
        // Lines: lines kept; otherwise lines that hold anything, a CR also ending one.
        // 0: none.
        qsizetype maxLines = 0;
    };

    // Starts reading at once; the reader is the reply's child.
    static ReplyReader *read(QNetworkReply *reply, const Bounds &bounds);
    // Null for a reply read by none.
    static ReplyReader *of(const QNetworkReply *reply);
    static bool isTooLarge(const QNetworkReply *reply);
    // Why the reply was cut off other than for its size (a line, the number of lines, a
    // compressed body); empty when it was not.
    static QString boundPassed(const QNetworkReply *reply);

    // Once done, the reply has ended and its body is read, or it was cut off or aborted; then
    // the body reads as empty.
    bool isDone() const { return done; }
    bool hasTooManyLines() const { return tooManyLines; }
    const QByteArray &firstLine() const { return first; }
    const QStringList &lines() const { return kept; }
    const QByteArray &body() const { return whole; }
    // complete and mask as for AuthorizedIpList::parse().
    AuthorizedIpList authorizedIps(bool complete, const SecretMask &mask) const;

signals:
    // Once, when done.
    void finished();

private:
    ReplyReader(QNetworkReply *reply, const Bounds &bounds);
    void pass();
    void scanLines(QByteArrayView data);
    void takeLine(QByteArrayView line);
    void longLine();
    void refuseCompressed();
    void passLineLength();
    void passLineCount();
    void scanBody(QByteArrayView data);
    void cutOff(const char *property, const QString &why);
    void finish();

    QNetworkReply *const reply;
    const Bounds bounds;
    QTimer nextPass;
    qint64 received = 0;
    // Still keeping lines or the first line.
    bool collecting = true;
    bool cut = false;
    bool done = false;
    bool tooManyLines = false;
    // A line begun in an earlier slice.
    QByteArray pending;
    qsizetype linesSeen = 0;
    qsizetype lineBytes = 0;
    bool firstTaken = false;
    QByteArray first;
    QStringList kept;
    QByteArray whole;
    AuthorizedIpList addresses;
};
