// Keeping the user's address on the account's authorized list: the exchange with the
// fake service, the button, the periodic rounds and the tray menu.
#include "ClientUnderTest.h"
#include "ScopedWorkDir.h"
#include "TestEnvironment.h"

#include <QMenu>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <QTextEdit>

using namespace Qt::StringLiterals;

class TestAuthorization : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { QVERIFY(env.start()); }
    void init();
    void cleanup() { client.reset(); }

    void exchange_data();
    void exchange();
    void failedReadSendsNothing_data();
    void failedReadSendsNothing();
    void failedUpdateIsReported();
    void unknownAddressSendsNothing();
    void periodicRounds();
    void sharedActionAndTray();

private:
    void logIn();
    QStringList commands() const;
    // What the view shows once the event loop has run.
    QString log() const
    {
        client->main.flushLog();
        return client->mainChild<QTextEdit>("debugLog")->toPlainText();
    }
    QList<ReceivedRequest> updates() const;

    TestEnvironment env;
    std::unique_ptr<ScopedWorkDir> dir;
    std::unique_ptr<ClientUnderTest> client;
};

void TestAuthorization::init()
{
    env.reset();
    env.service.setReportedIp(u"10.1.1.1"_s);
    dir.reset();
    dir = std::make_unique<ScopedWorkDir>();
}

void TestAuthorization::logIn()
{
    client = std::make_unique<ClientUnderTest>(env);
    QVERIFY(client->logIn(TestEnvironment::demoUser(), TestEnvironment::demoPassword()));
    QTRY_COMPARE(client->manager->myIp, u"10.1.1.1"_s);
    env.service.clearRequests();
}

QStringList TestAuthorization::commands() const
{
    QStringList words;
    for (const ReceivedRequest &request : env.service.requestsFor(u"/api"_s))
        words << request.queryValue(u"command"_s);
    return words;
}

QList<ReceivedRequest> TestAuthorization::updates() const
{
    QList<ReceivedRequest> found;
    for (const ReceivedRequest &request : env.service.requestsFor(u"/api"_s)) {
        if (request.queryValue(u"command"_s) == u"setauthips")
            found << request;
    }
    return found;
}

void TestAuthorization::exchange_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QString>("ips"); // sent with setauthips; empty: none sent
    QTest::addColumn<QStringList>("shown");
    QTest::newRow("missing address goes first")
        << "10.2.2.2\r\n10.3.3.3\r\n"_ba << u"10.1.1.1,10.2.2.2,10.3.3.3"_s
        << QStringList{u"10.1.1.1"_s, u"10.2.2.2"_s, u"10.3.3.3"_s};
    QTest::newRow("present address sends nothing")
        << "10.2.2.2\n10.1.1.1\n"_ba << QString() << QStringList{u"10.2.2.2"_s, u"10.1.1.1"_s};
    QTest::newRow("comparison is exact")
        << "10.1.1.10\n10.1.1.1x\n"_ba << u"10.1.1.1,10.1.1.10,10.1.1.1x"_s
        << QStringList{u"10.1.1.1"_s, u"10.1.1.10"_s, u"10.1.1.1x"_s};
    QTest::newRow("blank line gives two commas")
        << "10.2.2.2\n\n10.3.3.3\n"_ba << u"10.1.1.1,10.2.2.2,,10.3.3.3"_s
        << QStringList{u"10.1.1.1"_s, u"10.2.2.2"_s, QString(), u"10.3.3.3"_s};
    QTest::newRow("account without addresses")
        << QByteArray() << u"10.1.1.1"_s << QStringList{u"10.1.1.1"_s};
}

void TestAuthorization::exchange()
{
    QFETCH(QByteArray, body);
    QFETCH(QString, ips);
    QFETCH(QStringList, shown);
    logIn();
    env.service.setHandler([body](const ReceivedRequest &r) {
        return r.queryValue(u"command"_s) == u"getauthips"
                   ? std::optional(CannedResponse::withStatus(200, body))
                   : std::nullopt;
    });
    QSignalSpy reported(client->manager, &ProxyManager::finishedAuthorizeIp);
    QTest::mouseClick(client->mainChild<QPushButton>("bAuthIp"), Qt::LeftButton);
    QVERIFY(reported.wait(5000));
    QCOMPARE(reported.at(0).at(0).toStringList(), shown);
    QVERIFY(log().endsWith(u"Authorized IP addresses:\n"_s % shown.join(u'\n') % u"\n"_s));

    const ReceivedRequest read = env.service.requestsFor(u"/api"_s).at(0);
    QCOMPARE(QString::fromLatin1(read.target),
             u"/api?user=demo&pass=demo-pass&command=getauthips&call_emit=1"_s);
    if (ips.isEmpty()) {
        QTest::qWait(100);
        QCOMPARE(commands(), QStringList{u"getauthips"_s});
        return;
    }
    QTRY_COMPARE(updates().size(), 1);
    QCOMPARE(updates().at(0).queryValue(u"ips"_s), ips);
    QCOMPARE(env.service.authorizedIps(TestEnvironment::demoUser()), ips.split(u','));
}

void TestAuthorization::failedReadSendsNothing_data()
{
    QTest::addColumn<CannedResponse>("response");
    QTest::addColumn<bool>("down");
    QTest::newRow("HTTP 500") << CannedResponse::withStatus(500, "10.9.9.9\n") << false;
    QTest::newRow("error line") << CannedResponse::withStatus(200, "ERROR: try later\n") << false;
    CannedResponse silent;
    silent.stall = true;
    QTest::newRow("time-out") << silent << false;
    QTest::newRow("server down") << CannedResponse() << true;
}

