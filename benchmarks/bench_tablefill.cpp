// Filling the proxy table with a very large account's list, in time and in memory.
#include "BenchUtil.h"
#include "FigureReport.h"
#include "MainWindow.h"
#include "ProxyManager.h"
#include "ShownWindow.h"

#include <QApplication>
#include <QElapsedTimer>

using namespace Qt::StringLiterals;

namespace {

constexpr int entryCount = 100000;

QStringList largeList()
{
    QStringList list;
    list.reserve(entryCount);
    for (int i = 0; i < entryCount; ++i) {
        list.append(u"10."_s % QString::number(i >> 16 & 255) % u'.' %
                    QString::number(i >> 8 & 255) % u'.' % QString::number(i & 255) % u':' %
                    QString::number(3128 + i % 5));
    }
    return list;
}

} // namespace

int main(int argc, char **argv)
{
    bench::useOffscreenPlatform();
    QApplication app(argc, argv);
    FigureReport report(u"bench_tablefill"_s);

    ShownWindow shown;
    if (!shown.isValid()) {
        report.error(u"no temporary working directory"_s);
        return report.finish();
    }
    MainWindow &window = shown.window;
    ProxyManager &manager = shown.manager;

    // The manager holds the list after a login, as the table is filled from it.
    manager.proxies = largeList();
    const double rssBefore = bench::residentMB();

    QElapsedTimer clock;
    clock.start();
    window.getProxies(manager.proxies);
    const double callMs = double(clock.nsecsElapsed()) / 1e6;
    // What the user waits for includes the first paint of the filled table.
    QCoreApplication::processEvents();
    const double totalMs = double(clock.nsecsElapsed()) / 1e6;
    const double rssAfter = bench::residentMB();

    report.note(QString::number(entryCount) % u" entries \"10.x.y.z:port\" through getProxies"_s);
    report.info(u"getProxies call alone"_s, callMs, u"ms"_s);
    report.figure(u"getProxies + first repaint"_s, totalMs, u"ms"_s, u"< 1000 ms"_s,
                  totalMs < 1000);
    report.info(u"RSS before (list already built)"_s, rssBefore, u"MB"_s);
    report.figure(u"RSS after"_s, rssAfter, u"MB"_s, u"< 150 MB"_s, rssAfter < 150);
    report.info(u"RSS growth"_s, rssAfter - rssBefore, u"MB"_s);
    return report.finish();
}
