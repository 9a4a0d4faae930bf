#include "IpAddress.h"

namespace {

bool isDigit(QChar c)
{
    return c >= u'0' && c <= u'9';
}

bool isHexDigit(QChar c)
{
    return isDigit(c) || (c >= u'a' && c <= u'f') || (c >= u'A' && c <= u'F');
}

// 0 to maxValue in decimal, without sign or leading zeros; -1 otherwise.
int smallNumber(QStringView text, int maxValue)
{
    if (text.isEmpty() || text.size() > 3 || (text.size() > 1 && text.front() == u'0'))
        return -1;
    int value = 0;
    for (const QChar c : text) {
        if (!isDigit(c))
            return -1;
        value = value * 10 + (c.unicode() - u'0');
    }
    return value <= maxValue ? value : -1;
}

QHostAddress parseIpv4(const QString &text)
{
    const QList<QStringView> parts = QStringView(text).split(u'.');
    if (parts.size() != 4)
        return {};
    quint32 value = 0;
    for (const QStringView part : parts) {
        const int octet = smallNumber(part, 255);
        if (octet < 0)
            return {};
        value = (value << 8) | quint32(octet);
    }
    return QHostAddress(value);
}

QHostAddress parseIpv6(const QString &text)
{
    // Hex digits, colons and the dots of an embedded IPv4 part: no scope, brackets or spaces.
    for (const QChar c : text) {
        if (!isHexDigit(c) && c != u':' && c != u'.')
            return {};
    }
    QHostAddress address;
    if (!address.setAddress(text) || address.protocol() != QAbstractSocket::IPv6Protocol)
        return {};
    return address;
}

} // namespace

QHostAddress IpAddress::parse(const QString &text)
{
    return text.contains(u':') ? parseIpv6(text) : parseIpv4(text);
}

bool IpAddress::parseWithPrefix(const QString &text, QHostAddress *address, int *prefixLength)
{
    const qsizetype slash = text.indexOf(u'/');
    *address = parse(slash < 0 ? text : text.left(slash));
    *prefixLength = -1;
    if (address->isNull())
        return false;
    if (slash < 0)
        return true;
    const int maxLength = address->protocol() == QAbstractSocket::IPv4Protocol ? 32 : 128;
    *prefixLength = smallNumber(QStringView(text).mid(slash + 1), maxLength);
    return *prefixLength >= 0;
}

QString IpAddress::canonicalHost(const QString &text)
{
    const QHostAddress address = parse(text);
    if (address.isNull() || address.isBroadcast() ||
        address.isEqual(QHostAddress(QHostAddress::AnyIPv4), QHostAddress::StrictConversion) ||
        address.isEqual(QHostAddress(QHostAddress::AnyIPv6), QHostAddress::StrictConversion))
        return {};
    return address.toString();
}
