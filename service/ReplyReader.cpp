#include "ReplyReader.h"

#include "ReplyBody.h"

#include <QNetworkReply>
#include <QNetworkRequest>

#include <algorithm>

using namespace Qt::StringLiterals;

namespace {

// Read per pass of the event loop, in chunks; a pass also ends after linesPerPass lines.
constexpr qint64 sliceBytes = 256 * 1024;
constexpr qsizetype chunkBytes = 16 * 1024;
constexpr qsizetype linesPerPass = 4096;

const char *const tooLargeProperty = "pmTooLarge";
const char *const boundProperty = "pmBoundPassed";

} // namespace

ReplyReader *ReplyReader::read(QNetworkReply *reply, const Bounds &bounds)
{
    return new ReplyReader(reply, bounds);
}

ReplyReader::ReplyReader(QNetworkReply *reply, const Bounds &bounds)
    : QObject(reply), reply(reply), bounds(bounds)
{
    nextPass.setSingleShot(true);
    nextPass.setInterval(0);
    connect(&nextPass, &QTimer::timeout, this, &ReplyReader::pass);
    const auto schedule = [this] {
        if (!done && !nextPass.isActive())
            nextPass.start();
    };
    connect(reply, &QNetworkReply::readyRead, this, schedule);
    connect(reply, &QNetworkReply::finished, this, schedule);
}

ReplyReader *ReplyReader::of(const QNetworkReply *reply)
{
    return reply->findChild<ReplyReader *>(QString(), Qt::FindDirectChildrenOnly);
}

bool ReplyReader::isTooLarge(const QNetworkReply *reply)
{
    return reply->property(tooLargeProperty).toBool();
}

QString ReplyReader::boundPassed(const QNetworkReply *reply)
{
    return reply->property(boundProperty).toString();
}

void ReplyReader::pass()
{
    if (done)
        return;
    refuseCompressed();
    qint64 budget = sliceBytes;
    const qsizetype linesBefore = linesSeen;
    while (!cut && reply->isOpen() && budget > 0 && linesSeen - linesBefore < linesPerPass) {
        const qint64 available = reply->bytesAvailable();
        if (available <= 0)
            break;
        if (received + available > bounds.maxBytes) {
            cutOff(tooLargeProperty, {});
            break;
        }
        char buffer[chunkBytes];
        const qint64 size = reply->read(buffer, std::min({qint64(chunkBytes), budget, available}));
        if (size <= 0)
            break;
        received += size;
        budget -= size;
        if (bounds.keep == Keep::Body || bounds.keep == Keep::AuthorizedIps)
            scanBody(QByteArrayView(buffer, size));
        else if (collecting)
            scanLines(QByteArrayView(buffer, size));
    }
    // The reader's handler gets a pass of its own, unless the pass did nothing else.
    const bool ended = reply->isFinished() && reply->bytesAvailable() == 0;
    if (cut || !reply->isOpen() || (ended && budget == sliceBytes))
        finish();
    else if (ended || reply->bytesAvailable() > 0)
        nextPass.start();
}

void ReplyReader::scanLines(QByteArrayView data)
{
    while (!data.isEmpty() && collecting && !cut) {
        // Such a line converts to empty text, which ends a list.
        if (bounds.keep == Keep::Lines && pending.isEmpty() && data.at(0) == '\0') {
            collecting = false;
            return;
        }
        const qsizetype end = data.indexOf('\n');
        const qsizetype take = end < 0 ? data.size() : end + 1;
        if (bounds.maxLineBytes > 0 &&
            pending.size() + (end < 0 ? take : end) > bounds.maxLineBytes) {
            pending += data.first(std::min(take, bounds.maxLineBytes - pending.size()));
            longLine();
            return;
        }
        if (end < 0) {
            pending += data;
            return;
        }
        if (pending.isEmpty()) {
            takeLine(data.first(take));
        } else {
            pending += data.first(take);
            takeLine(pending);
            pending.clear();
        }
        data = data.sliced(take);
    }
}

