#include "InProcessRun.h"

#include "BenchUtil.h"
#include "DemoLogin.h"
#include "LoopBlockMeter.h"
#include "MainWindow.h"
#include "ProcessSampler.h"
#include "ProxyManager.h"

#include <QAbstractItemModel>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QPushButton>
#include <QSpinBox>
#include <QTableView>
#include <QTimer>

#include <cstdio>
#include <ctime>
#include <functional>

using namespace Qt::StringLiterals;

namespace {

void say(const QString &line)
{
    std::printf("%s\n", line.toUtf8().constData());
    std::fflush(stdout);
}

qint64 monotonicNs()
{
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return qint64(t.tv_sec) * 1000000000 + t.tv_nsec;
}

// Far past the slowest run the list allows, yet bounded.
int deadlineMs(int entries, int concurrency, int timeoutMs)
{
    return (entries / concurrency + 2) * (timeoutMs + 2000);
}

// From the first click or call that starts the run to finishedTest, with the loop meter on.
int measure(ProxyManager &manager, int entries, int deadline, const std::function<void()> &go)
{
    const ProcessSampler::Sample idle = ProcessSampler::sample(QCoreApplication::applicationPid());
    say(u"IDLE "_s % QString::number(idle.peakMB, 'f', 1) % u' ' % QString::number(idle.threads) %
        u' ' % QString::number(idle.fds));
    int results = 0;
    bool ended = false;
    QObject::connect(&manager, &ProxyManager::finishedTestingProxy, [&](const QStringList &r) {
        ++results;
        say(u"R "_s % r.value(0) % u':' % r.value(1) % u' ' % r.value(2) % u' ' % r.value(3));
    });
    QObject::connect(&manager, &ProxyManager::finishedTest, [&] { ended = true; });
    LoopBlockMeter meter;
    meter.start();
    QElapsedTimer clock;
    clock.start();
    say(u"START "_s % QString::number(monotonicNs()));
    go();
    // Where a long block comes from: the call that starts the run, or the run itself.
    const double startCallMs = double(clock.nsecsElapsed()) / 1e6;
    LoopBlockMeter afterStart;
    afterStart.start();
    bench::waitFor([&] { return ended; }, deadline);
    const double wallMs = double(clock.nsecsElapsed()) / 1e6;
    meter.stop();
    afterStart.stop();
    say(u"WALL "_s % QString::number(wallMs, 'f', 1));
    say(u"BLOCK "_s % QString::number(meter.longestMs(), 'f', 1) % u' ' %
        QString::number(startCallMs, 'f', 1) % u' ' %
        QString::number(afterStart.longestMs(), 'f', 1));
    if (!ended || results != entries)
        say(u"ERR the run did not end: "_s % QString::number(results) % u" results"_s);
    return ended ? 0 : 2;
}

} // namespace

namespace InProcessRun {

int manager(const QStringList &entries, const QString &pingUrl, int concurrency, int timeoutMs)
{
    ProxyManager manager;
    manager.pingUrl = pingUrl;
    manager.timeoutMs = timeoutMs;
    manager.testConcurrency = concurrency;
    manager.proxies = entries;
    return measure(manager, int(entries.size()),
                   deadlineMs(int(entries.size()), concurrency, timeoutMs),
                   [&] { manager.startTesting(); });
}

int window(const QString &apiUrl, const QString &pingUrl, int entries, int concurrency,
           int timeoutMs)
{
    DemoLogin demo(apiUrl, pingUrl);
    ProxyManager &manager = demo.manager;
    MainWindow &window = demo.window;
    manager.timeoutMs = timeoutMs;
    demo.send();
    const auto *table = window.findChild<QTableView *>(u"tableWidget"_s);
    if (!bench::waitFor([&] { return window.isVisible() && table->model()->rowCount() == entries; },
                        60000)) {
        say(u"ERR login did not bring the "_s % QString::number(entries) % u" entries"_s);
        return 2;
    }
    auto *parallel = window.findChild<QSpinBox *>(u"sbParallelTests"_s);
    parallel->setValue(concurrency);
    if (parallel->value() != concurrency) {
        say(u"ERR the window allows at most "_s % QString::number(parallel->maximum()) %
            u" at once"_s);
        return 2;
    }
    // Whatever the login left to do is done before the run.
    bench::waitFor([] { return false; }, 300);
    return measure(manager, entries, deadlineMs(entries, concurrency, timeoutMs),
                   [&] { window.findChild<QPushButton *>(u"bTestProxies"_s)->click(); });
}

} // namespace InProcessRun
