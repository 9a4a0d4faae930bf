#include "ResponseHead.h"

#include "RequestParser.h"

QByteArray ResponseHead::compose(const CannedResponse &response, bool *closeAfterResponse)
{
    const qint64 bodySize = response.body.size();
    const QByteArray reason = response.reason.isEmpty()
                                  ? CannedResponse::standardReason(response.status)
                                  : response.reason;
    const QByteArray version = response.unframed ? "HTTP/1.0 " : "HTTP/1.1 ";
    QByteArray head = version + QByteArray::number(response.status) + ' ' + reason + "\r\n";
    bool hasType = false;
    bool hasLength = false;
    bool hasConnection = false;
    for (const auto &header : response.headers) {
        head += header.first + ": " + header.second + "\r\n";
        if (header.first.compare("Content-Type", Qt::CaseInsensitive) == 0)
            hasType = true;
        if (header.first.compare("Content-Length", Qt::CaseInsensitive) == 0 ||
            header.first.compare("Transfer-Encoding", Qt::CaseInsensitive) == 0)
            hasLength = true;
        if (header.first.compare("Connection", Qt::CaseInsensitive) == 0) {
            hasConnection = true;
            if (RequestParser::hasToken(header.second, "close"))
                *closeAfterResponse = true;
        }
    }
    if (!hasType)
        head += "Content-Type: text/plain\r\n";
    if (hasLength || response.unframed) {
        *closeAfterResponse = true;
    } else {
        const qint64 announced =
            response.contentLengthOverride >= 0 ? response.contentLengthOverride : bodySize;
        head += "Content-Length: " + QByteArray::number(announced) + "\r\n";
        if (announced != bodySize)
            *closeAfterResponse = true;
    }
    if (response.closeAfterBodyBytes >= 0 || response.resetAfterBody)
        *closeAfterResponse = true;
    if (!hasConnection)
        head += *closeAfterResponse ? "Connection: close\r\n" : "Connection: keep-alive\r\n";
    head += "\r\n";
    return head;
}
