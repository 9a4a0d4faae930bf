#pragma once

#include <QNetworkRequest>
#include <QString>

// What a test run fetches through each proxy: the service's ping page, or an address of the
// user's own with a text its page must hold; and where a working proxy's exit address is
// asked for.
struct TestTarget
{
    // Empty: the ping page.
    QString url;
    // Case-sensitive; empty: any page.
    QString expect;
    // Empty: no exit address is fetched.
    QString exitIpUrl;

    bool isPingPage() const { return url.isEmpty(); }
    // The target's host, for the status bar; empty for the ping page.
    QString label() const;
    // Why the address cannot be a target or an exit address page; empty when it can.
    static QString problemOf(const QString &url);
    // As problemOf(exitIpUrl), and it must not be the service's own host and port: that
    // request goes through proxies.
    QString exitIpProblem(const QString &apiUrl) const;

    // The test request for one proxy: the ping page with a random query, or the target as is.
    QNetworkRequest request(const QString &pingUrl) const;
    // A GET that asks for no compression: Qt would inflate a bomb on this thread.
    static QNetworkRequest pageRequest(const QString &url);
    // The ping page asked without a proxy: whether the user's own line works.
    static QNetworkRequest probeRequest(const QString &pingUrl);

    // Kept in the settings under the user name.
    static TestTarget remembered(const QString &user);
    void remember(const QString &user) const;

    bool operator==(const TestTarget &other) const
    {
        return url == other.url && expect == other.expect && exitIpUrl == other.exitIpUrl;
    }
};
