#pragma once

#include "DemoService.h"
#include "TinyProxy.h"

#include <QByteArray>
#include <QString>

// Everything a client test talks to, all on ephemeral loopback ports: the service with a
// demo account, a forwarding and a refusing tinyproxy, a proxy that never answers, one that
// answers with the wrong page, and a port nobody listens on.
class TestEnvironment
{
public:
    TestEnvironment();
    ~TestEnvironment();
    TestEnvironment(const TestEnvironment &) = delete;
    TestEnvironment &operator=(const TestEnvironment &) = delete;

    // Returns false (with a warning and errorString()) if any part fails to start.
    bool start();
    void stop();
    bool isStarted() const { return m_started; }
    QString errorString() const { return m_error; }
    // Back to the state right after start(): no handlers, no recorded requests, only the demo
    // account as it was, no reported IP or logo.
    void reset();

    static QString demoUser();
    static QString demoPassword();
    // The demo account's proxy list: allowing, refusing, silent, wrong page, closed.
    QStringList demoProxies() const;
    static QByteArray wrongPageBody();

    static QString entryOf(quint16 port);
    QString allowingEntry() const;
    QString refusingEntry() const;
    QString silentEntry() const;
    QString wrongPageEntry() const;
    QString closedEntry() const;

    // Such as "1.11.1"; empty when tinyproxy is missing.
    static QString tinyproxyVersion();
    static bool tinyproxyAvailable();

    DemoService service;
    TinyProxy allowingProxy;
    TinyProxy refusingProxy;
    // Accepts, reads, never answers.
    DemoService silentListener;
    // Answers every request with 200 and wrongPageBody().
    DemoService wrongPage;
    // Was free when start() ran; nothing listens there.
    quint16 closedPort = 0;

private:
    bool fail(const QString &message);
    void installHandlers();

    bool m_started = false;
    QString m_error;
};
