#include "TrayIcon.h"

#include <QIcon>
#include <QMenu>
#include <QWidget>

using namespace Qt::StringLiterals;

TrayIcon::TrayIcon(QMenu *menu, QWidget *window) : QObject(window)
{
    icon = new QSystemTrayIcon(this);
    icon->setContextMenu(menu);
    connect(icon, &QSystemTrayIcon::activated, this, &TrayIcon::activated);
    const QIcon logo(u":/images/logo.ico"_s);
    icon->setIcon(logo);
    window->setWindowIcon(logo);
}

void TrayIcon::show()
{
    icon->show();
}

void TrayIcon::setToolTip(const QString &text)
{
    icon->setToolTip(text);
}

void TrayIcon::showMessage(const QString &title, const QString &text)
{
    if (QSystemTrayIcon::isSystemTrayAvailable() && icon->isVisible())
        icon->showMessage(title, text);
}
