// Test runs driven from the main window's buttons, through real proxies, end to end.
#include "ClientUnderTest.h"
#include "ProxyTableModel.h"
#include "TestEnvironment.h"
#include "TestTargetDialog.h"

#include <QAction>
#include <QClipboard>
#include <QGuiApplication>
#include <QHeaderView>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QSpinBox>
#include <QStatusBar>
#include <QSystemTrayIcon>
#include <QTableView>
#include <QTest>

using namespace Qt::StringLiterals;

namespace {

const QString white = u"#ffffff"_s, green = u"#00c800"_s, yellow = u"#dcdc00"_s, red = u"#c80000"_s,
              grey = u"#a0a0a0"_s;

} // namespace

class TestTestControls : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { QVERIFY(env.start()); }
    void init() { env.reset(); }
    void cleanup() { client.reset(); }

    void runShowsEveryOutcome_data()
    {
        QTest::addColumn<int>("parallel");
        QTest::addColumn<QString>("progress"); // seen while the silent proxy is under test
        QTest::newRow("one at a time") << 1 << u"Testing: 2 of 5: Up 1, Access Denied 1 · about"_s;
        QTest::newRow("four at once")
            << 4
            << u"Testing: 4 of 5: Up 1, Access Denied 1, Error 1, Invalid entry 1 · "
               u"waiting for the last 1, up to"_s;
    }
    void runShowsEveryOutcome()
    {
        PM_SKIP_WITHOUT_TINYPROXY();
        QFETCH(int, parallel);
        QFETCH(QString, progress);
        // One long line of an error page stays whole in log.txt and on the clipboard; the view
        // shows its head, as laying out the whole line froze the window for minutes.
        const QByteArray body(1000 * 1000, 'x');
        env.wrongPage.setHandler([body](const ReceivedRequest &) {
            return std::optional(CannedResponse::withStatus(200, body));
        });
        logInWith({env.allowingEntry(), env.refusingEntry(), env.silentEntry(),
                   env.wrongPageEntry(), u"127.0.0.1:-1"_s});
        client->manager->timeoutMs = 2000;
        client->child<QSpinBox>("sbParallelTests")->setValue(parallel);
        QSignalSpy ended(client->manager, &ProxyManager::finishedTest);
        QSignalSpy shown(client->main.statusBar(), &QStatusBar::messageChanged);
        client->click("bTestProxies");
        QVERIFY(!button("bTestProxies")->isVisible() && button("bStopTesting")->isVisible());
        QCOMPARE(client->main.focusWidget(), button("bStopTesting"));
        QVERIFY(ended.wait(20000));
        QVERIFY(ready());
        QCOMPARE(client->main.focusWidget(), button("bTestProxies"));

        const QString port = QString::number(env.allowingProxy.port());
        QCOMPARE(rowState(0), u"Up on "_s % port % u" on "_s % green);
        QCOMPARE(rowState(1), u"Access Denied on "_s % yellow);
        QCOMPARE(rowState(2), u"Timeout on "_s % red);
        QCOMPARE(rowState(3), u"Error on "_s % red);
        QCOMPARE(rowState(4), u"Invalid entry on "_s % grey);

        const QString view = client->log();
        QVERIFY(view.size() < 2 * MainWindow::maxViewMessageChars);
        QVERIFY(view.contains(u" more characters in log.txt and in \"Copy debug log\"]\n"_s));
        client->click("bCopyLog");
        const QString whole = QGuiApplication::clipboard()->text();
        QFile file(u"log.txt"_s);
        QVERIFY(file.open(QIODevice::ReadOnly | QIODevice::Text));
        QCOMPARE(QString::fromUtf8(file.readAll()), whole);
        // Each result completes its proxy's line, whether tests overlap or not; the page follows
        // its line whole.
        QCOMPARE(whole.count(u'\n'), 8);
        QCOMPARE(whole.count(u"Testing proxy "_s), 4);
        const auto testing = [](const QString &entry) -> QString {
            return u"\nTesting proxy "_s % entry.section(u':', 0, 0) % u" on port "_s %
                   entry.section(u':', 1) % u"... "_s;
        };
        QVERIFY(whole.contains(
            QRegularExpression(QRegularExpression::escape(testing(env.allowingEntry())) %
                               u"success! \\(\\d+ms\\)\n"_s)));
        QVERIFY(
            whole.contains(testing(env.refusingEntry()) %
                           u"IP not authorized: 127.0.0.1 (please authorize and wait 1 min)\n"_s));
        QVERIFY(whole.contains(testing(env.silentEntry()) % u"timeout\n"_s));
        QVERIFY(whole.contains(testing(env.wrongPageEntry()) %
                               u"error, please send full response to support:\n"_s %
                               QString::fromLatin1(body) % u'\n'));
        QVERIFY(whole.contains(
            u"\nInvalid entry 127.0.0.1:-1: the port is not a number from 1 to 65535\n"_s));

        QStringList messages;
        for (const QList<QVariant> &args : std::as_const(shown))
            messages << args.at(0).toString();
        QCOMPARE(messages.value(0), u"Testing: 0 of 5 · estimating the time left"_s);
        QVERIFY2(messages.filter(progress).size() >= 1, qPrintable(messages.join(u'|')));
        const QString summary = client->main.statusBar()->currentMessage();
        QVERIFY2(summary.startsWith(u"Tested 5 of 5: Up 1, Access Denied 1, Timeout 1, Error 1, "
                                    u"Invalid entry 1 in "_s),
                 qPrintable(summary));
        QCOMPARE(client->main.findChild<QSystemTrayIcon *>()->toolTip(), summary);

        // With the ping page down even a working proxy fails: the fault is on this side.
        client->manager->pingUrl = u"http://"_s % env.closedEntry() % u"/ping"_s;
        client->manager->proxies = {env.allowingEntry()};
        client->click("bTestProxies");
        QTRY_VERIFY_WITH_TIMEOUT(ready(), 20000);
        QCOMPARE(rowState(0), u"Connection Error on "_s % yellow);
        QVERIFY(client->log().endsWith(u"connection error: test failed even without a proxy\n"_s));
    }
    // A stopped run ends once its test out has reported. A refill drops the results of a run
    // over the old list and gives the buttons back at once.
    void interruptedRuns()
    {
        PM_SKIP_WITHOUT_TINYPROXY();
        logInWith({env.allowingEntry(), env.silentEntry(), env.closedEntry()});
        QSignalSpy started(client->manager, &ProxyManager::startTestingProxy);
        QSignalSpy results(client->manager, &ProxyManager::finishedTestingProxy);
        client->click("bTestProxies");
        QTRY_COMPARE(started.size(), 2);
        client->click("bStopTesting");
        QVERIFY(button("bTestProxies")->isVisible() && !button("bStopTesting")->isVisible());
        QVERIFY(!button("bTestProxies")->isEnabled());
        QTRY_VERIFY_WITH_TIMEOUT(ready(), 20000);
        QCOMPARE(rowState(1), u"Timeout on "_s % red);
        QCOMPARE(rowState(2), u" on "_s % white); // in the run, never reached
        QVERIFY(!client->log().contains(env.closedEntry().section(u':', 1) % u"... "_s));
        // Only the rows showing a result are cleared (status and backgrounds): touching every
        // row of a long list would cost seconds and hundreds of MB.
        QSignalSpy changes(table()->model(), &QAbstractItemModel::dataChanged);
        client->click("bTestProxies");
        QCOMPARE(rowState(1), u" on "_s % white);
        QVERIFY(!changes.isEmpty());
        for (const QList<QVariant> &change : std::as_const(changes))
            QVERIFY(change.at(1).toModelIndex().row() < 2);
        QTRY_COMPARE(started.size(), 4);

        // The refill removes row 1 before the stopped run's result for it arrives.
        env.service.setProxies(TestEnvironment::demoUser(), {env.wrongPageEntry()});
        QSignalSpy refilled(client->manager, &ProxyManager::finishedGetProxies);
        QSignalSpy ended(client->manager, &ProxyManager::finishedTest);
        client->click("bGetProxies");
        QVERIFY(ready());
        QVERIFY(refilled.wait(10000));
        QCOMPARE(table()->model()->rowCount(), 1);
        QCOMPARE(rowState(0), u" on none"_s); // a fresh row
        // The old run's time-out is neither shown nor logged: its list is gone.
        QVERIFY(ended.wait(10000));
        QVERIFY(ready());
        QCOMPARE(results.size(), 3);
        QCOMPARE(rowState(0), u" on none"_s);
        QVERIFY2(client->log().endsWith(u"... not finished, the list was refreshed\n"_s),
                 qPrintable(client->log().right(80)));
        client->click("bTestProxies");
        QTRY_VERIFY_WITH_TIMEOUT(ready(), 10000);
        QCOMPARE(rowState(0), u"Error on "_s % red);
        // A list with nothing to test ends at once.
        client->manager->proxies.clear();
        client->click("bTestProxies");
        QVERIFY(ready());
    }
    // Testing again before the refreshed list arrives ends the dropped test's open line.
    void testAgainBeforeRefill()
    {
        logInWith({env.silentEntry()});
        CannedResponse slowList = CannedResponse::withStatus(200, env.silentEntry().toLatin1());
        slowList.delayMs = 500;
        env.answerWith(u"list"_s, slowList);
        client->click("bTestProxies");
        client->click("bGetProxies");
        client->click("bTestProxies");
        const QString testing = u"Testing proxy "_s %
                                QString(env.silentEntry()).replace(u':', u" on port "_s) %
                                u"... "_s;
        QCOMPARE(client->log().section(u'\n', -2),
                 testing % u"not finished, a new run was started\n"_s % testing);
        QTRY_VERIFY_WITH_TIMEOUT(ready(), 20000);
    }
    // Selected rows, or a double-clicked one, are tested alone; other rows keep their results.
    // A working row tested again stays in the filtered table until its new result. The table
    // scrolls to each result's row.
    void runOverSelectedRows_data()
    {
        QTest::addColumn<QList<int>>("rows");
        QTest::addColumn<bool>("doubleClick");
        QTest::addColumn<bool>("onlyWorking");
        QTest::addColumn<QList<int>>("entries"); // row 0 holds entry 10 once sorted
        QTest::newRow("selection") << QList<int>{1, 3, 4} << false << false << QList<int>{0, 2, 3};
        QTest::newRow("double-click") << QList<int>{2} << true << false << QList<int>{1};
        QTest::newRow("only working") << QList<int>{0} << true << true << QList<int>{10};
    }
    void runOverSelectedRows()
    {
        QFETCH(QList<int>, rows);
        QFETCH(bool, doubleClick);
        QFETCH(bool, onlyWorking);
        QFETCH(QList<int>, entries);
        logInWith(QStringList(30, env.closedEntry()));
        // Sorted by status, entry 10 (the only result) comes first: rows are no longer entries.
        client->main.finishedTestingProxy({u"x"_s, u"1"_s, u"0"_s, u"9"_s, u"10"_s});
        QTRY_COMPARE(table()->rowAt(0), 10);
        table()->scrollToTop();
        emit table()->horizontalHeader()->sectionClicked(2);
        auto *filter = client->child<QAction>("actionShowOnlyWorking");
        if (onlyWorking)
            filter->trigger();
        QCOMPARE(client->main.entriesOfRows(rows), entries);
        auto *testSelected = client->child<QAction>("actionTestSelected");
        testSelected->trigger(); // nothing selected yet: no run
        QVERIFY(ready());
        if (doubleClick) {
            const QRect cell = table()->visualRect(table()->model()->index(rows.first(), 0));
            QTest::mouseClick(table()->viewport(), Qt::LeftButton, {}, cell.center());
            QTest::mouseDClick(table()->viewport(), Qt::LeftButton, {}, cell.center());
        } else {
            for (const int row : rows)
                table()->selectionModel()->select(table()->model()->index(row, 0),
                                                  QItemSelectionModel::Select |
                                                      QItemSelectionModel::Rows);
            testSelected->trigger();
        }
        QVERIFY(!testSelected->isEnabled() && button("bStopTesting")->isVisible());
        QCOMPARE(rowState(rows.first()), u" on "_s % white);
        // Filtered again at once, while the test is out.
        filter->trigger();
        filter->trigger();
        QCOMPARE(client->main.entriesOfRows({0}), QList<int>{10});
        QTRY_VERIFY_WITH_TIMEOUT(ready(), 20000);
        QVERIFY(testSelected->isEnabled());
        // Counts of this run only: the result fed in before it is not one of them.
        const QString count = QString::number(rows.size());
        QVERIFY(client->main.statusBar()->currentMessage().startsWith(
            u"Tested "_s % count % u" of "_s % count % u": Error "_s % count % u" in "_s));
        QTRY_COMPARE(table()->model()->rowCount(), onlyWorking ? 0 : 30);
        for (int row = 0; row < table()->model()->rowCount(); ++row) {
            const QString status = table()->model()->index(row, 2).data().toString();
            const int entry = client->main.entriesOfRows({row}).constFirst();
            const QString expected =
                entries.contains(entry) ? u"Error"_s : (entry == 10 ? u"Up on 1"_s : QString());
            QCOMPARE(status, expected);
        }
    }
    // Periodic runs never overlap; the tray speaks only when an entry turned working or not.
    void periodicRetest()
    {
        PM_SKIP_WITHOUT_TINYPROXY();
        logInWith({env.allowingEntry(), env.silentEntry()});
        client->manager->timeoutMs = 500;
        client->main.retestMinuteMs = 30;
        QStringList messages;
        client->main.showTrayMessage = [&](const QString &, const QString &text) {
            messages << text;
        };
        const QString ping = client->manager->pingUrl;
        QString events;
        connect(client->manager, &ProxyManager::startTestingProxy, this,
                [&](const QStringList &proxy) {
                    if (env.allowingEntry() == proxy.join(u':'))
                        events += u'S';
                });
        connect(client->manager, &ProxyManager::finishedTest, this, [&] {
            events += u'E';
            // The ping page goes down for the second and third runs.
            const qsizetype runs = events.count(u'E');
            client->manager->pingUrl =
                runs == 1 || runs == 2 ? u"http://"_s % env.closedEntry() % u"/ping"_s : ping;
        });
        client->child<QAction>("actionRetest5")->trigger();
        QTRY_VERIFY_WITH_TIMEOUT(events.count(u'E') >= 4, 30000);
        client->child<QAction>("actionRetest0")->trigger();
        QTRY_VERIFY_WITH_TIMEOUT(ready(), 10000);
        QVERIFY2(events.startsWith(u"SESESESE"_s), qPrintable(events));
        QVERIFY2(!events.contains(u"SS"_s), qPrintable(events));
        const QString entry = env.allowingEntry();
        QCOMPARE(messages.mid(0, 2),
                 (QStringList{u"1 went down: "_s % entry, u"1 came back: "_s % entry}));
        QVERIFY(client->log().contains(u"\n1 went down: "_s % entry % u'\n'));
    }

    // A target chosen in the dialog is remembered for the user and named in the status bar; the
    // exit address fills its column; "Test failed again" runs exactly the failed entries, also
    // those "Show only working" hides.
    void customTargetAndFailedAgain()
    {
        PM_SKIP_WITHOUT_TINYPROXY();
        logInWith({env.allowingEntry(), env.refusingEntry(), env.closedEntry(), u"x"_s,
                   env.allowingEntry()});
        client->child<QAction>("actionTestTarget")->trigger();
        auto *dialog = client->main.findChild<TestTargetDialog *>();
        QVERIFY(dialog && dialog->isVisible());
        const QString shop = env.target.url(u"/shop"_s).toString();
        dialog->findChild<QRadioButton *>(u"rbAddress"_s)->setChecked(true);
        dialog->findChild<QLineEdit *>(u"leUrl"_s)->setText(u"ftp://a.example/"_s);
        dialog->accept();
        QVERIFY(dialog->isVisible()); // refused, with its reason shown
        dialog->findChild<QLineEdit *>(u"leUrl"_s)->setText(shop);
        dialog->findChild<QLineEdit *>(u"leExpect"_s)->setText(u"Café"_s);
        dialog->findChild<QLineEdit *>(u"leExitIp"_s)->setText(env.target.url(u"/ip"_s).toString());
        dialog->accept();
        const TestTarget chosen{shop, u"Café"_s, env.target.url(u"/ip"_s).toString()};
        QCOMPARE(TestTarget::remembered(TestEnvironment::demoUser()), chosen);
        QCOMPARE(client->manager->testTarget, chosen);
        client->child<QAction>("actionShowOnlyWorking")->trigger();
        client->click("bTestProxies");
        QTRY_VERIFY_WITH_TIMEOUT(ready(), 20000);
        QVERIFY2(
            client->main.statusBar()->currentMessage().startsWith(
                u"Tested 5 of 5 against 127.0.0.1: Up 2, Access Denied 1, Error 1, Invalid entry 1 in"_s),
            qPrintable(client->main.statusBar()->currentMessage()));
        QCOMPARE(
            table()->model()->headerData(ProxyTableModel::ColumnCount, Qt::Horizontal).toString(),
            u"Exit IP"_s);
        QTRY_COMPARE(table()->model()->index(0, ProxyTableModel::ColumnCount).data().toString(),
                     u"127.0.0.1"_s);
        QVERIFY(client->log().contains(u"... error: the proxy refused the connection\n"_s));
        QStringList tested;
        connect(client->manager, &ProxyManager::startTestingProxy, this,
                [&](const QStringList &proxy) { tested << proxy.join(u':'); });
        client->child<QAction>("actionTestFailedAgain")->trigger();
        QTRY_VERIFY_WITH_TIMEOUT(ready(), 20000);
        QCOMPARE(tested, (QStringList{env.refusingEntry(), env.closedEntry()}));
    }

private:
    void logInWith(const QStringList &proxies)
    {
        env.service.setProxies(TestEnvironment::demoUser(), proxies);
        client = std::make_unique<ClientUnderTest>(env);
        QVERIFY(client->logIn());
        client->main.activateWindow();
    }
    QPushButton *button(const char *name) const { return client->child<QPushButton>(name); }
    QTableView *table() const { return client->child<QTableView>("tableWidget"); }
    bool ready() const
    {
        return button("bTestProxies")->isVisible() && button("bTestProxies")->isEnabled() &&
               !button("bStopTesting")->isVisible();
    }
    // Status text and the background of the three cells, which must agree.
    QString rowState(int row) const
    {
        QStringList colours;
        for (int column = 0; column < 3; ++column) {
            const QBrush brush =
                table()->model()->index(row, column).data(Qt::BackgroundRole).value<QBrush>();
            colours << (brush.style() == Qt::NoBrush ? u"none"_s : brush.color().name());
        }
        colours.removeDuplicates();
        return table()->model()->index(row, 2).data().toString() % u" on "_s % colours.join(u'/');
    }

    TestEnvironment env;
    std::unique_ptr<ClientUnderTest> client;
};

QTEST_MAIN(TestTestControls)
#include "tst_testcontrols.moc"
