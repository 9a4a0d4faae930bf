// The main window after a real login: layout, debug log and log.txt, proxy table,
// clipboard and quitting.
#include "ClientUnderTest.h"
#include "ScopedWorkDir.h"
#include "TestEnvironment.h"

#include <QClipboard>
#include <QDir>
#include <QGridLayout>
#include <QGuiApplication>
#include <QHeaderView>
#include <QMenu>
#include <QProcess>
#include <QPushButton>
#include <QScreen>
#include <QTableWidget>
#include <QTest>
#include <QTextEdit>
#include <QTimer>

#include <cstdio>

using namespace Qt::StringLiterals;

class TestMainWindow : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { QVERIFY(env.start()); }
    void init();

    void layoutAsDesigned();
    void firstLinesInViewAndFile();
    void unopenableLogFileIsReported();
    void tableFill_data();
    void tableFill();
    void refillKeepsOldItemsOfMalformedRows();
    void clipboard();
    void quitEndsTheLoop_data();
    void quitEndsTheLoop();
    void logSurvivesKill();

private:
    QStringList rowTexts(const ClientUnderTest &client) const;

    TestEnvironment env;
    std::unique_ptr<ScopedWorkDir> dir;
};

void TestMainWindow::init()
{
    env.reset();
    dir.reset(); // the old one restores the directory it found
    dir = std::make_unique<ScopedWorkDir>();
    // The address answer comes first, so the log's second line is deterministic.
    CannedResponse slowList =
        CannedResponse::withStatus(200, env.demoProxies().join(u"\r\n"_s).toLatin1() + "\r\n");
    slowList.delayMs = 100;
    env.service.setHandler([slowList](const ReceivedRequest &r) {
        return r.queryValue(u"command"_s) == u"list" ? std::optional(slowList) : std::nullopt;
    });
}

QStringList TestMainWindow::rowTexts(const ClientUnderTest &client) const
{
    QStringList rows;
    const auto *table = client.mainChild<QTableWidget>("tableWidget");
    for (int row = 0; row < table->rowCount(); ++row) {
        QStringList cells;
        for (int column = 0; column < 3; ++column) {
            const QTableWidgetItem *item = table->item(row, column);
            // An editable cell shows up as a mismatch.
            const bool editable = item && (item->flags() & Qt::ItemIsEditable);
            cells << (item ? item->text() : u"-"_s) + (editable ? u"(editable)"_s : QString());
        }
        rows << cells.join(u'|');
    }
    return rows;
}

void TestMainWindow::layoutAsDesigned()
{
    ClientUnderTest client(env);
    QVERIFY(client.logIn(TestEnvironment::demoUser(), TestEnvironment::demoPassword()));
    MainWindow &main = client.main;
    QCOMPARE(main.size(), QSize(640, 480));
    QCOMPARE(main.geometry().center(),
             QGuiApplication::primaryScreen()->availableGeometry().center());
    QCOMPARE(main.windowTitle(), u"ProxyManager"_s);

    auto *grid = client.mainChild<QGridLayout>("gridLayout");
    const QList<std::tuple<const char *, int, int, int>> cells = {
        {"tableWidget", 0, 0, 7},  {"bAuthIp", 0, 1, 1},      {"bGetProxies", 1, 1, 1},
        {"bTestProxies", 2, 1, 1}, {"bStopTesting", 2, 1, 1}, {"bCopyProxies", 3, 1, 1},
        {"bCopyLog", 4, 1, 1},     {"debugLog", 7, 0, 2}};
    for (const auto &[name, row, column, rowSpan] : cells) {
        QWidget *widget = client.mainChild<QWidget>(name);
        QVERIFY2(widget, name);
        int r, c, rs, cs;
        grid->getItemPosition(grid->indexOf(widget), &r, &c, &rs, &cs);
        QCOMPARE((QList<int>{r, c, rs, cs}), (QList<int>{row, column, rowSpan, 1}));
    }
    QVERIFY(!client.mainChild<QPushButton>("bStopTesting")->isVisible());
    QVERIFY(client.mainChild<QTextEdit>("debugLog")->isReadOnly());
    auto *table = client.mainChild<QTableWidget>("tableWidget");
    QVERIFY(!table->verticalHeader()->isVisible());
    for (int column = 0; column < 3; ++column) {
        QCOMPARE(table->horizontalHeaderItem(column)->text(),
                 (QStringList{u"Host"_s, u"Port"_s, u"Status"_s}).at(column));
        QCOMPARE(table->horizontalHeader()->sectionResizeMode(column), QHeaderView::Stretch);
    }

    auto *menu = client.mainChild<QMenu>("menuProgram");
    QCOMPARE(menu->title(), u"&Application"_s);
    const QList<QAction *> actions = menu->actions();
    QCOMPARE(actions.size(), 3);
    QVERIFY(actions.at(0)->isCheckable() && !actions.at(0)->isChecked());
    QVERIFY(actions.at(1)->isSeparator());
    QCOMPARE(actions.at(2)->shortcut(), QKeySequence(u"Ctrl+Q"_s));
}

