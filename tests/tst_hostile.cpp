// A hostile service, hostile proxies and a killed process: each ends in a clear result,
// nothing hangs, nothing is lost.
#include "MainWindow.h"
#include "ProxyManager.h"
#include "ScopedWorkDir.h"
#include "TestEnvironment.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QSignalSpy>
#include <QTest>

#include <cstdio>

using namespace Qt::StringLiterals;

namespace {

template <size_t N> QByteArray withNuls(const char (&text)[N])
{
    return QByteArray(text, N - 1);
}

qint64 residentKiB()
{
    QFile status(u"/proc/self/status"_s);
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}

const QString listFailed = u"ERROR: Could not get the proxy list: "_s;

} // namespace

class TestHostile : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup() { delete manager; }

    void serviceReplies_data();
    void serviceReplies();
    void largeListsAndMemory_data();
    void largeListsAndMemory();
    void hostileProxies_data();
    void hostileProxies();
    void credentialsIntactAndNeverProxied();
    void logSurvivesKill();

private:
    QStringList requestList(const CannedResponse &response);

    TestEnvironment env;
    DemoService fakeProxy;
    ProxyManager *manager = nullptr;
};

void TestHostile::initTestCase()
{
    QVERIFY(env.start());
    QVERIFY(fakeProxy.listen());
}

void TestHostile::init()
{
    env.reset();
    fakeProxy.setHandler({});
    manager = new ProxyManager();
    manager->apiUrl = env.service.apiUrl().toString();
    manager->pingUrl = env.service.pingUrl().toString();
    manager->apiTimeoutMs = 1500;
    manager->timeoutMs = 700;
    manager->setCredentials(TestEnvironment::demoUser(), TestEnvironment::demoPassword());
}

QStringList TestHostile::requestList(const CannedResponse &response)
{
    env.service.setHandler([response](const ReceivedRequest &r) {
        return r.queryValue(u"command"_s) == u"list" ? std::optional(response) : std::nullopt;
    });
    QSignalSpy spy(manager, &ProxyManager::finishedGetProxies);
    manager->requestProxies();
    if (!spy.wait(10000))
        return {u"<no answer>"_s};
    return spy.at(0).at(0).toStringList();
}

void TestHostile::serviceReplies_data()
{
    QTest::addColumn<CannedResponse>("response");
    QTest::addColumn<QStringList>("payload");
    const auto ok = [](const QByteArray &body) { return CannedResponse::withStatus(200, body); };
    const QString noResponse = u"ERROR: Sorry, no response from server."_s;

    QTest::newRow("NUL inside lines") << ok(withNuls("10.0.0.1:31\0 28\n10.0.0.2:80\0\n"))
                                      << QStringList{u"10.0.0.1:31"_s, u"10.0.0.2:80"_s};
    QTest::newRow("Latin-1 and UTF-8 bytes")
        << ok("h\xf6st:80\nh\xc3\xb6st:80\n")
        << QStringList{u"h\u00f6st:80"_s, u"h\u00c3\u00b6st:80"_s};
    CannedResponse midBody = ok("10.0.0.1:3128\n10.0.0.2:3128\n10.0.0.3:3128\n");
    midBody.closeAfterBodyBytes = 20;
    QTest::newRow("closed mid-body") << midBody << QStringList{listFailed % u"Connection closed"_s};
    CannedResponse longer = ok("10.0.0.1:3128\n");
    longer.contentLengthOverride = 400;
    QTest::newRow("Content-Length too large")
        << longer << QStringList{listFailed % u"Connection closed"_s};
    // The answer says it ends there: the client cannot know better.
    CannedResponse shorter = ok("10.0.0.1:3128\n10.0.0.2:3128\n");
    shorter.contentLengthOverride = 20;
    QTest::newRow("Content-Length too small")
        << shorter << QStringList{u"10.0.0.1:3128"_s, u"10.0.0"_s};
    CannedResponse reset;
    reset.reset = true;
    QTest::newRow("connection reset") << reset << QStringList{noResponse};
    for (const int status : {301, 302, 404, 500}) {
        CannedResponse plain = CannedResponse::withStatus(status, "<html>10.6.6.6:80</html>\n");
        plain.reason.clear();
        QTest::addRow("HTTP %d without ERROR", status)
            << plain
            << QStringList{listFailed % u"HTTP "_s % QString::number(status) % u' ' %
                           QString::fromLatin1(CannedResponse::standardReason(status))};
        CannedResponse withError = CannedResponse::withStatus(status, "ERROR: go away\r\n");
        QTest::addRow("HTTP %d with ERROR", status)
            << withError << QStringList{u"ERROR: go away\r\n"_s};
    }
    CannedResponse stalled = ok("10.0.0.1:3128\n");
    stalled.stallAfterHeaders = true;
    QTest::newRow("headers then silence") << stalled << QStringList{noResponse};
}

