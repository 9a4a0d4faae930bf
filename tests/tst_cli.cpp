// The command-line client, run as a program against the fake service and the fixture's proxies.
#include "TestEnvironment.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <fcntl.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace {

struct Outcome
{
    int status = -1;
    QString out;
    QString err;
};

// RFC 4180, written apart from the client's writer: quoted fields, doubled quotes, commas and
// line ends inside quotes.
QList<QStringList> readCsv(const QString &text)
{
    QList<QStringList> rows;
    QStringList row;
    QString field;
    bool quoted = false;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text.at(i);
        if (quoted) {
            if (c == u'"' && i + 1 < text.size() && text.at(i + 1) == u'"')
                field += text.at(++i);
            else if (c == u'"')
                quoted = false;
            else
                field += c;
        } else if (c == u'"') {
            quoted = true;
        } else if (c == u',') {
            row << std::exchange(field, {});
        } else if (c == u'\n') {
            row << std::exchange(field, {});
            rows << std::exchange(row, {});
        } else if (c != u'\r') {
            field += c;
        }
    }
    return rows;
}

} // namespace

class TestCli : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { QVERIFY(env.start()); }
    void init()
    {
        env.reset();
        env.service.setReportedIp(u"10.1.1.1"_s);
    }

    void commands_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("failing"); // API command answered with HTTP 500
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("out");     // null: the demo list
        QTest::addColumn<QString>("err");     // contained in the one line on stderr
        QTest::addColumn<int>("setRequests"); // setauthips requests the service received
        const QStringList list{u"list"_s}, authorize{u"authorize"_s};
        QTest::newRow("list") << list << QString() << 0 << QString() << QString() << 0;
        QTest::newRow("myip") << QStringList{u"myip"_s} << QString() << 0 << u"10.1.1.1\n"_s
                              << QString() << 0;
        QTest::newRow("authorize adds")
            << authorize << QString() << 0 << u"10.1.1.1\n"_s << QString() << 1;
        QTest::newRow("list refused") << list << u"list"_s << 3 << u""_s << u"HTTP 500"_s << 0;
        QTest::newRow("test, list refused")
            << QStringList{u"test"_s} << u"list"_s << 3 << u""_s << u"HTTP 500"_s << 0;
        QTest::newRow("myip refused")
            << QStringList{u"myip"_s} << u"getmyip"_s << 3 << u""_s << u"HTTP 500"_s << 0;
        QTest::newRow("failed read writes nothing")
            << authorize << u"getauthips"_s << 5 << u""_s << u"could not read"_s << 0;
        QTest::newRow("write not stored")
            << authorize << u"setauthips"_s << 5 << u""_s << u"did not store"_s << 1;
        QTest::newRow("address unknown")
            << authorize << u"getmyip"_s << 3 << u""_s << u"not known"_s << 0;
        QTest::newRow("unreachable")
            << QStringList{u"list"_s, u"--api-url"_s,
                           u"http://"_s % env.closedEntry() % u"/api?user=x"_s}
            << QString() << 4 << u""_s << u"cannot reach the service"_s << 0;
        QTest::newRow("TLS refused")
            << QStringList{u"myip"_s, u"--api-url"_s, env.tlsService.url(u"/api"_s).toString()}
            << QString() << 4 << u""_s << u"TLS handshake failed"_s << 0;
        QTest::newRow("unknown command")
            << QStringList{u"lsit"_s} << QString() << 2 << u""_s << u"unknown command"_s << 0;
        QTest::newRow("option of another command")
            << QStringList{u"list"_s, u"--working"_s} << QString() << 2 << u""_s
            << u"option of test"_s << 0;
        QTest::newRow("watch without authorize")
            << QStringList{u"list"_s, u"--watch"_s} << QString() << 2 << u""_s
            << u"options of authorize"_s << 0;
        QTest::newRow("parallel out of range") << QStringList{u"test"_s, u"--parallel"_s, u"65"_s}
                                               << QString() << 2 << u""_s << u"--parallel"_s << 0;
        QTest::newRow("config missing")
            << QStringList{u"list"_s, u"--config"_s, u"/nonexistent/config.ini"_s} << QString() << 2
            << u""_s << u"configuration file"_s << 0;
        QTest::newRow("not a URL") << QStringList{u"list"_s, u"--api-url"_s, u"ftp://x/api"_s}
                                   << QString() << 2 << u""_s << u"not an http"_s << 0;
    }
    void commands()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, failing);
        QFETCH(int, status);
        QFETCH(QString, out);
        QFETCH(QString, err);
        QFETCH(int, setRequests);
        if (!failing.isEmpty()) {
            env.service.setHandler([failing](const ReceivedRequest &r) {
                return r.queryValue(u"command"_s) == failing
                           ? std::optional(CannedResponse::withStatus(500, "10.9.9.9\n"))
                           : std::nullopt;
            });
        }
        const Outcome result = run(arguments);
        QCOMPARE(result.status, status);
        QCOMPARE(result.out, out.isNull() ? env.demoProxies().join(u'\n') % u'\n' : out);
        if (err.isEmpty()) {
            QCOMPARE(result.err, QString());
        } else {
            QVERIFY2(result.err.contains(err), qPrintable(result.err));
            QCOMPARE(result.err.count(u'\n'), 1);
            QVERIFY(!result.err.contains(TestEnvironment::demoPassword()));
            QVERIFY(!result.err.contains(u"user="_s));
        }
        // A usage error never reaches the service.
        if (status == 2)
            QCOMPARE(env.service.requestCount(), 0);
        QCOMPARE(countCommand(u"setauthips"_s), setRequests);
    }

    void testFormats_data()
    {
        QTest::addColumn<bool>("withWorking");
        QTest::newRow("mixed list") << true;
        QTest::newRow("nothing works") << false;
    }
    void testFormats()
    {
        QFETCH(bool, withWorking);
        if (!TestEnvironment::tinyproxyAvailable())
            QSKIP("tinyproxy is not installed");
        QStringList entries{env.refusingEntry(), env.silentEntry(), env.wrongPageEntry(),
                            env.closedEntry(), u"a\"b,c"_s};
        if (withWorking)
            entries.insert(1, env.allowingEntry());
        env.service.setProxies(TestEnvironment::demoUser(), entries);
        const QStringList common{u"test"_s, u"--timeout"_s, u"1500"_s, u"--parallel"_s, u"4"_s};

        const Outcome text = run(common);
        const Outcome csv = run(common + QStringList{u"--format"_s, u"csv"_s});
        const Outcome json = run(common + QStringList{u"--format"_s, u"json"_s});
        const Outcome working = run(common + QStringList{u"--working"_s, u"--format"_s, u"json"_s});
        const int status = withWorking ? 0 : 1;
        for (const Outcome *o : {&text, &csv, &json, &working}) {
            QCOMPARE(o->status, status);
            QCOMPARE(o->err, QString()); // stderr is no terminal: no progress line
        }
        QCOMPARE(working.out, withWorking ? env.allowingEntry() % u'\n' : QString());

        const QList<QStringList> rows = readCsv(csv.out);
        QCOMPARE(rows.value(0), (QStringList{u"entry"_s, u"host"_s, u"port"_s, u"outcome"_s,
                                             u"code"_s, u"ms"_s, u"detail"_s}));
        QJsonParseError error;
        const QJsonArray array = QJsonDocument::fromJson(json.out.toUtf8(), &error).array();
        QCOMPARE(error.error, QJsonParseError::NoError);
        const QStringList textLines = text.out.split(u'\n', Qt::SkipEmptyParts);
        QCOMPARE(rows.size(), entries.size() + 1);
        QCOMPARE(array.size(), entries.size());
        QCOMPARE(textLines.size(), entries.size());

        QStringList outcomes;
        for (qsizetype i = 0; i < entries.size(); ++i) {
            QStringList row = rows.at(i + 1);
            const QJsonObject object = array.at(i).toObject();
            QStringList fromJson;
            for (const QString &key : rows.at(0))
                fromJson << (key == u"ms" ? QString::number(object.value(key).toInt())
                                          : object.value(key).toString());
            // Aligned text: the same fields in the same order, an empty one only spaces; three
            // runs, so only the times may differ.
            QStringList pattern;
            for (qsizetype f = 0; f < row.size(); ++f) {
                if (f == 5)
                    pattern << u"\\d+"_s;
                else if (!row.at(f).isEmpty())
                    pattern << QRegularExpression::escape(row.at(f));
            }
            const QRegularExpression line(u'^' % pattern.join(u" +"_s) % u'$');
            QVERIFY2(line.match(textLines.at(i)).hasMatch(), qPrintable(textLines.at(i)));
            fromJson[5] = row[5] = QString();
            QCOMPARE(fromJson, row);
            QCOMPARE(row.at(0), entries.at(i));
            outcomes << row.at(3) % u'/' % row.at(4) % u'/' % row.at(6);
        }
        QStringList expected{u"Access Denied/1/127.0.0.1"_s, u"Timeout/2/"_s,
                             u"Error/3/"_s % QString::fromLatin1(env.wrongPageBody()),
                             u"Error/3/"_s,
                             u"Invalid entry/5/there is no colon between host and port"_s};
        if (withWorking)
            expected.insert(1, u"Up/0/"_s);
        QCOMPARE(outcomes, expected);
    }

    void credentials_data()
    {
        QTest::addColumn<QString>("source"); // env, file or none
        QTest::addColumn<QString>("password");
        QTest::addColumn<bool>("ownerOnly"); // file only
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("err");
        const QString odd = u"p&w #1 %41+x y"_s;
        QTest::newRow("environment") << u"env"_s << odd << true << 0 << QString();
        QTest::newRow("file") << u"file"_s << odd << true << 0 << QString();
        QTest::newRow("file readable by others")
            << u"file"_s << odd << false << 2 << u"can be read by other users"_s;
        QTest::newRow("wrong password") << u"env"_s << u"nope"_s << true << 3 << u"ERROR"_s;
        QTest::newRow("none, no terminal")
            << u"none"_s << odd << true << 2 << u"PROXYMANAGER_USER"_s;
    }
    void credentials()
    {
        QFETCH(QString, source);
        QFETCH(QString, password);
        QFETCH(bool, ownerOnly);
        QFETCH(int, status);
        QFETCH(QString, err);
        env.service.addAccount(u"odd user"_s, u"p&w #1 %41+x y"_s, {u"1.2.3.4:80"_s});
        QStringList arguments{u"list"_s};
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.remove(u"PROXYMANAGER_USER"_s);
        environment.remove(u"PROXYMANAGER_PASSWORD"_s);
        QTemporaryDir dir;
        if (source == u"env") {
            environment.insert(u"PROXYMANAGER_USER"_s, u"odd user"_s);
            environment.insert(u"PROXYMANAGER_PASSWORD"_s, password);
        } else if (source == u"file") {
            QFile file(dir.filePath(u"credentials"_s));
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write("odd user\n" + password.toUtf8() + "\n");
            file.close();
            QVERIFY(file.setPermissions(
                QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                (ownerOnly ? QFileDevice::Permissions() : QFileDevice::ReadOther)));
            arguments << u"--credentials"_s << file.fileName();
        }
        const Outcome result = run(arguments, environment);
        QCOMPARE(result.status, status);
        QCOMPARE(result.out, status == 0 ? u"1.2.3.4:80\n"_s : QString());
        QVERIFY2(err.isEmpty() ? result.err.isEmpty() : result.err.contains(err),
                 qPrintable(result.err));
        QVERIFY(!result.err.contains(password));
        const auto requests = env.service.requestsFor(u"/api"_s);
        QCOMPARE(requests.isEmpty(), status == 2);
        if (status == 0)
            QCOMPARE(requests.constLast().queryValue(u"pass"_s), password);
    }

    // On a terminal, without credentials elsewhere: asked for, the password not echoed.
    void prompt()
    {
        const QByteArray program = PM_CLI_PATH;
        const QByteArray api = env.service.url(u"/api"_s).toEncoded();
        // Built before the fork: the child only calls exec.
        const char *argv[] = {program.constData(), "myip", "--api-url", api.constData(), nullptr};
        char term[] = "TERM=dumb";
        char *envp[] = {term, nullptr};
        int fd = -1;
        const pid_t pid = forkpty(&fd, nullptr, nullptr, nullptr);
        QVERIFY(pid >= 0);
        if (pid == 0) {
            execve(argv[0], const_cast<char **>(argv), envp);
            _exit(127);
        }
        fcntl(fd, F_SETFL, O_NONBLOCK);
        QByteArray out;
        const auto readUntil = [&](const QByteArray &text) {
            for (int i = 0; i < 200 && !out.contains(text); ++i) {
                QTest::qWait(50); // the service answers from this event loop
                char buffer[256];
                for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) > 0;)
                    out.append(buffer, n);
            }
            return out.contains(text);
        };
        const bool asked = readUntil("User: ") && write(fd, "demo\n", 5) == 5 &&
                           readUntil("Password: ") && write(fd, "demo-pass\n", 10) == 10 &&
                           readUntil("10.1.1.1");
        int status = -1;
        if (!asked)
            kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        close(fd);
        QVERIFY2(asked, out.constData());
        QVERIFY2(!out.contains("demo-pass"), out.constData());
        QVERIFY(WIFEXITED(status));
        QCOMPARE(WEXITSTATUS(status), 0);
    }

    void watch()
    {
        const QString user = TestEnvironment::demoUser();
        env.service.setAuthorizedIps(user, {u"10.7.7.7"_s});
        QProcess process;
        start(process, {u"authorize"_s, u"--watch"_s, u"--interval"_s, u"0.1"_s});
        QTRY_COMPARE_WITH_TIMEOUT(env.service.authorizedIps(user),
                                  (QStringList{u"10.1.1.1"_s, u"10.7.7.7"_s}), 10000);
        // The service forgets the address; the next round puts it back.
        env.service.setAuthorizedIps(user, {u"10.7.7.7"_s});
        QTRY_COMPARE_WITH_TIMEOUT(env.service.authorizedIps(user).size(), 2, 10000);
        env.service.setReportedIp(u"10.2.2.2"_s);
        QTRY_COMPARE_WITH_TIMEOUT(env.service.authorizedIps(user).value(0), u"10.2.2.2"_s, 10000);

        // A failed read: the round says so and writes nothing.
        env.service.setHandler([](const ReceivedRequest &r) {
            return r.queryValue(u"command"_s) == u"getauthips"
                       ? std::optional(CannedResponse::withStatus(503))
                       : std::nullopt;
        });
        env.service.setAuthorizedIps(user, {u"10.7.7.7"_s});
        env.service.clearRequests();
        QTRY_VERIFY_WITH_TIMEOUT(countCommand(u"getauthips"_s) >= 3, 10000);
        QCOMPARE(countCommand(u"setauthips"_s), 0);
        QCOMPARE(env.service.authorizedIps(user), QStringList{u"10.7.7.7"_s});

        QSignalSpy finished(&process, &QProcess::finished);
        process.terminate();
        QVERIFY(finished.wait(10000));
        QCOMPARE(process.exitStatus(), QProcess::NormalExit);
        QCOMPARE(process.exitCode(), 0);
        QCOMPARE(QString::fromLocal8Bit(process.readAllStandardOutput()),
                 u"address 10.1.1.1 was not authorized, authorized\n"
                 u"address 10.1.1.1 was not authorized, authorized\n"
                 u"address changed from 10.1.1.1 to 10.2.2.2, authorized\n"_s);
        const QStringList failures =
            QString::fromLocal8Bit(process.readAllStandardError()).split(u'\n', Qt::SkipEmptyParts);
        QVERIFY(failures.size() >= 3);
        for (const QString &line : failures)
            QVERIFY2(line.contains(u"could not read the authorized IP addresses (HTTP 503"_s),
                     qPrintable(line));
    }

