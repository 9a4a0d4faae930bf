#include "ProxyListAnswer.h"

#include "ApiClient.h"
#include "ReplyBody.h"
#include "ReplyReader.h"
#include "SafeText.h"

#include <QNetworkReply>
#include <QNetworkRequest>

using namespace Qt::StringLiterals;
using namespace ReplyBody;

namespace {

const auto noResponseText = u"ERROR: Sorry, no response from server."_s;

} // namespace

ProxyListAnswer ProxyListAnswer::read(QNetworkReply *reply, const ApiClient &api)
{
    using Kind = ProxyManager::FailureKind;
    const ReplyReader &body = *ReplyReader::of(reply);
    const QString first = latin1UpToNul(body.firstLine());
    // An "ERROR" line is a message and may echo the password; a list line is data.
    QString refusal;
    if (first.contains(u"ERROR")) {
        refusal = api.mask().masked(first);
        // A password holding "ERROR" must not turn the refusal into a list entry.
        if (!refusal.contains(u"ERROR"))
            refusal.prepend(u"ERROR: "_s);
    }
    // Only a successful answer's list is counted; it was cut off at the entry past the bound.
    if (body.hasTooManyLines())
        return {{u"ERROR: The proxy list has more than "_s %
                 QString::number(ProxyManager::maxProxies) % u" entries; none was loaded."_s},
                true,
                Kind::ServiceError,
                u"the list is too long"_s};
    const QString failure = api.failureOf(reply);
    if (!failure.isEmpty()) {
        const bool timedOut = ApiClient::isTimedOut(reply);
        const bool answered = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).isValid();
        const bool tlsFailed = reply->error() == QNetworkReply::SslHandshakeFailedError;
        QString shown;
        if (!timedOut && !refusal.isEmpty())
            shown = refusal;
        else if (timedOut || (!answered && !tlsFailed && first.isEmpty()))
            shown = noResponseText;
        else
            shown = u"ERROR: Could not get the proxy list: "_s % failure;
        return {{shown}, true, ApiClient::failureKindOf(reply), failure};
    }
    if (first.isEmpty())
        return {{noResponseText}, true, Kind::ServiceError, u"the answer is empty"_s};
    if (!refusal.isEmpty())
        return {{refusal}, true, Kind::ServiceError, SafeText::singleLine(refusal.trimmed())};
    return {body.lines(), false, Kind::ServiceError, {}};
}