void TestHostile::serviceReplies()
{
    QFETCH(CannedResponse, response);
    QFETCH(QStringList, payload);
    QCOMPARE(requestList(response), payload);
    QCOMPARE(manager->proxies, payload.at(0).startsWith(u"ERROR"_s) ? QStringList() : payload);
}

void TestHostile::largeListsAndMemory_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<int>("entries"); // -1: refused as too large
    QByteArray many;
    for (int i = 0; i < 100000; ++i)
        many += "10." + QByteArray::number(i / 65536) + '.' + QByteArray::number(i / 256 % 256) +
                '.' + QByteArray::number(i % 256) + ":3128\r\n";
    QTest::newRow("100,000 entries") << many << 100000;
    QTest::newRow("1 MB line") << QByteArray(1 << 20, 'x') + "\n10.0.0.1:80\n" << 2;
    QTest::newRow("100 MB body") << QByteArray(100 << 20, 'y') << -1;
}

void TestHostile::largeListsAndMemory()
{
    QFETCH(QByteArray, body);
    QFETCH(int, entries);
    manager->apiTimeoutMs = 20000; // the size limit, not the deadline, must end the 100 MB
    const qint64 before = residentKiB();
    const QStringList payload = requestList(CannedResponse::withStatus(200, body));
    const qint64 grownMiB = (residentKiB() - before) / 1024;
    qInfo("resident memory grew by %lld MiB", grownMiB);
    body.clear();
    if (entries < 0) {
        QCOMPARE(payload, QStringList{listFailed % u"the answer is too large"_s});
        // Cut off at the limit instead of buffering 100 MB and splitting it into lines.
        QVERIFY2(grownMiB < 80, qPrintable(QString::number(grownMiB)));
    } else {
        QCOMPARE(payload.size(), entries);
        QCOMPARE(manager->proxies.size(), entries);
    }
}

void TestHostile::hostileProxies_data()
{
    QTest::addColumn<CannedResponse>("answer");
    QTest::addColumn<QString>("status");
    // Indistinguishable from a working proxy: the client only ever sees the "1".
    QTest::newRow("answers 1 without asking the ping page")
        << CannedResponse::withStatus(200, "1") << u"0"_s;
    CannedResponse reset;
    reset.reset = true;
    QTest::newRow("resets the connection") << reset << u"3"_s;
    QTest::newRow("407") << CannedResponse::withStatus(407, "Proxy Authentication Required")
                         << u"3"_s;
    CannedResponse stall = CannedResponse::withStatus(200, "1");
    stall.stallAfterHeaders = true;
    QTest::newRow("headers then silence") << stall << u"2"_s;
    QTest::newRow("100 MB answer")
        << CannedResponse::withStatus(200, QByteArray(100 << 20, '1')) << u"3"_s;
}

