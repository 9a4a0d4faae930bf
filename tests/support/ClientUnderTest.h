#pragma once

#include "AppConfig.h"
#include "LoginWindow.h"
#include "MainWindow.h"
#include "ProxyManager.h"
#include "ScopedWorkDir.h"
#include "TestEnvironment.h"

// The real program as start-up wires it, pointed at the test environment's service (API, ping
// page and logo, unless the configuration says otherwise), in a fresh working directory.
class ClientUnderTest
{
public:
    explicit ClientUnderTest(TestEnvironment &env, AppConfig config = {});
    ~ClientUnderTest();
    ClientUnderTest(const ClientUnderTest &) = delete;
    ClientUnderTest &operator=(const ClientUnderTest &) = delete;

    // Types into the login window and presses "Login"; true once the main window shows.
    bool logIn(const QString &user = TestEnvironment::demoUser(),
               const QString &pass = TestEnvironment::demoPassword());
    // Clicks the main window's button of that name.
    void click(const char *button);
    // The debug log as the view shows it once the event loop has run.
    QString log();

    // A widget or action of either window, by object name.
    template <typename T> T *child(const char *name) const
    {
        T *found = main.findChild<T *>(QString::fromLatin1(name));
        return found ? found : login.findChild<T *>(QString::fromLatin1(name));
    }

    // First, so it is left only after the windows have closed log.txt.
    ScopedWorkDir workDir;
    ProxyManager *manager;
    LoginWindow login;
    MainWindow main;
};