private:
    void start(QProcess &process, const QStringList &arguments,
               const QProcessEnvironment &environment = {})
    {
        QProcessEnvironment e = environment;
        if (e.isEmpty()) {
            e = QProcessEnvironment::systemEnvironment();
            e.insert(u"PROXYMANAGER_USER"_s, TestEnvironment::demoUser());
            e.insert(u"PROXYMANAGER_PASSWORD"_s, TestEnvironment::demoPassword());
        }
        process.setProcessEnvironment(e);
        // The fixture's own config.ini, if any, must not count.
        process.setWorkingDirectory(workDir.path());
        QStringList all = arguments;
        if (!arguments.contains(u"--api-url"_s))
            all << u"--api-url"_s << env.service.url(u"/api"_s).toString();
        all << u"--ping-url"_s << env.service.url(u"/ping"_s).toString();
        process.start(QStringLiteral(PM_CLI_PATH), all);
        QVERIFY(process.waitForStarted(10000));
    }

    Outcome run(const QStringList &arguments, const QProcessEnvironment &environment = {})
    {
        QProcess process;
        start(process, arguments, environment);
        QSignalSpy finished(&process, &QProcess::finished);
        Outcome outcome;
        // The service answers from this event loop: wait in it.
        if (!finished.wait(30000))
            return outcome;
        outcome.status = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -2;
        outcome.out = QString::fromUtf8(process.readAllStandardOutput());
        outcome.err = QString::fromUtf8(process.readAllStandardError());
        return outcome;
    }

    int countCommand(const QString &command) const
    {
        int count = 0;
        for (const ReceivedRequest &r : env.service.requestsFor(u"/api"_s))
            count += r.queryValue(u"command"_s) == command;
        return count;
    }

    TestEnvironment env;
    QTemporaryDir workDir;
};

QTEST_GUILESS_MAIN(TestCli)
#include "tst_cli.moc"
