#include "AuthorizedIpList.h"

#include "IpAddress.h"
#include "SafeText.h"

using namespace Qt::StringLiterals;

AuthorizedIpList AuthorizedIpList::parse(const QByteArray &body, bool complete)
{
    AuthorizedIpList list;
    // Lines after a NUL byte would be lost by anything that reads up to it.
    if (body.contains('\0')) {
        list.problem = u"the answer holds a NUL byte"_s;
        return list;
    }
    const QString text = QString::fromLatin1(body);
    QStringList lines;
    qsizetype start = 0;
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (text.at(i) != u'\r' && text.at(i) != u'\n')
            continue;
        lines.append(text.mid(start, i - start));
        if (text.at(i) == u'\r' && i + 1 < text.size() && text.at(i + 1) == u'\n')
            ++i;
        start = i + 1;
    }
    if (start < text.size()) {
        // A reset can read as a clean end: then only a final line end shows that the last
        // line arrived whole.
        if (!complete) {
            list.problem = u"the answer may have been cut off (its last line has no line end)"_s;
            return list;
        }
        lines.append(text.mid(start));
    }

    for (const QString &line : std::as_const(lines)) {
        const QString entry = line.trimmed();
        if (entry.isEmpty())
            continue;
        if (entry.contains(u"ERROR")) {
            list.problem = SafeText::singleLine(entry);
            return list;
        }
        Parsed parsed;
        if (!IpAddress::parseWithPrefix(entry, &parsed.address, &parsed.prefixLength)) {
            list.problem = u"the answer holds a line that is not an address: "_s %
                           SafeText::singleLine(entry, 80);
            return list;
        }
        list.entries.append(entry);
        list.parsed.append(parsed);
    }
    return list;
}

bool AuthorizedIpList::holds(const QHostAddress &address) const
{
    for (const Parsed &entry : parsed) {
        const int fullLength = entry.address.protocol() == QAbstractSocket::IPv4Protocol ? 32 : 128;
        if ((entry.prefixLength < 0 || entry.prefixLength == fullLength) &&
            entry.address.isEqual(address, QHostAddress::StrictConversion))
            return true;
    }
    return false;
}
