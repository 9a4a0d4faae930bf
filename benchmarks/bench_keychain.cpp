// The saved login's read at start: each child process reads it from the keychain as the
// program's start does, timed from the child's main() to the password in hand (D-Bus
// connection, Secret Service lookup). Runs only inside tests/run-with-keyring.sh, so that the
// user's own keyring is never touched.
#include "BenchUtil.h"
#include "FigureReport.h"
#include "SavedLogin.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QTimer>

#include <cstdio>

using namespace Qt::StringLiterals;

namespace {

constexpr int starts = 20;
const auto apiUrl = u"http://127.0.0.1:9/api"_s;

// Runs the loop until the login's signal, at most waitMs; true when it came.
template <typename Signal> bool waitFor(SavedLogin &login, Signal signal, int waitMs = 30000)
{
    bool came = false;
    QObject::connect(&login, signal, qApp, [&came] {
        came = true;
        QCoreApplication::quit();
    });
    QTimer::singleShot(waitMs, qApp, &QCoreApplication::quit);
    QCoreApplication::exec();
    return came;
}

int child(QElapsedTimer &clock)
{
    SavedLogin login;
    QString password;
    QObject::connect(&login, &SavedLogin::loaded,
                     [&password](auto, const QString &p, auto) { password = p; });
    login.load(apiUrl);
    if (!waitFor(login, &SavedLogin::loaded) || password.isEmpty())
        return 1;
    std::printf("READ_MS=%.1f\n", double(clock.nsecsElapsed()) / 1e6);
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    QElapsedTimer clock;
    clock.start();
    QCoreApplication app(argc, argv);
    QCoreApplication::setOrganizationName(u"ProxyManager-bench"_s);
    QCoreApplication::setApplicationName(u"ProxyManager-bench"_s);
    if (app.arguments().contains(u"--read"_s))
        return child(clock);

    FigureReport report(u"bench_keychain"_s);
    if (qEnvironmentVariableIsEmpty("PM_TEST_HOME")) {
        report.error(u"run it through tests/run-with-keyring.sh"_s);
        return report.finish();
    }
    SavedLogin login;
    login.save(apiUrl, u"bench"_s, u"bench-password"_s);
    if (!waitFor(login, &SavedLogin::saved) || SavedLogin::userFor(apiUrl).isEmpty()) {
        report.error(u"the keychain did not keep the login"_s);
        return report.finish();
    }
    QList<double> reads;
    for (int i = 0; i < starts; ++i) {
        QProcess probe;
        probe.start(QCoreApplication::applicationFilePath(), {u"--read"_s});
        if (!probe.waitForFinished(60000) || probe.exitCode() != 0) {
            probe.kill();
            probe.waitForFinished(2000);
            report.error(u"start "_s % QString::number(i + 1) % u": no password read"_s);
            continue;
        }
        const QString out = QString::fromLatin1(probe.readAllStandardOutput());
        reads.append(out.section(u"READ_MS="_s, 1).trimmed().toDouble());
    }
    login.forget();
    waitFor(login, &SavedLogin::forgotten);
    if (!reads.isEmpty()) {
        report.info(u"keychain read at start, median"_s, bench::median(reads), u"ms"_s);
        report.figure(u"keychain read at start, worst of "_s % QString::number(reads.size()),
                      bench::worst(reads), u"ms"_s, u"< 1000 ms"_s, bench::worst(reads) < 1000);
    }
    return report.finish();
}
