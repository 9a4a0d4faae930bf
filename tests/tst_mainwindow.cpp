// The main window after a real login: layout, debug log and log.txt, proxy table,
// clipboard and quitting.
#include "ClientUnderTest.h"
#include "TestEnvironment.h"

#include <QAction>
#include <QClipboard>
#include <QDir>
#include <QGuiApplication>
#include <QHeaderView>
#include <QMenu>
#include <QPushButton>
#include <QScreen>
#include <QSignalSpy>
#include <QTableView>
#include <QTest>
#include <QTextEdit>
#include <QTimer>

using namespace Qt::StringLiterals;

class TestMainWindow : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { QVERIFY(env.start()); }
    void init()
    {
        env.reset();
        // The address answer comes first, so the log's address line is deterministic.
        CannedResponse slowList =
            CannedResponse::withStatus(200, env.demoProxies().join(u"\r\n"_s).toLatin1() + "\r\n");
        slowList.delayMs = 100;
        env.service.setHandler([slowList](const ReceivedRequest &r) {
            return r.queryValue(u"command"_s) == u"list" ? std::optional(slowList) : std::nullopt;
        });
    }

    void shownWithLog()
    {
        ClientUnderTest client(env);
        // A run killed in the middle of a line; this run's part must begin on a line of its own.
        const QString killed = u"Testing proxy 127.0.0.1 on port 1... "_s;
        QFile file(u"log.txt"_s);
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(killed.toLatin1()) > 0);
        file.close();
        QVERIFY(client.logIn());
        MainWindow &main = client.main;
        QCOMPARE(main.size(), QSize(640, 480));
        QCOMPARE(main.geometry().center(),
                 QGuiApplication::primaryScreen()->availableGeometry().center());
        QVERIFY(!main.windowIcon().isNull());
        QVERIFY(!client.child<QPushButton>("bStopTesting")->isVisible());
        QVERIFY(client.child<QTextEdit>("debugLog")->isReadOnly());
        auto *table = client.child<QTableView>("tableWidget");
        QCOMPARE(table->model()->rowCount(), env.demoProxies().size());
        QStringList headers;
        for (int column = 0; column < table->model()->columnCount(); ++column)
            headers << table->model()->headerData(column, Qt::Horizontal).toString() %
                           (table->horizontalHeader()->sectionResizeMode(column) ==
                                    QHeaderView::Stretch
                                ? QString()
                                : u" (not stretched)"_s);
        QCOMPARE(headers, (QStringList{u"Host"_s, u"Port"_s, u"Status"_s, u"Latency"_s}));
        QVERIFY(!table->tabKeyNavigation());
        QClipboard *clipboard = QGuiApplication::clipboard();
        client.click("bCopyProxies");
        QCOMPARE(clipboard->text(), env.demoProxies().join(u'\n'));

        // The view catches up by itself; log.txt has the same text at once, so a killed process
        // loses none of it.
        main.appendLog(u"no line end, "_s);
        main.appendLog(u"same line\n"_s);
        auto *view = client.child<QTextEdit>("debugLog");
        QTRY_VERIFY(view->toPlainText().endsWith(u"line\n"_s));
        const QString first = view->toPlainText();
        const QStringList lines = first.split(u'\n');
        QVERIFY(QDateTime::fromString(lines.at(0), Qt::TextDate).isValid());
        QCOMPARE(lines.mid(1),
                 (QStringList{u"Your IP address: 127.0.0.1"_s, u"no line end, same line"_s, {}}));
        // A later run appends its own part, beginning with its own date line.
        MainWindow second(nullptr);
        second.proxyManager = client.manager;
        second.initAndShow();
        second.flushLog();
        const QString secondPart = second.findChild<QTextEdit *>(u"debugLog"_s)->toPlainText();
        QVERIFY(QDateTime::fromString(secondPart.section(u'\n', 0, 0), Qt::TextDate).isValid());
        QVERIFY(file.open(QIODevice::ReadOnly | QIODevice::Text));
        QCOMPARE(QString::fromUtf8(file.readAll()), killed % u'\n' % first % secondPart);
        client.click("bCopyLog");
        QCOMPARE(clipboard->text(), first);
    }
    // The address may answer after the list: its line waits for it rather than staying empty.
    void addressAnsweringAfterListIsLogged_data()
    {
        QTest::addColumn<QByteArray>("answer");
        QTest::addColumn<QString>("line");
        QTest::addColumn<bool>("testing"); // a test's line is open when the answer comes
        QTest::newRow("address") << "127.0.0.1\r\n"_ba << u"Your IP address: 127.0.0.1"_s << false;
        QTest::newRow("no address") << "ERROR: busy\r\n"_ba << u"Your IP address: "_s << false;
        QTest::newRow("after the open line's result")
            << "127.0.0.1\r\n"_ba << u"Your IP address: 127.0.0.1"_s << true;
    }
    void addressAnsweringAfterListIsLogged()
    {
        QFETCH(QByteArray, answer);
        QFETCH(QString, line);
        QFETCH(bool, testing);
        CannedResponse slowIp = CannedResponse::withStatus(200, answer);
        slowIp.delayMs = 300;
        env.service.setHandler([slowIp](const ReceivedRequest &r) {
            return r.queryValue(u"command"_s) == u"getmyip" ? std::optional(slowIp) : std::nullopt;
        });
        ClientUnderTest client(env);
        QVERIFY(client.logIn());
        QVERIFY(client.manager->isMyIpPending());
        QCOMPARE(client.log().count(u'\n'), 1); // the date line only
        if (testing) {
            client.main.startTestingProxy({u"10.0.0.1"_s, u"80"_s});
            QTRY_VERIFY(!client.manager->isMyIpPending());
            client.main.finishedTestingProxy({u"10.0.0.1"_s, u"80"_s, u"2"_s, u"0"_s, u"0"_s});
        }
        QTRY_COMPARE(client.log().count(u'\n'), testing ? 3 : 2);
        QCOMPARE(client.log().section(u'\n', -2, -2), line);
        QVERIFY(!client.manager->isMyIpPending());
    }
    void unopenableLogFileIsReported()
    {
        ClientUnderTest client(env);
        QVERIFY(QDir().mkdir(u"log.txt"_s));
        QVERIFY(client.logIn());
        const QStringList lines = client.log().split(u'\n');
        QVERIFY(lines.at(1).startsWith(u"Could not open log.txt"_s));
        QCOMPARE(lines.at(2), u"Your IP address: 127.0.0.1"_s);
    }
    void tableFill_data()
    {
        QTest::addColumn<QStringList>("list");
        QTest::addColumn<QStringList>("rows");
        QTest::addColumn<QString>("copied"); // all rows selected
        QTest::newRow("well-formed") << QStringList{u"10.0.0.1:3128"_s, u"proxy.example:80"_s}
                                     << QStringList{u"10.0.0.1|3128|"_s, u"proxy.example|80|"_s}
                                     << u"10.0.0.1:3128\nproxy.example:80"_s;
        QTest::newRow("edges") << QStringList{u":80"_s, u"host:"_s}
                               << QStringList{u"|80|"_s, u"host||"_s} << u":80\nhost:"_s;
        // Rows of entries the tester cannot use show them, to carry their status.
        QTest::newRow("unusable") << QStringList{u"a:b:c"_s, u"nocolon"_s, QString()}
                                  << QStringList{u"a:b:c||"_s, u"nocolon||"_s, u"||"_s}
                                  << u"a:b:c\nnocolon\n"_s;
        QTest::newRow("IPv6, control characters")
            << QStringList{u"[::1]:80"_s, u"a\rb:8\u202e0"_s}
            << QStringList{u"::1|80|"_s, u"a b|8\ufffd0|"_s} << u"[::1]:80\na b:8\ufffd0"_s;
    }
    void tableFill()
    {
        QFETCH(QStringList, list);
        QFETCH(QStringList, rows);
        QFETCH(QString, copied);
        ClientUnderTest client(env);
        client.main.getProxies(list);
        QStringList shown;
        auto *table = client.child<QTableView>("tableWidget");
        const QAbstractItemModel *model = table->model();
        for (int row = 0; row < model->rowCount(); ++row) {
            QStringList cells;
            for (int column = 0; column < 3; ++column) {
                const QModelIndex cell = model->index(row, column);
                // An editable cell shows up as a mismatch.
                const bool editable = model->flags(cell) & Qt::ItemIsEditable;
                cells << cell.data().toString() + (editable ? u"(editable)"_s : QString());
            }
            shown << cells.join(u'|');
        }
        QCOMPARE(shown, rows);
        table->selectAll();
        client.child<QAction>("actionCopySelected")->trigger();
        QCOMPARE(QGuiApplication::clipboard()->text(), copied);
    }
    // Whatever the failure text holds, the stale list gives way to it, and the log says so.
    void failedRefresh_data()
    {
        QTest::addColumn<CannedResponse>("answer");
        QTest::addColumn<QString>("shown");
        QTest::newRow("404") << CannedResponse::withStatus(404)
                             << u"ERROR: Could not get the proxy list: HTTP 404 Not Found"_s;
        QTest::newRow("service's line")
            << CannedResponse::withStatus(200, "ERROR: Suspended\r\n") << u"ERROR: Suspended"_s;
    }
    void failedRefresh()
    {
        QFETCH(CannedResponse, answer);
        QFETCH(QString, shown);
        ClientUnderTest client(env);
        QVERIFY(client.logIn());
        env.service.setHandler([=](const ReceivedRequest &) { return std::optional(answer); });
        QSignalSpy refreshed(client.manager, &ProxyManager::finishedGetProxies);
        client.click("bGetProxies");
        QVERIFY(refreshed.wait(10000));
        auto *table = client.child<QTableView>("tableWidget");
        QCOMPARE(table->model()->rowCount(), 1);
        QCOMPARE(table->model()->index(0, 0).data().toString(), shown);
        QCOMPARE(table->columnSpan(0, 0), 4);
        QVERIFY(client.log().endsWith(u"\nProxy list not refreshed: "_s % shown % u'\n'));
        // A good list afterwards takes the whole table again.
        client.main.getProxies({u"10.0.0.1:80"_s});
        QCOMPARE(table->columnSpan(0, 0), 1);
    }
    // Sorting moves rows; results still land on their own entry's row.
    void sorting_data()
    {
        QTest::addColumn<int>("column");
        QTest::addColumn<int>("clicks");
        QTest::addColumn<QString>("order"); // first letters of the hosts, top down
        QTest::newRow("host") << 0 << 1 << u"abcdefgh"_s;
        QTest::newRow("host again reverses") << 0 << 2 << u"hgfedcba"_s;
        QTest::newRow("port as a number") << 1 << 1 << u"efghdcba"_s;
        QTest::newRow("status") << 2 << 1 << u"acdbghef"_s;
        QTest::newRow("status reversed") << 2 << 2 << u"fehgbdca"_s;
        QTest::newRow("latency") << 3 << 1 << u"ac"_s;
    }
    void sorting()
    {
        QFETCH(int, column);
        QFETCH(int, clicks);
        QFETCH(QString, order);
        ClientUnderTest client(env);
        auto *table = showResults(client);
        QHeaderView *header = table->horizontalHeader();
        for (int click = 0; click < clicks; ++click)
            QTest::mouseClick(header->viewport(), Qt::LeftButton, {},
                              QPoint(header->sectionViewportPosition(column) + 5, 5));
        QCOMPARE(hostInitials(table).left(order.size()), order);

        // Entry f (index 5, never tested) gets a result wherever it now is.
        client.main.finishedTestingProxy({u"f.example"_s, u"2"_s, u"0"_s, u"50"_s, u"5"_s});
        const int row = hostInitials(table).indexOf(u'f');
        const QAbstractItemModel *model = table->model();
        QCOMPARE(model->index(row, 2).data().toString() % u'|' %
                     model->index(row, 3).data().toString(),
                 u"Up on 2|50 ms"_s);
        QCOMPARE(model->match(model->index(0, 3), Qt::DisplayRole, u"50 ms"_s, -1).size(), 1);

        // A refill shows the list in its own order.
        client.main.getProxies(client.manager->proxies);
        QCOMPARE(hostInitials(table), u"cabdefgh"_s);
    }
    void copyActions_data()
    {
        QTest::addColumn<int>("sortColumn"); // -1: the list's order
        QTest::addColumn<QString>("how");
        QTest::addColumn<QList<int>>("selectedRows");
        QTest::addColumn<QString>("copied");
        QTest::newRow("working, list order")
            << -1 << u"actionCopyWorking"_s << QList<int>{} << u"c.example:80\na.example:8080"_s;
        QTest::newRow("working, sorted by status")
            << 2 << u"actionCopyWorking"_s << QList<int>{} << u"a.example:8080\nc.example:80"_s;
        QTest::newRow("selected") << -1 << u"actionCopySelected"_s << QList<int>{3, 1}
                                  << u"a.example:8080\nd.example:9"_s;
        QTest::newRow("Ctrl+C, sorted by host")
            << 0 << u"Ctrl+C"_s << QList<int>{7, 0} << u"a.example:8080\nh.example:4"_s;
    }
    void copyActions()
    {
        QFETCH(int, sortColumn);
        QFETCH(QString, how);
        QFETCH(QList<int>, selectedRows);
        QFETCH(QString, copied);
        ClientUnderTest client(env);
        auto *table = showResults(client);
        if (sortColumn >= 0)
            emit table->horizontalHeader()->sectionClicked(sortColumn);
        for (const int row : selectedRows)
            table->selectionModel()->select(table->model()->index(row, 0),
                                            QItemSelectionModel::Select |
                                                QItemSelectionModel::Rows);
        QGuiApplication::clipboard()->clear();
        if (how == u"Ctrl+C") {
            client.main.activateWindow();
            QVERIFY(QTest::qWaitForWindowActive(&client.main));
            table->setFocus();
            QTest::keyClick(table, Qt::Key_C, Qt::ControlModifier);
        } else {
            client.child<QAction>(how.toLatin1())->trigger();
        }
        QCOMPARE(QGuiApplication::clipboard()->text(), copied);
    }
    void filterShowsOnlyWorking()
    {
        ClientUnderTest client(env);
        auto *table = showResults(client);
        auto *onlyWorking = client.child<QAction>("actionShowOnlyWorking");
        QVERIFY(!onlyWorking->isChecked());
        QCOMPARE(hostInitials(table), u"cabdefgh"_s);
        onlyWorking->trigger();
        QCOMPARE(hostInitials(table), u"ca"_s);
        // Results go on showing or hiding their rows; a refill keeps the filter.
        client.main.finishedTestingProxy({u"c.example"_s, u"80"_s, u"2"_s, u"0"_s, u"0"_s});
        client.main.finishedTestingProxy({u"d.example"_s, u"9"_s, u"0"_s, u"7"_s, u"3"_s});
        QTRY_COMPARE(hostInitials(table), u"ad"_s);
        client.main.getProxies(client.manager->proxies);
        QCOMPARE(hostInitials(table), QString());
        client.main.finishedTestingProxy({u"g.example"_s, u"3"_s, u"0"_s, u"7"_s, u"6"_s});
        QTRY_COMPARE(hostInitials(table), u"g"_s);
        onlyWorking->trigger();
        QCOMPARE(hostInitials(table), u"cabdefgh"_s);
    }
    void quitEndsTheLoop_data()
    {
        QTest::addColumn<QString>("how");
        QTest::newRow("Quit in the menu") << u"menu"_s;
        QTest::newRow("Ctrl+Q") << u"shortcut"_s;
        // Without a system tray a hidden window could not come back: closing ends the program.
        QTest::newRow("closing without a tray") << u"close"_s;
    }
    void quitEndsTheLoop()
    {
        QFETCH(QString, how);
        ClientUnderTest client(env);
        QVERIFY(client.logIn());
        QVERIFY(!QApplication::quitOnLastWindowClosed());
        QVERIFY(!QSystemTrayIcon::isSystemTrayAvailable());
        MainWindow &main = client.main;
        QTimer::singleShot(0, &main, [&] {
            if (how == u"menu") {
                client.child<QMenu>("menuProgram")->actions().constLast()->trigger();
            } else if (how == u"shortcut") {
                main.activateWindow();
                QVERIFY(QTest::qWaitForWindowActive(&main));
                QTest::keyClick(&main, Qt::Key_Q, Qt::ControlModifier);
            } else {
                main.close();
            }
        });
        QTimer::singleShot(10000, qApp, [] { QCoreApplication::exit(7); });
        QCOMPARE(QCoreApplication::exec(), 0);
    }

