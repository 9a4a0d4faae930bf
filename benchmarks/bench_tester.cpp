// The proxy tester: how true its reported times are, how fast it gets through a long list
// compared with a plain curl loop, and what an idle manager costs.
#include "BenchUtil.h"
#include "BusyLoad.h"
#include "FigureReport.h"
#include "ProxyManager.h"
#include "TestEnvironment.h"
#include "TinyProxy.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QProcess>
#include <QTimer>

#include <sys/prctl.h>

#include <algorithm>
#include <csignal>
#include <memory>

using namespace Qt::StringLiterals;

namespace {

constexpr int accuracyTests = 20;
constexpr int throughputEntries = 500;
constexpr int idleMs = 10000;

struct RunOutcome
{
    QList<QStringList> results;
    double elapsedMs = 0;
    bool finished = false;
};

// One run of the manager over entries, until finishedTest or the deadline.
RunOutcome runTests(ProxyManager &manager, const QStringList &entries, int deadlineMs)
{
    RunOutcome outcome;
    manager.proxies = entries;
    QEventLoop loop;
    const auto onResult =
        QObject::connect(&manager, &ProxyManager::finishedTestingProxy,
                         [&outcome](const QStringList &result) { outcome.results.append(result); });
    const auto onDone =
        QObject::connect(&manager, &ProxyManager::finishedTest, &loop, [&outcome, &loop] {
            outcome.finished = true;
            loop.quit();
        });
    QTimer::singleShot(deadlineMs, &loop, &QEventLoop::quit);
    QElapsedTimer clock;
    clock.start();
    manager.startTesting();
    // finishedTest may come from inside startTesting when nothing is testable.
    if (!outcome.finished)
        loop.exec();
    outcome.elapsedMs = double(clock.nsecsElapsed()) / 1e6;
    QObject::disconnect(onResult);
    QObject::disconnect(onDone);
    if (!outcome.finished)
        manager.stop(true);
    return outcome;
}

int countUp(const QList<QStringList> &results)
{
    int up = 0;
    for (const QStringList &r : results)
        up += r.value(2) == u"0" ? 1 : 0;
    return up;
}

void ensureDiesWithUs(QProcess &process)
{
    process.setChildProcessModifier([] { prctl(PR_SET_PDEATHSIG, SIGKILL); });
}

void measureAccuracy(FigureReport &report)
{
    report.note(u"-- accuracy: reported time minus the ping page's delay, "_s %
                QString::number(accuracyTests) % u" tests per delay, allowing tinyproxy"_s);
    TestEnvironment env;
    if (!env.start()) {
        report.error(u"test environment: "_s % env.errorString());
        return;
    }
    int delayMs = 0;
    env.service.setHandler([&delayMs](const ReceivedRequest &request) {
        std::optional<CannedResponse> answer;
        if (request.path == u"/ping" && !request.hasQueryItem(u"testError"_s)) {
            answer.emplace();
            answer->body = "1";
            answer->delayMs = delayMs;
        }
        return answer;
    });

    ProxyManager manager;
    manager.pingUrl = env.service.pingUrl().toString();
    const QStringList entries(accuracyTests, env.allowingEntry());

    // The very first test of a process pays for lazy set-up; shown, not counted.
    const RunOutcome warm = runTests(manager, {env.allowingEntry()}, 10000);
    if (countUp(warm.results) == 1)
        report.info(u"first test of the process, no delay: reported"_s,
                    warm.results.first().value(3).toDouble(), u"ms"_s, 0);

    for (const bool loaded : {false, true}) {
        std::unique_ptr<BusyLoad> load;
        if (loaded) {
            load = std::make_unique<BusyLoad>(2);
            if (load->running() != 2) {
                report.error(u"could not start two busy processes"_s);
                return;
            }
        }
        const QString label = loaded ? u"2 busy procs"_s : u"idle"_s;
        for (const int delay : {50, 200, 1000}) {
            delayMs = delay;
            // Where the time goes: client to service, then service to the reported result.
            QList<qint64> startNs, receivedNs, endNs;
            QElapsedTimer epoch;
            epoch.start();
            const QList<QMetaObject::Connection> legs{
                QObject::connect(&manager, &ProxyManager::startTestingProxy,
                                 [&] { startNs.append(epoch.nsecsElapsed()); }),
                QObject::connect(&env.service, &DemoService::requestReceived,
                                 [&](const ReceivedRequest &request) {
                                     if (request.path == u"/ping" &&
                                         !request.hasQueryItem(u"testError"_s))
                                         receivedNs.append(epoch.nsecsElapsed());
                                 }),
                QObject::connect(&manager, &ProxyManager::finishedTestingProxy,
                                 [&] { endNs.append(epoch.nsecsElapsed()); })};
            const RunOutcome run = runTests(manager, entries, accuracyTests * (delay + 5000));
            for (const auto &connection : legs)
                QObject::disconnect(connection);
            QList<double> errors;
            for (const QStringList &r : run.results) {
                if (r.value(2) == u"0")
                    errors.append(r.value(3).toDouble() - delay);
            }
            const QString name = label % u", delay "_s % QString::number(delay) % u" ms"_s;
            if (!run.finished || errors.size() != accuracyTests) {
                report.error(name % u": only "_s % QString::number(errors.size()) % u" of "_s %
                             QString::number(accuracyTests) % u" tests were Up"_s);
                if (errors.isEmpty())
                    continue;
            }
            const double median = bench::median(errors);
            const double worst = bench::worst(errors);
            report.figure(name % u": median error"_s, median, u"ms"_s, u"0 .. +5 ms"_s,
                          median >= 0 && median <= 5);
            report.figure(name % u": worst error"_s, worst, u"ms"_s, u"< +15 ms"_s, worst < 15);
            QList<double> requestLeg, responseLeg, ownClock;
            const qsizetype n = std::min({startNs.size(), receivedNs.size(), endNs.size()});
            for (qsizetype i = 0; i < n; ++i) {
                requestLeg.append(double(receivedNs.at(i) - startNs.at(i)) / 1e6);
                responseLeg.append(double(endNs.at(i) - receivedNs.at(i)) / 1e6 - delay);
                ownClock.append(double(endNs.at(i) - startNs.at(i)) / 1e6 - delay);
            }
            report.note(
                u"    medians: request reaches service +"_s %
                bench::number(bench::median(requestLeg), 2) % u" ms, result after delay +"_s %
                bench::number(bench::median(responseLeg), 2) % u" ms, error by our own clock +"_s %
                bench::number(bench::median(ownClock), 2) % u" ms (worst +"_s %
                bench::number(bench::worst(ownClock), 2) % u" ms)"_s);
        }
        // Leaves no busy loop behind even when a later step fails.
        load.reset();
    }
}

// The ping page in a process of its own, so a blocking curl loop cannot stall it.
bool startExternalService(QProcess &service, QString *pingUrl, QString *error)
{
    ensureDiesWithUs(service);
    service.setProcessChannelMode(QProcess::SeparateChannels);
    service.start(QString::fromLocal8Bit(PM_DEMO_SERVICE_PATH), {u"--port"_s, u"0"_s});
    if (!service.waitForStarted(5000)) {
        *error = u"pm-demo-service did not start: "_s % service.errorString();
        return false;
    }
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < 10000 && service.state() == QProcess::Running) {
        while (service.canReadLine()) {
            const QString line = QString::fromLocal8Bit(service.readLine()).trimmed();
            if (line.startsWith(u"PING_URL=")) {
                *pingUrl = line.mid(9);
                return true;
            }
        }
        service.waitForReadyRead(500);
    }
    *error = u"pm-demo-service printed no PING_URL"_s;
    return false;
}

