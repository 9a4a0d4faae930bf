#include "AuthorizationReport.h"

#include "DebugLog.h"
#include "ProxyManager.h"
#include "SafeText.h"

#include <QAction>

using namespace Qt::StringLiterals;

AuthorizationReport::AuthorizationReport(ProxyManager *manager, DebugLog *log, QAction *periodic,
                                         QObject *parent)
    : QObject(parent)
{
    connect(manager, &ProxyManager::authorizeIpFailed, this, [log](const QString &reason) {
        log->append(u"Authorizing my IP failed: "_s % reason % u"\n"_s);
    });
    connect(manager, &ProxyManager::periodicAuthorizationFailed, this,
            [log](const QString &reason) {
                log->append(u"Keeping my IP authorized failed: "_s % reason % u"\n"_s);
            });
    connect(manager, &ProxyManager::periodicAuthorizationRecovered, this,
            [log] { log->append(u"Keeping my IP authorized works again\n"_s); });
    connect(manager, &ProxyManager::authorizationEnded, this,
            [this, manager, periodic](ProxyManager::AuthorizationOutcome outcome) {
                if (outcome == ProxyManager::AuthorizationOutcome::Added && periodic->isChecked())
                    emit notice(u"Your IP address "_s % SafeText::singleLine(manager->myIp) %
                                u" was added to the authorized list"_s);
            });
}
