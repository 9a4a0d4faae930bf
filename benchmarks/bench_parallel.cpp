// Parallel test runs over 200 loopback proxies: wall time against its floor, how true the
// reported times stay, memory and the longest block of the event loop, at 1, 8 and 32 at once;
// then against a custom target at 8 and 32, with dead proxies, counting the direct probes.
#include "BenchUtil.h"
#include "DemoService.h"
#include "FakeProxyFarm.h"
#include "FigureReport.h"
#include "LoopBlockMeter.h"
#include "ProxyManager.h"
#include "TinyProxy.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QHash>
#include <QProcess>
#include <QTcpServer>
#include <QTimer>

#include <sys/prctl.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <random>
#include <vector>

using namespace Qt::StringLiterals;

namespace {

constexpr int forwardingCount = 150;
constexpr int refusingCount = 20;
constexpr int silentCount = 30;
// With the custom target, the silent ones' places.
constexpr int deadCount = silentCount;
constexpr int timeoutMs = 2000;
constexpr unsigned shuffleSeed = 14;

// The child: the ping page and the fake proxies, on a core of their own where there is one.
int runFarm()
{
    DemoService ping;
    DemoService target;
    FakeProxyFarm farm;
    if (!ping.listen() || !target.listen())
        return 1;
    // Each direct probe of the ping page, for the parent to count.
    QObject::connect(&ping, &DemoService::requestReceived, [](const ReceivedRequest &request) {
        if (request.hasQueryItem(u"testError"_s)) {
            std::printf("PROBE\n");
            std::fflush(stdout);
        }
    });
    target.setHandler([](const ReceivedRequest &) {
        return std::optional(CannedResponse::withStatus(200, "<html>In stock</html>"));
    });
    std::printf("PING %s\n", ping.pingUrl().toString().toLatin1().constData());
    std::printf("TARGET %s\n", target.url(u"/shop"_s).toString().toLatin1().constData());
    for (int i = 0; i < forwardingCount; ++i) {
        // Spread evenly from 20 to 300 ms.
        const int delay = 20 + i * 280 / (forwardingCount - 1);
        const quint16 port = farm.addForwarding(delay);
        if (port == 0)
            return 1;
        std::printf("FWD %u %d\n", unsigned(port), delay);
    }
    for (int i = 0; i < silentCount; ++i) {
        const quint16 port = farm.addSilent();
        if (port == 0)
            return 1;
        std::printf("SILENT %u\n", unsigned(port));
    }
    std::printf("READY\n");
    std::fflush(stdout);
    return QCoreApplication::exec();
}

// Peak resident set of this process so far, in MB.
double peakResidentMB()
{
    QFile status(u"/proc/self/status"_s);
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').value(0).toDouble() / 1000;
    }
    return -1;
}

struct Farm
{
    QString pingUrl;
    QString targetUrl;
    QHash<QString, int> delayOf; // forwarding entry -> its delay
    QStringList silent;
};

bool startFarm(QProcess &child, Farm &farm, QString *error)
{
    child.setChildProcessModifier([] { prctl(PR_SET_PDEATHSIG, SIGKILL); });
    child.start(QCoreApplication::applicationFilePath(), {u"--farm"_s});
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < 20000 && child.state() != QProcess::NotRunning) {
        while (child.canReadLine()) {
            const QStringList words = QString::fromLatin1(child.readLine()).trimmed().split(u' ');
            const QString entry = u"127.0.0.1:"_s % words.value(1);
            if (words.first() == u"PING")
                farm.pingUrl = words.value(1);
            else if (words.first() == u"TARGET")
                farm.targetUrl = words.value(1);
            else if (words.first() == u"FWD")
                farm.delayOf.insert(entry, words.value(2).toInt());
            else if (words.first() == u"SILENT")
                farm.silent.append(entry);
            else if (words.first() == u"READY")
                return true;
        }
        child.waitForReadyRead(500);
    }
    *error = u"the fake proxies did not start: "_s % child.errorString();
    return false;
}

