#pragma once

#include "ProxyManager.h"

#include <QObject>
#include <QStringList>

#include <utility>

class DebugLog;
class QAction;

// What the authorization rounds tell the user beyond the list the button shows: a failed
// round in the log, the periodic rounds' failing and working again, and an added address, said
// as a change when the round found a new one and with the previous one it removed. A periodic
// write that fails reaches the tray once until a periodic round works again.
class AuthorizationReport : public QObject
{
    Q_OBJECT

public:
    // periodic: the action that keeps the address authorized.
    AuthorizationReport(ProxyManager *manager, DebugLog *log, QAction *periodic, QObject *parent);

signals:
    // For the tray, and for the log.
    void notice(const QString &text);

private:
    void roundEnded(ProxyManager::AuthorizationOutcome outcome, const QStringList &ips,
                    const QString &failure, ProxyManager::AuthorizationOrigin origin);

    ProxyManager *manager;
    DebugLog *log;
    QAction *periodic;
    // The round now ending: the address it found changed from, the entries it dropped, and
    // whether a complete read came in it.
    std::pair<QString, QString> change;
    QStringList removed;
    bool roundRead = false;
    bool writeFailing = false;
};
