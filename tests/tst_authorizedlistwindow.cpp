// The "Authorized addresses" window and the tray's word on the list's writes, against the demo
// service: what the window shows and marks, what its removal writes, and failures said once.
#include "ClientUnderTest.h"

#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QSignalSpy>
#include <QTableWidget>
#include <QTest>
#include <QTimer>

using namespace Qt::StringLiterals;

class TestAuthorizedListWindow : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { QVERIFY(env.start()); }
    void init()
    {
        env.reset();
        env.service.setReportedIp(u"10.1.1.1"_s);
        client = std::make_unique<ClientUnderTest>(env);
        QVERIFY(client->logIn());
        QTRY_COMPARE(client->manager->myIp, u"10.1.1.1"_s);
    }
    void cleanup() { client.reset(); }

    // This computer's address and a network holding it are marked and cannot be chosen; another
    // entry's removal writes the read without it, unless the fresh read fails or the service
    // refuses the write, which the window says.
    void removal_data()
    {
        QTest::addColumn<QString>("chosen");
        QTest::addColumn<QString>("command"); // answered with the body below after the first read
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QStringList>("written"); // each setauthips request's list
        QTest::addColumn<QString>("message");     // part of the window's line; empty: stored
        const QStringList rest{u"10.2.2.2,10.1.1.1,10.0.0.0/8"_s};
        QTest::newRow("this computer's network")
            << u"10.0.0.0/8"_s << QString() << QByteArray() << QStringList() << QString();
        QTest::newRow("removed") << u"10.3.3.3"_s << QString() << QByteArray() << rest << QString();
        QTest::newRow("fresh read fails")
            << u"10.3.3.3"_s << u"getauthips"_s << QByteArray("10.2.2.2\n<html>\n") << QStringList()
            << u"Nothing changed: could not read the authorized IP addresses"_s;
        QTest::newRow("write refused")
            << u"10.3.3.3"_s << u"setauthips"_s << QByteArray("ERROR: list full\n") << rest
            << u"(ERROR: list full)"_s;
    }
    void removal()
    {
        QFETCH(QString, chosen);
        QFETCH(QString, command);
        QFETCH(QByteArray, body);
        QFETCH(QStringList, written);
        QFETCH(QString, message);
        const QStringList before{u"10.2.2.2"_s, u"10.1.1.1"_s, u"10.0.0.0/8"_s, u"10.3.3.3"_s};
        env.service.setAuthorizedIps(TestEnvironment::demoUser(), before);
        client->child<QAction>("actionAuthorizedAddresses")->trigger();
        auto *table = client->child<QTableWidget>("entries");
        QTRY_COMPARE(table->rowCount(), 4);
        QStringList notes;
        for (int row = 0; row < 4; ++row)
            notes << table->item(row, 0)->text() + u' ' + table->item(row, 1)->text();
        QCOMPARE(notes, QStringList({u"10.2.2.2 "_s, u"10.1.1.1 this computer"_s,
                                     u"10.0.0.0/8 this computer"_s, u"10.3.3.3 "_s}));
        if (!command.isEmpty())
            env.answerWith(command, CannedResponse::withStatus(200, body));
        env.service.clearRequests();

        table->selectRow(int(before.indexOf(chosen)));
        auto *remove = client->child<QPushButton>("bRemove");
        const bool removable = remove->isEnabled();
        QCOMPARE(removable, !written.isEmpty() || !message.isEmpty());
        QString asked;
        if (removable) {
            QTimer::singleShot(0, this, [&] {
                auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
                asked = box->text();
                box->button(QMessageBox::Yes)->click();
            });
            remove->click();
        }
        auto *line = client->child<QLabel>("message");
        if (!message.isEmpty())
            QTRY_VERIFY2(line->text().contains(message), qPrintable(line->text()));
        else if (!written.isEmpty())
            QTRY_COMPARE(table->rowCount(), 3);
        QStringList sent;
        for (const ReceivedRequest &r : env.service.requestsFor(u"/api"_s))
            if (r.queryValue(u"command"_s) == u"setauthips")
                sent << r.queryValue(u"ips"_s);
        QCOMPARE(sent, written);
        QCOMPARE(asked.contains(chosen), removable);
        QCOMPARE(env.service.authorizedIps(TestEnvironment::demoUser()),
                 message.isEmpty() ? written.value(0, before.join(u',')).split(u',') : before);
        QVERIFY(!client->log().contains(TestEnvironment::demoPassword()));
    }

    // With the previous address removed on a change, the tray names it; a write the service
    // refuses reaches the tray and the log once over a failing streak, and the window too.
    void trayNotices_data()
    {
        QTest::addColumn<int>("cap"); // of the demo's stored list; 0: none
        QTest::addColumn<QStringList>("shown");
        QTest::newRow("previous removed")
            << 0
            << QStringList{u"Your IP address 10.1.1.1 was added to the authorized list"_s,
                           u"Your IP address 10.3.3.3 was added to the authorized list, 10.1.1.1 "
                           u"was removed"_s};
        QTest::newRow("write refused")
            << 1
            << QStringList{u"Your IP address could not be added to the authorized list: the "
                           u"service did not store the new list (ERROR: the list is full)"_s};
    }
    void trayNotices()
    {
        QFETCH(int, cap);
        QFETCH(QStringList, shown);
        QStringList said;
        client->main.showTrayMessage = [&](const QString &, const QString &text) { said << text; };
        env.service.setAuthorizedIps(TestEnvironment::demoUser(), {u"10.9.9.9"_s});
        env.service.setMaxAuthorizedIps(cap);
        QSignalSpy ended(client->manager, &ProxyManager::authorizationEnded);
        client->child<QAction>("actionRemovePreviousAddress")->trigger();
        client->child<QAction>("action_Ensure_my_IP_is_always_authorized")->trigger();
        QTRY_COMPARE_WITH_TIMEOUT(ended.size(), 1, 10000);
        env.service.setReportedIp(u"10.3.3.3"_s);
        client->manager->requestMyIp();
        QTRY_COMPARE(client->manager->myIp, u"10.3.3.3"_s);
        client->child<QAction>("actionAuthorizedAddresses")->trigger();
        client->manager->requestAuthIps(false);
        QTRY_VERIFY_WITH_TIMEOUT(ended.size() >= 3, 10000);
        QCOMPARE(said, shown);
        QCOMPARE(client->log().count(shown.constLast()), 1);
        QCOMPARE(client->child<QLabel>("message")->text().contains(u"the list is full"_s), cap > 0);
    }

private:
    TestEnvironment env;
    std::unique_ptr<ClientUnderTest> client;
};

QTEST_MAIN(TestAuthorizedListWindow)
#include "tst_authorizedlistwindow.moc"
