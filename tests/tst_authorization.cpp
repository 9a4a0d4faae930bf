// Keeping the user's address on the account's authorized list: the exchange with the
// fake service, the button, and the periodic rounds from either menu.
#include "AddressWatcher.h"
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

    void buttonRound_data()
    {
        QTest::addColumn<QString>("command"); // answered with the row's response
        QTest::addColumn<CannedResponse>("response");
        QTest::addColumn<QString>("own");       // the user's address
        QTest::addColumn<QStringList>("after"); // the account's list; empty: left as it was
        QTest::addColumn<QString>("logged");    // what the round adds to the log
        QTest::addColumn<int>("reads");         // getauthips requests of the button's round
        QTest::addColumn<bool>("once");         // only the button's first read gets the response
        const auto row = [](const char *name, const CannedResponse &response,
                            const QStringList &after, const QString &logged, int reads = 1,
                            const QString &own = u"10.1.1.1"_s,
                            const QString &command = u"getauthips"_s, bool once = false) {
            QTest::newRow(name) << command << response << own << after << logged << reads << once;
        };
        const auto ok = [](const QByteArray &b) { return CannedResponse::withStatus(200, b); };
        const auto shown = [](const QStringList &ips) -> QString {
            return u"Authorized IP addresses:\n"_s % ips.join(u'\n') % u"\n"_s;
        };
        const auto unread = [](const QString &why) -> QString {
            return u"Authorizing my IP failed: could not read the authorized IP addresses ("_s %
                   why % u")\n"_s;
        };
        // A network holding the address does not count: the service may not match by network.
        const QStringList added{u"10.1.1.1"_s,      u"10.9.9.9"_s,    u"2001:DB8::7"_s,
                                u"2001:db8::/32"_s, u"10.1.1.1/24"_s, u"10.1.1.10"_s};
        row("missing address goes first, the rest as read; CR alone ends a line, blank lines "
            "dropped",
            ok("10.9.9.9\r\n2001:DB8::7\r\r\n \n2001:db8::/32\n10.1.1.1/24\r10.1.1.10\r"), added,
            shown(added), 2);
        // Present: nothing sent. Compared by value, a one-address prefix included.
        row("present address sends nothing", ok("10.2.2.2\n2001:DB8:0::7/128\n"), {},
            shown({u"10.2.2.2"_s, u"2001:DB8:0::7/128"_s}), 1, u"2001:db8::7"_s);
        row("account without addresses", ok({}), {u"10.1.1.1"_s}, shown({u"10.1.1.1"_s}), 2);
        // A failed read sends nothing: the account's list is replaced by what is sent, and a
        // list built from a failed read would drop every other address.
        CannedResponse silent;
        silent.stall = true;
        row("time-out", silent, {}, unread(u"no response from server (timed out)"_s));
        row("own address unknown", ok({}), {}, {}, 1, QString());
        // Answers that once were written back as the account's list.
        row("ERROR among addresses", ok("10.9.9.9\nERROR: database timeout\n10.8.8.8\n"), {},
            unread(u"ERROR: database timeout"_s));
        row("NUL starts a middle line",
            ok("10.9.9.9\n\0"
               "10.7.7.7\n10.8.8.8\n"_ba),
            {}, unread(u"the answer holds a NUL byte"_s));
        row("not an address as the service means it", ok("10.9.9.9\n127.1\n"), {},
            unread(u"the answer holds a line that is not an address: 127.1"_s));
        // The password, its base64 and that of "user:password"; the cut falls in the second.
        row("line echoing the password",
            ok("<" + QByteArray(40, 'x') + " demo-pass ZGVtby1wYXNz ZGVtbzpkZW1vLXBhc3M=>\n"), {},
            unread(u"the answer holds a line that is not an address: <"_s % QString(40, u'x') %
                   u" *** *** ***>"_s));
        CannedResponse unframed = ok("10.9.9.9\n10.8.8.8");
        unframed.unframed = true;
        unframed.resetAfterBody = true;
        row("HTTP/1.0 without length, cut by a reset", unframed, {},
            unread(u"the answer may have been cut off (its last line has no line end)"_s));
        CannedResponse shortened = ok("10.9.9.9\n10.8.8.8\n");
        shortened.closeAfterBodyBytes = 9;
        shortened.resetAfterBody = true;
        row("short of its length, cut by a reset", shortened, {}, unread(u"Connection closed"_s));
        const QStringList joined{u"10.1.1.1"_s, u"10.2.2.2"_s, u"10.3.3.3"_s};
        row("update not stored", ok("ERROR: list too long\n"), {},
            shown(joined) % u"Authorizing my IP failed: the service did not store the new list "
                            u"(ERROR: list too long)\n"_s,
            2, u"10.1.1.1"_s, u"setauthips"_s);
        // No canned answer: the button's round reads the list the periodic round wrote.
        row("fixture's own answers", ok({}), joined, shown(joined), 1, u"10.1.1.1"_s, QString());
        // Answers that read like a short list: a write needs a second read that agrees. For
        // the button's first read alone: the periodic round before has added the address.
        row("HTTP 204", CannedResponse::withStatus(204), {}, unread(u"HTTP 204 No Content"_s));
        const auto once = [&](const char *name, const CannedResponse &response) {
            row(name, response, joined, unread(u"the list changed between two reads"_s), 2,
                u"10.1.1.1"_s, u"getauthips"_s, true);
        };
        once("empty for a moment", ok({}));
        CannedResponse firstLine = ok("10.2.2.2\r\n10.3.3.3\r\n");
        firstLine.unframed = true;
        firstLine.closeAfterBodyBytes = 10;
        once("HTTP/1.0 without length, cut after the first line", firstLine);
    }
    // The button's round reads the list with the user's credentials, adds the user's address
    // when missing and shows the list; a silent periodic round goes first, and the button's
    // sends nothing until it has ended.
    void buttonRound()
    {
        QFETCH(QString, command);
        QFETCH(CannedResponse, response);
        QFETCH(QString, own);
        QFETCH(QStringList, after);
        QFETCH(QString, logged);
        QFETCH(int, reads);
        QFETCH(bool, once);
        logIn();
        const QStringList stored{u"10.2.2.2"_s, u"10.3.3.3"_s};
        env.service.setAuthorizedIps(TestEnvironment::demoUser(), stored);
        ProxyManager *manager = client->manager;
        manager->apiTimeoutMs = 300;
        manager->myIp = own;
        answerWith(command, response, once);
        // Each round ends once what it sent has been answered.
        int ended = 0;
        qsizetype buttonReadsAtFirstEnd = 0;
        QStringList storedAtEnd;
        connect(manager, &ProxyManager::authorizationEnded, this, [&] {
            if (++ended == 1)
                buttonReadsAtFirstEnd = buttonReads();
            storedAtEnd = env.service.authorizedIps(TestEnvironment::demoUser());
        });
        const qsizetype before = client->log().size();
        manager->requestAuthIps(false);
        client->click("bAuthIp");
        QTRY_COMPARE_WITH_TIMEOUT(ended, 2, 10000);
        QCOMPARE(buttonReadsAtFirstEnd, 0);
        QCOMPARE(client->log().mid(before), logged);
        QCOMPARE(buttonReads(), reads);
        QCOMPARE(storedAtEnd, after.isEmpty() ? stored : after);
        // A list request answered: what was sent before it has arrived by then.
        QSignalSpy lists(manager, &ProxyManager::finishedGetProxies);
        manager->requestProxies();
        QVERIFY(lists.wait(10000));
        QCOMPARE(env.service.authorizedIps(TestEnvironment::demoUser()), storedAtEnd);
    }
    // One action in the window's menu and the tray menu starts a round at once, then one each
    // period that asks for the address too, until it is switched off. The rounds are silent,
    // but for one line when they start failing, on a refused read or update, and one when they
    // work again.
    void periodicRounds()
    {
        logIn();
        const QString user = TestEnvironment::demoUser();
        env.service.setAuthorizedIps(user, {u"10.2.2.2"_s});
        client->manager->authPeriodMs = 300;
        env.answerWith(u"getauthips"_s, CannedResponse::withStatus(200, "<html>\n"));
        auto *tray = client->main.findChild<QSystemTrayIcon *>();
        QVERIFY(tray && tray->isVisible());
        QAction *periodic = tray->contextMenu()->actions().at(0);
        QCOMPARE(client->child<QMenu>("menuProgram")->actions().at(0), periodic);
        QSignalSpy reported(client->manager, &ProxyManager::finishedAuthorizeIp);
        periodic->trigger();
        const auto rounds = [this] { return env.commands().count(u"getauthips"_s); };
        QTRY_VERIFY_WITH_TIMEOUT(rounds() >= 3, 10000);
        QStringList tick = env.commands().mid(1, 2);
        tick.sort();
        QCOMPARE(env.commands().at(0), u"getauthips"_s);
        QCOMPARE(tick, (QStringList{u"getauthips"_s, u"getmyip"_s}));
        const QString failed = u"Keeping my IP authorized failed: "_s;
        const QString unread = failed % u"could not read the authorized IP addresses (the answer "
                                        u"holds a line that is not an address: <html>)\n"_s;
        QCOMPARE(client->log().count(failed), 1);
        QCOMPARE(env.service.authorizedIps(user), QStringList{u"10.2.2.2"_s});

        env.service.setHandler({});
        qsizetype before = rounds();
        QTRY_VERIFY_WITH_TIMEOUT(rounds() >= before + 3, 10000);
        QCOMPARE(env.service.authorizedIps(user), (QStringList{u"10.1.1.1"_s, u"10.2.2.2"_s}));
        env.service.setAuthorizedIps(user, {u"10.2.2.2"_s});
        env.answerWith(u"setauthips"_s, CannedResponse::withStatus(200, "ERROR: list too long\n"));
        before = rounds();
        QTRY_VERIFY_WITH_TIMEOUT(rounds() >= before + 3, 10000);
        periodic->trigger();
        const qsizetype sent = env.commands().size();
        QTest::qWait(3 * client->manager->authPeriodMs);
        QVERIFY(env.commands().size() <= sent + 2); // at most the round already in flight
        const QString log = client->log();
        const QString works = u"Keeping my IP authorized works again\n"_s;
        const QString unstored =
            failed % u"the service did not store the new list (ERROR: list too long)\n"_s;
        QVERIFY2(log.indexOf(unread) >= 0 && log.indexOf(unread) < log.indexOf(works) &&
                     log.indexOf(works) < log.indexOf(unstored),
                 qPrintable(log));
        QCOMPARE(log.count(u"Keeping my IP"_s), 3);
        QVERIFY(!log.contains(u"Authoriz"_s));
        QCOMPARE(reported.size(), 0);
        QCOMPARE(env.service.authorizedIps(user), QStringList{u"10.2.2.2"_s});
    }

    // With the periodic rounds on, only they announce an added address at the tray (and in the
    // log); a change's round judges the list by its own getmyip answer and names both addresses.
    void addedAddressAnnounced_data()
    {
        QTest::addColumn<int>("round"); // that adds it: 0 a periodic tick's, 1 the button's, 2 a
                                        // change's, whose own answer comes after another's
        QTest::addColumn<QString>("said");
        QTest::newRow("periodic round")
            << 0 << u"Your IP address 10.1.1.1 was added to the authorized list"_s;
        QTest::newRow("button's round") << 1 << QString();
        QTest::newRow("change's round") << 2
                                        << u"Your IP address changed from 10.1.1.1 to 10.3.3.3 "
                                           u"and was added to the authorized list"_s;
    }
    void addedAddressAnnounced()
    {
        QFETCH(int, round);
        QFETCH(QString, said);
        logIn();
        QStringList shown;
        client->main.showTrayMessage = [&](const QString &, const QString &text) { shown << text; };
        QSignalSpy ended(client->manager, &ProxyManager::authorizationEnded);
        env.service.setAuthorizedIps(TestEnvironment::demoUser(), {u"10.1.1.1"_s});
        client->child<QAction>("action_Ensure_my_IP_is_always_authorized")->trigger();
        QTRY_COMPARE_WITH_TIMEOUT(ended.size(), 1, 10000);
        env.service.setAuthorizedIps(TestEnvironment::demoUser(), {u"10.2.2.2"_s});
        auto asked = std::make_shared<int>(0);
        env.service.setHandler([=](const ReceivedRequest &r) -> std::optional<CannedResponse> {
            if (r.queryValue(u"command"_s) != u"getmyip" || round != 2)
                return std::nullopt;
            CannedResponse answer =
                CannedResponse::withStatus(200, *asked ? "10.1.1.1" : "10.3.3.3");
            answer.delayMs = (*asked)++ ? 0 : 300;
            return answer;
        });
        if (round == 2) {
            emit client->manager->findChild<AddressWatcher *>()->changed();
            QTRY_COMPARE(*asked, 1);
            client->manager->requestMyIp();
        }
        if (round == 1)
            client->click("bAuthIp");
        else if (round == 0)
            client->manager->requestAuthIps(false);
        QTRY_COMPARE_WITH_TIMEOUT(ended.size(), 2, 10000);
        QCOMPARE(shown, said.isEmpty() ? QStringList() : QStringList{said});
        QCOMPARE(client->log().count(u"added to the authorized list"_s), shown.size());
    }

private:
    void logIn()
    {
        client = std::make_unique<ClientUnderTest>(env);
        QVERIFY(client->logIn());
        QTRY_COMPARE(client->manager->myIp, u"10.1.1.1"_s);
        env.service.clearRequests();
    }
    // With the user's credentials.
    qsizetype buttonReads() const
    {
        qsizetype reads = 0;
        for (const ReceivedRequest &r : env.service.requestsFor(u"/api"_s))
            reads += r.target == "/api?user=demo&pass=demo-pass&command=getauthips&call_emit=1";
        return reads;
    }
    // once: only the first request of the button's round gets the response.
    void answerWith(const QString &command, const CannedResponse &response, bool once = false)
    {
        auto used = std::make_shared<bool>(false);
        env.service.setHandler([=](const ReceivedRequest &r) -> std::optional<CannedResponse> {
            if (r.queryValue(u"command"_s) != command ||
                (once && (*used || r.queryValue(u"call_emit"_s) != u"1")))
                return std::nullopt;
            *used = true;
            return response;
        });
    }

    TestEnvironment env;
    std::unique_ptr<ClientUnderTest> client;
};

QTEST_MAIN(TestAuthorization)
#include "tst_authorization.moc"
