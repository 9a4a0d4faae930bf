// The login window through its widgets: form, login flow and logo download.
#include "ClientUnderTest.h"
#include "ScopedWorkDir.h"
#include "TestEnvironment.h"

#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>
#include <QSignalSpy>
#include <QTest>

using namespace Qt::StringLiterals;

class TestLoginWindow : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { QVERIFY(env.start()); }
    void init();

    void formAsDesigned();
    void errorShownInRedAndClearedOnNextPress();
    void successClosesAndEmitsLoggedOnce();
    void emptyFieldsOnlyClearTheError();
    void returnInPasswordLogsIn();
    void logo_data();
    void logo();

private:
    TestEnvironment env;
};

void TestLoginWindow::init()
{
    env.reset();
}

void TestLoginWindow::formAsDesigned()
{
    ClientUnderTest client(env);
    LoginWindow &login = client.login;
    QVERIFY(login.isVisible());
    QCOMPARE(login.windowTitle(), u"ProxyManager"_s);
    QCOMPARE(login.size(), QSize(320, 220));
    QCOMPARE(login.minimumSize(), QSize(320, 220));
    QCOMPARE(login.maximumSize(), QSize(320, 220));
    QVERIFY(!(login.windowFlags() & Qt::WindowMinimizeButtonHint));
    QVERIFY(!(login.windowFlags() & Qt::WindowMaximizeButtonHint));
    QVERIFY(!login.windowIcon().isNull());
    QCOMPARE(login.geometry().center(),
             QGuiApplication::primaryScreen()->availableGeometry().center());
    QCOMPARE(client.loginChild<QLineEdit>("password")->echoMode(), QLineEdit::Password);
    QCOMPARE(client.loginChild<QLabel>("error_label")->styleSheet(), u"color: red"_s);
    QCOMPARE(client.loginChild<QPushButton>("pushButton")->text(), u"Login"_s);
    QVERIFY(client.loginChild<QLabel>("logo")->pixmap().isNull());
}

void TestLoginWindow::errorShownInRedAndClearedOnNextPress()
{
    ClientUnderTest client(env);
    QSignalSpy logged(&client.login, &LoginWindow::logged);
    QVERIFY(!client.logIn(u"demo"_s, u"wrong"_s));
    auto *error = client.loginChild<QLabel>("error_label");
    QCOMPARE(error->text(), u"ERROR: Wrong username or password\r\n"_s);
    QVERIFY(client.login.isVisible());

    CannedResponse slow = CannedResponse::withStatus(200, "ERROR: still wrong\n");
    slow.delayMs = 300;
    env.service.setHandler([slow](const ReceivedRequest &) { return std::optional(slow); });
    QTest::mouseClick(client.loginChild<QPushButton>("pushButton"), Qt::LeftButton);
    QCOMPARE(error->text(), QString()); // cleared before any answer
    QTRY_COMPARE(error->text(), u"ERROR: still wrong\n"_s);
    QCOMPARE(logged.size(), 0);
    QVERIFY(!client.main.isVisible());
}

void TestLoginWindow::successClosesAndEmitsLoggedOnce()
{
    ScopedWorkDir dir;
    ClientUnderTest client(env);
    QSignalSpy logged(&client.login, &LoginWindow::logged);
    QSignalSpy lists(client.manager, &ProxyManager::finishedGetProxies);
    // Two quick presses: the first good answer logs in, the second no longer reaches the window.
    client.loginChild<QLineEdit>("username")->setText(u"demo"_s);
    client.loginChild<QLineEdit>("password")->setText(u"demo-pass"_s);
    QTest::mouseClick(client.loginChild<QPushButton>("pushButton"), Qt::LeftButton);
    QTest::mouseClick(client.loginChild<QPushButton>("pushButton"), Qt::LeftButton);
    QTRY_COMPARE(lists.size(), 2);
    QCOMPARE(logged.size(), 1);
    QVERIFY(!client.login.isVisible());
    QVERIFY(client.main.isVisible());
    QVERIFY(client.loginChild<QLabel>("error_label")->text().isEmpty());
}

void TestLoginWindow::emptyFieldsOnlyClearTheError()
{
    ClientUnderTest client(env);
    QVERIFY(!client.logIn(u"demo"_s, u"wrong"_s));
    env.service.clearRequests();
    client.loginChild<QLineEdit>("password")->clear();
    QTest::mouseClick(client.loginChild<QPushButton>("pushButton"), Qt::LeftButton);
    QVERIFY(client.loginChild<QLabel>("error_label")->text().isEmpty());
    // A request from another client is the barrier for anything the window might have sent.
    ProxyManager other;
    other.apiUrl = env.service.apiUrl().toString();
    other.setCredentials(u"demo"_s, u"demo-pass"_s);
    QTRY_COMPARE(env.service.requests().size(), 1);
    QVERIFY(client.login.isVisible());
}

void TestLoginWindow::returnInPasswordLogsIn()
{
    ScopedWorkDir dir;
    ClientUnderTest client(env);
    QSignalSpy logged(&client.login, &LoginWindow::logged);
    client.loginChild<QLineEdit>("username")->setText(u"demo"_s);
    QTest::keyClicks(client.loginChild<QLineEdit>("password"), u"demo-pass"_s);
    QTest::keyClick(client.loginChild<QLineEdit>("password"), Qt::Key_Return);
    QTRY_COMPARE(logged.size(), 1);
}

void TestLoginWindow::logo_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<CannedResponse>("response");
    QTest::addColumn<QSize>("size");
    QTest::newRow("banner") << u"/logo.png"_s << CannedResponse() << QSize(295, 52);
    QTest::newRow("not an image") << u"/ping"_s << CannedResponse() << QSize(0, 0);
    QTest::newRow("HTTP error") << u"/nothing-here.png"_s << CannedResponse() << QSize(0, 0);
    CannedResponse silent;
    silent.stall = true;
    QTest::newRow("silent server") << u"/logo.png"_s << silent << QSize(0, 0);
}

void TestLoginWindow::logo()
{
    QFETCH(QString, path);
    QFETCH(CannedResponse, response);
    QFETCH(QSize, size);
    env.service.setLogoFile(QFINDTESTDATA("../resources/images/quorvane.png"));
    if (response.stall)
        env.service.setHandler(
            [response](const ReceivedRequest &) { return std::optional(response); });

    AppConfig config;
    // Scheme, port and query of the address are not used: plain HTTP on the window's port.
    config.logoUrl = u"https://127.0.0.1:9"_s % path % u"?size=big"_s;
    ProxyManager manager;
    LoginWindow window(nullptr);
    MainWindow main(nullptr);
    window.proxyManager = &manager;
    main.proxyManager = &manager;
    window.logoPort = env.service.port();
    window.logoTimeoutMs = 500;
    LoginWindow *login = &window;
    config.applyTo(&manager, login, &main);
    QVERIFY(!login->isVisible());
    QTRY_VERIFY_WITH_TIMEOUT(login->isVisible(), 5000);
    QCOMPARE(window.findChild<QLabel *>(u"logo"_s)->pixmap().size(), size);
    QCOMPARE(QString::fromLatin1(env.service.requests().constLast().target), path);
}

QTEST_MAIN(TestLoginWindow)
#include "tst_loginwindow.moc"
