// Start-up: reading config.ini and applying it, and the login window through its widgets.
#include "ClientUnderTest.h"
#include "TestEnvironment.h"

#include <QCheckBox>
#include <QFile>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>
#include <QSignalSpy>
#include <QSpinBox>
#include <QTemporaryDir>
#include <QTest>
#include <QTextDocument>

using namespace Qt::StringLiterals;

namespace {

// The label shows the whole error, or its head elided where the font leaves no room; the
// tooltip holds all of it.
bool showsError(const QLabel *label, const QString &whole)
{
    const QString shown = label->text();
    QTextDocument tip;
    tip.setHtml(label->toolTip());
    return tip.toPlainText() == whole &&
           (shown == whole ||
            (shown.size() > 1 && shown.endsWith(u'…') && whole.startsWith(shown.chopped(1))));
}

} // namespace

class TestLoginWindow : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { QVERIFY(env.start()); }
    void init() { env.reset(); }

    void readsFile_data()
    {
        QTest::addColumn<QByteArray>("content"); // null: there is no file
        QTest::addColumn<QStringList>("values"); // API_URL, PING_URL, TITLE_TEXT, LOGO_URL
        QTest::addColumn<int>("parallel");
        const QString none;
        QTest::newRow("top level") << "API_URL=http://a/api\nPING_URL=http://p/ping\n"
                                      "TITLE_TEXT=My proxies\nLOGO_URL=http://l/logo.png\n"
                                      "PARALLEL_TESTS=8\n"_ba
                                   << QStringList{u"http://a/api"_s, u"http://p/ping"_s,
                                                  u"My proxies"_s, u"http://l/logo.png"_s}
                                   << 8;
        QTest::newRow("General section, CR LF, comment, spaces, parallel above the bound")
            << "; comment\r\n[General]\r\nAPI_URL = http://a/api \r\nTITLE_TEXT=T\r\n"
               "PARALLEL_TESTS = 513 \r\n"_ba
            << QStringList{u"http://a/api"_s, none, u"T"_s, none} << 512;
        QTest::newRow("other section ignored")
            << "[Other]\nAPI_URL=http://a/api\nPARALLEL_TESTS=5\n"_ba
            << QStringList{none, none, none, none} << 1;
        QTest::newRow("unquoted comma is absent, quoted kept, parallel not a number")
            << "API_URL=http://a/api?x=1,2\nPING_URL=\"http://p/ping?x=1,2\"\nPARALLEL_TESTS=4x\n"_ba
            << QStringList{none, u"http://p/ping?x=1,2"_s, none, none} << 1;
        QTest::newRow("no file") << QByteArray() << QStringList{none, none, none, none} << 1;
        const QStringList noUrls{none, none, none, none};
        QTest::newRow("parallel past a 64-bit number")
            << "PARALLEL_TESTS=99999999999999999999999\n"_ba << noUrls << 512;
        QTest::newRow("parallel zero") << "PARALLEL_TESTS=0\n"_ba << noUrls << 1;
    }
    void readsFile()
    {
        QFETCH(QByteArray, content);
        QFETCH(QStringList, values);
        QFETCH(int, parallel);
        QTemporaryDir dir;
        const QString path = dir.filePath(u"config.ini"_s);
        QFile file(path);
        if (!content.isNull()) {
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write(content);
            file.close();
        }
        const AppConfig config = AppConfig::load(path);
        QCOMPARE((QStringList{config.apiUrl, config.pingUrl, config.titleText, config.logoUrl}),
                 values);
        QCOMPARE(config.parallelTests, parallel);
        // Never written, nor created.
        QCOMPARE(file.exists(), !content.isNull());
        if (file.open(QIODevice::ReadOnly))
            QCOMPARE(file.readAll(), content);
    }

    void startUp_data()
    {
        QTest::addColumn<QString>("title");
        QTest::addColumn<QString>("logoPath");      // empty: no LOGO_URL
        QTest::addColumn<CannedResponse>("answer"); // of the logo's server; 200 OK: the default
        QTest::addColumn<QSize>("logoSize");
        const CannedResponse normal;
        QTest::newRow("no title, no logo") << QString() << QString() << normal << QSize(0, 0);
        QTest::newRow("title, banner")
            << u"Acme proxies"_s << u"/logo.png"_s << normal << QSize(295, 52);
        CannedResponse redirect = CannedResponse::withStatus(302);
        redirect.addHeader("Location", "/logo.png");
        QTest::newRow("redirect not followed")
            << QString() << u"/moved.png"_s << redirect << QSize(0, 0);
        CannedResponse silent;
        silent.stall = true;
        QTest::newRow("silent server") << QString() << u"/logo.png"_s << silent << QSize(0, 0);
    }
    void startUp()
    {
        QFETCH(QString, title);
        QFETCH(QString, logoPath);
        QFETCH(CannedResponse, answer);
        QFETCH(QSize, logoSize);
        env.service.setLogoFile(QFINDTESTDATA("../resources/images/quorvane.png"));
        if (answer.status != 200 || answer.stall) {
            env.service.setHandler([=](const ReceivedRequest &r) {
                return r.path == logoPath ? std::optional(answer) : std::nullopt;
            });
        }
        AppConfig config;
        config.titleText = title;
        config.parallelTests = 7;
        // Scheme, port and query of the address are not used: plain HTTP on the window's port.
        if (!logoPath.isEmpty())
            config.logoUrl = u"https://127.0.0.1:9"_s % logoPath % u"?size=big"_s;
        ClientUnderTest client(env, config);
        LoginWindow &login = client.login;
        // With a logo the window waits for its download to end, however it ends.
        QCOMPARE(login.isVisible(), logoPath.isEmpty());
        QTRY_VERIFY_WITH_TIMEOUT(login.isVisible(), 10000);
        QCOMPARE(client.child<QLabel>("logo")->pixmap().size(), logoSize);
        if (!logoPath.isEmpty())
            QCOMPARE(QString::fromLatin1(env.service.requests().at(0).target), logoPath);
        const QString shownTitle = title.isEmpty() ? u"ProxyManager"_s : title;
        QCOMPARE(login.windowTitle(), shownTitle);
        QCOMPARE(client.main.windowTitle(), shownTitle);
        QVERIFY(!client.main.isVisible());
        QCOMPARE(client.child<QSpinBox>("sbParallelTests")->value(), 7);

        QCOMPARE(login.size(), QSize(320, 250));
        // Tab goes user name, password, "Remember me", "Login"; every row is whole.
        QWidget *focus = client.child<QLineEdit>("username");
        for (const char *next : {"password", "rememberMe", "pushButton"}) {
            do
                focus = focus->nextInFocusChain();
            while (!(focus->focusPolicy() & Qt::TabFocus));
            QCOMPARE(focus->objectName(), QLatin1String(next));
        }
        login.grab();
        const auto *box = client.child<QCheckBox>("rememberMe");
        QVERIFY(box->size().boundedTo(box->sizeHint()) == box->sizeHint());
        QVERIFY(box->geometry().top() > client.child<QLineEdit>("password")->geometry().bottom());
        QVERIFY(client.child<QPushButton>("pushButton")->geometry().bottom() <
                login.centralWidget()->height());
        QCOMPARE(login.minimumSize(), login.maximumSize());
        QVERIFY(
            !(login.windowFlags() & (Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint)));
        QVERIFY(!login.windowIcon().isNull());
        QCOMPARE(login.geometry().center(),
                 QGuiApplication::primaryScreen()->availableGeometry().center());
        QCOMPARE(client.child<QLineEdit>("password")->echoMode(), QLineEdit::Password);
        QCOMPARE(client.child<QLabel>("error_label")->styleSheet(), u"color: red"_s);
    }
    // The service's error shows on one plain line: markup must not be rendered (an image of
    // /dev/zero would be read until memory runs out), and no text may push the fixed form's
    // widgets about. The next press clears it at once; with a field empty nothing is sent.
    void errorShownUntilLoggedIn_data()
    {
        QTest::addColumn<CannedResponse>("answer"); // none: the service's own
        QTest::addColumn<QString>("whole");
        QTest::newRow("wrong password")
            << CannedResponse() << u"ERROR: Wrong username or password"_s;
        QTest::newRow("markup in the service's line")
            << CannedResponse::withStatus(200, "ERROR: bad password <img src='/dev/zero'>\r\n")
            << u"ERROR: bad password <img src='/dev/zero'>"_s;
        CannedResponse status = CannedResponse::withStatus(500);
        status.reason = "<img src=/dev/zero>";
        QTest::newRow("markup in the status line")
            << status << u"ERROR: Could not get the proxy list: HTTP 500 <img src=/dev/zero>"_s;
    }
    void errorShownUntilLoggedIn()
    {
        QFETCH(CannedResponse, answer);
        QFETCH(QString, whole);
        if (answer.status != 200 || !answer.body.isEmpty())
            env.service.setHandler([=](const ReceivedRequest &) { return std::optional(answer); });
        ClientUnderTest client(env);
        QSignalSpy logged(&client.login, &LoginWindow::logged);
        const auto *error = client.child<QLabel>("error_label");
        const QRect button = client.child<QPushButton>("pushButton")->geometry();
        QVERIFY(!client.logIn(u"demo"_s, u"wrong"_s));
        client.login.grab(); // laid out and drawn as the user would see it
        QCOMPARE(client.child<QPushButton>("pushButton")->geometry(), button);
        QVERIFY2(showsError(error, whole), qPrintable(error->text()));
        QVERIFY(error->fontMetrics().horizontalAdvance(error->text()) <=
                error->contentsRect().width());
        CannedResponse slow = CannedResponse::withStatus(200, "ERROR: still refused\n");
        slow.delayMs = 300;
        env.service.setHandler([slow](const ReceivedRequest &) { return std::optional(slow); });
        client.click("pushButton");
        QCOMPARE(error->text(), QString()); // cleared before any answer
        QTRY_VERIFY2(showsError(error, u"ERROR: still refused"_s), qPrintable(error->text()));

        // A request of another client is the barrier.
        env.service.setHandler({});
        env.service.clearRequests();
        client.child<QLineEdit>("password")->clear();
        client.click("pushButton");
        QCOMPARE(error->text(), QString());
        ProxyManager other;
        other.apiUrl = env.service.apiUrl().toString();
        other.setCredentials(u"demo"_s, u"demo-pass"_s);
        QTRY_COMPARE(env.service.requests().size(), 1);

        // Return in a field presses "Login"; of two quick presses the first good answer logs in
        // and the second no longer reaches the window.
        QSignalSpy lists(client.manager, &ProxyManager::finishedGetProxies);
        QTest::keyClicks(client.child<QLineEdit>("password"), u"demo-pass"_s);
        QTest::keyClick(client.child<QLineEdit>("username"), Qt::Key_Return);
        QTest::keyClick(client.child<QLineEdit>("password"), Qt::Key_Return);
        QTRY_COMPARE_WITH_TIMEOUT(lists.size(), 2, 10000);
        QCOMPARE(logged.size(), 1);
        QVERIFY(!client.login.isVisible());
        QVERIFY(client.main.isVisible());
        QCOMPARE(error->text(), QString());
    }

private:
    TestEnvironment env;
};

QTEST_MAIN(TestLoginWindow)
#include "tst_loginwindow.moc"
