// Result history in the main window: the Uptime and History columns after real runs, their
// sorting, "Keep result history", "Clear history" and an entry's history window.
#include "ClientUnderTest.h"
#include "HistoryStripDelegate.h"
#include "HistoryTypes.h"
#include "HistoryWindow.h"
#include "ProxyTableModel.h"
#include "StatusColours.h"

#include <QAbstractButton>
#include <QAction>
#include <QLabel>
#include <QMessageBox>
#include <QSignalSpy>
#include <QTableView>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::StringLiterals;

class TestHistoryView : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { QVERIFY(env.start()); }
    void init() { env.reset(); }

    // Two runs over an allowing, a refusing and a closed proxy, then what the menu asked for.
    void columnsAfterRuns_data()
    {
        QTest::addColumn<bool>("record");
        QTest::addColumn<QString>("then"); // "clear": Yes in the box, "keep": No
        QTest::addColumn<QString>("uptimes");
        QTest::addColumn<QString>("strips"); // the last 4 cells of each row: Green, Yellow, Red
        QTest::newRow("recorded") << true << QString() << u"100% 0% 0%"_s << u"..GG ..YY ..RR"_s;
        QTest::newRow("clear refused")
            << true << u"keep"_s << u"100% 0% 0%"_s << u"..GG ..YY ..RR"_s;
        QTest::newRow("cleared") << true << u"clear"_s << u"  "_s << u".... .... ...."_s;
        QTest::newRow("not kept") << false << QString() << u"  "_s << u".... .... ...."_s;
    }
    void columnsAfterRuns()
    {
        PM_SKIP_WITHOUT_TINYPROXY();
        QFETCH(bool, record);
        QFETCH(QString, then);
        QFETCH(QString, uptimes);
        QFETCH(QString, strips);
        const QStringList list{env.allowingEntry(), env.refusingEntry(), env.closedEntry()};
        auto client = logInWith(list);
        if (!record)
            client->child<QAction>("actionKeepHistory")->trigger();
        QCOMPARE(client->manager->isRecording(), record);
        auto *table = client->child<QTableView>("tableWidget");
        // Each result joins its strip at once, before the run's query.
        QStringList grown;
        QObject::connect(client->manager, &ProxyManager::finishedTestingProxy, table,
                         [&](const QStringList &result) {
                             const QModelIndex strip = table->model()->index(
                                 result.value(4).toInt(), ProxyTableModel::HistoryColumn);
                             grown << QString::number(
                                 strip.data(ProxyTableModel::StripRole).toByteArray().size());
                         });
        for (int run = 0; run < 2; ++run)
            runAll(*client, record);
        QCOMPARE(grown.join(u','), record ? u"1,1,1,2,2,2"_s : u"0,0,0,0,0,0"_s);
        // Switched on again, the columns show what was recorded meanwhile: nothing.
        if (!record) {
            QSignalSpy filled(client->manager, &ProxyManager::recentHistoryReady);
            client->child<QAction>("actionKeepHistory")->trigger();
            QVERIFY(filled.wait(5000));
        }
        if (!then.isEmpty()) {
            QTimer::singleShot(0, [then] {
                auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
                QVERIFY(box);
                box->button(then == u"clear" ? QMessageBox::Yes : QMessageBox::No)->click();
            });
            client->child<QAction>("actionClearHistory")->trigger();
            QTRY_COMPARE(client->log().contains(u"History cleared.\n"_s), then == u"clear");
        }
        QStringList shownUptimes;
        for (int row = 0; row < list.size(); ++row)
            shownUptimes
                << table->model()->index(row, ProxyTableModel::UptimeColumn).data().toString();
        QCOMPARE(shownUptimes.join(u' '), uptimes);
        QCOMPARE(stripColours(table, int(list.size())), strips);
    }

    // History sorts by failures among the last 20 (Connection Error and Invalid entry are none),
    // Uptime by its figure; entries without history come last either way.
    void sorting_data()
    {
        QTest::addColumn<int>("column");
        QTest::addColumn<QString>("ascending"); // entries top down
        QTest::addColumn<QString>("descending");
        QTest::newRow("history") << int(ProxyTableModel::HistoryColumn) << u"13402"_s << u"04132"_s;
        QTest::newRow("uptime") << int(ProxyTableModel::UptimeColumn) << u"30142"_s << u"14032"_s;
    }
    void sorting()
    {
        QFETCH(int, column);
        QFETCH(QString, ascending);
        QFETCH(QString, descending);
        ProxyTableModel model;
        const QStringList list{u"a:1"_s, u"b:1"_s, u"c:1"_s, u"d:1"_s, u"e:1"_s};
        model.setList(list);
        model.setHistoryShown(true);
        // Failures 3, 0, none, 0 (only the last 20 count), 1 after a live Timeout.
        const QByteArray older(5, 3);
        model.setHistory(list, {{99, "\0\1\2\3"_ba},
                                {100, "\0\0\0"_ba},
                                {-1, {}},
                                {0, older + QByteArray(20, 4)},
                                {100, "\5\5"_ba}});
        model.setResult(4, 2, 1, 0);
        const auto order = [&](Qt::SortOrder sortOrder) {
            QString entries;
            for (const int entry : model.sortedEntries(column, sortOrder))
                entries += QString::number(entry);
            return entries;
        };
        QCOMPARE(order(Qt::AscendingOrder), ascending);
        QCOMPARE(order(Qt::DescendingOrder), descending);
    }

    // "Show history" on a row opens its window once; asking again raises the same one.
    void historyWindow()
    {
        PM_SKIP_WITHOUT_TINYPROXY();
        auto client = logInWith({env.allowingEntry(), env.refusingEntry()});
        runAll(*client, true);
        auto *table = client->child<QTableView>("tableWidget");
        table->setCurrentIndex(table->model()->index(1, 0));
        auto *show = client->child<QAction>("actionShowHistory");
        show->trigger();
        show->trigger();
        const auto windows = client->main.findChildren<HistoryWindow *>();
        QCOMPARE(windows.size(), 1);
        QVERIFY(QTest::qWaitForWindowExposed(windows.first()));
        QCOMPARE(windows.first()->findChild<QLabel *>(u"entry"_s)->text(), env.refusingEntry());
        QTRY_COMPARE(windows.first()->findChild<QLabel *>(u"uptime"_s)->text(),
                     u"Uptime:   last 24 hours 0%   last 7 days 0%   last 30 days 0%"_s);
        // The Access Denied result is marked in its colour below the line, not only in the legend.
        const QImage chart = windows.first()->findChild<QWidget *>(u"chart"_s)->grab().toImage();
        bool marked = false;
        for (int y = chart.height() / 2; y < chart.height() && !marked; ++y)
            for (int x = 0; x < chart.width() && !marked; ++x)
                marked = chart.pixelColor(x, y) == StatusColours::of(1);
        QVERIFY(marked);
    }

