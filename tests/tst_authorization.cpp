// Keeping the user's address on the account's authorized list: the exchange with the
// fake service, the button, and the periodic rounds from either menu.
#include "ClientUnderTest.h"
#include "TestEnvironment.h"

#include <QMenu>
#include <QSignalSpy>
#include <QTest>

using namespace Qt::StringLiterals;

class TestAuthorization : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { QVERIFY(env.start()); }
    void init()
    {
        env.reset();
        env.service.setReportedIp(u"10.1.1.1"_s);
    }
    void cleanup() { client.reset(); }

    void exchange_data()
    {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("ips"); // sent with setauthips; empty: none sent
        QTest::addColumn<QStringList>("shown");
        QTest::addColumn<QString>("own"); // the user's address
        const QString own = u"10.1.1.1"_s;
        QTest::newRow("missing address goes first")
            << "10.2.2.2\r\n10.3.3.3\r\n"_ba << u"10.1.1.1,10.2.2.2,10.3.3.3"_s
            << QStringList{u"10.1.1.1"_s, u"10.2.2.2"_s, u"10.3.3.3"_s} << own;
        QTest::newRow("present address sends nothing")
            << "10.2.2.2\n10.1.1.1\n"_ba << QString() << QStringList{u"10.2.2.2"_s, u"10.1.1.1"_s}
            << own;
        QTest::newRow("CR alone ends a line, blank lines dropped")
            << "10.9.9.9\r\r\n \n10.8.8.8\r"_ba << u"10.1.1.1,10.9.9.9,10.8.8.8"_s
            << QStringList{u"10.1.1.1"_s, u"10.9.9.9"_s, u"10.8.8.8"_s} << own;
        QTest::newRow("IPv6 and prefixes written back as read")
            << "2001:DB8::7\n2001:db8::/32\n10.1.1.1/24\n10.1.1.10\n"_ba
            << u"10.1.1.1,2001:DB8::7,2001:db8::/32,10.1.1.1/24,10.1.1.10"_s
            << QStringList{u"10.1.1.1"_s, u"2001:DB8::7"_s, u"2001:db8::/32"_s, u"10.1.1.1/24"_s,
                           u"10.1.1.10"_s}
            << own;
        QTest::newRow("address compared by value")
            << "2001:DB8:0::7/128\n"_ba << QString() << QStringList{u"2001:DB8:0::7/128"_s}
            << u"2001:db8::7"_s;
        QTest::newRow("account without addresses")
            << QByteArray() << u"10.1.1.1"_s << QStringList{u"10.1.1.1"_s} << own;
    }
    void exchange()
    {
        QFETCH(QByteArray, body);
        QFETCH(QString, ips);
        QFETCH(QStringList, shown);
        QFETCH(QString, own);
        logIn();
        client->manager->myIp = own;
        answerWith(u"getauthips"_s, CannedResponse::withStatus(200, body));
        QSignalSpy reported(client->manager, &ProxyManager::finishedAuthorizeIp);
        client->click("bAuthIp");
        QVERIFY(reported.wait(10000));
        QCOMPARE(reported.at(0).at(0).toStringList(), shown);
        QVERIFY(
            client->log().endsWith(u"Authorized IP addresses:\n"_s % shown.join(u'\n') % u"\n"_s));
        QCOMPARE(QString::fromLatin1(env.service.requestsFor(u"/api"_s).at(0).target),
                 u"/api?user=demo&pass=demo-pass&command=getauthips&call_emit=1"_s);
        barrier();
        QCOMPARE(commands().count(u"setauthips"_s), ips.isEmpty() ? 0 : 1);
        if (!ips.isEmpty())
            QCOMPARE(env.service.authorizedIps(TestEnvironment::demoUser()), ips.split(u','));
    }
    void failedReadSendsNothing_data()
    {
        QTest::addColumn<CannedResponse>("response");
        QTest::addColumn<bool>("addressKnown"); // false: not even the read is used
        QTest::newRow("HTTP 500") << CannedResponse::withStatus(500, "10.9.9.9\n") << true;
        QTest::newRow("error line")
            << CannedResponse::withStatus(200, "ERROR: try later\n") << true;
        CannedResponse silent;
        silent.stall = true;
        QTest::newRow("time-out") << silent << true;
        QTest::newRow("own address unknown") << CannedResponse::withStatus(200) << false;
        // Answers that once were written back as the account's list.
        const auto ok = [](const QByteArray &body) {
            return CannedResponse::withStatus(200, body);
        };
        QTest::newRow("HTML page") << ok("<html>\n<head><title>502 Bad Gateway</title></head>\n"
                                         "</html>\n")
                                   << true;
        QTest::newRow("ERROR among addresses")
            << ok("10.9.9.9\nERROR: database timeout\n10.8.8.8\n") << true;
        QTest::newRow("NUL starts a middle line") << ok("10.9.9.9\n\0"
                                                        "10.7.7.7\n10.8.8.8\n"_ba)
                                                  << true;
        QTest::newRow("not an address as the service means it") << ok("10.9.9.9\n127.1\n") << true;
        CannedResponse unframed = ok("10.9.9.9\n10.8.8.8");
        unframed.unframed = true;
        unframed.resetAfterBody = true;
        QTest::newRow("HTTP/1.0 without length, cut by a reset") << unframed << true;
        CannedResponse shortened = ok("10.9.9.9\n10.8.8.8\n");
        shortened.closeAfterBodyBytes = 9;
        shortened.resetAfterBody = true;
        QTest::newRow("short of its length, cut by a reset") << shortened << true;
        CannedResponse chunked = ok("9\r\n10.9.9.9\n\r\n4\r\n10.8\r\n");
        chunked.addHeader("Transfer-Encoding", "chunked");
        chunked.resetAfterBody = true;
        QTest::newRow("chunked, cut by a reset") << chunked << true;
    }
    // The account's list is replaced by what is sent: a list built from a failed read would
    // drop every other address.
    void failedReadSendsNothing()
    {
        QFETCH(CannedResponse, response);
        QFETCH(bool, addressKnown);
        logIn();
        env.service.setAuthorizedIps(TestEnvironment::demoUser(), {u"10.2.2.2"_s, u"10.3.3.3"_s});
        client->manager->apiTimeoutMs = 300;
        if (!addressKnown)
            client->manager->myIp.clear();
        answerWith(u"getauthips"_s, response);
        QSignalSpy failed(client->manager, &ProxyManager::authorizeIpFailed);
        // The silent periodic round first, then the button's round, which says what failed.
        client->manager->requestAuthIps(false);
        client->click("bAuthIp");
        QVERIFY(!addressKnown || failed.wait(10000));
        barrier();
        QCOMPARE(failed.size(), addressKnown ? 1 : 0);
        QCOMPARE(client->log().count(u"Authorizing my IP failed: could not read the authorized"_s),
                 failed.size());
        QVERIFY(!client->log().contains(u"Authorized IP addresses:"_s));
        QCOMPARE(env.service.authorizedIps(TestEnvironment::demoUser()),
                 (QStringList{u"10.2.2.2"_s, u"10.3.3.3"_s}));
    }
    void failedUpdateIsReported()
    {
        logIn();
        answerWith(u"setauthips"_s, CannedResponse::withStatus(200, "ERROR: list too long\n"));
        QSignalSpy failed(client->manager, &ProxyManager::authorizeIpFailed);
        client->click("bAuthIp");
        QVERIFY(failed.wait(10000));
        QVERIFY(client->log().contains(u"Authorized IP addresses:\n10.1.1.1\n"_s));
        QVERIFY(client->log().endsWith(u"Authorizing my IP failed: the service did not store the "
                                       "new list (ERROR: list too long)\n"_s));
    }
    // The window's menu and the tray menu share one action.
    void periodicRounds()
    {
        logIn();
        client->manager->authPeriodMs = 400;
        auto *tray = client->main.findChild<QSystemTrayIcon *>();
        QVERIFY(tray && tray->isVisible());
        QAction *shared = client->child<QAction>("action_Ensure_my_IP_is_always_authorized");
        QCOMPARE(client->child<QMenu>("menuProgram")->actions().at(0), shared);
        QCOMPARE(tray->contextMenu()->actions().at(0), shared);
        QVERIFY(tray->contextMenu()->actions().at(2)->isSeparator());
        QSignalSpy reported(client->manager, &ProxyManager::finishedAuthorizeIp);
        shared->trigger();
        QVERIFY(shared->isChecked());
        // At once a read with the address already known; each tick asks for the address too.
        QTRY_VERIFY_WITH_TIMEOUT(commands().size() >= 4, 10000);
        QStringList tick = commands().mid(2, 2);
        tick.sort();
        QCOMPARE(commands().mid(0, 2), (QStringList{u"getauthips"_s, u"setauthips"_s}));
        QCOMPARE(tick, (QStringList{u"getauthips"_s, u"getmyip"_s}));
        shared->trigger();
        QVERIFY(!shared->isChecked());
        const qsizetype sent = commands().size();
        QTest::qWait(3 * client->manager->authPeriodMs);
        QVERIFY(commands().size() <= sent + 2); // at most the round already in flight
        QCOMPARE(reported.size(), 0);
        QVERIFY(!client->log().contains(u"Authorized"_s));
    }

    void periodicHealth_data()
    {
        QTest::addColumn<QString>("command");
        QTest::addColumn<QByteArray>("answer");
        QTest::addColumn<QString>("reason");
        QTest::newRow("read refused") << u"getauthips"_s << "<html>\n"_ba
                                      << u"could not read the authorized IP addresses (the answer "
                                         "holds a line that is not an address: <html>)"_s;
        QTest::newRow("update refused")
            << u"setauthips"_s << "ERROR: list too long\n"_ba
            << u"the service did not store the new list (ERROR: list too long)"_s;
    }
    // Periodic rounds are silent, but not about failing for good: one line when they start
    // failing, one when they work again.
    void periodicHealth()
    {
        QFETCH(QString, command);
        QFETCH(QByteArray, answer);
        QFETCH(QString, reason);
        logIn();
        env.service.setAuthorizedIps(TestEnvironment::demoUser(), {u"10.2.2.2"_s});
        client->manager->authPeriodMs = 300;
        answerWith(command, CannedResponse::withStatus(200, answer));
        QAction *periodic = client->child<QAction>("action_Ensure_my_IP_is_always_authorized");
        periodic->trigger();
        const auto rounds = [this] { return commands().count(u"getauthips"_s); };
        QTRY_VERIFY_WITH_TIMEOUT(rounds() >= 3, 10000);
        const QString failed = u"Keeping my IP authorized failed: "_s % reason % u"\n"_s;
        QCOMPARE(client->log().count(failed), 1);
        QCOMPARE(env.service.authorizedIps(TestEnvironment::demoUser()),
                 QStringList{u"10.2.2.2"_s});

        env.service.setHandler({});
        const qsizetype before = rounds();
        QTRY_VERIFY_WITH_TIMEOUT(rounds() >= before + 3, 10000);
        periodic->trigger();
        const QString works = u"Keeping my IP authorized works again\n"_s;
        QCOMPARE(client->log().count(works), 1);
        QVERIFY(client->log().indexOf(works) > client->log().indexOf(failed));
        QCOMPARE(client->log().count(u"Keeping my IP"_s), 2);
        QCOMPARE(env.service.authorizedIps(TestEnvironment::demoUser()),
                 (QStringList{u"10.1.1.1"_s, u"10.2.2.2"_s}));
    }

    // Every round ends in one authorizationEnded, once what it sent has been answered.
    void roundOutcomes_data()
    {
        QTest::addColumn<QString>("round"); // caller, button (address unknown) or periodic
        QTest::addColumn<QString>("failing");
        QTest::addColumn<QStringList>("stored");
        QTest::addColumn<int>("outcome");
        QTest::addColumn<QStringList>("sent");
        using O = ProxyManager::AuthorizationOutcome;
        const QStringList other{u"10.2.2.2"_s}, both{u"10.2.2.2"_s, u"10.1.1.1"_s};
        const QStringList read{u"getmyip"_s, u"getauthips"_s};
        const QStringList write = read + QStringList{u"setauthips"_s};
        QTest::newRow("caller adds") << u"caller"_s << QString() << other << int(O::Added) << write;
        QTest::newRow("caller, present")
            << u"caller"_s << QString() << both << int(O::AlreadyPresent) << read;
        QTest::newRow("caller, address fails")
            << u"caller"_s << u"getmyip"_s << other << int(O::Failed) << read.mid(0, 1);
        QTest::newRow("caller, read fails")
            << u"caller"_s << u"getauthips"_s << other << int(O::Failed) << read;
        QTest::newRow("caller, write fails")
            << u"caller"_s << u"setauthips"_s << other << int(O::Failed) << write;
        QTest::newRow("button, address unknown")
            << u"button"_s << QString() << other << int(O::Failed) << read.mid(1);
        QTest::newRow("periodic adds")
            << u"periodic"_s << QString() << other << int(O::Added) << write.mid(1);
    }
    void roundOutcomes()
    {
        QFETCH(QString, round);
        QFETCH(QString, failing);
        QFETCH(QStringList, stored);
        QFETCH(int, outcome);
        QFETCH(QStringList, sent);
        logIn();
        env.service.setAuthorizedIps(TestEnvironment::demoUser(), stored);
        if (!failing.isEmpty())
            answerWith(failing, CannedResponse::withStatus(500));
        ProxyManager *manager = client->manager;
        QList<int> outcomes;
        QStringList sentAtEnd, storedAtEnd;
        connect(manager, &ProxyManager::authorizationEnded, this,
                [&](ProxyManager::AuthorizationOutcome o, const QStringList &ips) {
                    outcomes << int(o);
                    sentAtEnd = commands();
                    storedAtEnd = env.service.authorizedIps(TestEnvironment::demoUser());
                    if (o == ProxyManager::AuthorizationOutcome::Failed)
                        QVERIFY(ips.isEmpty());
                    else
                        QCOMPARE(ips, storedAtEnd);
                });
        if (round == u"caller") {
            manager->authorize();
        } else if (round == u"button") {
            manager->myIp.clear();
            manager->requestAuthIps(true);
        } else {
            manager->setAutoAuthorize(true);
        }
        QTRY_COMPARE_WITH_TIMEOUT(outcomes.size(), 1, 10000);
        QCOMPARE(sentAtEnd, sent);
        barrier();
        QCOMPARE(outcomes, QList<int>{outcome});
        if (outcome == int(ProxyManager::AuthorizationOutcome::Added))
            QCOMPARE(storedAtEnd, QStringList{u"10.1.1.1"_s} + stored);
    }

private:
    void logIn()
    {
        client = std::make_unique<ClientUnderTest>(env);
        QVERIFY(client->logIn());
        QTRY_COMPARE(client->manager->myIp, u"10.1.1.1"_s);
        env.service.clearRequests();
    }
    // A list request answered: what was sent before it has arrived by then.
    void barrier()
    {
        QSignalSpy lists(client->manager, &ProxyManager::finishedGetProxies);
        client->manager->requestProxies();
        QVERIFY(lists.wait(10000));
    }
    QStringList commands() const
    {
        QStringList words;
        for (const ReceivedRequest &request : env.service.requestsFor(u"/api"_s))
            words << request.queryValue(u"command"_s);
        return words;
    }
    void answerWith(const QString &command, const CannedResponse &response)
    {
        env.service.setHandler([=](const ReceivedRequest &r) {
            return r.queryValue(u"command"_s) == command ? std::optional(response) : std::nullopt;
        });
    }

    TestEnvironment env;
    std::unique_ptr<ClientUnderTest> client;
};

QTEST_MAIN(TestAuthorization)
#include "tst_authorization.moc"
