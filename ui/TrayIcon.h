#pragma once

#include <QObject>
#include <QSystemTrayIcon>

class QMenu;
class QWidget;

// The program's icon in the system tray, with its menu, tooltip and messages. It carries the
// same icon as the window.
class TrayIcon : public QObject
{
    Q_OBJECT

public:
    TrayIcon(QMenu *menu, QWidget *window);

    void show();
    void setToolTip(const QString &text);
    // A balloon at the icon, when there is a tray to show it.
    void showMessage(const QString &title, const QString &text);

signals:
    void activated(QSystemTrayIcon::ActivationReason reason);

private:
    QSystemTrayIcon *icon;
};
