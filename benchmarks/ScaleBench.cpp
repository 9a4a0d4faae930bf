#include "ScaleBench.h"

#include "FigureReport.h"
#include "ProcessSampler.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTimer>

#include <sys/prctl.h>

#include <csignal>
#include <functional>

using namespace Qt::StringLiterals;

namespace {

void diesWithUs(QProcess &process)
{
    process.setChildProcessModifier([] { prctl(PR_SET_PDEATHSIG, SIGKILL); });
}

// Reads lines until one starts with the word, or the deadline passes.
bool readUntil(QProcess &process, const QByteArray &word,
               const std::function<void(const QByteArray &)> &onLine, int deadlineMs = 30000)
{
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < deadlineMs && process.state() != QProcess::NotRunning) {
        while (process.canReadLine()) {
            const QByteArray line = process.readLine().trimmed();
            onLine(line);
            if (line.startsWith(word))
                return true;
        }
        process.waitForReadyRead(500);
    }
    return false;
}

} // namespace

ScaleBench::ScaleBench(FigureReport &report, const QCommandLineParser &options)
    : report(report), timeoutMs(options.value(u"timeout"_s).toInt()),
      ways(options.value(u"only"_s).split(u',', Qt::SkipEmptyParts))
{
}

bool ScaleBench::setUp(int count)
{
    diesWithUs(farm);
    farm.start(QCoreApplication::applicationFilePath(),
               {u"--farm"_s, QString::number(count), QString::number(count / 5)});
    const bool ready = readUntil(farm, "READY", [this](const QByteArray &line) {
        const QList<QByteArray> words = line.split(' ');
        if (words.value(0) == "E") {
            entries.append(QString::fromLatin1(words.value(1)));
            delayOf.insert(entries.last(), words.value(2).toInt());
        }
    });
    if (!ready || entries.size() != count)
        return fail(u"the fake proxies did not start"_s);
    QObject::connect(&farm, &QProcess::readyReadStandardOutput, [this] { readFarm(); });
    QFile list(dir.filePath(u"list.txt"_s));
    if (!list.open(QIODevice::WriteOnly) || list.write(entries.join(u'\n').toLatin1()) < 0)
        return fail(u"cannot write the list"_s);
    list.close();
    return startService();
}

void ScaleBench::runAll(int concurrency)
{
    double curlWallMs = -1;
    for (const QString &way : {u"curl"_s, u"cli"_s, u"manager"_s, u"window"_s}) {
        if (!ways.isEmpty() && !ways.contains(way))
            continue;
        report.note(u"-- "_s % QString::number(entries.size()) % u" entries, "_s %
                    QString::number(concurrency) % u" at once, "_s % way);
        ScaleRun run;
        run.way = way;
        run.concurrency = concurrency;
        run.timeoutMs = timeoutMs;
        run.delayOf = delayOf;
        run.order = entries;
        run.curlWallMs = curlWallMs;
        run.memoryGoalMB = way == u"window" ? 250 : way == u"curl" ? 0 : 150;
        if (!measure(run))
            continue;
        ScaleFigures::print(report, run);
        if (way == u"curl")
            curlWallMs = run.wallMs;
    }
}

bool ScaleBench::fail(const QString &text)
{
    report.error(text);
    return false;
}

void ScaleBench::readFarm()
{
    while (farm.canReadLine()) {
        const QList<QByteArray> words = farm.readLine().trimmed().split(' ');
        if (!current || words.size() != 3)
            continue;
        if (words.at(0) == "A")
            current->arrivalNs.insert(QString::fromLatin1(words.at(1)), words.at(2).toLongLong());
        else if (words.at(0) == "C")
            current->closeNs.insert(QString::fromLatin1(words.at(1)), words.at(2).toLongLong());
        else if (words.at(0) == "T")
            current->trueMs.insert(QString::fromLatin1(words.at(1)), words.at(2).toDouble() / 1000);
    }
}

bool ScaleBench::startService()
{
    const QJsonObject account{{u"user"_s, u"demo"_s},
                              {u"pass"_s, u"demo-pass"_s},
                              {u"proxies"_s, QJsonArray::fromStringList(entries)},
                              {u"authorizedIps"_s, QJsonArray{u"127.0.0.1"_s}}};
    QFile file(dir.filePath(u"accounts.json"_s));
    if (!file.open(QIODevice::WriteOnly) ||
        file.write(QJsonDocument(QJsonObject{{u"accounts"_s, QJsonArray{account}}}).toJson()) < 0)
        return fail(u"cannot write accounts.json"_s);
    file.close();
    diesWithUs(service);
    service.start(QString::fromLocal8Bit(PM_DEMO_SERVICE_PATH),
                  {u"--port"_s, u"0"_s, u"--accounts"_s, file.fileName()});
    readUntil(
        service, "PING_URL=",
        [this](const QByteArray &line) {
            if (line.startsWith("API_URL="))
                apiUrl = QString::fromLatin1(line.mid(8));
            else if (line.startsWith("PING_URL="))
                pingUrl = QString::fromLatin1(line.mid(9));
        },
        20000);
    if (apiUrl.isEmpty() || pingUrl.isEmpty())
        return fail(u"pm-demo-service did not start"_s);
    return true;
}

