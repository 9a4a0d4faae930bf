// A proxy that answers with a huge page or a refusal with a huge address, in a test run
// from the main window: how long the event loop is blocked, and whether the proxy tested
// next still gets its own result (a silent proxy must time out, not fail).
#include "BenchUtil.h"
#include "DemoService.h"
#include "FigureReport.h"
#include "LoopBlockMeter.h"
#include "ShownWindow.h"

#include <QApplication>
#include <QEventLoop>
#include <QPushButton>
#include <QTimer>

using namespace Qt::StringLiterals;

namespace {

constexpr int bodyBytes = 1000 * 1000;
constexpr int silentTimeoutMs = 1000;

struct Case
{
    QString name;
    QByteArray body;
};

QList<Case> cases()
{
    QByteArray lines;
    while (lines.size() < bodyBytes)
        lines += QByteArray(99, 'y') + '\n';
    return {
        {u"1 MB page on one line"_s, QByteArray(bodyBytes, 'x')},
        {u"1 MB page in 100-byte lines"_s, lines.left(bodyBytes)},
        {u"refusal with a 1 MB address"_s,
         "<p>Please ensure this IP is set in your Authorized IP list: <b>" +
             QByteArray(bodyBytes, '7') + "</b>"},
    };
}

} // namespace

int main(int argc, char **argv)
{
    bench::useOffscreenPlatform();
    QApplication app(argc, argv);
    FigureReport report(u"bench_longmessage"_s);

    DemoService service; // the ping page of the direct check
    DemoService hostile;
    DemoService silent;
    if (!service.listen() || !hostile.listen() || !silent.listen()) {
        report.error(u"a loopback listener did not start"_s);
        return report.finish();
    }
    silent.setHandler([](const ReceivedRequest &) {
        CannedResponse response;
        response.stall = true;
        return std::optional(response);
    });

    ShownWindow shown;
    if (!shown.isValid()) {
        report.error(u"no temporary working directory"_s);
        return report.finish();
    }
    MainWindow &window = shown.window;
    ProxyManager &manager = shown.manager;
    manager.pingUrl = service.pingUrl().toString();
    manager.timeoutMs = silentTimeoutMs;
    auto *testButton = window.findChild<QPushButton *>(u"bTestProxies"_s);

    report.note(u"each run: the hostile proxy, then a silent one (time-out "_s %
                QString::number(silentTimeoutMs) % u" ms); window shown, offscreen"_s);
    for (const Case &c : cases()) {
        hostile.setHandler([body = c.body](const ReceivedRequest &) {
            CannedResponse response;
            response.body = body;
            return std::optional(response);
        });
        manager.proxies = {hostile.entry(), silent.entry()};
        window.getProxies(manager.proxies);
        QCoreApplication::processEvents();

        QList<QStringList> results;
        QEventLoop loop;
        const auto onResult = QObject::connect(&manager, &ProxyManager::finishedTestingProxy,
                                               [&](const QStringList &r) { results.append(r); });
        const auto onDone =
            QObject::connect(&manager, &ProxyManager::finishedTest, &loop, &QEventLoop::quit);
        QTimer::singleShot(30000, &loop, &QEventLoop::quit);
        LoopBlockMeter meter;
        meter.start();
        testButton->click();
        loop.exec();
        // The log view is filled on the next pass; that pass belongs to the run.
        QCoreApplication::processEvents();
        meter.stop();
        QObject::disconnect(onResult);
        QObject::disconnect(onDone);

        report.figure(c.name % u": longest loop block"_s, meter.longestMs(), u"ms"_s, u"< 50 ms"_s,
                      meter.longestMs() < 50);
        const QStringList next = results.value(1);
        if (results.size() != 2 || next.value(2) != u"2")
            report.error(c.name % u": the silent proxy's result was not a time-out but ["_s %
                         next.mid(0, 5).join(u", "_s) % u"]"_s);
        else
            report.info(c.name % u": silent proxy timed out after"_s, next.value(3).toDouble(),
                        u"ms"_s, 0);
    }
    return report.finish();
}