private:
    // Eight entries with every kind of result, one never tested (f).
    static QTableView *showResults(ClientUnderTest &client)
    {
        const QStringList list{u"c.example:80"_s, u"a.example:8080"_s, u"b.example:443"_s,
                               u"d.example:9"_s,  u"e.example:1"_s,    u"f.example:2"_s,
                               u"g.example:3"_s,  u"h.example:4"_s};
        client.manager->proxies = list;
        client.main.getProxies(list);
        client.main.show();
        const QList<QStringList> results{{u"0"_s, u"300"_s, u"0"_s}, {u"0"_s, u"100"_s, u"1"_s},
                                         {u"2"_s, u"0"_s, u"2"_s},   {u"1"_s, u"0"_s, u"3"_s},
                                         {u"5"_s, u"0"_s, u"4"_s},   {u"3"_s, u"0"_s, u"6"_s},
                                         {u"4"_s, u"0"_s, u"7"_s}};
        for (const QStringList &r : results)
            client.main.finishedTestingProxy({u"h"_s, u"1"_s, r.at(0), r.at(1), r.at(2)});
        return client.child<QTableView>("tableWidget");
    }
    // First letters of the hosts shown, top down.
    static QString hostInitials(const QTableView *table)
    {
        QString initials;
        for (int row = 0; row < table->model()->rowCount(); ++row)
            initials += table->model()->index(row, 0).data().toString().at(0);
        return initials;
    }

    TestEnvironment env;
};

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