void TestMainWindow::firstLinesInViewAndFile()
{
    for (int run = 1; run <= 2; ++run) {
        ClientUnderTest client(env);
        QVERIFY(client.logIn(TestEnvironment::demoUser(), TestEnvironment::demoPassword()));
        QVERIFY(!client.login.isVisible());
        client.main.appendLog(u"no line end, "_s);
        client.main.appendLog(u"same line\n"_s);
        QTRY_VERIFY(client.mainChild<QTextEdit>("debugLog")->toPlainText().endsWith(u"line\n"_s));
        const QStringList lines =
            client.mainChild<QTextEdit>("debugLog")->toPlainText().split(u'\n');
        QVERIFY(QDateTime::fromString(lines.at(0), Qt::TextDate).isValid());
        QCOMPARE(lines.mid(1),
                 (QStringList{u"Your IP address: 127.0.0.1"_s, u"no line end, same line"_s, {}}));

        QFile file(u"log.txt"_s);
        QVERIFY(file.open(QIODevice::ReadOnly | QIODevice::Text));
        const QString written = QString::fromUtf8(file.readAll());
        QCOMPARE(written.count(u"Your IP address: 127.0.0.1\nno line end, same line\n"_s), run);
        // Each run's part begins with that run's date line.
        QVERIFY(written.contains(lines.at(0) % u"\nYour IP address: "_s));
    }
}

void TestMainWindow::unopenableLogFileIsReported()
{
    QVERIFY(QDir().mkdir(u"log.txt"_s));
    ClientUnderTest client(env);
    QVERIFY(client.logIn(TestEnvironment::demoUser(), TestEnvironment::demoPassword()));
    client.main.flushLog();
    const QStringList lines = client.mainChild<QTextEdit>("debugLog")->toPlainText().split(u'\n');
    QVERIFY(lines.at(1).startsWith(u"Could not open log.txt"_s));
    QCOMPARE(lines.at(2), u"Your IP address: 127.0.0.1"_s);
}

void TestMainWindow::tableFill_data()
{
    QTest::addColumn<QStringList>("list");
    QTest::addColumn<QStringList>("rows");
    QTest::newRow("well-formed") << QStringList{u"10.0.0.1:3128"_s, u"proxy.example:80"_s}
                                 << QStringList{u"10.0.0.1|3128|"_s, u"proxy.example|80|"_s};
    QTest::newRow("edges") << QStringList{u":80"_s, u"host:"_s}
                           << QStringList{u"|80|"_s, u"host||"_s};
    QTest::newRow("malformed rows stay empty")
        << QStringList{u"a:b:c"_s, u"nocolon"_s, QString(), u"[::1]:80"_s}
        << QStringList{u"-|-|-"_s, u"-|-|-"_s, u"-|-|-"_s, u"-|-|-"_s};
    QTest::newRow("error payload") << QStringList{u"ERROR: Sorry, no response from server."_s}
                                   << QStringList{u"ERROR| Sorry, no response from server.|"_s};
}

void TestMainWindow::tableFill()
{
    QFETCH(QStringList, list);
    QFETCH(QStringList, rows);
    ClientUnderTest client(env);
    client.main.getProxies(list);
    QCOMPARE(rowTexts(client), rows);
}

