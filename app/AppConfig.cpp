#include "AppConfig.h"

#include "LoginWindow.h"
#include "MainWindow.h"
#include "ProxyManager.h"

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
    if (!logoUrl.isEmpty())
        login->loadLogo(logoUrl);
    else
        login->show();

    QObject::connect(manager, SIGNAL(finishedGetProxies(QStringList)), login,
                     SLOT(loginFinished(QStringList)));
    QObject::connect(login, &LoginWindow::logged, main, &MainWindow::initAndShow);
}
