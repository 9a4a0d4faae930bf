#include "AutoLogin.h"

#include "SafeText.h"

#include <algorithm>

using namespace Qt::StringLiterals;

AutoLogin::AutoLogin(ProxyManager *manager, QObject *parent) : QObject(parent), manager(manager)
{
    retry.setSingleShot(true);
    connect(&retry, &QTimer::timeout, this, &AutoLogin::tryNow);
    connect(manager, &ProxyManager::savedLoginLoaded, this, &AutoLogin::savedLoginLoaded);
    connect(manager, &ProxyManager::listFailed, this, &AutoLogin::listFailed);
}

void AutoLogin::start()
{
    active = true;
    failures = 0;
    emit status(tr("Logging in…"));
    manager->loadSavedLogin();
}

void AutoLogin::stop()
{
    active = false;
    retry.stop();
}

void AutoLogin::savedLoginLoaded(const QString &user, const QString &password,
                                 const QString &reason)
{
    if (!active)
        return;
    if (password.isEmpty()) {
        stop();
        emit gaveUp(tr("The saved password could not be read: %1").arg(reason));
        return;
    }
    emit loaded(user, password);
    tryNow();
}

void AutoLogin::tryNow()
{
    emit status(tr("Logging in…"));
    emit attempt();
}

void AutoLogin::listFailed(ProxyManager::FailureKind kind, const QString &reason)
{
    if (!active)
        return;
    if (kind != ProxyManager::FailureKind::Unreachable) {
        stop();
        emit gaveUp({});
        return;
    }
    const int wait = retryWaitsMs.value(std::min<qsizetype>(failures, retryWaitsMs.size() - 1));
    ++failures;
    retry.start(wait);
    // The wait first: the label cuts a long reason at its end.
    emit status(tr("Trying again in %1 s: no answer from the service (%2)")
                    .arg(wait / 1000.0)
                    .arg(SafeText::singleLine(reason, 80)));
}
