#pragma once

#include <QString>

// One entry of the proxy list, split into host and port. Entries the tester cannot use keep
// what they hold and say why in problem.
class ProxyEntry
{
public:
    static ProxyEntry parse(const QString &entry);

    bool isUsable() const { return problem.isEmpty(); }

    // Without brackets for an IPv6 address; the whole entry when it does not split in two.
    QString host;
    // The port as it stands in the entry; empty when the entry does not split in two.
    QString portText;
    quint16 port = 0;
    // Empty when the entry is usable; otherwise a short reason in English.
    QString problem;
};