void TestAuthorization::failedReadSendsNothing()
{
    QFETCH(CannedResponse, response);
    QFETCH(bool, down);
    logIn();
    env.service.setAuthorizedIps(TestEnvironment::demoUser(), {u"10.2.2.2"_s, u"10.3.3.3"_s});
    client->manager->apiTimeoutMs = 300;
    if (down)
        client->manager->apiUrl =
            u"http://127.0.0.1:"_s % QString::number(env.closedPort) % u"/api"_s;
    env.service.setHandler([response](const ReceivedRequest &r) {
        return r.queryValue(u"command"_s) == u"getauthips" ? std::optional(response) : std::nullopt;
    });
    QSignalSpy failed(client->manager, &ProxyManager::authorizeIpFailed);
    // The silent periodic round first, then the button's round, which says what failed.
    client->manager->requestAuthIps(false);
    QTest::mouseClick(client->mainChild<QPushButton>("bAuthIp"), Qt::LeftButton);
    QVERIFY(failed.wait(5000));
    QTest::qWait(100);
    QCOMPARE(failed.size(), 1);
    QCOMPARE(log().count(u"Authorizing my IP failed: could not read the authorized IP"_s), 1);
    QVERIFY(!log().contains(u"Authorized IP addresses:"_s));
    QVERIFY(updates().isEmpty());
    QCOMPARE(env.service.authorizedIps(TestEnvironment::demoUser()),
             (QStringList{u"10.2.2.2"_s, u"10.3.3.3"_s}));
}

void TestAuthorization::failedUpdateIsReported()
{
    logIn();
    env.service.setHandler([](const ReceivedRequest &r) {
        return r.queryValue(u"command"_s) == u"setauthips"
                   ? std::optional(CannedResponse::withStatus(200, "ERROR: list too long\n"))
                   : std::nullopt;
    });
    QSignalSpy failed(client->manager, &ProxyManager::authorizeIpFailed);
    QTest::mouseClick(client->mainChild<QPushButton>("bAuthIp"), Qt::LeftButton);
    QVERIFY(failed.wait(5000));
    QVERIFY(log().contains(u"Authorized IP addresses:\n10.1.1.1\n"_s));
    QVERIFY(log().endsWith(u"Authorizing my IP failed: the service did not store the new list "
                           "(ERROR: list too long)\n"_s));
}

void TestAuthorization::unknownAddressSendsNothing()
{
    logIn();
    client->manager->myIp.clear();
    QSignalSpy reported(client->manager, &ProxyManager::finishedAuthorizeIp);
    QTest::mouseClick(client->mainChild<QPushButton>("bAuthIp"), Qt::LeftButton);
    QTRY_COMPARE(commands(), QStringList{u"getauthips"_s});
    client->manager->requestProxies(); // barrier: anything sent after the read comes first
    QTRY_COMPARE(commands().size(), 2);
    QCOMPARE(commands().at(1), u"list"_s);
    QCOMPARE(reported.size(), 0);
    QVERIFY(!log().contains(u"Authorized"_s));
}

void TestAuthorization::periodicRounds()
{
    logIn();
    client->manager->authPeriodMs = 300;
    QSignalSpy reported(client->manager, &ProxyManager::finishedAuthorizeIp);
    QAction *action = client->mainChild<QAction>("action_Ensure_my_IP_is_always_authorized");
    action->setChecked(true);
    // At once a read with the address already known; each tick asks for the address first.
    QTRY_COMPARE(commands().size(), 2);
    QCOMPARE(commands(), (QStringList{u"getauthips"_s, u"setauthips"_s}));
    QTRY_VERIFY(commands().size() >= 4);
    QCOMPARE(commands().mid(2, 2), (QStringList{u"getmyip"_s, u"getauthips"_s}));
    QCOMPARE(QString::fromLatin1(env.service.requestsFor(u"/api"_s).at(0).target),
             u"/api?user=demo&pass=demo-pass&command=getauthips&call_emit=0"_s);
    action->setChecked(false);
    const qsizetype sent = commands().size();
    QTest::qWait(700);
    QVERIFY(commands().size() <= sent + 2); // at most the round already in flight
    QCOMPARE(reported.size(), 0);
    QVERIFY(!log().contains(u"Authorized"_s));
}

void TestAuthorization::sharedActionAndTray()
{
    logIn();
    MainWindow &main = client->main;
    auto *tray = main.findChild<QSystemTrayIcon *>();
    QVERIFY(tray);
    QVERIFY(tray->isVisible());
    QMenu *trayMenu = tray->contextMenu();
    QAction *shared = client->mainChild<QAction>("action_Ensure_my_IP_is_always_authorized");
    QCOMPARE(trayMenu->actions().size(), 3);
    QCOMPARE(trayMenu->actions().at(0), shared);
    QCOMPARE(client->mainChild<QMenu>("menuProgram")->actions().at(0), shared);
    QVERIFY(trayMenu->actions().at(1)->isSeparator());
    QCOMPARE(trayMenu->actions().at(2)->text(), u"&Quit"_s);

    // Checking it in the tray menu starts the rounds, as in the window's menu.
    trayMenu->actions().at(0)->trigger();
    QVERIFY(shared->isChecked());
    QTRY_COMPARE(commands().value(0), u"getauthips"_s);
    trayMenu->actions().at(0)->trigger();
    QVERIFY(!shared->isChecked());

    main.hide();
    for (auto reason : {QSystemTrayIcon::Context, QSystemTrayIcon::DoubleClick,
                        QSystemTrayIcon::MiddleClick, QSystemTrayIcon::Unknown}) {
        emit tray->activated(reason);
        QVERIFY(!main.isVisible());
    }
    emit tray->activated(QSystemTrayIcon::Trigger);
    QVERIFY(main.isVisible());
}

QTEST_MAIN(TestAuthorization)
#include "tst_authorization.moc"
