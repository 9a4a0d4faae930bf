#include "ProgramIdentity.h"

#include <QCoreApplication>

void ProgramIdentity::apply()
{
    // Settings: ~/.config/ProxyManager/ProxyManager.conf or
    // HKCU\Software\ProxyManager\ProxyManager; data: ~/.local/share/ProxyManager/ProxyManager or
    // %LOCALAPPDATA%\ProxyManager\ProxyManager.
    QCoreApplication::setOrganizationName(QStringLiteral("ProxyManager"));
    QCoreApplication::setApplicationName(QStringLiteral("ProxyManager"));
}