// The probes the farm reported since the last call.
int probesSince(QProcess &child)
{
    int probes = 0;
    child.waitForReadyRead(200);
    while (child.canReadLine())
        probes += child.readLine().startsWith("PROBE");
    return probes;
}

void measure(FigureReport &report, const QStringList &entries, const Farm &farm, int concurrency,
             const TestTarget &target = {})
{
    report.note(u"-- "_s % QString::number(concurrency) % u" at once"_s %
                (target.isPingPage() ? QString() : u", custom target"_s));
    ProxyManager manager;
    manager.pingUrl = farm.pingUrl;
    manager.testTarget = target;
    manager.timeoutMs = timeoutMs;
    manager.testConcurrency = concurrency;
    manager.proxies = entries;

    QList<QStringList> results;
    QEventLoop loop;
    bool finished = false;
    QObject::connect(&manager, &ProxyManager::finishedTestingProxy,
                     [&results](const QStringList &r) { results.append(r); });
    QObject::connect(&manager, &ProxyManager::finishedTest, &loop, [&] {
        finished = true;
        loop.quit();
    });
    // Bounded: far past the slowest possible run.
    QTimer::singleShot(entries.size() * (timeoutMs + 1000), &loop, &QEventLoop::quit);
    LoopBlockMeter meter;
    meter.start();
    QElapsedTimer clock;
    clock.start();
    manager.startTesting();
    if (!finished)
        loop.exec();
    const double wallMs = double(clock.nsecsElapsed()) / 1e6;
    meter.stop();
    if (!finished || results.size() != entries.size()) {
        report.error(u"the run did not finish: "_s % QString::number(results.size()) % u" of "_s %
                     QString::number(entries.size()) % u" results"_s);
        return;
    }

    // Every entry's own time: the forwarding delay, the refusal as measured, the time-out.
    double sumMs = 0;
    double longestMs = 0;
    QList<double> errors;
    QHash<int, double> ownByIndex;
    int counts[6] = {};
    for (const QStringList &r : std::as_const(results)) {
        const QString entry = r.at(0) % u':' % r.at(1);
        const int status = r.at(2).toInt();
        counts[std::clamp(status, 0, 5)]++;
        double own = r.at(3).toDouble();
        if (farm.delayOf.contains(entry)) {
            own = farm.delayOf.value(entry);
            if (status == 0)
                errors.append(r.at(3).toDouble() - own);
        } else if (farm.silent.contains(entry)) {
            own = timeoutMs;
        }
        sumMs += own;
        longestMs = std::max(longestMs, own);
        ownByIndex.insert(r.at(4).toInt(), own);
    }
    // The same times sent in list order, each to the first free slot, without any overhead:
    // what taking the entries in their order allows, since no entry's time is known before.
    std::vector<double> slotFree(std::size_t(concurrency), 0.0);
    double listOrderMs = 0;
    for (int i = 0; i < entries.size(); ++i) {
        const auto slot = std::min_element(slotFree.begin(), slotFree.end());
        *slot += ownByIndex.value(i);
        listOrderMs = std::max(listOrderMs, *slot);
    }
    report.note(u"    outcomes: up "_s % QString::number(counts[0]) % u", refused "_s %
                QString::number(counts[1]) % u", timed out "_s % QString::number(counts[2]) %
                u", other "_s % QString::number(counts[3] + counts[4] + counts[5]));
    if (!target.isPingPage() && counts[3] != deadCount)
        report.error(u"the dead proxies were not all Error: "_s % QString::number(counts[3]));
    if (errors.size() != forwardingCount)
        report.error(u"only "_s % QString::number(errors.size()) % u" of "_s %
                     QString::number(forwardingCount) % u" forwarding proxies were Up"_s);
    const double floorMs = std::max(sumMs / concurrency, longestMs);
    report.info(u"floor: max(sum / N, longest entry)"_s, floorMs, u"ms"_s, 0);
    report.info(u"list order with true times and no overhead"_s, listOrderMs, u"ms"_s, 0);
    report.info(u"wall time"_s, wallMs, u"ms"_s, 0);
    report.info(u"wall time / list-order schedule"_s, wallMs / listOrderMs, u"x"_s, 3);
    const double ratio = wallMs / floorMs;
    if (concurrency > 1)
        report.figure(u"wall time / floor"_s, ratio, u"x"_s, u"<= 1.15 x"_s, ratio <= 1.15, 3);
    else
        report.info(u"wall time / floor"_s, ratio, u"x"_s, 3);
    if (!errors.isEmpty()) {
        const double median = bench::median(errors);
        const double worst = bench::worst(errors);
        report.figure(u"reported minus true delay, median"_s, median, u"ms"_s, u"0 .. +5 ms"_s,
                      median >= 0 && median <= 5);
        report.figure(u"reported minus true delay, worst"_s, worst, u"ms"_s, u"< +15 ms"_s,
                      worst < 15);
    }
    report.info(u"peak resident memory of the process so far"_s, peakResidentMB(), u"MB"_s);
    report.figure(u"longest event-loop block"_s, meter.longestMs(), u"ms"_s, u"< 50 ms"_s,
                  meter.longestMs() < 50);
}

} // namespace

