// Reading config.ini and applying it at start-up.
#include "AppConfig.h"
#include "LoginWindow.h"
#include "MainWindow.h"
#include "ProxyManager.h"
#include "ScopedWorkDir.h"

#include <QDir>
#include <QFile>
#include <QTest>

using namespace Qt::StringLiterals;

class TestAppConfig : public QObject
{
    Q_OBJECT

private slots:
    void readsFile_data();
    void readsFile();
    void missingOrDirectoryReadsEmpty();
    void fileIsNeverWritten();
    void applied_data();
    void applied();
};

template <size_t N> static QByteArray withNuls(const char (&text)[N])
{
    return QByteArray(text, N - 1);
}

static void writeFile(const QByteArray &content)
{
    QFile file(u"config.ini"_s);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(content);
}

void TestAppConfig::readsFile_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QStringList>("values"); // API_URL, PING_URL, TITLE_TEXT, LOGO_URL
    QTest::newRow("top level") << "API_URL=http://a/api\nPING_URL=http://p/ping\n"
                                  "TITLE_TEXT=My proxies\nLOGO_URL=http://l/logo.png\n"_ba
                               << QStringList{u"http://a/api"_s, u"http://p/ping"_s,
                                              u"My proxies"_s, u"http://l/logo.png"_s};
    QTest::newRow("General section, CR LF")
        << "[General]\r\nAPI_URL=http://a/api\r\nTITLE_TEXT=T\r\n"_ba
        << QStringList{u"http://a/api"_s, QString(), u"T"_s, QString()};
    QTest::newRow("other section ignored")
        << "[Other]\nAPI_URL=http://a/api\n"_ba
        << QStringList{QString(), QString(), QString(), QString()};
    QTest::newRow("empty values") << "API_URL=\nTITLE_TEXT=\n"_ba
                                  << QStringList{QString(), QString(), QString(), QString()};
    QTest::newRow("unquoted comma is absent, quoted kept")
        << "API_URL=http://a/api?x=1,2\nPING_URL=\"http://p/ping?x=1,2\"\n"_ba
        << QStringList{QString(), u"http://p/ping?x=1,2"_s, QString(), QString()};
    QTest::newRow("UTF-8 title") << "TITLE_TEXT=Prøxy ☂\n"_ba
                                 << QStringList{QString(), QString(), u"Prøxy ☂"_s, QString()};
    QTest::newRow("garbage bytes around a good key")
        << withNuls("\xff\xfe\x00\x01junk\n=\nAPI_URL=http://a/api\n\x80\x81=\x82\n[\n")
        << QStringList{u"http://a/api"_s, QString(), QString(), QString()};
    const QByteArray longValue(1 << 20, 'x');
    QTest::newRow("1 MB value") << "TITLE_TEXT=" + longValue + "\n"
                                << QStringList{QString(), QString(), QString::fromLatin1(longValue),
                                               QString()};
}

void TestAppConfig::readsFile()
{
    QFETCH(QByteArray, content);
    QFETCH(QStringList, values);
    ScopedWorkDir dir;
    writeFile(content);
    const AppConfig config = AppConfig::load();
    QCOMPARE((QStringList{config.apiUrl, config.pingUrl, config.titleText, config.logoUrl}),
             values);
}

void TestAppConfig::missingOrDirectoryReadsEmpty()
{
    ScopedWorkDir dir;
    AppConfig config = AppConfig::load();
    QVERIFY(config.apiUrl.isEmpty() && config.titleText.isEmpty() && config.logoUrl.isEmpty());
    QVERIFY(QDir().mkdir(u"config.ini"_s));
    config = AppConfig::load();
    QVERIFY(config.apiUrl.isEmpty() && config.pingUrl.isEmpty());
}

void TestAppConfig::fileIsNeverWritten()
{
    ScopedWorkDir dir;
    const QByteArray content = "; comment\nAPI_URL = http://a/api \n[Other]\nX=1\n";
    writeFile(content);
    QFile::setPermissions(u"config.ini"_s, QFile::ReadOwner);
    QCOMPARE(AppConfig::load().apiUrl, u"http://a/api"_s);
    QFile file(u"config.ini"_s);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), content);
    AppConfig::load(u"absent.ini"_s);
    QVERIFY(!QFile::exists(u"absent.ini"_s));
}

void TestAppConfig::applied_data()
{
    QTest::addColumn<QString>("title");
    QTest::addColumn<QString>("expectedTitle");
    QTest::newRow("no title") << QString() << u"ProxyManager"_s;
    QTest::newRow("configured title") << u"Acme proxies"_s << u"Acme proxies"_s;
}

void TestAppConfig::applied()
{
    QFETCH(QString, title);
    QFETCH(QString, expectedTitle);
    ProxyManager manager;
    LoginWindow login(nullptr);
    MainWindow main(nullptr);
    login.proxyManager = &manager;
    main.proxyManager = &manager;
    AppConfig config;
    config.apiUrl = u"http://127.0.0.1:1/api"_s;
    config.titleText = title;
    config.applyTo(&manager, &login, &main);
    QCOMPARE(manager.apiUrl, config.apiUrl);
    QVERIFY(manager.pingUrl.isNull());
    QCOMPARE(login.windowTitle(), expectedTitle);
    QCOMPARE(main.windowTitle(), expectedTitle);
    QVERIFY(login.isVisible()); // no LOGO_URL: shown at once
    QVERIFY(!main.isVisible());
}

QTEST_MAIN(TestAppConfig)
#include "tst_appconfig.moc"
