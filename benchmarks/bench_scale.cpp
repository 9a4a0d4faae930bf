// Big lists at many tests at once: 2,000 and 10,000 loopback entries, a fifth of them silent,
// through the command-line client, the tester alone, the window and xargs + curl, at 64, 256
// and 512 at once. Each way runs in a process of its own, sampled from /proc; the fake
// proxies run in another and report the true delay of every answer.
// Usage: bench_scale [--entries 2000,10000] [--parallel 64,256,512]
//                    [--only curl,cli,manager,window] [--timeout 10000]
#include "BenchUtil.h"
#include "FigureReport.h"
#include "InProcessRun.h"
#include "ScaleBench.h"
#include "ScaleFarm.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QFile>

#include <cstdlib>

using namespace Qt::StringLiterals;

namespace {

constexpr unsigned shuffleSeed = 25;

QList<int> numbers(const QString &text)
{
    QList<int> out;
    for (const QString &word : text.split(u',', Qt::SkipEmptyParts))
        out.append(word.toInt());
    return out;
}

int inProcess(const QCommandLineParser &options)
{
    const int n = options.value(u"parallel"_s).toInt();
    const int timeoutMs = options.value(u"timeout"_s).toInt();
    QFile file(options.value(u"list"_s));
    if (!file.open(QIODevice::ReadOnly))
        return 2;
    const QStringList entries = QString::fromLatin1(file.readAll()).split(u'\n');
    if (options.value(u"inproc"_s) == u"window")
        return InProcessRun::window(options.value(u"api"_s), options.value(u"ping"_s),
                                    int(entries.size()), n, timeoutMs);
    return InProcessRun::manager(entries, options.value(u"ping"_s), n, timeoutMs);
}

} // namespace

int main(int argc, char **argv)
{
    if (argc == 4 && qstrcmp(argv[1], "--farm") == 0)
        return ScaleFarm().run(atoi(argv[2]), atoi(argv[3]), shuffleSeed);
    bench::useOffscreenPlatform();
    QApplication app(argc, argv);
    QCommandLineParser options;
    options.addOptions({{u"entries"_s, u"List sizes."_s, u"N,..."_s, u"2000,10000"_s},
                        {u"parallel"_s, u"Tests at once."_s, u"N,..."_s, u"64,256,512"_s},
                        {u"only"_s, u"Ways: curl, cli, manager, window."_s, u"WAY,..."_s},
                        {u"timeout"_s, u"Time-out in ms."_s, u"MS"_s, u"10000"_s},
                        {u"inproc"_s, u"(child) manager or window."_s, u"WAY"_s},
                        {u"list"_s, u"(child) the list file."_s, u"FILE"_s},
                        {u"api"_s, u"(child) the API address."_s, u"URL"_s},
                        {u"ping"_s, u"(child) the ping page."_s, u"URL"_s}});
    options.addHelpOption();
    options.process(app);
    if (options.isSet(u"inproc"_s))
        return inProcess(options);

    FigureReport report(u"bench_scale"_s);
    for (const int count : numbers(options.value(u"entries"_s))) {
        report.note(QString::number(count) % u" entries, "_s % QString::number(count / 5) %
                    u" silent, working ones answering after 50..150 ms, shuffled with seed "_s %
                    QString::number(shuffleSeed) % u"; time-out "_s % options.value(u"timeout"_s) %
                    u" ms"_s);
        ScaleBench bench(report, options);
        if (!bench.setUp(count))
            continue;
        for (const int n : numbers(options.value(u"parallel"_s)))
            bench.runAll(n);
    }
    return report.finish();
}
