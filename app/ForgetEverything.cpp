#include "ForgetEverything.h"

#include "ProxyManager.h"
#include "SessionAutostart.h"

#include <QCoreApplication>
#include <QSettings>

int ForgetEverything::run()
{
    ProxyManager manager;
    // Every place the program keeps something for the user is removed here.
    QObject::connect(&manager, &ProxyManager::savedLoginForgotten, &manager, [] {
        QSettings().clear();
        SessionAutostart::remove();
        QCoreApplication::quit();
    });
    manager.forgetSavedLogin();
    QCoreApplication::exec();
    return 0;
}
