// Reacting to a change of this machine's addresses: the periodic rounds' plan around a change,
// and, in a network namespace of the test's own (tests/run-in-netns.sh, which ends with the
// process), a real interface coming up while the fake service starts reporting a new public
// address: the write holding it must follow long before the tick. Then the authorized list as
// the user sees it: the "Authorized addresses" window and the tray's word on a change's write.
#include "AddressWatcher.h"
#include "ClientUnderTest.h"
#include "TestEnvironment.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QTest>
#include <QtWidgets>

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

    // This computer's address and a network holding it are marked and cannot be chosen; another
    // entry's removal writes the read without it, unless the fresh read fails, which it says.
    void windowRemoval_data()
    {
        QTest::addColumn<QString>("chosen");
        QTest::addColumn<QString>("message"); // the window's line at the end
        QTest::newRow("this computer's network") << u"10.0.0.0/8"_s << QString();
        QTest::newRow("removed") << u"10.3.3.3"_s << QString();
        QTest::newRow("fresh read fails")
            << u"10.3.3.3"_s
            << u"Nothing changed: could not read the authorized IP addresses (the answer holds a "
               u"line that is not an address: <html>)"_s;
    }
    void windowRemoval()
    {
        QFETCH(QString, chosen);
        QFETCH(QString, message);
        const QStringList before{u"10.2.2.2"_s, u"10.1.1.1"_s, u"10.0.0.0/8"_s, u"10.3.3.3"_s};
        env.service.setAuthorizedIps(TestEnvironment::demoUser(), before);
        logIn();
        client->child<QAction>("actionAuthorizedAddresses")->trigger();
        auto *table = client->child<QTableWidget>("entries");
        QTRY_COMPARE(table->rowCount(), 4);
        for (int row = 0; row < 4; ++row)
            QCOMPARE(table->item(row, 1)->text(), row % 3 ? u"this computer"_s : QString());
        if (!message.isEmpty())
            env.answerWith(u"getauthips"_s, CannedResponse::withStatus(200, "10.2.2.2\n<html>\n"));
        table->selectRow(int(before.indexOf(chosen)));
        const bool written = chosen != u"10.0.0.0/8"_s && message.isEmpty();
        QString asked;
        QTimer::singleShot(0, this, [&] {
            if (auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget())) {
                asked = box->text();
                box->button(QMessageBox::Yes)->click();
            }
        });
        client->child<QPushButton>("bRemove")->click();
        QTRY_COMPARE(client->child<QLabel>("message")->text(), message);
        // No confirmation for this computer's entries: they cannot be chosen.
        QCOMPARE(asked.contains(chosen), chosen != u"10.0.0.0/8"_s);
        QCOMPARE(env.service.authorizedIps(TestEnvironment::demoUser()),
                 written ? before.mid(0, 3) : before);
        QCOMPARE(env.commands().contains(u"setauthips"_s), written);
    }

    // Over two changes the tray names the previous address the write removed; then a write the
    // service refuses reaches the tray and the log once over a failing streak, and the window.
    void trayNotices()
    {
        env.service.setAuthorizedIps(TestEnvironment::demoUser(), {u"10.9.9.9"_s});
        logIn();
        QStringList shown;
        client->main.showTrayMessage = [&](const QString &, const QString &text) { shown << text; };
        client->child<QAction>("actionRemovePreviousAddress")->trigger();
        client->child<QAction>("action_Ensure_my_IP_is_always_authorized")->trigger();
        QTRY_COMPARE_WITH_TIMEOUT(shown.size(), 1, 10000);
        for (const auto &[ip, notices] : {std::pair{u"10.3.3.3"_s, 2}, {u"10.4.4.4"_s, 3}}) {
            env.service.setReportedIp(ip);
            env.service.setMaxAuthorizedIps(notices == 3 ? 1 : 0);
            client->manager->requestMyIp();
            QTRY_COMPARE(client->manager->myIp, ip);
            client->manager->requestAuthIps(false);
            QTRY_COMPARE_WITH_TIMEOUT(shown.size(), notices, 10000);
        }
        // A second refused round; the window hears of its end after the tray.
        client->child<QAction>("actionAuthorizedAddresses")->trigger();
        client->manager->requestAuthIps(false);
        QTRY_VERIFY(client->child<QLabel>("message")->text().contains(u"list is full"_s));
        const QString added = u" was added to the authorized list"_s;
        const QString refused = u"Your IP address could not be added to the authorized list: the "
                                u"service did not store the new list (ERROR: the list is full)"_s;
        QCOMPARE(shown,
                 (QStringList{u"Your IP address 10.1.1.1"_s + added,
                              u"Your IP address 10.3.3.3"_s + added + u", 10.1.1.1 was removed"_s,
                              refused}));
        QCOMPARE(client->log().count(refused), 1);
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
