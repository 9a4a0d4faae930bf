// The program's start-up sequence, then exit as soon as the login window has painted once.
// bench_startup times this whole process from spawn to exit.
#include "AppConfig.h"
#include "BenchUtil.h"
#include "FirstPaintWatcher.h"
#include "LoginWindow.h"
#include "MainWindow.h"
#include "ProxyManager.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QTimer>

using namespace Qt::StringLiterals;

int main(int argc, char **argv)
{
    QElapsedTimer sinceMain;
    sinceMain.start();
    bench::useOffscreenPlatform();

    // As app/main.cpp does it.
    QApplication app(argc, argv);
    LoginWindow login(nullptr);
    MainWindow window(nullptr);
    auto *manager = new ProxyManager();
    login.proxyManager = manager;
    window.proxyManager = manager;

    auto *watcher = new FirstPaintWatcher(&login);
    AppConfig::load().applyTo(manager, &login, &window);

    int status = 3;
    QObject::connect(watcher, &FirstPaintWatcher::painted, &app, [&] {
        status = login.isVisible() ? 0 : 4;
        bench::printLine(u"FIRST_PAINT_MS="_s %
                         bench::number(double(sinceMain.nsecsElapsed()) / 1e6, 2));
        QCoreApplication::quit();
    });
    // Bounded: a window that never paints ends the probe with status 3.
    QTimer::singleShot(5000, &app, &QCoreApplication::quit);
    QApplication::exec();
    return status;
}
