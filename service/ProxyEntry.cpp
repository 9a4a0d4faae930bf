#include "ProxyEntry.h"

#include <QHostAddress>

using namespace Qt::StringLiterals;

namespace {

// Decimal digits only: no sign, no spaces, no other base; 0 and values past 65535 are refused
// (they are not wrapped around).
quint16 portOf(const QString &text)
{
    if (text.isEmpty() || text.size() > 5)
        return 0;
    uint value = 0;
    for (const QChar c : text) {
        if (c < u'0' || c > u'9')
            return 0;
        value = value * 10 + uint(c.unicode() - u'0');
    }
    return value <= 65535 ? quint16(value) : 0;
}

// No real host name holds these; in a log line they could pass for a line of its own.
bool hasSpaceOrControl(const QString &host)
{
    for (const QChar c : host) {
        if (c.isSpace() || c.category() == QChar::Other_Control ||
            c.category() == QChar::Other_Format)
            return true;
    }
    return false;
}

// The longest name DNS can carry.
constexpr qsizetype maxHostChars = 253;

} // namespace

ProxyEntry ProxyEntry::parse(const QString &entry)
{
    ProxyEntry result;
    result.host = entry;
    if (entry.isEmpty()) {
        result.problem = u"the entry is empty"_s;
        return result;
    }

    QString portText;
    if (entry.startsWith(u'[')) {
        // A bracketed IPv6 address: "[2001:db8::1]:3128".
        const qsizetype close = entry.indexOf(u']');
        if (close < 0 || entry.mid(close + 1, 1) != u":") {
            result.problem = u"the bracketed address is not followed by \":port\""_s;
            return result;
        }
        const QString address = entry.mid(1, close - 1);
        const QHostAddress parsed(address);
        if (parsed.protocol() != QAbstractSocket::IPv6Protocol || !parsed.scopeId().isEmpty()) {
            result.problem = u"the bracketed host is not an IPv6 address"_s;
            return result;
        }
        result.host = address;
        portText = entry.mid(close + 2);
    } else {
        const qsizetype colons = entry.count(u':');
        if (colons == 0) {
            result.problem = u"there is no colon between host and port"_s;
            return result;
        }
        if (colons > 1) {
            result.problem = u"more than one colon"_s;
            return result;
        }
        const qsizetype colon = entry.indexOf(u':');
        result.host = entry.left(colon);
        portText = entry.mid(colon + 1);
    }

    result.portText = portText;
    result.port = portOf(portText);
    if (result.host.isEmpty())
        result.problem = u"the host is empty"_s;
    else if (result.host.size() > maxHostChars)
        result.problem = u"the host is longer than 253 characters"_s;
    else if (hasSpaceOrControl(result.host))
        result.problem = u"the host holds spaces or control characters"_s;
    else if (result.port == 0)
        result.problem = u"the port is not a number from 1 to 65535"_s;
    return result;
}