// Starts the way's process, samples it until it ends, and reads its results.
bool ScaleBench::measure(ScaleRun &run)
{
    QProcess process;
    diesWithUs(process);
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(u"PROXYMANAGER_USER"_s, u"demo"_s);
    environment.insert(u"PROXYMANAGER_PASSWORD"_s, u"demo-pass"_s);
    environment.insert(u"XDG_DATA_HOME"_s, dir.filePath(u"data"_s));
    environment.insert(u"XDG_CONFIG_HOME"_s, dir.filePath(u"config"_s));
    environment.insert(u"QT_QPA_PLATFORM"_s, u"offscreen"_s);
    process.setProcessEnvironment(environment);
    process.setWorkingDirectory(dir.path());
    const QString n = QString::number(run.concurrency);
    const QString timeout = QString::number(timeoutMs);
    QStringList arguments;
    QString program = QCoreApplication::applicationFilePath();
    if (run.way == u"curl") {
        program = u"xargs"_s;
        arguments = {u"-a"_s,
                     dir.filePath(u"list.txt"_s),
                     u"-P"_s,
                     n,
                     u"-I{}"_s,
                     u"curl"_s,
                     u"-s"_s,
                     u"-o"_s,
                     u"/dev/null"_s,
                     u"--max-time"_s,
                     QString::number(timeoutMs / 1000.0),
                     u"-w"_s,
                     u"{} %{http_code} %{time_total}\\n"_s,
                     u"-x"_s,
                     u"http://{}"_s,
                     pingUrl};
    } else if (run.way == u"cli") {
        program = QString::fromLocal8Bit(PM_CLI_PATH);
        arguments = {u"test"_s, u"--api-url"_s,  apiUrl,   u"--ping-url"_s,
                     pingUrl,   u"--parallel"_s, n,        u"--timeout"_s,
                     timeout,   u"--format"_s,   u"csv"_s, u"--no-record"_s};
    } else {
        arguments = {u"--inproc"_s,   run.way, u"--list"_s,    dir.filePath(u"list.txt"_s),
                     u"--api"_s,      apiUrl,  u"--ping"_s,    pingUrl,
                     u"--parallel"_s, n,       u"--timeout"_s, timeout};
    }
    current = &run;
    ProcessSampler sampler;
    QEventLoop loop;
    QObject::connect(&process, &QProcess::finished, &loop, &QEventLoop::quit);
    QTimer::singleShot(int(entries.size() / run.concurrency + 3) * (timeoutMs + 5000), &loop,
                       &QEventLoop::quit);
    QElapsedTimer clock;
    clock.start();
    process.start(program, arguments);
    if (!process.waitForStarted(10000)) {
        current = nullptr;
        return fail(run.way % u": did not start: "_s % process.errorString());
    }
    if (run.way != u"curl")
        sampler.start(process.processId());
    loop.exec();
    run.wallMs = double(clock.nsecsElapsed()) / 1e6;
    sampler.stop();
    if (process.state() != QProcess::NotRunning) {
        process.kill();
        process.waitForFinished(5000);
        report.error(run.way % u": did not end in time"_s);
    }
    // The fakes' last lines.
    farm.waitForReadyRead(300);
    readFarm();
    current = nullptr;
    run.peak.peakMB = sampler.peakResidentMB();
    run.peak.threads = sampler.mostThreads();
    run.peak.fds = sampler.mostFds();
    readResults(run, process.readAllStandardOutput());
    const QByteArray errors = process.readAllStandardError().trimmed();
    if (!errors.isEmpty() && run.way == u"cli")
        report.note(u"   stderr: "_s % QString::fromUtf8(errors.left(300)).simplified());
    return true;
}

void ScaleBench::readResults(ScaleRun &run, const QByteArray &out)
{
    for (const QByteArray &line : out.split('\n')) {
        const QList<QByteArray> words = line.split(run.way == u"cli" ? ',' : ' ');
        ScaleRun::Result result;
        if (run.way == u"cli" && words.size() >= 6 && words.at(0) != "entry") {
            result = {QString::fromLatin1(words.at(1) + ':' + words.at(2)), words.at(4).toInt(),
                      words.at(5).toDouble()};
        } else if (run.way == u"curl" && words.size() == 3) {
            const double ms = words.at(2).toDouble() * 1000;
            const int code = words.at(1) == "200" ? 0 : ms >= 0.95 * run.timeoutMs ? 2 : 3;
            result = {QString::fromLatin1(words.at(0)), code, ms};
        } else if (words.value(0) == "R" && words.size() == 4) {
            result = {QString::fromLatin1(words.at(1)), words.at(2).toInt(),
                      words.at(3).toDouble()};
        } else {
            readFact(run, line);
            continue;
        }
        run.results.append(result);
    }
}

// An in-process run's lines other than results.
void ScaleBench::readFact(ScaleRun &run, const QByteArray &line)
{
    const QList<QByteArray> words = line.split(' ');
    const QByteArray &kind = words.constFirst();
    if (kind == "WALL") {
        run.wallMs = words.value(1).toDouble();
    } else if (kind == "BLOCK") {
        run.loopBlockMs = words.value(1).toDouble();
        run.startCallMs = words.value(2).toDouble();
        run.blockAfterStartMs = words.value(3).toDouble();
    } else if (kind == "START") {
        run.startNs = words.value(1).toLongLong();
    } else if (kind == "IDLE") {
        report.note(u"   before the run: "_s % QString::fromLatin1(words.value(1)) %
                    u" MB peak, "_s % QString::fromLatin1(words.value(2)) % u" threads, "_s %
                    QString::fromLatin1(words.value(3)) % u" fds"_s);
    } else if (kind == "ERR") {
        report.error(run.way % u": "_s % QString::fromUtf8(line.mid(4)));
    }
}

ScaleBench::~ScaleBench()
{
    for (QProcess *process : {&farm, &service}) {
        process->kill();
        process->waitForFinished(5000);
    }
}
