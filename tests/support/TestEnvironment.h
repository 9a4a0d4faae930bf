#pragma once

#include "DemoService.h"
#include "TargetSite.h"
#include "TinyProxy.h"

#include <QByteArray>
#include <QString>
#include <QTemporaryDir>
#include <QTest>

// In a test function or data row that needs the real proxies: tinyproxy is a Unix program, so
// on Windows, where TestEnvironment::start() leaves them stopped, the case is skipped.
#define PM_SKIP_WITHOUT_TINYPROXY()                                                                \
    do {                                                                                           \
        if (!TestEnvironment::tinyproxyAvailable())                                                \
            QSKIP("needs tinyproxy, a Unix program, for a real proxy: not available here");        \
    } while (false)

// Everything a client test talks to, all on ephemeral loopback ports: the service with a
// demo account, a forwarding and a refusing tinyproxy, a proxy that never answers, one that
// answers with the wrong page, and a port nobody listens on.
class TestEnvironment
{
public:
    // Also points the per-user settings (INI files on every system) and the XDG configuration
    // folder (autostart entries) at a temporary folder, for this process and the programs it
    // starts, under the program's own names: no test sees the user's own.
    // False (with a warning and errorString()) if any part fails to start. On Windows a missing
    // tinyproxy is no failure: the two proxies stay stopped (port 0).
    bool start();
    QString errorString() const { return m_error; }
    // Back to the state right after start(): no handlers, no recorded requests, only the demo
    // account with demoProxies(), no reported IP or logo, empty settings.
    void reset();
    // The service answers that API command with the response and every other request as usual;
    // std::nullopt: every request as usual.
    void answerWith(const QString &command, const std::optional<CannedResponse> &response);
    // The command of each API request the service received, in order.
    QStringList commands() const;

    static QString demoUser() { return QStringLiteral("demo"); }
    static QString demoPassword() { return QStringLiteral("demo-pass"); }
    static QByteArray wrongPageBody() { return "<html><body>Wrong page</body></html>"; }
    static QString entryOf(quint16 port) { return QStringLiteral("127.0.0.1:%1").arg(port); }
    static bool tinyproxyAvailable() { return !TinyProxy::executable().isEmpty(); }

    QString allowingEntry() const { return allowingProxy.entry(); }
    QString refusingEntry() const { return refusingProxy.entry(); }
    QString silentEntry() const { return silentListener.entry(); }
    QString wrongPageEntry() const { return wrongPage.entry(); }
    QString closedEntry() const { return entryOf(closedPort); }
    // In this order: allowing, refusing, silent, wrong page, closed.
    QStringList demoProxies() const;

    QTemporaryDir settingsDir;
    DemoService service;
    TinyProxy allowingProxy;
    TinyProxy refusingProxy;
    // Accepts, reads, never answers.
    DemoService silentListener;
    // Answers every request with 200 and wrongPageBody().
    DemoService wrongPage;
    // The service over TLS with a self-signed certificate, which clients rightly refuse.
    DemoService tlsService;
    // A custom test target, reached through the proxies.
    TargetSite target;
    // Was free when start() ran; nothing listens there.
    quint16 closedPort = 0;

private:
    QString m_error;
};