void measureThroughput(FigureReport &report)
{
    report.note(u"-- throughput: "_s % QString::number(throughputEntries) %
                u" entries of the allowing tinyproxy, instant ping page"_s);
    QProcess service;
    QString pingUrl;
    QString error;
    if (!startExternalService(service, &pingUrl, &error)) {
        report.error(error);
        return;
    }
    TinyProxy proxy;
    if (!proxy.start(TinyProxy::Mode::Allowing)) {
        report.error(u"tinyproxy: "_s % proxy.errorString());
        return;
    }
    const QStringList entries(throughputEntries, proxy.entry());

    ProxyManager manager;
    manager.pingUrl = pingUrl;
    const RunOutcome run = runTests(manager, entries, 120000);
    const int up = countUp(run.results);
    if (!run.finished || up != throughputEntries)
        report.error(u"ProxyManager: "_s % QString::number(up) % u" of "_s %
                     QString::number(throughputEntries) % u" Up"_s);
    const double oursPerProxy = run.elapsedMs / throughputEntries;
    report.info(u"ProxyManager, startTesting to finishedTest"_s, oursPerProxy, u"ms/proxy"_s, 2);

    // A bounded loop: one curl at a time, each with a hard time limit.
    int curlOk = 0;
    QElapsedTimer clock;
    clock.start();
    for (int n = 0; n < throughputEntries; ++n) {
        QProcess curl;
        curl.start(u"curl"_s, {u"-s"_s, u"-o"_s, u"/dev/null"_s, u"-m"_s, u"10"_s, u"-x"_s,
                               proxy.entry(), pingUrl % u"?r="_s % QString::number(n)});
        if (curl.waitForFinished(15000) && curl.exitStatus() == QProcess::NormalExit &&
            curl.exitCode() == 0)
            ++curlOk;
        else if (curl.state() != QProcess::NotRunning)
            curl.kill();
        if (curl.error() == QProcess::FailedToStart) {
            report.error(u"curl could not be started"_s);
            return;
        }
    }
    const double curlPerProxy = double(clock.nsecsElapsed()) / 1e6 / throughputEntries;
    if (curlOk != throughputEntries)
        report.error(u"curl loop: "_s % QString::number(curlOk) % u" of "_s %
                     QString::number(throughputEntries) % u" succeeded"_s);
    report.info(u"sequential curl loop"_s, curlPerProxy, u"ms/proxy"_s, 2);
    const double speedup = oursPerProxy > 0 ? curlPerProxy / oursPerProxy : 0;
    report.figure(u"speed-up over the curl loop"_s, speedup, u"x"_s, u">= 3.0 x"_s, speedup >= 3.0,
                  2);

    proxy.stop();
    service.kill();
    service.waitForFinished(5000);
}

