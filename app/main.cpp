#include "AppConfig.h"
#include "ForgetEverything.h"
#include "LoginWindow.h"
#include "MainWindow.h"
#include "OpenFileLimit.h"
#include "ProgramIdentity.h"
#include "ProxyManager.h"
#include "StartOptions.h"

#include <QApplication>
#include <QDir>

#include <cstdio>

int main(int argc, char **argv)
{
    // Many tests at once need many sockets.
    OpenFileLimit::raiseToHard();
    QApplication app(argc, argv);
    ProgramIdentity::apply();
    const StartOptions options = StartOptions::parse(QCoreApplication::arguments());
    if (!options.error.isEmpty() ||
        (!options.workDir.isEmpty() && !QDir::setCurrent(options.workDir))) {
        const QString error = options.error.isEmpty()
                                  ? QStringLiteral("cannot enter the folder ") + options.workDir
                                  : options.error;
        std::fprintf(stderr, "proxymanager: %s\n", qPrintable(error));
        return 2;
    }
    if (options.forget)
        return ForgetEverything::run();

    LoginWindow login(nullptr);
    MainWindow window(nullptr);
    // Lives until the process ends; the windows only borrow it.
    auto *manager = new ProxyManager();
    login.proxyManager = manager;
    window.proxyManager = manager;
    login.quietStart = options.tray;
    manager->historyFile = ProxyManager::defaultHistoryFile();
    // The results still waiting for the disk are written before the process ends.
    QObject::connect(&app, &QCoreApplication::aboutToQuit, manager, &ProxyManager::closeHistory);

    AppConfig::load().applyTo(manager, &login, &window);
    return QApplication::exec();
}
