// Cost of the debug log: many appendLog calls in the mix a test run writes, and whether a
// message costs more as the log grows.
#include "BenchUtil.h"
#include "FigureReport.h"
#include "MainWindow.h"
#include "ProxyManager.h"
#include "ShownWindow.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFileInfo>

using namespace Qt::StringLiterals;

namespace {

constexpr int messageCount = 20000;
constexpr int windowSize = 1000;
// The real loop returns to the event loop between replies; this stands in for it.
constexpr int eventsEvery = 100;

// Mostly "Testing ..." followed by its result, as a test run writes them, now and then the
// multi-line list an authorization round writes.
QStringList typicalMessages(int count)
{
    QStringList messages;
    messages.reserve(count);
    int proxy = 0;
    while (messages.size() < count) {
        if (messages.size() % 250 == 249) {
            messages.append(u"Authorized IP addresses:\n1.2.3.4\n5.6.7.8\n"_s);
            continue;
        }
        if (messages.size() % 2 == 0) {
            messages.append(u"Testing proxy 10.0."_s % QString::number(proxy / 250 % 256) % u'.' %
                            QString::number(proxy % 250 + 1) % u" on port 3128... "_s);
            ++proxy;
        } else if (proxy % 7 == 0) {
            messages.append(u"timeout\n"_s);
        } else {
            messages.append(u"success! ("_s % QString::number(20 + proxy * 37 % 480) % u"ms)\n"_s);
        }
    }
    return messages;
}

double msOf(qint64 ns)
{
    return double(ns) / 1e6;
}

} // namespace

int main(int argc, char **argv)
{
    bench::useOffscreenPlatform();
    QApplication app(argc, argv);
    FigureReport report(u"bench_appendlog"_s);

    ShownWindow shown;
    if (!shown.isValid()) {
        report.error(u"no temporary working directory"_s);
        return report.finish();
    }
    MainWindow &window = shown.window;

    const QStringList messages = typicalMessages(messageCount);
    qint64 firstEnd = 0;
    qint64 lastStart = 0;
    QElapsedTimer clock;
    clock.start();
    for (int i = 0; i < messageCount; ++i) {
        window.appendLog(messages.at(i));
        if ((i + 1) % eventsEvery == 0)
            QCoreApplication::processEvents();
        if (i + 1 == windowSize)
            firstEnd = clock.nsecsElapsed();
        if (i + 1 == messageCount - windowSize)
            lastStart = clock.nsecsElapsed();
    }
    const qint64 totalNs = clock.nsecsElapsed();

    const double first = msOf(firstEnd);
    const double last = msOf(totalNs - lastStart);
    const double ratio = first > 0 ? last / first : 0;
    report.note(QString::number(messageCount) % u" appendLog calls, processEvents every "_s %
                QString::number(eventsEvery));
    report.figure(u"total time, 20000 messages"_s, msOf(totalNs), u"ms"_s, u"< 1000 ms"_s,
                  msOf(totalNs) < 1000);
    report.info(u"first 1000 messages"_s, first, u"ms"_s, 2);
    report.info(u"last 1000 messages"_s, last, u"ms"_s, 2);
    report.figure(u"ratio last 1000 / first 1000"_s, ratio, u"x"_s, u"<= 2.0 x"_s, ratio <= 2.0, 2);

    const QFileInfo log(shown.workDir.filePath(u"log.txt"_s));
    if (!log.exists())
        report.error(u"log.txt was not written"_s);
    else
        report.info(u"log.txt size"_s, double(log.size()) / 1024.0, u"KiB"_s);
    return report.finish();
}