private:
    std::unique_ptr<ClientUnderTest> logInWith(const QStringList &proxies)
    {
        env.service.setProxies(TestEnvironment::demoUser(), proxies);
        auto client = std::make_unique<ClientUnderTest>(env);
        client->manager->historyFile = historyDir.filePath(QString::number(++files) % u".sqlite"_s);
        // The shown list's history is asked for at once; its answer must not pass for a run's.
        QSignalSpy filled(client->manager, &ProxyManager::recentHistoryReady);
        if (!client->logIn() || !filled.wait(5000))
            qWarning("login failed, or its list's history never came");
        return client;
    }
    // A whole run and, when recording, the history the window asks for at its end.
    static void runAll(ClientUnderTest &client, bool record)
    {
        QSignalSpy ended(client.manager, &ProxyManager::finishedTest);
        QSignalSpy filled(client.manager, &ProxyManager::recentHistoryReady);
        client.click("bTestProxies");
        QVERIFY(ended.wait(10000));
        QTRY_COMPARE(filled.size(), record ? 1 : 0);
    }
    // The strip's last four cells as painted: G, Y, R for the colours, "." for none.
    static QString stripColours(QTableView *table, int rows)
    {
        table->window()->show();
        const QImage image = table->viewport()->grab().toImage();
        QStringList strips;
        for (int row = 0; row < rows; ++row) {
            const QRect item =
                table->visualRect(table->model()->index(row, ProxyTableModel::HistoryColumn));
            QString cells;
            for (int slot = ProxyTableModel::stripLength - 4; slot < ProxyTableModel::stripLength;
                 ++slot) {
                const QColor colour =
                    image.pixelColor(HistoryStripDelegate::cellRect(item, slot).center());
                cells += colour == StatusColours::of(0)   ? u'G'
                         : colour == StatusColours::of(1) ? u'Y'
                         : colour == StatusColours::of(2) ? u'R'
                                                          : u'.';
            }
            strips << cells;
        }
        return strips.join(u' ');
    }

    TestEnvironment env;
    QTemporaryDir historyDir;
    int files = 0;
};

QTEST_MAIN(TestHistoryView)
#include "tst_historyview.moc"
