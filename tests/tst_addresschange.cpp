// Reacting to a change of this machine's addresses: the periodic rounds' plan around a change,
// and, in a network namespace of the test's own (tests/run-in-netns.sh, which ends with the
// process), a real interface coming up while the fake service starts reporting a new public
// address: the write holding it must follow long before the tick.
#include "AddressWatcher.h"
#include "ClientUnderTest.h"
#include "TestEnvironment.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QTest>

using namespace Qt::StringLiterals;

class TestAddressChange : public QObject
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

    // While periodic rounds are on: a good round plans the tick, a failed one the next back-off
    // step, never past the tick; a change of this machine's addresses runs a round at once,
    // resets the back-off and plans follow-ups.
    void schedule_data()
    {
        QTest::addColumn<bool>("failing");    // getauthips answers 503
        QTest::addColumn<int>("changeAfter"); // rounds ended before a change; -1: none
        QTest::addColumn<QList<int>>("gaps"); // ms between round starts (each with a getmyip),
                                              // from the change or the switch-on round's end
        QTest::newRow("failed rounds back off, never past the tick")
            << true << -1 << QList<int>{100, 250, 500, 1000};
        QTest::newRow("change: at once, follow-ups, then the tick")
            << false << 0 << QList<int>{0, 700, 200, 1000};
        QTest::newRow("change resets the back-off") << true << 3 << QList<int>{0, 100};
    }
    void schedule()
    {
        QFETCH(bool, failing);
        QFETCH(int, changeAfter);
        QFETCH(QList<int>, gaps);
        logIn();
        ProxyManager *manager = client->manager;
        manager->authPeriodMs = 1000;
        manager->authRetryMs = {100, 250, 500, 2000};
        manager->authFollowUpMs = {900, 700};
        if (failing)
            env.answerWith(u"getauthips"_s, CannedResponse::withStatus(503));
        QElapsedTimer clock;
        QList<qint64> starts;
        int ended = 0;
        connect(&env.service, &DemoService::requestReceived, manager,
                [&](const ReceivedRequest &r) {
                    if (clock.isValid() && r.queryValue(u"command"_s) == u"getmyip")
                        starts << clock.elapsed();
                });
        connect(manager, &ProxyManager::authorizationEnded, manager, [&] {
            if (++ended == 1)
                clock.start(), starts = {0};
        });
        manager->setAutoAuthorize(true);
        if (changeAfter >= 0) {
            QTRY_COMPARE_WITH_TIMEOUT(ended, 1 + changeAfter, 10000);
            starts = {clock.elapsed()};
            emit manager->findChild<AddressWatcher *>()->changed();
        }
        QTRY_VERIFY_WITH_TIMEOUT(starts.size() > gaps.size(), 10000);
        for (qsizetype i = 0; i < gaps.size(); ++i) {
            // Timers may fire a little early; a busy machine runs them late.
            const qint64 gap = starts.at(i + 1) - starts.at(i);
            QVERIFY2(gap >= gaps.at(i) * 9 / 10 - 30 && gap <= gaps.at(i) + 400,
                     qPrintable(u"round %1 came after %2 ms"_s.arg(i).arg(gap)));
        }
    }

    void newNetworkAuthorized()
    {
        if (!qEnvironmentVariableIsSet("PM_IN_NETNS"))
            QSKIP("adds an interface: only in a network namespace of its own (run-in-netns.sh)");
        // Only loopback: anything else is not a namespace of this test's own.
        QVERIFY(AddressWatcher::currentAddresses().isEmpty());
        const QString user = TestEnvironment::demoUser();
        env.service.setAuthorizedIps(user, {u"10.1.1.1"_s});
        logIn();
        // Only a change can explain a prompt write.
        client->manager->authPeriodMs = 600000;
        client->child<QAction>("action_Ensure_my_IP_is_always_authorized")->trigger();
        QTRY_COMPARE_WITH_TIMEOUT(env.commands().count(u"getauthips"_s), 1, 10000);
        env.service.setReportedIp(u"10.2.2.2"_s);
        for (const QString &command :
             {u"link add pmw0 type veth peer name pmw1"_s, u"addr add 10.200.7.2/24 dev pmw0"_s,
              u"link set pmw0 up"_s, u"link set pmw1 up"_s})
            QCOMPARE(QProcess::execute(u"ip"_s, command.split(u' ')), 0);
        QTRY_COMPARE_WITH_TIMEOUT(env.service.authorizedIps(user),
                                  (QStringList{u"10.2.2.2"_s, u"10.1.1.1"_s}), 5000);
    }

private:
    void logIn()
    {
        client = std::make_unique<ClientUnderTest>(env);
        QVERIFY(client->logIn());
        QTRY_COMPARE(client->manager->myIp, u"10.1.1.1"_s);
        env.service.clearRequests();
    }

    TestEnvironment env;
    std::unique_ptr<ClientUnderTest> client;
};

QTEST_MAIN(TestAddressChange)
#include "tst_addresschange.moc"