void ReplyReader::takeLine(QByteArrayView line)
{
    ++linesSeen;
    if (!firstTaken) {
        firstTaken = true;
        first = line.toByteArray();
        if (bounds.keep == Keep::FirstLine) {
            collecting = false;
            return;
        }
    }
    kept.append(ReplyBody::latin1UpToNul(line).trimmed());
    if (kept.size() == 1) {
        const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
        if (kept.first().contains(u"ERROR") ||
            (status.isValid() && (status.toInt() < 200 || status.toInt() > 299)))
            collecting = false;
    } else if (bounds.maxLines > 0 && kept.size() > bounds.maxLines) {
        passLineCount();
    }
}

// pending holds the start of the line, up to the bound.
void ReplyReader::longLine()
{
    if (!firstTaken && ReplyBody::latin1UpToNul(pending).contains(u"ERROR")) {
        // The service's own error, which is shown cut; the rest of its answer is not needed.
        takeLine(pending);
        pending.clear();
        collecting = false;
        return;
    }
    passLineLength();
}

void ReplyReader::passLineLength()
{
    cutOff(boundProperty, u"a line of the answer is longer than "_s %
                              QString::number(bounds.maxLineBytes) % u" bytes"_s);
}

void ReplyReader::passLineCount()
{
    tooManyLines = true;
    cutOff(boundProperty,
           u"the answer has more than "_s % QString::number(bounds.maxLines) % u" lines"_s);
}

void ReplyReader::scanBody(QByteArrayView data)
{
    const qsizetype offset = whole.size();
    whole += data;
    for (qsizetype i = 0; i < data.size(); ++i) {
        if (data.at(i) != '\n' && data.at(i) != '\r') {
            if (++lineBytes > bounds.maxLineBytes && bounds.maxLineBytes > 0)
                return passLineLength();
            continue;
        }
        if (lineBytes > 0) {
            if (++linesSeen > bounds.maxLines && bounds.maxLines > 0)
                return passLineCount();
            if (bounds.keep == Keep::AuthorizedIps)
                addresses.addLine(QByteArrayView(whole).sliced(offset + i - lineBytes, lineBytes));
        }
        lineBytes = 0;
    }
}

AuthorizedIpList ReplyReader::authorizedIps(bool complete, const SecretMask &mask) const
{
    if (!done || cut || !reply->isOpen()) {
        AuthorizedIpList unread;
        unread.problem = u"the answer was not read whole"_s;
        return unread;
    }
    return addresses.ended(QByteArrayView(whole).last(lineBytes), complete, mask);
}

// Compression is not asked for: the access manager would inflate a small body to any size.
void ReplyReader::refuseCompressed()
{
    const QByteArray encoding = reply->rawHeader("Content-Encoding").trimmed();
    if (!cut && !encoding.isEmpty() && encoding.compare("identity", Qt::CaseInsensitive) != 0)
        cutOff(boundProperty, u"the answer is compressed, which was not asked for"_s);
}

// An abort ends the transfer; a reply that has already finished is only marked.
void ReplyReader::cutOff(const char *property, const QString &why)
{
    cut = true;
    reply->setProperty(property, why.isEmpty() ? QVariant(true) : QVariant(why));
    reply->abort();
}

void ReplyReader::finish()
{
    nextPass.stop();
    // The last line, without a line end.
    if (!cut && reply->isOpen() && !pending.isEmpty() && collecting)
        takeLine(std::exchange(pending, {}));
    if (!cut && reply->isOpen() && lineBytes > 0 && ++linesSeen > bounds.maxLines &&
        bounds.maxLines > 0)
        passLineCount();
    if (cut || !reply->isOpen()) {
        first.clear();
        kept.clear();
        whole.clear();
    }
    done = true;
    emit finished();
}
