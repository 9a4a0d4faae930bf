// "Remember me" and the login without a press, against a real Secret Service (run through
// run-with-keyring.sh, which gives the test a keyring and a home of its own).
#include "AutoLogin.h"
#include "ClientUnderTest.h"
#include "TestEnvironment.h"

#include <QAction>
#include <QCheckBox>
#include <QDirIterator>
#include <QLabel>
#include <QLineEdit>
#include <QProcess>
#include <QSettings>
#include <QSignalSpy>
#include <QTest>

using namespace Qt::StringLiterals;

namespace {

const auto user = u"keeper"_s;
// Its percent-encoded and base64 forms differ from it.
const auto password = u"p@ss w/rd+=!"_s;

// Files under the folder holding the password in any form it could be written in.
QStringList filesHoldingPassword(const QString &folder)
{
    const QByteArray plain = password.toUtf8();
    const QList<QByteArray> forms{plain, QUrl::toPercentEncoding(password), plain.toBase64()};
    QStringList found;
    QDirIterator it(folder, QDir::Files | QDir::Hidden | QDir::System,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        QFile file(it.next());
        const QByteArray content = file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
        if (std::any_of(forms.begin(), forms.end(),
                        [&](const QByteArray &form) { return content.contains(form); }))
            found << file.fileName();
    }
    return found;
}

} // namespace

class TestSavedLogin : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { QVERIFY(env.start()); }
    void init()
    {
#ifndef Q_OS_WIN
        // Windows always has its Credential Manager.
        if (qEnvironmentVariableIsEmpty("PM_TEST_HOME"))
            QSKIP("needs the keyring and home of run-with-keyring.sh");
#endif
        env.reset();
        QSettings().clear();
        env.service.addAccount(user, password, env.demoProxies());
    }

    void rememberRestartForget()
    {
        remember();
        env.service.clearRequests();
        {
            ClientUnderTest client(env);
            QCOMPARE(client.child<QLineEdit>("username")->text(), user);
            QCOMPARE(client.child<QLabel>("error_label")->text(), u"Logging in…"_s);
            QTRY_VERIFY_WITH_TIMEOUT(client.main.isVisible(), 10000);
            QCOMPARE(env.commands().count(u"list"_s), 1);
            QCOMPARE(filesHoldingPassword(client.workDir.path()), QStringList());
            if (qEnvironmentVariableIsSet("PM_TEST_HOME"))
                QCOMPARE(filesHoldingPassword(qEnvironmentVariable("PM_TEST_HOME")), QStringList());

            client.child<QAction>("actionForgetSavedLogin")->trigger();
            QTRY_VERIFY(client.log().contains(u"Saved login forgotten."_s));
        }
        env.service.clearRequests();
        ClientUnderTest client(env);
        QVERIFY(client.login.isVisible());
        QTest::qWait(200);
        QCOMPARE(client.child<QLineEdit>("password")->text(), QString());
        QVERIFY(!env.commands().contains(u"list"_s));
    }

    // No answer at all is tried again after a wait, saying so; any answer ends the tries.
    void autoLoginAnswers_data()
    {
        QTest::addColumn<CannedResponse>("answer");
        QTest::addColumn<int>("times"); // then the service's own answers
        QTest::addColumn<int>("lists");
        CannedResponse reset;
        reset.reset = true;
        QTest::newRow("reset twice, then answers") << reset << 2 << 3;
        QTest::newRow("ERROR") << CannedResponse::withStatus(200, "ERROR: account suspended\n")
                               << 100 << 1;
        QTest::newRow("HTTP 500") << CannedResponse::withStatus(500) << 100 << 1;
    }
    void autoLoginAnswers()
    {
        QFETCH(CannedResponse, answer);
        QFETCH(int, times);
        QFETCH(int, lists);
        remember();
        env.service.clearRequests();
        int left = times;
        env.service.setHandler([&left, answer](const ReceivedRequest &r) {
            const bool scripted = r.queryValue(u"command"_s) == u"list"_s && left > 0 && left--;
            return scripted ? std::optional(answer) : std::nullopt;
        });
        ClientUnderTest client(env);
        auto *autoLogin = client.login.findChild<AutoLogin *>();
        QVERIFY(autoLogin);
        autoLogin->retryWaitsMs = {50, 100};
        QSignalSpy statuses(autoLogin, &AutoLogin::status);
        QTRY_VERIFY_WITH_TIMEOUT(client.main.isVisible() ||
                                     client.child<QLabel>("error_label")->text().contains(u"ERROR"),
                                 10000);
        QTest::qWait(500);
        QCOMPARE(client.main.isVisible(), times < lists);
        QCOMPARE(env.commands().count(u"list"_s), lists);
        const QString retried = statuses.value(1).value(0).toString();
        QCOMPARE(retried.contains(u"Trying again in 0.05 s"_s), lists > 1);
    }

    // Without a Secret Service the note says so, the login goes on, nothing is remembered.
    // D-Bus keeps its connection for the process: the case runs in a process of its own.
    void noKeychain()
    {
#ifdef Q_OS_WIN
        QSKIP("the Credential Manager is part of Windows");
#endif
        if (qEnvironmentVariableIsEmpty("PM_NO_KEYCHAIN")) {
            QProcess self;
            QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
            environment.insert(u"PM_NO_KEYCHAIN"_s, u"1"_s);
            environment.insert(u"DBUS_SESSION_BUS_ADDRESS"_s, u"unix:path=/nonexistent/bus"_s);
            self.setProcessEnvironment(environment);
            self.setProcessChannelMode(QProcess::ForwardedChannels);
            self.start(QCoreApplication::applicationFilePath(), {u"noKeychain"_s});
            QVERIFY(self.waitForFinished(120000));
            QCOMPARE(self.exitCode(), 0);
            return;
        }
        ClientUnderTest client(env);
        QTest::mouseClick(client.child<QCheckBox>("rememberMe"), Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(!client.child<QLabel>("keychainNote")->text().isEmpty(), 30000);
        QVERIFY(client.logIn(user, password));
        QVERIFY(client.log().contains(u"no keychain answers"_s));
        QVERIFY(!QSettings().contains(u"savedLogin/user"_s));
    }

private:
    void remember()
    {
        ClientUnderTest client(env);
        QSignalSpy checked(client.manager, &ProxyManager::keychainChecked);
        QSignalSpy saved(client.manager, &ProxyManager::loginSaved);
        QTest::mouseClick(client.child<QCheckBox>("rememberMe"), Qt::LeftButton);
        QVERIFY(checked.wait(10000) && checked.at(0).at(0).toBool());
        QVERIFY(client.logIn(user, password));
        QTRY_COMPARE_WITH_TIMEOUT(saved.size(), 1, 10000);
        QCOMPARE(saved.at(0).at(0).toBool(), true);
        QCOMPARE(client.child<QLabel>("keychainNote")->text(), QString());
    }

    TestEnvironment env;
};

QTEST_MAIN(TestSavedLogin)
#include "tst_savedlogin.moc"
