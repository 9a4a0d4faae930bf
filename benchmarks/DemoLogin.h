#pragma once

#include "LoginWindow.h"
#include "MainWindow.h"
#include "ProxyManager.h"

#include <QString>

// The login and main windows on one client set to a service, with the demo account typed into
// the login window and not yet sent: a login as a user makes it.
class DemoLogin
{
public:
    DemoLogin(const QString &apiUrl, const QString &pingUrl);
    // Presses the login window's button.
    void send();

    ProxyManager manager;
    LoginWindow login{nullptr};
    MainWindow window{nullptr};
};
