#include "AppConfig.h"
#include "LoginWindow.h"
#include "MainWindow.h"
#include "ProgramIdentity.h"
#include "ProxyManager.h"

#include <QApplication>

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    ProgramIdentity::apply();
    LoginWindow login(nullptr);
    MainWindow window(nullptr);
    // Lives until the process ends; the windows only borrow it.
    auto *manager = new ProxyManager();
    login.proxyManager = manager;
    window.proxyManager = manager;

    AppConfig::load().applyTo(manager, &login, &window);
    return QApplication::exec();
}
