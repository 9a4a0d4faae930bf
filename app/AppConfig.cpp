#include "AppConfig.h"

#include "LoginWindow.h"
#include "MainWindow.h"
#include "ProxyManager.h"

#include <QFileInfo>
#include <QSettings>

using namespace Qt::StringLiterals;

AppConfig AppConfig::load(const QString &fileName)
{
    AppConfig config;
    // QSettings would read a directory of that name as an empty file anyway; say nothing.
    if (!QFileInfo(fileName).isFile())
        return config;
    const QSettings settings(fileName, QSettings::IniFormat);
    // A value with an unquoted comma is a list in this format: toString() gives empty text.
    config.apiUrl = settings.value(u"API_URL"_s).toString();
    config.pingUrl = settings.value(u"PING_URL"_s).toString();
    config.titleText = settings.value(u"TITLE_TEXT"_s).toString();
    config.logoUrl = settings.value(u"LOGO_URL"_s).toString();
    return config;
}

void AppConfig::applyTo(ProxyManager *manager, LoginWindow *login, MainWindow *main) const
{
    if (!apiUrl.isEmpty())
        manager->apiUrl = apiUrl;
    if (!pingUrl.isEmpty())
        manager->pingUrl = pingUrl;
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