int main(int argc, char **argv)
{
    if (argc > 1 && qstrcmp(argv[1], "--farm") == 0) {
        QCoreApplication app(argc, argv);
        return runFarm();
    }
    bench::useOffscreenPlatform();
    QCoreApplication app(argc, argv);
    FigureReport report(u"bench_parallel"_s);
    if (TinyProxy::executable().isEmpty()) {
        report.error(u"tinyproxy is not installed"_s);
        return report.finish();
    }
    QProcess child;
    Farm farm;
    QString error;
    TinyProxy refusing;
    if (!startFarm(child, farm, &error)) {
        report.error(error);
        return report.finish();
    }
    if (!refusing.start(TinyProxy::Mode::Refusing)) {
        report.error(u"tinyproxy: "_s % refusing.errorString());
        return report.finish();
    }
    QStringList entries = farm.delayOf.keys();
    entries.sort();
    entries += QStringList(refusingCount, refusing.entry());
    entries += farm.silent;
    std::shuffle(entries.begin(), entries.end(), std::mt19937(shuffleSeed));
    report.note(
        QString::number(entries.size()) % u" entries: "_s % QString::number(forwardingCount) %
        u" fake proxies forwarding to the ping page after 20..300 ms, "_s %
        QString::number(refusingCount) % u" through a refusing tinyproxy, "_s %
        QString::number(silentCount) % u" silent; time-out "_s % QString::number(timeoutMs) %
        u" ms, shuffled with seed "_s % QString::number(shuffleSeed));
    for (const int concurrency : {1, 8, 32})
        measure(report, entries, farm, concurrency);

    // Custom target: the silent ones give way to dead ones, which fail at once, unclear.
    QStringList withDead = entries;
    QList<QTcpServer *> reserved;
    for (QString &entry : withDead) {
        if (!farm.silent.contains(entry))
            continue;
        auto *server = new QTcpServer(&app);
        server->listen(QHostAddress::LocalHost, 0);
        entry = u"127.0.0.1:"_s % QString::number(server->serverPort());
        reserved.append(server);
    }
    // Closed once all are reserved, so no two got the same port.
    qDeleteAll(reserved);
    report.note(u"custom target "_s % farm.targetUrl % u": the "_s % QString::number(silentCount) %
                u" silent entries replaced by as many dead ports"_s);
    probesSince(child);
    for (const int concurrency : {8, 32}) {
        measure(report, withDead, farm, concurrency, TestTarget{farm.targetUrl, u"In stock"_s, {}});
        const int probes = probesSince(child);
        report.figure(u"direct probe requests in the run"_s, probes, {}, u"<= 1"_s, probes <= 1, 0);
    }
    child.kill();
    child.waitForFinished(5000);
    return report.finish();
}
