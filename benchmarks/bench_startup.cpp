// Start-up time to the login window, offscreen, without a logo: the probe child runs the
// program's start-up sequence and exits once the window has painted; each child is timed
// from spawn to exit.
#include "BenchUtil.h"
#include "FigureReport.h"
#include "ScopedWorkDir.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>

using namespace Qt::StringLiterals;

namespace {

constexpr int starts = 20;

} // namespace

int main(int argc, char **argv)
{
    bench::useOffscreenPlatform();
    QCoreApplication app(argc, argv);
    FigureReport report(u"bench_startup"_s);

    ScopedWorkDir workDir;
    QFile config(workDir.filePath(u"config.ini"_s));
    if (!workDir.isValid() || !config.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        report.error(u"cannot prepare a working directory with an empty config.ini"_s);
        return report.finish();
    }
    config.close();

    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(u"QT_QPA_PLATFORM"_s, u"offscreen"_s);
    QList<double> spawnToExit;
    QList<double> inProcess;
    for (int i = 0; i < starts; ++i) {
        QProcess probe;
        probe.setWorkingDirectory(workDir.path());
        probe.setProcessEnvironment(environment);
        QElapsedTimer clock;
        clock.start();
        probe.start(QString::fromLocal8Bit(PM_STARTUP_PROBE_PATH), {});
        const bool ended = probe.waitForFinished(10000);
        const double ms = double(clock.nsecsElapsed()) / 1e6;
        if (!ended) {
            probe.kill();
            probe.waitForFinished(2000);
        }
        if (!ended || probe.exitStatus() != QProcess::NormalExit || probe.exitCode() != 0) {
            report.error(u"start "_s % QString::number(i + 1) % u": probe failed (exit "_s %
                         QString::number(probe.exitCode()) % u"): "_s %
                         QString::fromLocal8Bit(probe.readAllStandardError()).trimmed());
            continue;
        }
        spawnToExit.append(ms);
        const QString out = QString::fromLocal8Bit(probe.readAllStandardOutput());
        const qsizetype at = out.indexOf(u"FIRST_PAINT_MS="_s);
        if (at >= 0)
            inProcess.append(out.mid(at + 15).section(u'\n', 0, 0).toDouble());
    }
    if (spawnToExit.isEmpty())
        return report.finish();

    report.note(QString::number(spawnToExit.size()) % u" starts of the start-up sequence, "_s %
                u"empty config.ini, offscreen"_s);
    const double median = bench::median(spawnToExit);
    report.figure(u"spawn to exit after first paint: median"_s, median, u"ms"_s, u"< 300 ms"_s,
                  median < 300);
    report.info(u"spawn to exit after first paint: worst"_s, bench::worst(spawnToExit), u"ms"_s);
    report.info(u"in the child, main() to first paint: median"_s, bench::median(inProcess),
                u"ms"_s);
    return report.finish();
}
