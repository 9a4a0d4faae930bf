#include "AuthorizedIpList.h"

#include "IpAddress.h"
#include "ReplyReader.h"
#include "SafeText.h"
#include "SecretMask.h"

using namespace Qt::StringLiterals;

AuthorizedIpList AuthorizedIpList::parse(const QByteArray &body, bool complete,
                                         const SecretMask &mask)
{
    AuthorizedIpList list;
    qsizetype start = 0;
    for (qsizetype i = 0; i < body.size(); ++i) {
        if (body.at(i) != '\r' && body.at(i) != '\n')
            continue;
        list.addLine(QByteArrayView(body).sliced(start, i - start));
        start = i + 1;
    }
    return list.ended(QByteArrayView(body).sliced(start), complete, mask);
}

AuthorizedIpList AuthorizedIpList::read(const QNetworkReply *reply, bool complete,
                                        const SecretMask &mask)
{
    if (const ReplyReader *reader = ReplyReader::of(reply))
        return reader->authorizedIps(complete, mask);
    AuthorizedIpList unread;
    unread.problem = u"the answer was not read"_s;
    return unread;
}

void AuthorizedIpList::addLine(QByteArrayView line)
{
    // Lines after a NUL byte would be lost by anything that reads up to it.
    if (line.contains('\0'))
        heldNul = true;
    if (heldNul || !badLine.isEmpty())
        return;
    const QString entry = QString::fromLatin1(line).trimmed();
    if (entry.isEmpty())
        return;
    Parsed address;
    if (entry.contains(u"ERROR") ||
        !IpAddress::parseWithPrefix(entry, &address.address, &address.prefixLength)) {
        badLine = entry;
        return;
    }
    entries.append(entry);
    parsed.append(address);
}

AuthorizedIpList AuthorizedIpList::ended(QByteArrayView rest, bool complete,
                                         const SecretMask &mask) const
{
    AuthorizedIpList list = *this;
    // A reset can read as a clean end: then only a final line end shows that the last line
    // arrived whole.
    const bool mayBeCut = !rest.isEmpty() && !complete && !rest.contains('\0');
    if (!rest.isEmpty() && !mayBeCut)
        list.addLine(rest);
    if (list.heldNul)
        list.problem = u"the answer holds a NUL byte"_s;
    else if (mayBeCut)
        list.problem = u"the answer may have been cut off (its last line has no line end)"_s;
    else if (list.badLine.contains(u"ERROR"))
        list.problem = SafeText::singleLine(mask.masked(list.badLine));
    else if (!list.badLine.isEmpty())
        list.problem = u"the answer holds a line that is not an address: "_s %
                       SafeText::singleLine(mask.masked(list.badLine), 80);
    if (!list.problem.isEmpty()) {
        list.entries.clear();
        list.parsed.clear();
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
