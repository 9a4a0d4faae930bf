// The account's authorized list beyond adding the user's address: read alone, edited through
// the rounds' queue, this program's previous address replaced; by the client and by
// proxymanager-cli, run as a program.
#include "ProxyManager.h"
#include "TestEnvironment.h"

#include <QFile>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::StringLiterals;
using Outcome = ProxyManager::AuthorizationOutcome;

class TestAuthorizedList : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { QVERIFY(env.start()); }
    void init()
    {
        env.reset();
        env.service.setReportedIp(u"10.1.1.1"_s);
        env.service.setAuthorizedIps(user, {u"10.2.2.2"_s, u"10.3.3.3"_s});
    }

    // A periodic round asked for right after a removal reads the removal's write: it must not
    // restore the entry from a read made before.
    void periodicBehindRemoval()
    {
        ProxyManager manager;
        manager.apiUrl = env.service.apiUrl().toString();
        manager.setCredentials(user, TestEnvironment::demoPassword());
        manager.myIp = u"10.1.1.1"_s;
        QSignalSpy read(&manager, &ProxyManager::authorizedListRead);
        QSignalSpy ended(&manager, &ProxyManager::authorizationEnded);
        manager.removeAuthorized({u"10.3.3.3"_s});
        manager.requestAuthIps(false);
        QTRY_COMPARE_WITH_TIMEOUT(ended.size(), 2, 10000);
        const QStringList after{u"10.1.1.1"_s, u"10.2.2.2"_s};
        QCOMPARE(env.service.authorizedIps(user), after);
        QCOMPARE(ended.at(1).at(0).value<Outcome>(), Outcome::AlreadyPresent);
        QCOMPARE(read.constLast().at(0).toStringList(), after);
    }

    void cli_data()
    {
        QTest::addColumn<QString>("arguments");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("out");
        QTest::addColumn<QString>("err");
        QTest::addColumn<QString>("answer"); // "command body" the service answers with
        const auto row = [](const char *name, const QString &arguments, int status,
                            const QString &out, const QString &err = {},
                            const QString &answer = {}) {
            QTest::newRow(name) << arguments << status << out << err << answer;
        };
        // The service's list: 10.2.2.2, 10.3.3.3, without this machine's 10.1.1.1.
        row("list never writes", u"authorized list"_s, 0, u"10.2.2.2\n10.3.3.3\n"_s);
        row("add", u"authorized add 192.0.2.7 2001:db8::/64 10.3.3.3"_s, 0,
            u"10.1.1.1\n192.0.2.7\n2001:db8::/64\n10.2.2.2\n10.3.3.3\n"_s);
        row("remove: the read minus the entry", u"authorized remove --yes 10.3.3.3"_s, 0,
            u"10.1.1.1\n10.2.2.2\n"_s);
        row("failed fresh read writes nothing", u"authorized remove --yes 10.3.3.3"_s, 5, {},
            u"could not read the authorized IP addresses (the answer holds a line that is not an "
            u"address: <html>)"_s,
            u"getauthips 10.2.2.2\n<html>\n10.3.3.3\n"_s);
        row("nor a network holding it", u"authorized remove --yes 10.0.0.0/8"_s, 2, {},
            u"10.0.0.0/8 covers"_s);
        row("an entry not listed", u"authorized remove --yes 10.4.4.4"_s, 2, {},
            u"10.4.4.4 is not on the list"_s);
        row("remove asks first", u"authorized remove 10.3.3.3"_s, 2, {}, u"--yes"_s);
        row("removing this address", u"authorized remove --yes 10.1.1.1"_s, 2, {},
            u"refused: 10.1.1.1 covers this computer's address"_s);
        row("not an address", u"authorized add 127.1"_s, 2, {}, u"not an IPv4 or IPv6"_s);
        row("no action", u"authorized"_s, 2, {}, u"list, add or remove"_s);
        row("replace without watch", u"authorize --replace-previous"_s, 2, {},
            u"goes with authorize --watch"_s);
        row("full list refuses the write", u"authorized add 192.0.2.7 192.0.2.8 192.0.2.9"_s, 5, {},
            u"did not store the new list (ERROR: the list is full)"_s);
    }
    void cli()
    {
        QFETCH(QString, arguments);
        QFETCH(int, status);
        QFETCH(QString, out);
        QFETCH(QString, err);
        QFETCH(QString, answer);
        env.service.setMaxAuthorizedIps(5);
        if (!answer.isEmpty())
            env.answerWith(answer.section(u' ', 0, 0),
                           CannedResponse::withStatus(200, answer.section(u' ', 1).toUtf8()));
        QProcess process;
        start(process, arguments.split(u' '));
        QVERIFY(finish(process));
        QCOMPARE(process.exitCode(), status);
        // A Windows console program ends its lines with CR LF.
        QCOMPARE(QString::fromUtf8(process.readAllStandardOutput()).remove(u'\r'), out);
        const QString said = QString::fromUtf8(process.readAllStandardError()).remove(u'\r');
        QVERIFY2(said.contains(err) && said.count(u'\n') == int(!err.isEmpty()), qPrintable(said));
        const QStringList stored = env.service.authorizedIps(user);
        QCOMPARE(stored.join(u'\n') % u'\n', status ? u"10.2.2.2\n10.3.3.3\n"_s : out);
    }

    // Three watching runs, the address changing each time: the third removes the first's
    // address, the one of its family this client added last, when they remember it.
    void replacePrevious_data()
    {
        QTest::addColumn<QString>("third"); // its --state, or "systemd": STATE_DIRECTORY for all
        QTest::addColumn<QStringList>("after");
        const QStringList kept{u"10.4.4.4"_s, u"2001:db8::1"_s, u"10.1.1.1"_s, u"10.2.2.2"_s,
                               u"10.3.3.3"_s};
        QStringList replaced = kept;
        replaced.removeAll(u"10.1.1.1"_s);
        QTest::newRow("same state file") << u"a.ini"_s << replaced;
        QTest::newRow("systemd's state folder") << u"systemd"_s << replaced;
        QTest::newRow("another state file: not its own") << u"b.ini"_s << kept;
        QTest::newRow("option off") << QString() << kept;
    }
    void replacePrevious()
    {
#ifdef Q_OS_WIN
        QSKIP("a console program does not stop on QProcess::terminate() on Windows");
#endif
        QFETCH(QString, third);
        QFETCH(QStringList, after);
        QTemporaryDir state;
        QString out;
        for (const QString &ip : {u"10.1.1.1"_s, u"2001:db8::1"_s, u"10.4.4.4"_s}) {
            const QString file = ip == u"10.4.4.4" ? third : u"a.ini"_s;
            env.service.setReportedIp(ip);
            QStringList arguments{u"authorize"_s, u"--watch"_s};
            if (!file.isEmpty())
                arguments << u"--replace-previous"_s;
            if (!file.isEmpty() && third != u"systemd")
                arguments << u"--state"_s << state.filePath(file);
            QProcess process;
            start(process, arguments, third == u"systemd" ? state.path() : QString());
            QTRY_COMPARE_WITH_TIMEOUT(env.service.authorizedIps(user).value(0), ip, 10000);
            process.terminate();
            QVERIFY(finish(process));
            out += QString::fromUtf8(process.readAllStandardOutput());
        }
        QCOMPARE(env.service.authorizedIps(user), after);
        QCOMPARE(out.count(u"was removed"_s), int(!after.contains(u"10.1.1.1"_s)));
        if (third == u"systemd")
            QVERIFY(QFile::exists(state.filePath(u"own-addresses.ini"_s)));
    }

private:
    void start(QProcess &process, QStringList arguments, const QString &stateDirectory = {})
    {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(u"PROXYMANAGER_USER"_s, user);
        environment.insert(u"PROXYMANAGER_PASSWORD"_s, TestEnvironment::demoPassword());
        // Empty counts as unset, as under systemd without StateDirectory=.
        environment.insert(u"STATE_DIRECTORY"_s, stateDirectory);
        process.setProcessEnvironment(environment);
        process.setWorkingDirectory(workDir.path());
        process.start(QStringLiteral(PM_CLI_PATH),
                      arguments << u"--api-url"_s << env.service.url(u"/api"_s).toString());
    }
    // The service answers from this event loop: the wait is in it.
    static bool finish(QProcess &process)
    {
        QSignalSpy finished(&process, &QProcess::finished);
        return finished.wait(30000) && process.exitStatus() == QProcess::NormalExit;
    }

    const QString user = TestEnvironment::demoUser();
    TestEnvironment env;
    QTemporaryDir workDir;
};

QTEST_MAIN(TestAuthorizedList)
#include "tst_authorizedlist.moc"
