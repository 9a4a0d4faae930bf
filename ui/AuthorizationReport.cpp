#include "AuthorizationReport.h"

#include "DebugLog.h"
#include "ProxyManager.h"
#include "SafeText.h"

#include <QAction>

#include <utility>

using namespace Qt::StringLiterals;

namespace {

// ", A was removed" for the addresses a round dropped; nothing for none.
QString removedNote(const QStringList &removed)
{
    if (removed.isEmpty())
        return {};
    QStringList shown;
    for (const QString &entry : removed)
        shown.append(SafeText::singleLine(entry, 60));
    return u", "_s % shown.join(u", "_s) %
           (removed.size() == 1 ? u" was removed"_s : u" were removed"_s);
}

} // namespace

AuthorizationReport::AuthorizationReport(ProxyManager *manager, DebugLog *log, QAction *periodic,
                                         QObject *parent)
    : QObject(parent), manager(manager), log(log), periodic(periodic)
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
    connect(periodic, &QAction::toggled, this, [this] { writeFailing = false; });
    // What a round did comes before its end, where it is said at once.
    connect(manager, &ProxyManager::addressChangeAuthorized, this,
            [this](const QString &from, const QString &to) {
                change = {from, to};
            });
    connect(manager, &ProxyManager::previousAddressRemoved, this,
            [this](const QString &, const QStringList &removed) { this->removed = removed; });
    connect(manager, &ProxyManager::authorizedListRead, this, [this] { roundRead = true; });
    connect(manager, &ProxyManager::authorizationEnded, this, &AuthorizationReport::roundEnded);
}

void AuthorizationReport::roundEnded(ProxyManager::AuthorizationOutcome outcome,
                                     const QStringList &ips, const QString &failure,
                                     ProxyManager::AuthorizationOrigin origin)
{
    using Origin = ProxyManager::AuthorizationOrigin;
    const bool wrote = std::exchange(roundRead, false);
    const auto [from, to] = std::exchange(change, {});
    const QString gone = removedNote(std::exchange(removed, {}));
    const bool added = outcome == ProxyManager::AuthorizationOutcome::Added;
    const bool failed = outcome == ProxyManager::AuthorizationOutcome::Failed;
    if (origin == Origin::ListRead || origin == Origin::ListEdit) {
        if (failed)
            log->appendLines((origin == Origin::ListRead
                                  ? u"Reading the authorized list failed: "_s
                                  : u"Changing the authorized list failed: "_s) %
                             failure % u"\n"_s);
        else if (added)
            log->appendLines(u"Authorized IP addresses:\n"_s % ips.join(u'\n') % u"\n"_s);
        return;
    }
    const QString address = SafeText::singleLine(manager->myIp);
    // Only the rounds that keep the address authorized announce it; switching them on starts
    // the first of them. The button's round shows the list in the log.
    if (!ProxyManager::isScheduled(origin) || !periodic->isChecked()) {
        if (added && !gone.isEmpty())
            log->appendLines(u"Your IP address "_s % address %
                             u" was added to the authorized list"_s % gone % u"\n"_s);
        return;
    }
    if (!failed)
        writeFailing = false;
    // A write after a complete read: the service refused it or never answered.
    if (failed && wrote && !std::exchange(writeFailing, true))
        emit notice(u"Your IP address could not be added to the authorized list: "_s %
                    SafeText::singleLine(failure, 300));
    if (added && !from.isEmpty())
        emit notice(u"Your IP address changed from "_s % SafeText::singleLine(from) % u" to "_s %
                    SafeText::singleLine(to) % u" and was added to the authorized list"_s % gone);
    else if (added)
        emit notice(u"Your IP address "_s % address % u" was added to the authorized list"_s %
                    gone);
}
