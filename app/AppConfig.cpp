#include "AppConfig.h"

#include "LoginWindow.h"
#include "MainWindow.h"
#include "ProxyManager.h"

#include <QSystemTrayIcon>
#include <QTimer>

namespace {

// Started with the session the tray may come after the program; without one the window shows.
void enterTray(MainWindow *main, int waitMs)
{
    if (QSystemTrayIcon::isSystemTrayAvailable())
        main->initInTray();
    else if (waitMs <= 0)
        main->initAndShow();
    else
        QTimer::singleShot(250, main, [main, waitMs] { enterTray(main, waitMs - 250); });
}

} // namespace

AppConfig AppConfig::load(const QString &fileName)
{
    return AppConfig(ClientConfig::load(fileName));
}

void AppConfig::applyTo(ProxyManager *manager, LoginWindow *login, MainWindow *main) const
{
    if (!apiUrl.isEmpty())
        manager->apiUrl = apiUrl;
    if (!pingUrl.isEmpty())
        manager->pingUrl = pingUrl;
    main->setParallelTests(parallelTests);
    if (!titleText.isEmpty()) {
        main->setWindowTitle(titleText);
        login->setWindowTitle(titleText);
    }

    QObject::connect(manager, SIGNAL(finishedGetProxies(QStringList)), login,
                     SLOT(loginFinished(QStringList)));
    QObject::connect(login, &LoginWindow::logged, main, [login, main] {
        if (login->quietStart && !login->isVisible())
            enterTray(main, 30000);
        else
            main->initAndShow();
        if (!login->keychainNote().isEmpty())
            main->appendLog(login->keychainNote() + QLatin1Char('\n'));
    });
    QObject::connect(manager, &ProxyManager::loginSaved, main, [main](bool ok, const QString &why) {
        if (!ok)
            main->appendLog(QObject::tr("The login was not remembered: %1\n").arg(why));
    });
    // Before the window shows: a quiet start with a saved login keeps it hidden.
    login->startAutoLogin();
    if (!logoUrl.isEmpty())
        login->loadLogo(logoUrl);
    else
        login->reveal();
}
