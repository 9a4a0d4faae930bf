#include "DemoLogin.h"

#include "AppConfig.h"

#include <QLineEdit>
#include <QPushButton>

using namespace Qt::StringLiterals;

DemoLogin::DemoLogin(const QString &apiUrl, const QString &pingUrl)
{
    login.proxyManager = &manager;
    window.proxyManager = &manager;
    AppConfig config;
    config.apiUrl = apiUrl;
    config.pingUrl = pingUrl;
    config.applyTo(&manager, &login, &window);
    login.findChild<QLineEdit *>(u"username"_s)->setText(u"demo"_s);
    login.findChild<QLineEdit *>(u"password"_s)->setText(u"demo-pass"_s);
}

void DemoLogin::send()
{
    login.findChild<QPushButton *>(u"pushButton"_s)->click();
}
