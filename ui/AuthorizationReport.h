#pragma once

#include <QObject>

class DebugLog;
class ProxyManager;
class QAction;

// What the authorization rounds tell the user beyond the list the button shows: a failed
// round in the log, the periodic rounds' failing and working again, and an added address, said
// as a change when the round found a new one.
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
    bool changeAnnounced = false;
};
