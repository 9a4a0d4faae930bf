// Reacting to a change of this machine's addresses, in a network namespace of the test's own
// (tests/run-in-netns.sh), which ends with the process: the fake service there starts
// reporting a new public address as an interface comes up, and the write holding it must
// follow long before the tick.
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
    void newNetworkAuthorized()
    {
        if (!qEnvironmentVariableIsSet("PM_IN_NETNS"))
            QSKIP("changes interfaces: runs only through tests/run-in-netns.sh");
        // Only loopback: anything else is not a namespace of this test's own.
        QVERIFY(AddressWatcher::currentAddresses().isEmpty());
        TestEnvironment env;
        QVERIFY(env.start());
        const QString user = TestEnvironment::demoUser();
        env.service.setReportedIp(u"10.1.1.1"_s);
        env.service.setAuthorizedIps(user, {u"10.1.1.1"_s});
        ClientUnderTest client(env);
        QVERIFY(client.logIn());
        QTRY_COMPARE(client.manager->myIp, u"10.1.1.1"_s);
        // Only a change can explain a prompt write.
        client.manager->authPeriodMs = 600000;
        client.child<QAction>("action_Ensure_my_IP_is_always_authorized")->trigger();
        QTRY_COMPARE_WITH_TIMEOUT(env.commands().count(u"getauthips"_s), 1, 10000);
        env.service.setReportedIp(u"10.2.2.2"_s);
        for (const QString &command :
             {u"link add pmw0 type veth peer name pmw1"_s, u"addr add 10.200.7.2/24 dev pmw0"_s,
              u"link set pmw0 up"_s, u"link set pmw1 up"_s})
            QCOMPARE(QProcess::execute(u"ip"_s, command.split(u' ')), 0);
        QTRY_COMPARE_WITH_TIMEOUT(env.service.authorizedIps(user),
                                  (QStringList{u"10.2.2.2"_s, u"10.1.1.1"_s}), 5000);
    }
};

QTEST_MAIN(TestAddressChange)
#include "tst_addresschange.moc"
