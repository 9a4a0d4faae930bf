// The account's authorized list beyond adding the user's address: reading it alone, removing
// entries through the rounds' queue, and replacing this program's previous address.
#include "ProxyManager.h"
#include "TestEnvironment.h"

#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::StringLiterals;
using Outcome = ProxyManager::AuthorizationOutcome;

class TestAuthorizedList : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { QVERIFY(env.start()); }
    void init()
    {
        env.reset();
        env.service.setReportedIp(u"10.1.1.1"_s);
        manager = std::make_unique<ProxyManager>();
        manager->apiUrl = env.service.apiUrl().toString();
        manager->apiTimeoutMs = 3000;
        manager->setCredentials(TestEnvironment::demoUser(), TestEnvironment::demoPassword());
    }

    void edit_data()
    {
        QTest::addColumn<QStringList>("before");
        QTest::addColumn<QStringList>("removed"); // none: a read alone
        QTest::addColumn<QString>("command");     // answered with the body below
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<bool>("periodicBehind"); // a periodic round asked for right after
        QTest::addColumn<QStringList>("after");
        QTest::addColumn<QString>("failure"); // starts the reason; empty: none
        const QStringList three{u"10.2.2.2"_s, u"10.1.1.1"_s, u"10.3.3.3"_s};
        const QStringList missing{u"10.2.2.2"_s, u"2001:db8::9"_s, u"10.3.3.3"_s};
        const auto row = [](const char *name, const QStringList &before, const QStringList &removed,
                            const QStringList &after, const QString &failure = {},
                            const QString &command = {}, const QByteArray &body = {},
                            bool behind = false) {
            QTest::newRow(name) << before << removed << command << body << behind << after
                                << failure;
        };
        row("read never writes, the address missing", missing, {}, missing);
        row("removal writes the read minus the entry", three, {u"10.3.3.3"_s},
            {u"10.2.2.2"_s, u"10.1.1.1"_s});
        row("the address goes first when missing", missing, {u"2001:DB8::9"_s},
            {u"10.1.1.1"_s, u"10.2.2.2"_s, u"10.3.3.3"_s});
        row("periodic round behind a removal", missing, {u"10.3.3.3"_s},
            {u"10.1.1.1"_s, u"10.2.2.2"_s, u"2001:db8::9"_s}, {}, {}, {}, true);
        row("failed fresh read writes nothing", three, {u"10.3.3.3"_s}, three,
            u"could not read the authorized IP addresses (the answer holds a line that is not "
            u"an address: <html>)"_s,
            u"getauthips"_s, "10.2.2.2\n<html>\n");
        row("refused write", three, {u"10.3.3.3"_s}, three,
            u"the service did not store the new list (ERROR: list full)"_s, u"setauthips"_s,
            "ERROR: list full\n");
        row("the user's address is not removed", three, {u"10.1.1.1/32"_s}, three,
            u"10.1.1.1/32 covers this computer's address 10.1.1.1"_s);
        row("nor a network holding it", {u"10.1.0.0/16"_s}, {u"10.1.0.0/16"_s}, {u"10.1.0.0/16"_s},
            u"10.1.0.0/16 covers"_s);
        row("an entry not listed", three, {u"10.4.4.4"_s}, three, u"10.4.4.4 is not on the list"_s);
    }
    void edit()
    {
        QFETCH(QStringList, before);
        QFETCH(QStringList, removed);
        QFETCH(QString, command);
        QFETCH(QByteArray, body);
        QFETCH(bool, periodicBehind);
        QFETCH(QStringList, after);
        QFETCH(QString, failure);
        const QString user = TestEnvironment::demoUser();
        env.service.setAuthorizedIps(user, before);
        if (!command.isEmpty())
            env.answerWith(command, CannedResponse::withStatus(200, body));
        QSignalSpy read(manager.get(), &ProxyManager::authorizedListRead);
        QSignalSpy failed(manager.get(), &ProxyManager::authorizedListFailed);
        QSignalSpy ended(manager.get(), &ProxyManager::authorizationEnded);
        if (removed.isEmpty())
            manager->readAuthorizedList();
        else
            manager->removeAuthorized(removed);
        if (periodicBehind) {
            manager->myIp = u"10.1.1.1"_s;
            manager->requestAuthIps(false);
        }
        QTRY_COMPARE_WITH_TIMEOUT(ended.size(), periodicBehind ? 2 : 1, 10000);
        // The periodic round read the removal's write, which holds the address.
        if (periodicBehind)
            QCOMPARE(ended.at(1).at(0).value<Outcome>(), Outcome::AlreadyPresent);
        QCOMPARE(env.service.authorizedIps(user), after);
        QCOMPARE(failed.size(), failure.isEmpty() ? 0 : 1);
        if (!failure.isEmpty()) {
            QVERIFY2(failed.at(0).at(0).toString().startsWith(failure),
                     qPrintable(failed.at(0).at(0).toString()));
            QCOMPARE(failed.at(0).at(1).toBool(),
                     failure.contains(u"cover"_s) || failure.contains(u"not on the list"_s));
            QCOMPARE(env.commands().count(u"setauthips"_s), int(command == u"setauthips"));
        } else {
            QCOMPARE(read.at(0).at(0).toStringList(), before);
            QVERIFY(read.at(0).at(1).toDateTime().isValid());
        }
    }

    // Over changes of the address, only the address this program added last in that family
    // leaves the list; another program's, and the other family's, stay.
    void replacePrevious_data()
    {
        QTest::addColumn<bool>("on");
        QTest::addColumn<QStringList>("after");
        QTest::addColumn<QStringList>("removed"); // as the rounds said, in order
        QTest::newRow("off") << false
                             << QStringList{u"10.3.3.3"_s, u"10.2.2.2"_s, u"2001:db8::1"_s,
                                            u"10.1.1.1"_s, u"10.9.9.9"_s}
                             << QStringList();
        QTest::newRow("on") << true << QStringList{u"10.3.3.3"_s, u"2001:db8::1"_s, u"10.9.9.9"_s}
                            << QStringList{u"10.1.1.1"_s, u"10.2.2.2"_s};
    }
    void replacePrevious()
    {
        QFETCH(bool, on);
        QFETCH(QStringList, after);
        QFETCH(QStringList, removed);
        QTemporaryDir state;
        manager->setReplacePrevious(on, state.filePath(u"state.ini"_s));
        const QString user = TestEnvironment::demoUser();
        env.service.setAuthorizedIps(user, {u"10.9.9.9"_s});
        QStringList said;
        connect(manager.get(), &ProxyManager::previousAddressRemoved, this,
                [&](const QString &, const QStringList &gone) { said += gone; });
        QSignalSpy ended(manager.get(), &ProxyManager::authorizationEnded);
        for (const QString &ip : {u"10.1.1.1"_s, u"2001:db8::1"_s, u"10.2.2.2"_s, u"10.3.3.3"_s}) {
            env.service.setReportedIp(ip);
            manager->authorize();
            QTRY_COMPARE_WITH_TIMEOUT(ended.size(), 1, 10000);
            QCOMPARE(ended.takeFirst().at(0).value<Outcome>(), Outcome::Added);
        }
        QCOMPARE(env.service.authorizedIps(user), after);
        QCOMPARE(said, removed);
    }

private:
    TestEnvironment env;
    std::unique_ptr<ProxyManager> manager;
};

QTEST_MAIN(TestAuthorizedList)
#include "tst_authorizedlist.moc"
