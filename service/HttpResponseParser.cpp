#include "HttpResponseParser.h"

#include <algorithm>
#include <cctype>
#include <utility>

namespace {

// A chunk's size line with its extensions; real ones are a few bytes.
constexpr qsizetype maxChunkLine = 1024;

QByteArrayView withoutLineEnd(QByteArrayView line)
{
    while (!line.isEmpty() && (line.back() == '\n' || line.back() == '\r'))
        line.chop(1);
    return line;
}

bool isToken(QByteArrayView name)
{
    return !name.isEmpty() && std::all_of(name.begin(), name.end(), [](char c) {
        return c > ' ' && c < 127 && c != ':' && c != '"' && c != '(' && c != ')' && c != ',';
    });
}

} // namespace

qsizetype HttpResponseParser::feed(QByteArrayView data, QByteArray &body)
{
    qsizetype used = 0;
    while (used < data.size() && (current == State::Head || current == State::Body)) {
        const QByteArrayView rest = data.sliced(used);
        used += current == State::Head ? feedHead(rest) : feedBody(rest, body);
    }
    return used;
}

void HttpResponseParser::closed()
{
    if (current == State::Body && framing == Framing::UntilClose)
        current = State::Done;
    else if (current != State::Done)
        fail();
}

QByteArray HttpResponseParser::header(QByteArrayView name) const
{
    QByteArray value;
    for (const auto &[field, text] : fields) {
        if (field.compare(name, Qt::CaseInsensitive) == 0)
            value += (value.isEmpty() ? QByteArray() : QByteArray(", ")) + text;
    }
    return value;
}

bool HttpResponseParser::takeLine(QByteArrayView data, qsizetype maxLine, qsizetype &used,
                                  QByteArray &line)
{
    const qsizetype end = data.indexOf('\n');
    used = end < 0 ? data.size() : end + 1;
    pending += data.first(used);
    if (pending.size() > maxLine) {
        fail();
        return false;
    }
    if (end < 0)
        return false;
    line = withoutLineEnd(pending).toByteArray();
    pending.clear();
    return true;
}

qsizetype HttpResponseParser::feedHead(QByteArrayView data)
{
    QByteArray line;
    qsizetype used = 0;
    const bool ended = takeLine(data, maxHeadBytes - headBytes, used, line);
    headBytes += used;
    if (!ended)
        return used;
    if (!takeHeadLine(line))
        fail();
    return used;
}

bool HttpResponseParser::takeHeadLine(QByteArrayView line)
{
    if (!statusSeen) {
        // Empty lines before the status line are tolerated.
        if (line.isEmpty())
            return true;
        if (!line.startsWith("HTTP/1.") || line.size() < 12 || line.at(8) != ' ')
            return false;
        const QByteArrayView digits = line.sliced(9, 3);
        if (!std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; }))
            return false;
        if (line.size() > 12 && line.at(12) != ' ')
            return false;
        code = digits.toInt();
        phrase = line.sliced(std::min<qsizetype>(13, line.size())).trimmed().toByteArray();
        statusSeen = code >= 100;
        return statusSeen;
    }
    if (line.isEmpty()) {
        headEnded();
        return true;
    }
    // A folded line continues the field before it.
    if (line.front() == ' ' || line.front() == '\t') {
        if (fields.isEmpty())
            return false;
        fields.last().second += ' ' + line.trimmed().toByteArray();
        return true;
    }
    const qsizetype colon = line.indexOf(':');
    if (colon <= 0 || !isToken(line.first(colon)) || fields.size() >= maxHeaders)
        return false;
    fields.append(
        {line.first(colon).toByteArray(), line.sliced(colon + 1).trimmed().toByteArray()});
    return true;
}

void HttpResponseParser::headEnded()
{
    // An interim answer is followed by the real one.
    if (code < 200 && code != 101) {
        statusSeen = false;
        code = 0;
        phrase.clear();
        fields.clear();
        headBytes = 0;
        return;
    }
    current = State::Body;
    headDone = true;
    if (bodiless || code == 101 || code == 204 || code == 304) {
        current = State::Done;
        return;
    }
    const QByteArray coding = header("Transfer-Encoding").trimmed().toLower();
    if (!coding.isEmpty()) {
        framing = coding.endsWith("chunked") ? Framing::Chunked : Framing::UntilClose;
        return;
    }
    const QByteArray length = header("Content-Length").trimmed();
    if (length.isEmpty())
        return;
    bool ok = false;
    remaining = length.toLongLong(&ok);
    if (!ok || remaining < 0 || !std::isdigit(static_cast<unsigned char>(length.front())))
        return fail();
    framing = Framing::Length;
    if (remaining == 0)
        current = State::Done;
}

qsizetype HttpResponseParser::feedBody(QByteArrayView data, QByteArray &body)
{
    if (framing == Framing::Chunked)
        return feedChunked(data, body);
    if (framing == Framing::UntilClose) {
        body += data;
        return data.size();
    }
    const qsizetype size = qsizetype(std::min<qint64>(data.size(), remaining));
    body += data.first(size);
    remaining -= size;
    if (remaining == 0)
        current = State::Done;
    return size;
}

qsizetype HttpResponseParser::feedChunked(QByteArrayView data, QByteArray &body)
{
    qsizetype used = 0;
    while (used < data.size() && current == State::Body) {
        const QByteArrayView rest = data.sliced(used);
        if (chunkPart == ChunkPart::Data) {
            const qsizetype size = qsizetype(std::min<qint64>(rest.size(), remaining));
            body += rest.first(size);
            used += size;
            remaining -= size;
            if (remaining == 0)
                chunkPart = ChunkPart::DataEnd;
            continue;
        }
        QByteArray line;
        const qsizetype maxLine = chunkPart == ChunkPart::Trailer ? maxHeadBytes : maxChunkLine;
        qsizetype taken = 0;
        const bool ended = takeLine(rest, maxLine, taken, line);
        used += taken;
        if (!ended)
            continue;
        if (chunkPart == ChunkPart::DataEnd) {
            if (!line.isEmpty())
                fail();
            chunkPart = ChunkPart::Size;
        } else if (chunkPart == ChunkPart::Trailer) {
            headBytes += line.size();
            if (line.isEmpty())
                current = State::Done;
            else if (headBytes > maxHeadBytes)
                fail();
        } else {
            const QByteArray size = line.split(';').constFirst().trimmed();
            bool ok = false;
            remaining = size.toLongLong(&ok, 16);
            if (!ok || remaining < 0 || size.size() > 15 || size.startsWith('+') ||
                size.startsWith('-'))
                fail();
            else
                chunkPart = remaining == 0 ? ChunkPart::Trailer : ChunkPart::Data;
        }
    }
    return used;
}
