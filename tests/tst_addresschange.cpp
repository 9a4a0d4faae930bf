// Reacting to a change of this machine's addresses, in a network namespace of the test's own
// (tests/run-in-netns.sh): the fake service there starts reporting a new public address when
// an interface changes, and the write holding it must follow long before the tick.
#include "AddressWatcher.h"
#include "ClientUnderTest.h"
#include "TestEnvironment.h"

#include <QProcess>
#include <QTest>

using namespace Qt::StringLiterals;

class TestAddressChange : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        if (!qEnvironmentVariableIsSet("PM_IN_NETNS"))
            QSKIP("changes interfaces: runs only through tests/run-in-netns.sh");
        // Only loopback: anything else is not a namespace of this test's own.
        QVERIFY2(AddressWatcher::currentAddresses().isEmpty(),
                 qPrintable(AddressWatcher::currentAddresses().join(u' ')));
        QVERIFY(env.start());
    }
    void init()
    {
        env.reset();
        env.service.setReportedIp(u"10.1.1.1"_s);
        env.service.setAuthorizedIps(TestEnvironment::demoUser(), {u"10.1.1.1"_s});
    }
    void cleanup()
    {
        client.reset();
        QProcess::execute(u"ip"_s, {u"link"_s, u"del"_s, u"pmw0"_s});
    }

    void reaction_data()
    {
        QTest::addColumn<QStringList>("before"); // ip commands run before logging in
        QTest::addColumn<QStringList>("change");
        const QStringList up{u"link add pmw0 type veth peer name pmw1"_s,
                             u"addr add 10.200.7.2/24 dev pmw0"_s, u"link set pmw0 up"_s,
                             u"link set pmw1 up"_s};
        QTest::newRow("a network comes up") << QStringList() << up;
        QTest::newRow("a VPN goes down") << up << QStringList{u"addr del 10.200.7.2/24 dev pmw0"_s};
    }
    void reaction()
    {
        QFETCH(QStringList, before);
        QFETCH(QStringList, change);
        run(before);
        client = std::make_unique<ClientUnderTest>(env);
        QStringList shown;
        client->main.showTrayMessage = [&](const QString &, const QString &text) { shown << text; };
        QVERIFY(client->logIn());
        QTRY_COMPARE(client->manager->myIp, u"10.1.1.1"_s);
        // Only a change can explain a prompt write.
        client->manager->authPeriodMs = 600000;
        client->child<QAction>("action_Ensure_my_IP_is_always_authorized")->trigger();
        QTRY_COMPARE_WITH_TIMEOUT(env.commands().count(u"getauthips"_s), 1, 10000);
        env.service.setReportedIp(u"10.2.2.2"_s);
        QTest::qWait(1500);
        QCOMPARE(env.commands().count(u"setauthips"_s), 0);

        run(change);
        const QString user = TestEnvironment::demoUser();
        QTRY_COMPARE_WITH_TIMEOUT(env.service.authorizedIps(user),
                                  (QStringList{u"10.2.2.2"_s, u"10.1.1.1"_s}), 5000);
        const QString news =
            u"Your IP address changed from 10.1.1.1 to 10.2.2.2 and was added to the authorized list"_s;
        QTRY_COMPARE(shown, QStringList{news});
        QCOMPARE(client->log().count(news), 1);
    }

private:
    static void run(const QStringList &commands)
    {
        for (const QString &command : commands)
            QCOMPARE(QProcess::execute(u"ip"_s, command.split(u' ')), 0);
    }

    TestEnvironment env;
    std::unique_ptr<ClientUnderTest> client;
};

QTEST_MAIN(TestAddressChange)
#include "tst_addresschange.moc"
