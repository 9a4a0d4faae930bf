// A very large account's list through the whole program: login (list reply, table fill,
// first paint) and "Test proxies", in resident memory and in the longest event-loop block.
// Each list size runs in a child process of its own, so that its memory figures are its own.
#include "BenchUtil.h"
#include "DemoLogin.h"
#include "FigureReport.h"
#include "LoopBlockMeter.h"
#include "MainWindow.h"
#include "ProxyManager.h"
#include "ScopedWorkDir.h"

#include <QAction>
#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QHeaderView>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QPushButton>
#include <QTableView>
#include <QTcpServer>
#include <QTimer>

#include <sys/prctl.h>

#include <algorithm>
#include <csignal>
#include <functional>

using namespace Qt::StringLiterals;

namespace {

const int entryCounts[] = {100000, 200000};
constexpr int testingMs = 2000;

quint16 freePort()
{
    QTcpServer probe;
    return probe.listen(QHostAddress::LocalHost, 0) ? probe.serverPort() : 0;
}

// The service in a process of its own: building a large reply must not count as the
// client's block. It also plays every proxy of the list, answering the ping page with "1".
bool startService(QProcess &service, int entries, const ScopedWorkDir &dir, QString *apiUrl,
                  QString *pingUrl, QString *error)
{
    const quint16 port = freePort();
    QJsonArray proxies;
    const QString entry = u"127.0.0.1:"_s % QString::number(port);
    for (int i = 0; i < entries; ++i)
        proxies.append(entry);
    const QJsonObject account{{u"user"_s, u"demo"_s},
                              {u"pass"_s, u"demo-pass"_s},
                              {u"proxies"_s, proxies},
                              {u"authorizedIps"_s, QJsonArray{u"127.0.0.1"_s}}};
    QFile file(dir.filePath(u"accounts.json"_s));
    if (!file.open(QIODevice::WriteOnly) ||
        file.write(QJsonDocument(QJsonObject{{u"accounts"_s, QJsonArray{account}}}).toJson()) < 0) {
        *error = u"cannot write accounts.json"_s;
        return false;
    }
    file.close();

    service.setChildProcessModifier([] { prctl(PR_SET_PDEATHSIG, SIGKILL); });
    service.start(QString::fromLocal8Bit(PM_DEMO_SERVICE_PATH),
                  {u"--port"_s, QString::number(port), u"--accounts"_s, file.fileName()});
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < 20000 && service.waitForReadyRead(1000)) {
        while (service.canReadLine()) {
            const QString line = QString::fromLocal8Bit(service.readLine()).trimmed();
            if (line.startsWith(u"API_URL="))
                *apiUrl = line.mid(8);
            else if (line.startsWith(u"PING_URL="))
                *pingUrl = line.mid(9);
        }
        if (!apiUrl->isEmpty() && !pingUrl->isEmpty())
            return true;
    }
    *error = u"pm-demo-service did not start: "_s %
             QString::fromLocal8Bit(service.readAllStandardError());
    return false;
}