void TestMainWindow::refillKeepsOldItemsOfMalformedRows()
{
    ClientUnderTest client(env);
    client.main.getProxies({u"10.0.0.1:1"_s, u"10.0.0.2:2"_s, u"10.0.0.3:3"_s});
    client.main.getProxies({u"10.0.0.9:9"_s, u"bad"_s});
    QCOMPARE(rowTexts(client), (QStringList{u"10.0.0.9|9|"_s, u"10.0.0.2|2|"_s}));
}

void TestMainWindow::clipboard()
{
    ClientUnderTest client(env);
    QVERIFY(client.logIn(TestEnvironment::demoUser(), TestEnvironment::demoPassword()));
    QClipboard *clipboard = QGuiApplication::clipboard();
    QTest::mouseClick(client.mainChild<QPushButton>("bCopyProxies"), Qt::LeftButton);
    QCOMPARE(clipboard->text(), env.demoProxies().join(u'\n'));
    client.main.appendLog(u"last line"_s);
    QTest::mouseClick(client.mainChild<QPushButton>("bCopyLog"), Qt::LeftButton);
    QCOMPARE(clipboard->text(), client.mainChild<QTextEdit>("debugLog")->toPlainText());
    QVERIFY(clipboard->text().endsWith(u"127.0.0.1\nlast line"_s));
}

void TestMainWindow::quitEndsTheLoop_data()
{
    QTest::addColumn<QString>("how");
    QTest::newRow("Quit in the menu") << u"menu"_s;
    QTest::newRow("Ctrl+Q") << u"shortcut"_s;
    // Without a system tray a hidden window could not come back: closing ends the program.
    QTest::newRow("closing without a tray") << u"close"_s;
}

void TestMainWindow::quitEndsTheLoop()
{
    QFETCH(QString, how);
    ClientUnderTest client(env);
    QVERIFY(client.logIn(TestEnvironment::demoUser(), TestEnvironment::demoPassword()));
    QVERIFY(!QApplication::quitOnLastWindowClosed());
    QVERIFY(!QSystemTrayIcon::isSystemTrayAvailable());
    MainWindow &main = client.main;
    QTimer::singleShot(0, &main, [&] {
        if (how == u"menu") {
            client.mainChild<QMenu>("menuProgram")->actions().constLast()->trigger();
        } else if (how == u"shortcut") {
            main.activateWindow();
            QVERIFY(QTest::qWaitForWindowActive(&main));
            QTest::keyClick(&main, Qt::Key_Q, Qt::ControlModifier);
        } else {
            main.close();
        }
    });
    QTimer::singleShot(3000, qApp, [] { QCoreApplication::exit(7); });
    QCOMPARE(QCoreApplication::exec(), 0);
}

void TestMainWindow::logSurvivesKill()
{
    QProcess writer;
    writer.start(QCoreApplication::applicationFilePath(), {u"--write-log"_s, u"500"_s});
    QByteArray said;
    QTRY_VERIFY_WITH_TIMEOUT((said += writer.readAllStandardOutput()).contains("written"), 10000);
    writer.kill(); // SIGKILL: nothing gets a chance to flush now
    QVERIFY(writer.waitForFinished());
    QFile log(u"log.txt"_s);
    QVERIFY(log.open(QIODevice::ReadOnly));
    const QByteArray text = log.readAll();
    QVERIFY(text.contains("\nmessage 0 of 500\n"));
    QVERIFY(text.endsWith("message 499 of 500\n"));
    QCOMPARE(text.count("\n"), 502);
}

// Writes messages through the real debug log, says so, and waits to be killed.
static int writeLogAndWait(int argc, char **argv, int count)
{
    QApplication app(argc, argv);
    ProxyManager manager;
    MainWindow window(nullptr);
    window.proxyManager = &manager;
    window.initAndShow();
    for (int i = 0; i < count; ++i)
        window.appendLog(u"message "_s % QString::number(i) % u" of "_s % QString::number(count) %
                         u"\n"_s);
    std::puts("written");
    std::fflush(stdout);
    return QApplication::exec();
}

int main(int argc, char **argv)
{
    if (argc == 3 && qstrcmp(argv[1], "--write-log") == 0)
        return writeLogAndWait(1, argv, QByteArray(argv[2]).toInt());
    QApplication app(argc, argv);
    TestMainWindow test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}
#include "tst_mainwindow.moc"
