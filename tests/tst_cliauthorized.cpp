// proxymanager-cli authorized and authorize --replace-previous, run as a program against the
// fake service.
#include "TestEnvironment.h"

#include <QFile>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::StringLiterals;

class TestCliAuthorized : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { QVERIFY(env.start()); }
    void init()
    {
        env.reset();
        env.service.setReportedIp(u"10.1.1.1"_s);
        env.service.setAuthorizedIps(TestEnvironment::demoUser(), {u"10.2.2.2"_s, u"10.3.3.3"_s});
    }

    void authorized_data()
    {
        QTest::addColumn<QString>("arguments");
        QTest::addColumn<QString>("fail"); // a command the service answers with the body below
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("out");
        QTest::addColumn<QString>("err");
        const auto row = [](const char *name, const QString &arguments, int status,
                            const QString &out, const QString &err = {}, const QString &fail = {},
                            const QByteArray &body = {}) {
            QTest::newRow(name) << arguments << fail << body << status << out << err;
        };
        row("list", u"authorized list"_s, 0, u"10.2.2.2\n10.3.3.3\n"_s);
        row("add", u"authorized add 192.0.2.7 2001:db8::/64 10.3.3.3"_s, 0,
            u"10.1.1.1\n192.0.2.7\n2001:db8::/64\n10.2.2.2\n10.3.3.3\n"_s);
        row("remove", u"authorized remove --yes 10.3.3.3"_s, 0, u"10.1.1.1\n10.2.2.2\n"_s);
        row("remove asks first", u"authorized remove 10.3.3.3"_s, 2, {}, u"--yes"_s);
        row("removing this address", u"authorized remove --yes 10.1.1.1"_s, 2, {},
            u"refused: 10.1.1.1 covers this computer's address"_s);
        row("not an address", u"authorized add 127.1"_s, 2, {}, u"not an IPv4 or IPv6"_s);
        row("no action", u"authorized"_s, 2, {}, u"list, add or remove"_s);
        row("replace without watch", u"authorize --replace-previous"_s, 2, {},
            u"goes with authorize --watch"_s);
        row("failed read", u"authorized list"_s, 5, {}, u"could not read"_s, u"getauthips"_s,
            "<html>\n");
        row("refused write, a full list", u"authorized add 192.0.2.7"_s, 5, {},
            u"did not store the new list (ERROR: the list is full)"_s, u"cap"_s);
    }
    void authorized()
    {
        QFETCH(QString, arguments);
        QFETCH(QString, fail);
        QFETCH(QByteArray, body);
        QFETCH(int, status);
        QFETCH(QString, out);
        QFETCH(QString, err);
        const QStringList before = env.service.authorizedIps(TestEnvironment::demoUser());
        if (fail == u"cap")
            env.service.setMaxAuthorizedIps(3);
        else if (!fail.isEmpty())
            env.answerWith(fail, CannedResponse::withStatus(200, body));
        QProcess process;
        start(process, arguments.split(u' '));
        QVERIFY(finish(process));
        QCOMPARE(process.exitCode(), status);
        QCOMPARE(QString::fromUtf8(process.readAllStandardOutput()), out);
        const QString said = QString::fromUtf8(process.readAllStandardError());
        QVERIFY2(said.contains(err) && said.count(u'\n') == int(!err.isEmpty()), qPrintable(said));
        if (status != 0)
            QCOMPARE(env.service.authorizedIps(TestEnvironment::demoUser()), before);
    }

    // A second run with the same state removes the first run's address; one with other state
    // knows of no address of its own and removes nothing.
    void replacePrevious_data()
    {
        QTest::addColumn<QString>("second"); // its --state; "systemd": STATE_DIRECTORY for both
        QTest::addColumn<QStringList>("after");
        const QStringList replaced{u"10.4.4.4"_s, u"10.2.2.2"_s, u"10.3.3.3"_s};
        QTest::newRow("same state file") << u"a.ini"_s << replaced;
        QTest::newRow("another state file")
            << u"b.ini"_s
            << QStringList{u"10.4.4.4"_s, u"10.1.1.1"_s, u"10.2.2.2"_s, u"10.3.3.3"_s};
        QTest::newRow("systemd's state folder") << u"systemd"_s << replaced;
    }
    void replacePrevious()
    {
        QFETCH(QString, second);
        QFETCH(QStringList, after);
        QTemporaryDir state;
        const QString user = TestEnvironment::demoUser();
        QString out;
        for (const QString &ip : {u"10.1.1.1"_s, u"10.4.4.4"_s}) {
            const bool first = ip == u"10.1.1.1";
            env.service.setReportedIp(ip);
            QStringList arguments{u"authorize"_s, u"--watch"_s, u"--replace-previous"_s};
            if (second != u"systemd")
                arguments << u"--state"_s << state.filePath(first ? u"a.ini"_s : second);
            QProcess process;
            start(process, arguments, second == u"systemd" ? state.path() : QString());
            QTRY_COMPARE_WITH_TIMEOUT(env.service.authorizedIps(user).value(0), ip, 10000);
            process.terminate();
            QVERIFY(finish(process));
            out += QString::fromUtf8(process.readAllStandardOutput());
        }
        QCOMPARE(env.service.authorizedIps(user), after);
        if (second == u"systemd")
            QVERIFY(QFile::exists(state.filePath(u"own-addresses.ini"_s)));
        QCOMPARE(out.contains(u"previous address 10.1.1.1 was removed"_s),
                 !after.contains(u"10.1.1.1"_s));
    }

private:
    void start(QProcess &process, QStringList arguments, const QString &stateDirectory = {})
    {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(u"PROXYMANAGER_USER"_s, TestEnvironment::demoUser());
        environment.insert(u"PROXYMANAGER_PASSWORD"_s, TestEnvironment::demoPassword());
        environment.remove(u"STATE_DIRECTORY"_s);
        if (!stateDirectory.isEmpty())
            environment.insert(u"STATE_DIRECTORY"_s, stateDirectory);
        process.setProcessEnvironment(environment);
        process.setWorkingDirectory(workDir.path());
        arguments << u"--api-url"_s << env.service.url(u"/api"_s).toString();
        process.start(QStringLiteral(PM_CLI_PATH), arguments);
        QVERIFY(process.waitForStarted(10000));
    }
    // The service answers from this event loop: the wait is in it.
    static bool finish(QProcess &process)
    {
        QSignalSpy finished(&process, &QProcess::finished);
        return finished.wait(30000) && process.exitStatus() == QProcess::NormalExit;
    }

    TestEnvironment env;
    QTemporaryDir workDir;
};

QTEST_GUILESS_MAIN(TestCliAuthorized)
#include "tst_cliauthorized.moc"
