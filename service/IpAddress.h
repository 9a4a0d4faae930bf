#pragma once

#include <QHostAddress>
#include <QString>

// Strict reading of address texts from the service. QHostAddress alone also takes "1",
// "127.1", "0x7f000001" or a scope, none of which the service means or can store.
class IpAddress
{
public:
    // A dotted-quad IPv4 address (no leading zeros) or an IPv6 address without a scope; a null
    // address for anything else.
    static QHostAddress parse(const QString &text);
    // An address as above, optionally followed by "/prefix" (0-32 for IPv4, 0-128 for IPv6).
    // prefixLength is -1 without a prefix.
    static bool parseWithPrefix(const QString &text, QHostAddress *address, int *prefixLength);
    // The canonical text of a single host's address (neither unspecified nor broadcast);
    // empty for anything else.
    static QString canonicalHost(const QString &text);
};
