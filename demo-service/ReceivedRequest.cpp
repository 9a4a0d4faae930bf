#include "ReceivedRequest.h"

QString ReceivedRequest::queryValue(const QString &key) const
{
    for (const auto &item : queryItems) {
        if (item.first == key)
            return item.second;
    }
    return {};
}

bool ReceivedRequest::hasQueryItem(const QString &key) const
{
    for (const auto &item : queryItems) {
        if (item.first == key)
            return true;
    }
    return false;
}

QByteArray ReceivedRequest::header(const QByteArray &name) const
{
    for (const auto &h : headers) {
        if (h.first.compare(name, Qt::CaseInsensitive) == 0)
            return h.second;
    }
    return {};
}

bool ReceivedRequest::hasHeader(const QByteArray &name) const
{
    for (const auto &h : headers) {
        if (h.first.compare(name, Qt::CaseInsensitive) == 0)
            return true;
    }
    return false;
}
