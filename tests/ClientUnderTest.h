#pragma once

#include "AppConfig.h"
#include "LoginWindow.h"
#include "MainWindow.h"
#include "ProxyManager.h"

#include <QString>
#include <memory>

class TestEnvironment;

// The real program as start-up wires it, pointed at the test environment's service.
class ClientUnderTest
{
public:
    explicit ClientUnderTest(TestEnvironment &env, AppConfig config = {});
    ~ClientUnderTest();

    // Types into the login window and presses "Login"; true once the main window shows.
    bool logIn(const QString &user, const QString &pass);

    template <typename T> T *mainChild(const char *name) const
    {
        return main.findChild<T *>(QString::fromLatin1(name));
    }
    template <typename T> T *loginChild(const char *name) const
    {
        return login.findChild<T *>(QString::fromLatin1(name));
    }

    ProxyManager *manager;
    LoginWindow login;
    MainWindow main;
};
