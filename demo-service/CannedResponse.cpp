#include "CannedResponse.h"

CannedResponse CannedResponse::withStatus(int status, const QByteArray &body)
{
    CannedResponse response;
    response.status = status;
    response.reason = standardReason(status);
    response.body = body;
    return response;
}

void CannedResponse::addHeader(const QByteArray &name, const QByteArray &value)
{
    headers.append(qMakePair(name, value));
}

QByteArray CannedResponse::standardReason(int status)
{
    switch (status) {
    case 200:
        return QByteArrayLiteral("OK");
    case 204:
        return QByteArrayLiteral("No Content");
    case 301:
        return QByteArrayLiteral("Moved Permanently");
    case 302:
        return QByteArrayLiteral("Found");
    case 304:
        return QByteArrayLiteral("Not Modified");
    case 400:
        return QByteArrayLiteral("Bad Request");
    case 401:
        return QByteArrayLiteral("Unauthorized");
    case 403:
        return QByteArrayLiteral("Forbidden");
    case 404:
        return QByteArrayLiteral("Not Found");
    case 405:
        return QByteArrayLiteral("Method Not Allowed");
    case 407:
        return QByteArrayLiteral("Proxy Authentication Required");
    case 408:
        return QByteArrayLiteral("Request Timeout");
    case 413:
        return QByteArrayLiteral("Content Too Large");
    case 429:
        return QByteArrayLiteral("Too Many Requests");
    case 431:
        return QByteArrayLiteral("Request Header Fields Too Large");
    case 500:
        return QByteArrayLiteral("Internal Server Error");
    case 501:
        return QByteArrayLiteral("Not Implemented");
    case 502:
        return QByteArrayLiteral("Bad Gateway");
    case 503:
        return QByteArrayLiteral("Service Unavailable");
    case 504:
        return QByteArrayLiteral("Gateway Timeout");
    default:
        return QByteArrayLiteral("Status");
    }
}
