#include "AuthorizedIpList.h"

#include "ApiClient.h"
#include "IpAddress.h"
#include "ReplyBody.h"
#include "ReplyReader.h"
#include "SafeText.h"
#include "SecretMask.h"

#include <QNetworkReply>

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

namespace {

// Only a Content-Length shows that a body arrived whole. The access manager reads a reset as a
// clean end of an unframed body, and also of a chunked one cut between chunks, without the
// last chunk: those count as whole only when they end with a line end.
bool hasLength(QNetworkReply *reply)
{
    return reply->hasRawHeader("Content-Length");
}

// A body cut short of its Content-Length: the access manager reports it after a clean close,
// not after a reset.
bool isShort(QNetworkReply *reply, qsizetype received)
{
    if (!reply->hasRawHeader("Content-Length") || reply->hasRawHeader("Content-Encoding"))
        return false;
    bool ok = false;
    const qint64 announced = reply->rawHeader("Content-Length").trimmed().toLongLong(&ok);
    return ok && received < announced;
}

} // namespace

AuthorizedIpList AuthorizedIpList::checked(QNetworkReply *reply, const ApiClient &api)
{
    AuthorizedIpList list;
    list.problem = api.failureOf(reply);
    // A 204 or another success status without a list would read as an empty one.
    if (list.problem.isEmpty() &&
        reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt() != 200)
        list.problem = api.statusFailure(reply);
    if (!list.problem.isEmpty())
        return list;
    // The setauthips list replaces the account's whole list: only a read that is whole and
    // understood line by line may lead to one, or other addresses would be lost or garbage
    // stored.
    if (isShort(reply, ReplyBody::readAll(reply).size())) {
        list.problem = u"the answer was cut off"_s;
        return list;
    }
    return read(reply, hasLength(reply), api.mask());
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