void TestHostile::hostileProxies()
{
    QFETCH(CannedResponse, answer);
    QFETCH(QString, status);
    fakeProxy.setHandler([answer](const ReceivedRequest &) { return std::optional(answer); });
    QSignalSpy results(manager, &ProxyManager::finishedTestingProxy);
    QSignalSpy ended(manager, &ProxyManager::finishedTest);
    manager->proxies = {fakeProxy.entry(), env.allowingEntry()};
    manager->startTesting();
    QVERIFY(ended.wait(10000));
    QCOMPARE(results.size(), 2);
    QCOMPARE(results.at(0).at(0).toStringList().at(2), status);
    QCOMPARE(results.at(1).at(0).toStringList().at(2), u"0"_s);
    QVERIFY(results.at(0).at(0).toStringList().value(5).size() <= ProxyManager::maxPingReplyBytes);
}

void TestHostile::credentialsIntactAndNeverProxied()
{
    const QString user = u"us&er#1"_s;
    const QString pass = u"a&b#c+d%e f=g?h %1 \u00fc\u20ac"_s;
    env.service.addAccount(user, pass, {env.silentEntry()}, {u"10.2.2.2"_s});
    env.service.setReportedIp(u"10.1.1.1"_s);
    manager->setCredentials(user, pass);
    QSignalSpy lists(manager, &ProxyManager::finishedGetProxies);
    manager->requestProxies();
    QVERIFY(lists.wait(5000));
    QTRY_COMPARE(manager->myIp, u"10.1.1.1"_s);
    // An authorization round while a proxy is under test.
    QSignalSpy ended(manager, &ProxyManager::finishedTest);
    manager->startTesting();
    manager->requestAuthIps(true);
    QTRY_COMPARE(env.service.authorizedIps(user), (QStringList{u"10.1.1.1"_s, u"10.2.2.2"_s}));
    QVERIFY(ended.wait(5000));

    QStringList commands;
    for (const ReceivedRequest &request : env.service.requestsFor(u"/api"_s)) {
        if (request.queryValue(u"user"_s) != user)
            continue;
        QCOMPARE(request.queryValue(u"pass"_s), pass);
        QVERIFY(!request.viaProxy);
        commands << request.queryValue(u"command"_s);
    }
    commands.sort();
    QCOMPARE(commands, (QStringList{u"getauthips"_s, u"getmyip"_s, u"list"_s, u"setauthips"_s}));
}

void TestHostile::logSurvivesKill()
{
    ScopedWorkDir dir;
    QProcess writer;
    writer.start(QCoreApplication::applicationFilePath(), {u"--write-log"_s, u"500"_s});
    QVERIFY(writer.waitForStarted());
    QByteArray said;
    QTRY_VERIFY_WITH_TIMEOUT((said += writer.readAllStandardOutput()).contains("written"), 10000);
    writer.kill(); // SIGKILL: nothing gets a chance to flush
    QVERIFY(writer.waitForFinished());
    QFile log(u"log.txt"_s);
    QVERIFY(log.open(QIODevice::ReadOnly));
    const QByteArray text = log.readAll();
    QVERIFY(text.contains("message 0 of 500\n"));
    QVERIFY(text.endsWith("message 499 of 500\n"));
    QCOMPARE(text.count("\n"), 502);
}

// Writes messages through the real debug log, says so, and waits to be killed.
static int writeLogAndWait(int argc, char **argv, int count)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    ProxyManager manager;
    MainWindow window(nullptr);
    window.proxyManager = &manager;
    window.initAndShow();
    for (int i = 0; i < count; ++i)
        window.appendLog(u"message "_s % QString::number(i) % u" of "_s % QString::number(count) %
                         u"\n"_s);
    std::puts("written");
    std::fflush(stdout);
    return QApplication::exec();
}

int main(int argc, char **argv)
{
    if (argc == 3 && qstrcmp(argv[1], "--write-log") == 0)
        return writeLogAndWait(1, argv, QByteArray(argv[2]).toInt());
    QApplication app(argc, argv);
    TestHostile test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_hostile.moc"
