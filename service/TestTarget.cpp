#include "TestTarget.h"

#include <QCoreApplication>
#include <QRandomGenerator>
#include <QSettings>
#include <QUrl>

#include <limits>

using namespace Qt::StringLiterals;

namespace {

QString groupOf(const QString &user)
{
    // A user name may hold the settings' own separators.
    return u"testTarget/"_s % QString::fromLatin1(QUrl::toPercentEncoding(user));
}

} // namespace

QString TestTarget::label() const
{
    return isPingPage() ? QString() : QUrl(url).host();
}

QString TestTarget::problemOf(const QString &text)
{
    const QUrl url(text.trimmed(), QUrl::StrictMode);
    if (!url.isValid() || url.host().isEmpty())
        return u"not a complete address"_s;
    if (url.scheme() != u"http" && url.scheme() != u"https")
        return u"only http and https addresses can be tested"_s;
    // Credentials in the address would travel through every proxy tested.
    if (!url.userInfo().isEmpty())
        return u"the address must not hold a user name or password"_s;
    return {};
}

QString TestTarget::exitIpProblem(const QString &apiUrl) const
{
    if (exitIpUrl.isEmpty())
        return {};
    QString problem = problemOf(exitIpUrl);
    if (!problem.isEmpty())
        return problem;
    const QUrl exit(exitIpUrl.trimmed()), api(apiUrl);
    const auto portOf = [](const QUrl &u) { return u.port(u.scheme() == u"https" ? 443 : 80); };
    if (exit.host().compare(api.host(), Qt::CaseInsensitive) == 0 && portOf(exit) == portOf(api))
        return u"the service's own address is not asked through proxies"_s;
    return {};
}

QNetworkRequest TestTarget::request(const QString &pingUrl) const
{
    if (!isPingPage())
        return pageRequest(url.trimmed());
    const int random = int(QRandomGenerator::global()->bounded(std::numeric_limits<int>::max()));
    QNetworkRequest ping = pageRequest(pingUrl % u"?r="_s % QString::number(random));
    ping.setRawHeader("Accept-Language", "en-us,en;q=0.5");
    return ping;
}

QNetworkRequest TestTarget::pageRequest(const QString &url)
{
    QNetworkRequest request(QUrl(url, QUrl::TolerantMode));
    request.setRawHeader("Accept-Encoding", "identity");
    return request;
}

QNetworkRequest TestTarget::probeRequest(const QString &pingUrl)
{
    return pageRequest(pingUrl % u"?testError=1"_s);
}

TestTarget TestTarget::remembered(const QString &user)
{
    QSettings settings;
    settings.beginGroup(groupOf(user));
    TestTarget target{settings.value(u"url"_s).toString(), settings.value(u"expect"_s).toString(),
                      settings.value(u"exitIpUrl"_s).toString()};
    // A hand-edited value is taken only if the dialog would have taken it.
    if (!target.url.isEmpty() && !problemOf(target.url).isEmpty())
        target.url.clear();
    if (target.isPingPage())
        target.expect.clear();
    if (!target.exitIpUrl.isEmpty() && !problemOf(target.exitIpUrl).isEmpty())
        target.exitIpUrl.clear();
    return target;
}

void TestTarget::remember(const QString &user) const
{
    // Without the program's names the settings would land in an "Unknown Organization" folder.
    if (QCoreApplication::organizationName().isEmpty())
        return;
    QSettings settings;
    settings.beginGroup(groupOf(user));
    settings.setValue(u"url"_s, url);
    settings.setValue(u"expect"_s, expect);
    settings.setValue(u"exitIpUrl"_s, exitIpUrl);
}