int measure(int entries)
{
    const QString size = QString::number(entries / 1000) % u"k"_s;
    FigureReport report(u"bench_tablefill "_s % size);
    ScopedWorkDir dir;
    QProcess service;
    QString apiUrl, pingUrl, error;
    if (!dir.isValid() || !startService(service, entries, dir, &apiUrl, &pingUrl, &error)) {
        report.error(dir.isValid() ? error : u"no temporary working directory"_s);
        return report.finish();
    }

    DemoLogin demo(apiUrl, pingUrl);
    ProxyManager &manager = demo.manager;
    MainWindow &window = demo.window;
    QCoreApplication::processEvents();
    const double rssBefore = bench::residentMB();

    LoopBlockMeter meter;
    QElapsedTimer clock;
    meter.start();
    clock.start();
    demo.send();
    const auto *table = window.findChild<QTableView *>(u"tableWidget"_s);
    const bool loggedIn = bench::waitFor([&] { return window.isVisible(); }, 60000);
    const double shownMs = double(clock.elapsed());
    const bool filled =
        bench::waitFor([&] { return table->model()->rowCount() == entries; }, 60000);
    const double filledMs = double(clock.elapsed());
    // The paint of the filled table belongs to the login.
    bench::waitFor([] { return false; }, 200);
    meter.stop();
    if (!loggedIn || !filled || manager.proxies.size() != entries) {
        report.error(u"login did not bring the "_s % QString::number(entries) % u" entries"_s);
        return report.finish();
    }
    const double rssLogin = bench::residentMB();
    report.info(u"RSS before login"_s, rssBefore, u"MB"_s);
    report.info(u"login, press to main window shown"_s, shownMs, u"ms"_s, 0);
    report.info(u"login, press to last row filled"_s, filledMs, u"ms"_s, 0);
    report.figure(u"login: longest loop block"_s, meter.longestMs(), u"ms"_s, u"< 500 ms"_s,
                  meter.longestMs() < 500);
    report.figure(u"RSS after login"_s, rssLogin, u"MB"_s, u"< 150 MB at 100k"_s,
                  entries > 100000 || rssLogin < 150);

    int results = 0;
    bool ended = false;
    QObject::connect(&manager, &ProxyManager::finishedTestingProxy, [&] { ++results; });
    QObject::connect(&manager, &ProxyManager::finishedTest, [&] { ended = true; });
    meter.start();
    window.findChild<QPushButton *>(u"bTestProxies"_s)->click();
    bench::waitFor([] { return false; }, testingMs);
    window.findChild<QPushButton *>(u"bStopTesting"_s)->click();
    const bool stopped = bench::waitFor([&] { return ended; }, 15000);
    meter.stop();
    if (!stopped)
        report.error(u"the run did not end after the stop button"_s);
    report.info(u"results within "_s % QString::number(testingMs) % u" ms of testing"_s, results,
                u""_s, 0);
    report.figure(u"Test proxies: longest loop block"_s, meter.longestMs(), u"ms"_s, u"< 500 ms"_s,
                  meter.longestMs() < 500);
    const double rssTest = bench::residentMB();
    report.info(u"RSS after the run"_s, rssTest, u"MB"_s);
    report.info(u"RSS growth from Test proxies"_s, rssTest - rssLogin, u"MB"_s);

    // Sorting, the filter and a full run's results, each from the event loop as a user or the
    // tester would bring them.
    const auto blockOf = [&](const std::function<void()> &action,
                             const std::function<bool()> &done) {
        meter.start();
        QTimer::singleShot(0, &window, action);
        bench::waitFor(done, 60000);
        bench::waitFor([] { return false; }, 200);
        meter.stop();
        return meter.longestMs();
    };
    const auto quality = [&](const QString &what, double ms) {
        report.figure(what % u": longest loop block"_s, ms, u"ms"_s, u"< 200 ms at 100k"_s,
                      entries > 100000 || ms < 200);
    };
    // Every third proxy times out, the others answer in 0 to 499 ms.
    int delivered = 0;
    int shift = 0;
    QTimer feed;
    feed.setInterval(0);
    QObject::connect(&feed, &QTimer::timeout, [&] {
        const QString port = manager.proxies.constFirst().section(u':', 1);
        for (const int end = std::min(delivered + 1000, entries); delivered < end; ++delivered)
            window.finishedTestingProxy(
                {u"127.0.0.1"_s, port, (delivered + shift) % 3 ? u"0"_s : u"2"_s,
                 QString::number(delivered * 7 % 500), QString::number(delivered)});
        if (delivered == entries)
            feed.stop();
    });
    quality(QString::number(entries) % u" results arriving"_s,
            blockOf([&] { feed.start(); }, [&] { return delivered == entries; }));
    auto *header = table->horizontalHeader();
    for (int column = 0; column < table->model()->columnCount(); ++column)
        quality(u"sort by "_s % table->model()->headerData(column, Qt::Horizontal).toString(),
                blockOf([&] { emit header->sectionClicked(column); }, [] { return true; }));
    auto *onlyWorking = window.findChild<QAction *>(u"actionShowOnlyWorking"_s);
    quality(u"filter on"_s, blockOf([&] { onlyWorking->trigger(); }, [] { return true; }));
    report.info(u"rows shown with the filter on"_s, table->model()->rowCount(), u""_s, 0);
    // A second run's results while filtered: a third of the rows leave, another third come in.
    delivered = 0;
    shift = 1;
    quality(QString::number(entries) % u" results arriving, filter on"_s,
            blockOf([&] { feed.start(); }, [&] { return delivered == entries; }));
    quality(u"filter off"_s, blockOf([&] { onlyWorking->trigger(); }, [] { return true; }));
    const double rssEnd = bench::residentMB();
    report.figure(u"RSS after results, sorts and filter"_s, rssEnd, u"MB"_s, u"< 150 MB at 100k"_s,
                  entries > 100000 || rssEnd < 150);

    service.kill();
    service.waitForFinished(5000);
    return report.finish();
}

} // namespace

int main(int argc, char **argv)
{
    bench::useOffscreenPlatform();
    if (argc == 3 && qstrcmp(argv[1], "--entries") == 0) {
        QApplication app(argc, argv);
        return measure(QByteArray(argv[2]).toInt());
    }

    QCoreApplication app(argc, argv);
    int status = 0;
    for (const int entries : entryCounts) {
        QProcess child;
        child.setProcessChannelMode(QProcess::ForwardedChannels);
        child.start(QCoreApplication::applicationFilePath(),
                    {u"--entries"_s, QString::number(entries)});
        int rc = 2;
        if (child.waitForFinished(180000) && child.exitStatus() == QProcess::NormalExit)
            rc = child.exitCode();
        else
            child.kill();
        status = std::max(status, rc);
    }
    return status;
}
