// Hostile answers of the service and of a proxy, each from a loopback server on a thread of its
// own: how long the client's event loop is blocked while it reads, bounds and reports them.
// The list answers go through the login window, as at a login.
#include "BenchUtil.h"
#include "FigureReport.h"
#include "HostileServer.h"
#include "LoginWindow.h"
#include "LoopBlockMeter.h"
#include "ProxyManager.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>

#include <zlib.h>

#include <functional>

using namespace Qt::StringLiterals;

namespace {

constexpr int deadlineMs = 60000;
constexpr qint64 bombBytes = qint64(2) << 30;

QByteArray lines(int count, const std::function<QByteArray(int)> &line)
{
    QByteArray body;
    for (int i = 0; i < count; ++i)
        body += line(i);
    return body;
}

QByteArray address(int i)
{
    return "10." + QByteArray::number(i >> 16 & 255) + '.' + QByteArray::number(i >> 8 & 255) +
           '.' + QByteArray::number(i & 255);
}

// Small on the wire, bytes of zeros once inflated.
QByteArray gzipOfZeros(qint64 bytes)
{
    z_stream stream{};
    if (deflateInit2(&stream, 9, Z_DEFLATED, 15 + 16, 9, Z_DEFAULT_STRATEGY) != Z_OK)
        return {};
    QByteArray zeros(1 << 20, '\0');
    QByteArray out;
    char buffer[64 * 1024];
    for (qint64 done = 0;;) {
        const bool last = done + zeros.size() >= bytes;
        stream.next_in = reinterpret_cast<Bytef *>(zeros.data());
        stream.avail_in = uInt(last ? bytes - done : zeros.size());
        done += stream.avail_in;
        do {
            stream.next_out = reinterpret_cast<Bytef *>(buffer);
            stream.avail_out = sizeof buffer;
            deflate(&stream, last ? Z_FINISH : Z_NO_FLUSH);
            out.append(buffer, qsizetype(sizeof buffer - stream.avail_out));
        } while (stream.avail_out == 0);
        if (last)
            break;
    }
    deflateEnd(&stream);
    return out;
}

struct Case
{
    QString name;
    // Which request gets the hostile answer: a command word, or "ping" for the page a proxy
    // gives; every other request gets a plain, good answer.
    QByteArray target;
    HostileServer::Answer answer;
};

QList<Case> cases()
{
    const auto plain = &HostileServer::plain;
    return {
        {u"10 MB line (list)"_s, "list", plain(QByteArray(10 << 20, 'x') + '\n', {})},
        {u"1,000,000 entries (list)"_s, "list",
         plain(lines(1000000, [](int i) -> QByteArray { return address(i) + ":3128\r\n"; }), {})},
        {u"8,000,000 tiny entries (list)"_s, "list",
         plain(QByteArray("1\n").repeated(8000000), {})},
        {u"5 MB login error line (list)"_s, "list",
         plain("ERROR: " + QByteArray(5 << 20, 'e') + '\n', {})},
        {u"gzip bomb, 2 GB of zeros (list)"_s, "list",
         plain(gzipOfZeros(bombBytes), "Content-Encoding: gzip\r\n")},
        {u"endless fast answer (getmyip)"_s,
         "getmyip",
         {HostileServer::endless("10.0.0.1\n").head,
          "10.0.0.1\n" + HostileServer::endless("0123456789abcdef\n").body, true}},
        {u"endless fast answer (ping page)"_s, "ping", HostileServer::endless("1111111\n")},
        {u"50,000 authorized entries (getauthips)"_s, "getauthips",
         plain(lines(50000, [](int i) -> QByteArray { return address(i) + '\n'; }), {})},
    };
}

QByteArray commandOf(const QByteArray &requestLine)
{
    const qsizetype at = requestLine.indexOf("command=");
    if (at < 0)
        return requestLine.contains("testError=1") ? "probe" : "ping";
    return requestLine.mid(at + 8).split('&').value(0).split(' ').value(0);
}

// Runs the event loop until the signal comes or the deadline passes; true when it came.
template <typename Signal> bool waitFor(ProxyManager &manager, Signal signal)
{
    QEventLoop loop;
    bool came = false;
    const auto connection = QObject::connect(&manager, signal, &loop, [&] {
        came = true;
        loop.quit();
    });
    QTimer::singleShot(deadlineMs, &loop, &QEventLoop::quit);
    loop.exec();
    QObject::disconnect(connection);
    return came;
}

} // namespace

