#include "RequestParser.h"

#include <QUrl>
#include <QUrlQuery>

namespace {

constexpr qsizetype kMaxHeaderBytes = 64 * 1024;
constexpr qint64 kMaxRequestBodyBytes = 16 * 1024 * 1024;

bool isAbsoluteForm(const QByteArray &target)
{
    const qsizetype schemeEnd = target.indexOf("://");
    if (schemeEnd <= 0)
        return false;
    for (qsizetype i = 0; i < schemeEnd; ++i) {
        const char c = target.at(i);
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                        (i > 0 && ((c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.'));
        if (!ok)
            return false;
    }
    return true;
}

void fillTarget(const QByteArray &target, ReceivedRequest *request)
{
    QByteArray rest = target;
    if (isAbsoluteForm(target)) {
        request->viaProxy = true;
        const qsizetype authorityStart = target.indexOf("://") + 3;
        qsizetype pathStart = -1;
        for (qsizetype i = authorityStart; i < target.size(); ++i) {
            const char c = target.at(i);
            if (c == '/' || c == '?' || c == '#') {
                pathStart = i;
                break;
            }
        }
        rest = pathStart < 0 ? QByteArray() : target.mid(pathStart);
        if (!rest.startsWith('/'))
            rest.prepend('/');
    }
    const qsizetype hash = rest.indexOf('#');
    if (hash >= 0)
        rest.truncate(hash);
    const qsizetype question = rest.indexOf('?');
    const QByteArray pathPart = question < 0 ? rest : rest.left(question);
    request->path = QUrl::fromPercentEncoding(pathPart);
    if (question >= 0) {
        // QUrlQuery leaves '+' alone, unlike HTML form decoding.
        const QUrlQuery query(QString::fromUtf8(rest.mid(question + 1)));
        request->queryItems = query.queryItems(QUrl::FullyDecoded);
    }
}

} // namespace

RequestParser::Result RequestParser::parse(QByteArray *buffer, ReceivedRequest *request,
                                           int *errorStatus)
{
    // Stray line breaks between requests are allowed and skipped.
    qsizetype skip = 0;
    while (skip < buffer->size() && (buffer->at(skip) == '\r' || buffer->at(skip) == '\n'))
        ++skip;
    if (skip > 0)
        buffer->remove(0, skip);

    qsizetype headEnd = buffer->indexOf("\r\n\r\n");
    qsizetype separator = 4;
    const qsizetype bareEnd = buffer->indexOf("\n\n");
    if (bareEnd >= 0 && (headEnd < 0 || bareEnd < headEnd)) {
        headEnd = bareEnd;
        separator = 2;
    }
    if (headEnd < 0 || headEnd > kMaxHeaderBytes) {
        if (buffer->size() <= kMaxHeaderBytes)
            return Result::NeedMore;
        *errorStatus = 431;
        return Result::Bad;
    }

    QList<QByteArray> lines = buffer->left(headEnd).split('\n');
    for (QByteArray &line : lines) {
        if (line.endsWith('\r'))
            line.chop(1);
    }
    QList<QByteArray> parts;
    const QList<QByteArray> words = lines.first().split(' ');
    for (const QByteArray &word : words) {
        if (!word.isEmpty())
            parts.append(word);
    }
    if (parts.size() != 3 || !parts.at(2).startsWith("HTTP/1.")) {
        *errorStatus = 400;
        return Result::Bad;
    }
    request->method = parts.at(0);
    request->target = parts.at(1);
    request->httpVersion = parts.at(2);

    for (qsizetype i = 1; i < lines.size(); ++i) {
        const QByteArray &line = lines.at(i);
        if ((line.startsWith(' ') || line.startsWith('\t')) && !request->headers.isEmpty()) {
            request->headers.last().second += ' ' + line.trimmed();
            continue;
        }
        const qsizetype colon = line.indexOf(':');
        if (colon <= 0) {
            *errorStatus = 400;
            return Result::Bad;
        }
        request->headers.append({line.left(colon).trimmed(), line.mid(colon + 1).trimmed()});
    }

    if (request->hasHeader("Transfer-Encoding")) {
        *errorStatus = 501;
        return Result::Bad;
    }
    qint64 bodyLength = 0;
    if (request->hasHeader("Content-Length")) {
        bool ok = false;
        bodyLength = request->header("Content-Length").toLongLong(&ok);
        if (!ok || bodyLength < 0) {
            *errorStatus = 400;
            return Result::Bad;
        }
        if (bodyLength > kMaxRequestBodyBytes) {
            *errorStatus = 413;
            return Result::Bad;
        }
    }
    const qint64 total = headEnd + separator + bodyLength;
    if (buffer->size() < total)
        return Result::NeedMore;
    request->body = buffer->mid(headEnd + separator, bodyLength);
    buffer->remove(0, total);

    fillTarget(request->target, request);
    if (request->hasHeader("Via"))
        request->viaProxy = true;
    return Result::Complete;
}

bool RequestParser::wantsClose(const ReceivedRequest &request)
{
    const QByteArray connection = request.header("Connection");
    if (request.httpVersion == "HTTP/1.0")
        return !hasToken(connection, "keep-alive");
    return hasToken(connection, "close");
}

bool RequestParser::hasToken(const QByteArray &value, const QByteArray &token)
{
    const QList<QByteArray> parts = value.split(',');
    for (const QByteArray &part : parts) {
        if (part.trimmed().compare(token, Qt::CaseInsensitive) == 0)
            return true;
    }
    return false;
}
