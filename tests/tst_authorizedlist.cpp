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

    void edit_data()
    {
        QTest::addColumn<QStringList>("before");
        QTest::addColumn<QStringList>("removed"); // none: a read alone
        QTest::addColumn<QString>("answer");      // "command body" the service answers with
        QTest::addColumn<bool>("periodicBehind"); // a periodic round asked for right after
        QTest::addColumn<QStringList>("after");
        QTest::addColumn<QString>("failure"); // starts the reason; empty: none
        const QStringList three{u"10.2.2.2"_s, u"10.1.1.1"_s, u"10.3.3.3"_s};
        const QStringList missing{u"10.2.2.2"_s, u"2001:db8::9"_s, u"10.3.3.3"_s};
        const QStringList moved{u"10.1.1.1"_s, u"10.2.2.2"_s, u"2001:db8::9"_s};
        const auto row = [](const char *name, const QStringList &before, const QStringList &removed,
                            const QStringList &after, const QString &failure = {},
                            const QString &answer = {}, bool behind = false) {
            QTest::newRow(name) << before << removed << answer << behind << after << failure;
        };
        row("read never writes, the address missing", missing, {}, missing);
        row("removal writes the read minus the entry", three, {u"10.3.3.3"_s},
            {u"10.2.2.2"_s, u"10.1.1.1"_s});
        row("the address goes first when missing", missing, {u"10.3.3.3"_s}, moved);
        row("periodic round behind a removal", missing, {u"10.3.3.3"_s}, moved, {}, {}, true);
        row("failed fresh read writes nothing", three, {u"10.3.3.3"_s}, three,
            u"could not read the authorized IP addresses (the answer holds a line that is not "
            u"an address: <html>)"_s,
            u"getauthips 10.2.2.2\n<html>\n"_s);
        row("refused write", three, {u"10.3.3.3"_s}, three,
            u"the service did not store the new list (ERROR: list full)"_s,
            u"setauthips ERROR: list full\n"_s);
        row("the user's address is not removed", three, {u"10.1.1.1/32"_s}, three,
            u"10.1.1.1/32 covers this computer's address 10.1.1.1"_s);
        row("nor a network holding it", {u"10.1.0.0/16"_s}, {u"10.1.0.0/16"_s}, {u"10.1.0.0/16"_s},
            u"10.1.0.0/16 covers"_s);
        row("an entry not listed", three, {u"10.4.4.4"_s}, three, u"10.4.4.4 is not on the list"_s);
    }
    void edit()
    {
        QFETCH(QStringList, before);
        QFETCH(QStringList, removed);
        QFETCH(QString, answer);
        QFETCH(bool, periodicBehind);
        QFETCH(QStringList, after);
        QFETCH(QString, failure);
        ProxyManager manager;
        manager.apiUrl = env.service.apiUrl().toString();
        manager.apiTimeoutMs = 3000;
        manager.setCredentials(user, TestEnvironment::demoPassword());
        env.service.setAuthorizedIps(user, before);
        if (!answer.isEmpty())
            env.answerWith(answer.section(u' ', 0, 0),
                           CannedResponse::withStatus(200, answer.section(u' ', 1).toUtf8()));
        QSignalSpy read(&manager, &ProxyManager::authorizedListRead);
        QSignalSpy failed(&manager, &ProxyManager::authorizedListFailed);
        QSignalSpy ended(&manager, &ProxyManager::authorizationEnded);
        if (removed.isEmpty())
            manager.readAuthorizedList();
        else
            manager.removeAuthorized(removed);
        if (periodicBehind) {
            manager.myIp = u"10.1.1.1"_s;
            manager.requestAuthIps(false);
        }
        QTRY_COMPARE_WITH_TIMEOUT(ended.size(), periodicBehind ? 2 : 1, 10000);
        // The periodic round read the removal's write, which holds the address.
        if (periodicBehind)
            QCOMPARE(ended.at(1).at(0).value<Outcome>(), Outcome::AlreadyPresent);
        QCOMPARE(env.service.authorizedIps(user), after);
        QCOMPARE(failed.size(), failure.isEmpty() ? 0 : 1);
        if (failure.isEmpty()) {
            QCOMPARE(read.at(0).at(0).toStringList(), before);
            return;
        }
        const QString reason = failed.at(0).at(0).toString();
        QVERIFY2(reason.startsWith(failure), qPrintable(reason));
        QCOMPARE(failed.at(0).at(1).toBool(),
                 reason.contains(u"covers"_s) || reason.contains(u"not on the list"_s));
        QCOMPARE(env.commands().count(u"setauthips"_s), int(answer.startsWith(u"setauthips")));
    }

    void cli_data()
    {
        QTest::addColumn<QString>("arguments");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("out");
        QTest::addColumn<QString>("err");
        const auto row = [](const char *name, const QString &arguments, int status,
                            const QString &out, const QString &err = {}) {
            QTest::newRow(name) << arguments << status << out << err;
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
        row("full list refuses the write", u"authorized add 192.0.2.7 192.0.2.8 192.0.2.9"_s, 5, {},
            u"did not store the new list (ERROR: the list is full)"_s);
    }
    void cli()
    {
        QFETCH(QString, arguments);
        QFETCH(int, status);
        QFETCH(QString, out);
        QFETCH(QString, err);
        env.service.setMaxAuthorizedIps(5);
        QProcess process;
        start(process, arguments.split(u' '));
        QVERIFY(finish(process));
        QCOMPARE(process.exitCode(), status);
        QCOMPARE(QString::fromUtf8(process.readAllStandardOutput()), out);
        const QString said = QString::fromUtf8(process.readAllStandardError());
        QVERIFY2(said.contains(err) && said.count(u'\n') == int(!err.isEmpty()), qPrintable(said));
        if (status != 0)
            QCOMPARE(env.service.authorizedIps(user), (QStringList{u"10.2.2.2"_s, u"10.3.3.3"_s}));
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
        environment.remove(u"STATE_DIRECTORY"_s);
        if (!stateDirectory.isEmpty())
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