int main(int argc, char **argv)
{
    bench::useOffscreenPlatform();
    QApplication app(argc, argv);
    FigureReport report(u"bench_hostileanswers"_s);
    // A word given runs only the answers whose name holds it.
    const QString only = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QString();

    HostileServer server;
    if (!server.listen()) {
        report.error(u"the loopback server did not start"_s);
        return report.finish();
    }
    const QString base = u"http://127.0.0.1:"_s % QString::number(server.port());
    ProxyManager manager;
    manager.apiUrl = base % u"/api"_s;
    manager.pingUrl = base % u"/ping"_s;
    manager.apiTimeoutMs = deadlineMs;
    LoginWindow login;
    login.proxyManager = &manager;
    QObject::connect(&manager, SIGNAL(finishedGetProxies(QStringList)), &login,
                     SLOT(loginFinished(QStringList)));
    login.show();
    login.findChild<QLineEdit *>(u"username"_s)->setText(u"demo"_s);
    login.findChild<QLineEdit *>(u"password"_s)->setText(u"demo-pass"_s);
    auto *loginButton = login.findChild<QPushButton *>(u"pushButton"_s);
    QCoreApplication::processEvents();

    report.note(u"login window shown, offscreen; each answer from a loopback server on its own "
                u"thread; goal per answer: no loop block of 50 ms or more"_s);
    for (const Case &c : cases()) {
        if (!only.isEmpty() && !c.name.contains(only))
            continue;
        const auto respond = [c](const QByteArray &requestLine, bool hostile) {
            const QByteArray command = commandOf(requestLine);
            if (hostile && command == c.target)
                return c.answer;
            if (command == "probe")
                return HostileServer::plain("1");
            return HostileServer::plain(command == "setauthips" ? "OK\n" : "127.0.0.1\n");
        };
        // The address first, outside the measure: a round needs it.
        server.setResponder([respond](const QByteArray &line) { return respond(line, false); });
        manager.setCredentials(u"demo"_s, u"demo-pass"_s);
        if (!waitFor(manager, &ProxyManager::myIpAnswered)) {
            report.error(c.name % u": the address was not answered"_s);
            continue;
        }
        server.setResponder([respond](const QByteArray &line) { return respond(line, true); });
        const qint64 sentBefore = server.bodyBytesSent();
        QElapsedTimer clock;
        LoopBlockMeter meter;
        meter.start();
        clock.start();
        bool ended = false;
        QString outcome;
        if (c.target == "list") {
            const auto shown = QObject::connect(
                &manager, &ProxyManager::finishedGetProxies,
                [&](const QStringList &list) { outcome = list.value(0).simplified(); });
            loginButton->click();
            ended = waitFor(manager, &ProxyManager::finishedGetProxies);
            // The window shows the error on the next pass.
            QCoreApplication::processEvents();
            QObject::disconnect(shown);
        } else if (c.target == "getmyip") {
            const auto failed = QObject::connect(
                &manager, &ProxyManager::myIpFailed,
                [&](ProxyManager::FailureKind, const QString &why) { outcome = why; });
            manager.requestMyIp();
            ended = waitFor(manager, &ProxyManager::myIpFailed);
            QObject::disconnect(failed);
        } else if (c.target == "ping") {
            const auto result = QObject::connect(
                &manager, &ProxyManager::finishedTestingProxy,
                [&](const QStringList &r) { outcome = u"status "_s % r.value(2); });
            manager.proxies = {u"127.0.0.1:"_s % QString::number(server.port())};
            manager.startTesting();
            ended = waitFor(manager, &ProxyManager::finishedTest);
            QObject::disconnect(result);
        } else {
            const auto result = QObject::connect(
                &manager, &ProxyManager::authorizationEnded,
                [&](ProxyManager::AuthorizationOutcome o, const QStringList &ips,
                    const QString &why) {
                    outcome = o == ProxyManager::AuthorizationOutcome::Failed
                                  ? why
                                  : QString::number(ips.size()) % u" addresses written"_s;
                });
            manager.requestAuthIps(true);
            ended = waitFor(manager, &ProxyManager::authorizationEnded);
            QObject::disconnect(result);
        }
        const double tookMs = double(clock.nsecsElapsed()) / 1e6;
        meter.stop();
        if (!ended) {
            report.error(c.name % u": no outcome within the deadline"_s);
            continue;
        }
        report.figure(c.name % u": longest loop block"_s, meter.longestMs(), u"ms"_s, u"< 50 ms"_s,
                      meter.longestMs() < 50);
        report.info(u"  answered after"_s, tookMs, u"ms"_s);
        report.info(u"  body bytes the server sent meanwhile"_s,
                    double(server.bodyBytesSent() - sentBefore) / 1e6, u"MB"_s, 2);
        report.note(u"  outcome: "_s % outcome.left(90));
    }
    return report.finish();
}
