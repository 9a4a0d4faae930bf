#include "AuthorizationReport.h"

#include "DebugLog.h"
#include "ProxyManager.h"
#include "SafeText.h"

#include <QAction>

#include <utility>

using namespace Qt::StringLiterals;

AuthorizationReport::AuthorizationReport(ProxyManager *manager, DebugLog *log, QAction *periodic,
                                         QObject *parent)
    : QObject(parent)
{
    connect(manager, &ProxyManager::authorizeIpFailed, this, [log](const QString &reason) {
        log->appendLines(u"Authorizing my IP failed: "_s % reason % u"\n"_s);
    });
    connect(manager, &ProxyManager::periodicAuthorizationFailed, this,
            [log](const QString &reason) {
                log->appendLines(u"Keeping my IP authorized failed: "_s % reason % u"\n"_s);
            });
    connect(manager, &ProxyManager::periodicAuthorizationRecovered, this,
            [log] { log->appendLines(u"Keeping my IP authorized works again\n"_s); });
    // Said instead of the plain news of the same round, which follows at once.
    connect(manager, &ProxyManager::addressChangeAuthorized, this,
            [this, periodic](const QString &from, const QString &to) {
                if (!periodic->isChecked())
                    return;
                changeAnnounced = true;
                emit notice(u"Your IP address changed from "_s % SafeText::singleLine(from) %
                            u" to "_s % SafeText::singleLine(to) %
                            u" and was added to the authorized list"_s);
            });
    // Only the rounds that keep the address authorized announce it; switching them on starts
    // the first of them. The button's round shows the list in the log instead.
    connect(manager, &ProxyManager::authorizationEnded, this,
            [this, manager, periodic](ProxyManager::AuthorizationOutcome outcome,
                                      const QStringList &, const QString &,
                                      ProxyManager::AuthorizationOrigin origin) {
                using Origin = ProxyManager::AuthorizationOrigin;
                if (std::exchange(changeAnnounced, false))
                    return;
                if (outcome == ProxyManager::AuthorizationOutcome::Added && periodic->isChecked() &&
                    (origin == Origin::Periodic || origin == Origin::SwitchOn ||
                     origin == Origin::AddressChange))
                    emit notice(u"Your IP address "_s % SafeText::singleLine(manager->myIp) %
                                u" was added to the authorized list"_s);
            });
}
