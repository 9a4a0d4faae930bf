#pragma once

#include "ProxyManager.h"

#include <QList>
#include <QObject>
#include <QTimer>

// Logging in at start with the saved login. Where the service gives no answer at all (the
// network is often not up yet after a reboot) it tries again after growing waits, until a try
// gets an answer or the user takes over; any answer ends it.
class AutoLogin : public QObject
{
    Q_OBJECT

public:
    AutoLogin(ProxyManager *manager, QObject *parent);

    // The waits before each next try; the last one repeats. Tests shorten them.
    QList<int> retryWaitsMs{2000, 5000, 10000, 30000, 60000};

    // Reads the saved password, then tries.
    void start();
    // The user took over, or the login worked.
    void stop();
    bool isActive() const { return active; }

signals:
    void loaded(const QString &user, const QString &password);
    // Press "Login" with the loaded credentials.
    void attempt();
    void status(const QString &text);
    // Ended without logging in; reason is empty where the window already shows the error.
    void gaveUp(const QString &reason);

private:
    void savedLoginLoaded(const QString &user, const QString &password, const QString &reason);
    void listFailed(ProxyManager::FailureKind kind, const QString &reason);
    void tryNow();

    ProxyManager *manager;
    QTimer retry;
    int failures = 0;
    bool active = false;
};
