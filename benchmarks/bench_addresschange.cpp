// How soon a new address of this machine reaches the authorized list: from the moment an
// address is added to an interface to the service receiving the setauthips that holds the new
// public address, with periodic authorization on and a tick far away. Runs only inside a
// network namespace of its own: tests/run-in-netns.sh bench_addresschange
#include "AddressWatcher.h"
#include "BenchUtil.h"
#include "DemoService.h"
#include "FigureReport.h"
#include "ProxyManager.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QRandomGenerator>
#include <QTest>

using namespace Qt::StringLiterals;

namespace {

constexpr int trials = 20;
constexpr int boundMs = 30000;
const QString user = u"bench"_s;

bool ip(const QString &command)
{
    return QProcess::execute(u"ip"_s, command.split(u' ')) == 0;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    FigureReport report(u"bench_addresschange"_s);
    if (!qEnvironmentVariableIsSet("PM_IN_NETNS") ||
        !AddressWatcher::currentAddresses().isEmpty()) {
        report.error(u"adds interfaces: run it through tests/run-in-netns.sh"_s);
        return report.finish();
    }
    DemoService service;
    if (!service.listen()) {
        report.error(u"the demo service did not start: "_s % service.errorString());
        return report.finish();
    }
    service.addAccount(user, u"bench-pass"_s, {}, {u"10.1.1.1"_s});
    service.setReportedIp(u"10.1.1.1"_s);

    ProxyManager manager;
    manager.apiUrl = service.apiUrl().toString();
    // Only the watcher may explain a write: no tick, no follow-ups of the change before.
    manager.authPeriodMs = 600000;
    manager.authFollowUpMs = {};
    manager.setCredentials(user, u"bench-pass"_s);
    int ended = 0;
    QObject::connect(&manager, &ProxyManager::authorizationEnded, &app, [&] { ++ended; });
    if (!QTest::qWaitFor([&] { return manager.myIp == u"10.1.1.1"; }, 10000) ||
        (manager.setAutoAuthorize(true), !QTest::qWaitFor([&] { return ended > 0; }, 10000)) ||
        !ip(u"link add pmb0 type veth peer name pmb1"_s) || !ip(u"link set pmb0 up"_s) ||
        !ip(u"link set pmb1 up"_s)) {
        report.error(u"could not log in, switch the rounds on or add the interfaces"_s);
        return report.finish();
    }

    QElapsedTimer clock;
    QString wanted;
    qint64 seenAt = -1;
    QObject::connect(&service, &DemoService::requestReceived, &app, [&](const ReceivedRequest &r) {
        if (seenAt < 0 && r.queryValue(u"command"_s) == u"setauthips" &&
            r.queryValue(u"ips"_s).split(u',').contains(wanted))
            seenAt = clock.elapsed();
    });
    QList<double> delays;
    QString added;
    for (int i = 0; i < trials; ++i) {
        if (!added.isEmpty())
            ip(u"addr del "_s % added % u" dev pmb0"_s);
        service.setAuthorizedIps(user, {u"10.1.1.1"_s});
        // Settled after the removal, at a random phase of the watcher's polls.
        QTest::qWait(1500 + int(QRandomGenerator::global()->bounded(1000)));
        wanted = u"10.2.0."_s % QString::number(i + 2);
        service.setReportedIp(wanted);
        added = u"10.200."_s % QString::number(i) % u".2/24"_s;
        seenAt = -1;
        clock.start();
        if (!ip(u"addr add "_s % added % u" dev pmb0"_s)) {
            report.error(u"could not add "_s % added);
            return report.finish();
        }
        if (!QTest::qWaitFor([&] { return seenAt >= 0; }, boundMs)) {
            report.error(u"no setauthips with "_s % wanted % u" within "_s %
                         QString::number(boundMs) % u" ms"_s);
            return report.finish();
        }
        delays << double(seenAt);
    }
    ip(u"link del pmb0"_s);

    report.note(QString::number(trials) % u" trials, addresses polled every "_s %
                QString::number(AddressWatcher().pollMs) % u" ms, tick 10 min"_s);
    report.info(u"median, address added to setauthips"_s, bench::median(delays), u"ms"_s, 0);
    const double worst = bench::worst(delays);
    report.figure(u"worst, address added to setauthips"_s, worst, u"ms"_s, u"< 5000 ms"_s,
                  worst < 5000, 0);
    return report.finish();
}