void measureIdleCost(FigureReport &report)
{
    report.note(u"-- idle cost: a fresh ProxyManager, event loop running for "_s %
                QString::number(idleMs / 1000) % u" s"_s);
    ProxyManager manager;
    QEventLoop loop;
    // A coarse timer may end the period up to 5% late.
    QTimer::singleShot(idleMs, Qt::PreciseTimer, &loop, &QEventLoop::quit);
    const double before = bench::cpuTimeMs();
    QElapsedTimer clock;
    clock.start();
    loop.exec();
    const double cpu = bench::cpuTimeMs() - before;
    report.info(u"wall time"_s, double(clock.elapsed()), u"ms"_s, 0);
    report.figure(u"CPU time (user+sys) over the idle period"_s, cpu, u"ms"_s, u"< 10 ms"_s,
                  cpu < 10);
}

} // namespace

int main(int argc, char **argv)
{
    bench::useOffscreenPlatform();
    QCoreApplication app(argc, argv);
    FigureReport report(u"bench_tester"_s);
    if (!TestEnvironment::tinyproxyAvailable()) {
        report.error(u"tinyproxy is not installed"_s);
        return report.finish();
    }
    measureAccuracy(report);
    measureThroughput(report);
    measureIdleCost(report);
    return report.finish();
}
