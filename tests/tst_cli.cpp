// The command-line client, run as a program against the fake service and the fixture's proxies.
#include "FakePingProxy.h"
#include "TestEnvironment.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QUrl>

#include <fcntl.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

class TestCli : public QObject
{
    Q_OBJECT

    struct Outcome
    {
        int status = -1;
        QString out;
        QString err;
    };

private slots:
    void initTestCase() { QVERIFY(env.start()); }
    void init()
    {
        env.reset();
        env.service.setReportedIp(u"10.1.1.1"_s);
    }

    void commands_data()
    {
        QTest::addColumn<QString>("arguments");
        QTest::addColumn<QString>("setup");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("out");
        QTest::addColumn<QString>("err");     // contained in the one line on stderr
        QTest::addColumn<int>("setRequests"); // setauthips requests the service received
        // Setup: "fail COMMAND": the service answers it with HTTP 500; "empty once": the list is
        // read as empty the first time only; "nothing works": no entry of the list works; "env",
        // "user only", "file", "user file" (no password), "shared file", "none": where the
        // credentials come from, those of an account with odd characters in both; "echo": those
        // from the environment, echoed by the service's refusal; "not a database": the history
        // file is none.
        const auto row = [](const char *name, const QString &arguments, const QString &setup,
                            int status, const QString &out, const QString &err = {},
                            int setRequests = 0) {
            QTest::newRow(name) << arguments << setup << status << out << err << setRequests;
        };
        const QString closed = u"http://"_s % env.closedEntry() % u"/api?user=x"_s;
        row("list", u"list"_s, {}, 0, env.demoProxies().join(u'\n') % u'\n');
        row("myip", u"myip"_s, {}, 0, u"10.1.1.1\n"_s);
        row("authorize adds", u"authorize"_s, {}, 0, u"10.1.1.1\n10.2.2.2\n"_s, {}, 1);
        row("test, list refused", u"test"_s, u"fail list"_s, 3, {}, u"HTTP 500"_s);
        row("test, nothing works", u"test --working"_s, u"nothing works"_s, 1, {});
        row("myip refused", u"myip"_s, u"fail getmyip"_s, 3, {}, u"HTTP 500"_s);
        row("failed read writes nothing", u"authorize"_s, u"fail getauthips"_s, 5, {},
            u"could not read"_s);
        row("write not stored", u"authorize"_s, u"fail setauthips"_s, 5, {}, u"did not store"_s, 1);
        row("empty for a moment", u"authorize"_s, u"empty once"_s, 5, {}, u"list changed"_s);
        row("address unknown", u"authorize"_s, u"fail getmyip"_s, 3, {}, u"not known"_s);
        row("echoed secrets", u"myip"_s, u"echo"_s, 3, {},
            u"pass=*** enc=*** low=*** b64=*** end"_s);
        row("unreachable", u"list --api-url "_s + closed, {}, 4, {}, u"cannot reach the service"_s);
        row("unknown command, line separators", u"ls\u2028i\u2029t"_s, {}, 2, {},
            u"unknown command: ls i t"_s);
        row("option of another command", u"list --working"_s, {}, 2, {}, u"option of test"_s);
        row("watch without authorize", u"list --watch"_s, {}, 2, {}, u"options of authorize"_s);
        row("parallel out of range", u"test --parallel 0"_s, {}, 2, {}, u"--parallel"_s);
        row("interval past a day", u"authorize --watch --interval 86400.5"_s, {}, 2, {},
            u"--interval"_s);
        row("config missing", u"list --config /nonexistent/config.ini"_s, {}, 2, {},
            u"configuration file"_s);
        row("not a URL", u"list --api-url ftp://x/api"_s, {}, 2, {}, u"not an http"_s);
        row("expect without target", u"test --expect x"_s, {}, 2, {}, u"goes with --target"_s);
        row("target not http", u"test --target ftp://x/"_s, {}, 2, {}, u"--target: only http"_s);
        row("exit page is the service", u"test --exit-ip "_s + env.service.url(u"/ip"_s).toString(),
            {}, 2, {}, u"--exit-ip: the service's own"_s);
        const QString odd = u"1.2.3.4:80\n"_s;
        row("credentials from the environment", u"list"_s, u"env"_s, 0, odd);
        row("credentials file", u"list"_s, u"file"_s, 0, odd);
        row("credentials file readable by others", u"list"_s, u"shared file"_s, 2, {},
            u"can be read by other users"_s);
        row("no credentials, no terminal", u"list"_s, u"none"_s, 2, {}, u"PROXYMANAGER_USER"_s);
        row("user without password", u"list"_s, u"user only"_s, 2, {}, u"must both be set"_s);
        // This account has no history: only the header.
        const QString header =
            u"entry,uptime,results,median_ms,p95_ms,estimated,last_outcome,last_code,last_at\n"_s;
        row("history, the user name alone", u"history --format csv"_s, u"user only"_s, 0, header);
        row("history, a user name file", u"history --format csv"_s, u"user file"_s, 0, header);
        row("test, a user name file", u"test"_s, u"user file"_s, 2, {},
            u"password on its second"_s);
        row("history, not a database", u"history"_s, u"not a database"_s, 6, {}, u"no history: "_s);
        row("history since 2w", u"history --since 2w --format json"_s, u"env"_s, 0, u"[\n]\n"_s);
        row("history since 366d", u"history --since 366d --format csv"_s, u"env"_s, 0, header);
        for (const char *since : {"24", "0m", "-5m", "5M", "367d", "1h30m"})
            row(since, u"history --since "_s + QLatin1String(since), {}, 2, {}, u"--since must"_s);
        row("no-record is of test", u"history --no-record"_s, {}, 2, {}, u"option of test"_s);
    }
    void commands()
    {
        QFETCH(QString, arguments);
        QFETCH(QString, setup);
        QFETCH(int, status);
        QFETCH(QString, out);
        QFETCH(QString, err);
        QFETCH(int, setRequests);
        // Query syntax, a percent escape and non-ASCII: each must reach the service as typed. (No
        // stray "%": QUrl would then re-encode every "%" of the request and hide a missing escape.)
        const QString user = u"odd üser?"_s, password = u"p&w #1 %41+x y=?пароль€"_s;
        env.service.addAccount(user, password, {u"1.2.3.4:80"_s});
        env.service.setAuthorizedIps(TestEnvironment::demoUser(), {u"10.2.2.2"_s});
        if (setup == u"nothing works")
            env.service.setProxies(TestEnvironment::demoUser(), {env.closedEntry(), u"x"_s});
        if (setup.startsWith(u"fail "))
            env.answerWith(setup.mid(5), CannedResponse::withStatus(500, "10.9.9.9\n"));
        if (setup == u"empty once")
            answerOnce(u"getauthips"_s, CannedResponse::withStatus(200));
        const QByteArray encoded = QUrl::toPercentEncoding(password);
        const QByteArray basic = (user % u':' % password).toUtf8().toBase64();
        if (setup == u"echo")
            env.answerWith(u"getmyip"_s,
                           CannedResponse::withStatus(
                               200, "ERROR: bad login name=" + user.toUtf8() +
                                        " pass=" + password.toUtf8() + " enc=" + encoded +
                                        " low=" + encoded.toLower() + " b64=" + basic + " end\n"));
        QStringList argv = arguments.split(u' ');
        QStringList credentials;
        if (setup == u"env" || setup == u"echo" || setup == u"user only")
            credentials = QStringList{user, setup == u"user only" ? QString() : password};
        else if (setup == u"none" || setup.endsWith(u"file"))
            credentials = QStringList{{}, {}};
        if (setup.endsWith(u"file")) {
            QFile file(workDir.filePath(u"credentials"_s));
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write(
                (user % u'\n' % (setup == u"user file" ? QString() : password % u'\n')).toUtf8());
            file.close();
            QVERIFY(file.setPermissions(
                QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                (setup == u"shared file" ? QFileDevice::ReadOther : QFileDevice::Permissions())));
            argv << u"--credentials"_s << file.fileName();
        }
        QFile history(
            workDir.filePath(u"data-commands/ProxyManager/ProxyManager/history.sqlite"_s));
        if (setup == u"not a database") {
            QVERIFY(QDir().mkpath(QFileInfo(history).path()) && history.open(QIODevice::WriteOnly));
            history.write(QByteArray(8192, 'x'));
            history.close();
        }
        const Outcome result = run(argv, credentials);
        history.remove();
        QCOMPARE(result.status, status);
        QCOMPARE(result.out, out);
        QVERIFY2(result.err.contains(err), qPrintable(result.err));
        // One line, if any, that shows neither a password in any form nor the request's URL.
        QCOMPARE(result.err.count(QRegularExpression(u"[\r\n\u2028\u2029]"_s)),
                 err.isEmpty() ? 0 : 1);
        for (const QString &secret :
             {TestEnvironment::demoPassword(), password, QString::fromLatin1(encoded),
              QString::fromLatin1(basic), u"user="_s})
            QVERIFY2(!result.err.contains(secret), qPrintable(result.err));
        // A usage error never reaches the service, nor does history.
        if (status == 2 || arguments.startsWith(u"history"))
            QCOMPARE(env.service.requestCount(), 0);
        QCOMPARE(env.commands().count(u"setauthips"_s), setRequests);
    }

    // Every record in list order, the CSV exactly, the same fields in JSON and as aligned text;
    // --working gives only the working entries.
    void testFormats()
    {
        PM_SKIP_WITHOUT_TINYPROXY();
        // An error page's detail is its first line.
        env.wrongPage.setHandler([](const ReceivedRequest &) {
            return std::optional(CannedResponse::withStatus(200, " Bad gateway\n<html>\n"));
        });
        const QString odd = u"a\"b,c"_s;
        const QStringList entries{env.refusingEntry(),  env.allowingEntry(), env.silentEntry(),
                                  env.wrongPageEntry(), env.closedEntry(),   odd};
        // Outcome, code and detail of each entry.
        const QStringList records = u"Access Denied/1/127.0.0.1;Up/0/;Timeout/2/;Error/3/Bad "
                                    u"gateway;Error/3/;Invalid entry/5/there is no colon between "
                                    u"host and port"_s.split(u';');
        env.service.setProxies(TestEnvironment::demoUser(), entries);
        const QStringList common{u"test"_s, u"--timeout"_s, u"1500"_s, u"--parallel"_s, u"4"_s};
        const Outcome text = run(common);
        const Outcome csv = run(common + QStringList{u"--format"_s, u"csv"_s});
        const Outcome json = run(common + QStringList{u"--format"_s, u"json"_s});
        const Outcome working = run(common + QStringList{u"--working"_s, u"--format"_s, u"json"_s});
        for (const Outcome *o : {&text, &csv, &json, &working}) {
            QCOMPARE(o->status, 0);
            QCOMPARE(o->err, QString()); // stderr is no terminal: no progress line
        }
        QCOMPARE(working.out, env.allowingEntry() % u'\n');

        const QJsonArray array = QJsonDocument::fromJson(json.out.toUtf8()).array();
        const QStringList lines = text.out.split(u'\n', Qt::SkipEmptyParts);
        QCOMPARE(array.size(), records.size());
        QCOMPARE(lines.size(), records.size());
        QString expectedCsv = u"entry,host,port,outcome,code,ms,detail\n"_s;
        for (qsizetype i = 0; i < records.size(); ++i) {
            const QString &entry = entries.at(i);
            QStringList fields{entry, entry.section(u':', 0, 0), entry.section(u':', 1)};
            fields << records.at(i).split(u'/');
            QStringList fromJson;
            for (const char *key : {"entry", "host", "port", "outcome", "code", "detail"})
                fromJson << array.at(i)[QLatin1String(key)].toString();
            QCOMPARE(fromJson, fields);
            // Text: the same fields, an empty one only spaces; the times differ from run to run.
            fields.insert(5, u"MS"_s);
            QStringList pattern;
            for (const QString &field : std::as_const(fields))
                if (!field.isEmpty())
                    pattern << (field == u"MS" ? u"\\d+"_s : QRegularExpression::escape(field));
            const QRegularExpression line(u'^' % pattern.join(u" +"_s) % u'$');
            QVERIFY2(line.match(lines.at(i)).hasMatch(), qPrintable(lines.at(i)));
            expectedCsv += fields.join(u',').replace(odd, u"\"a\"\"b,c\""_s) % u'\n';
        }
        static const QRegularExpression ms(u",\\d+,(?=[^,\n]*$)"_s,
                                           QRegularExpression::MultilineOption);
        QCOMPARE(QString(csv.out).replace(ms, u",MS,"_s), expectedCsv);
        // A time-out's time is at least the limit.
        QVERIFY2(array.at(2)[u"ms"].toInt() >= 1500, qPrintable(json.out));
    }

    void openFileLimit_data()
    {
        QTest::addColumn<QString>("limit"); // of the shell's ulimit
        QTest::addColumn<bool>("lowered");
        QTest::newRow("soft 300, raised to the hard") << u"-Sn 300"_s << false;
        QTest::newRow("1024") << u"-n 1024"_s << false;
        QTest::newRow("300, fewer at once") << u"-n 300"_s << true;
    }
    // 600 entries at 512 at once (any number past the bound is 512): each works, and a limit
    // that cannot hold them all lowers the number at once and says so.
    void openFileLimit()
    {
        QFETCH(QString, limit);
        QFETCH(bool, lowered);
        FakePingProxy proxy;
        proxy.minDelayMs = 100;
        proxy.maxDelayMs = 300;
        QVERIFY(proxy.listen());
        env.service.setProxies(TestEnvironment::demoUser(), QStringList(600, proxy.entry()));
        QProcess process;
        start(process, {u"test"_s, u"--working"_s, u"--parallel"_s, u"99999999999"_s}, {}, limit);
        const Outcome outcome = finish(process);
        QVERIFY2(outcome.status == 0, qPrintable(outcome.err));
        QCOMPARE(outcome.out, QString(proxy.entry() % u'\n').repeated(600));
        static const QRegularExpression line(
            u"^proxymanager-cli: Testing (\\d+) at once instead of 512: the open-file limit "
            u"\\(300\\) allows no more\\.\n$"_s);
        const QRegularExpressionMatch match = line.match(outcome.err);
        QVERIFY2(match.hasMatch() == lowered, qPrintable(outcome.err));
        const int most = lowered ? match.captured(1).toInt() : 512;
        QVERIFY2(proxy.mostOpen <= most && proxy.mostOpen > most / 2,
                 qPrintable(QString::number(proxy.mostOpen)));
    }

    // A custom target and the exit address: exit_ip before detail, in CSV and JSON.
    void customTargetRecords()
    {
        PM_SKIP_WITHOUT_TINYPROXY();
        const QStringList entries{env.allowingEntry(), env.closedEntry(), env.refusingEntry()};
        env.service.setProxies(TestEnvironment::demoUser(), entries);
        const QStringList common{u"test"_s,
                                 u"--parallel"_s,
                                 u"3"_s,
                                 u"--target"_s,
                                 env.target.url(u"/shop"_s).toString(),
                                 u"--expect"_s,
                                 u"Café"_s,
                                 u"--exit-ip"_s,
                                 env.target.url(u"/ip"_s).toString()};
        const Outcome csv = run(common + QStringList{u"--format"_s, u"csv"_s});
        const Outcome json = run(common + QStringList{u"--format"_s, u"json"_s});
        QCOMPARE(csv.status, 0);
        QStringList lines = csv.out.split(u'\n', Qt::SkipEmptyParts);
        const QStringList expected{
            u"entry,host,port,outcome,code,ms,exit_ip,detail"_s,
            entries.at(0) % u",127.0.0.1,"_s % entries.at(0).section(u':', 1) %
                u",Up,0,MS,127.0.0.1,"_s,
            entries.at(1) % u",127.0.0.1,"_s % entries.at(1).section(u':', 1) %
                u",Error,3,MS,,the proxy refused the connection"_s,
            entries.at(2) % u",127.0.0.1,"_s % entries.at(2).section(u':', 1) %
                u",Access Denied,1,MS,,127.0.0.1"_s};
        for (qsizetype i = 1; i < lines.size(); ++i) {
            QStringList fields = lines.at(i).split(u',');
            fields[5] = u"MS"_s;
            lines[i] = fields.join(u',');
        }
        QCOMPARE(lines, expected);
        const QJsonArray array = QJsonDocument::fromJson(json.out.toUtf8()).array();
        QCOMPARE(array.size(), 3);
        QCOMPARE(array.at(0)[u"exit_ip"].toString(), u"127.0.0.1"_s);
        QCOMPARE(array.at(1)[u"detail"].toString(), u"the proxy refused the connection"_s);
        QCOMPARE(array.at(2)[u"outcome"].toString(), u"Access Denied"_s);
    }

    // What two recorded runs and one --no-record run of test leave, read back with the user name
    // alone: per entry "uptime/results/last outcome/whether a median" in any format.
    void history_data()
    {
        QTest::addColumn<QString>("arguments");
        QTest::addColumn<QStringList>("expected");
        const QString up = env.allowingEntry() % u"/100/2/Up/median"_s;
        const QStringList all{up, env.refusingEntry() % u"/0/2/Access Denied/"_s,
                              env.closedEntry() % u"/0/2/Error/"_s};
        QTest::newRow("text") << u"history"_s << all;
        QTest::newRow("csv") << u"history --format csv"_s << all;
        QTest::newRow("json") << u"history --format json --since 1h"_s << all;
        // A month back, but every result is still kept one by one: exact, not estimates.
        QTest::newRow("text, 30 days") << u"history --since 30d"_s << all;
        QTest::newRow("json, 30 days") << u"history --format json --since 30d"_s << all;
        QTest::newRow("one entry")
            << u"history --format csv --entry "_s + env.allowingEntry() << QStringList{up};
        QTest::newRow("another account") << u"history --user other"_s << QStringList{};
    }
    void history()
    {
        PM_SKIP_WITHOUT_TINYPROXY();
        QFETCH(QString, arguments);
        QFETCH(QStringList, expected);
        if (!recorded) {
            const QStringList entries{env.allowingEntry(), env.refusingEntry(), env.closedEntry()};
            const QStringList test{u"test"_s, u"--parallel"_s, u"3"_s};
            env.service.setProxies(TestEnvironment::demoUser(), entries);
            QCOMPARE(run(test).status, 0);
            QCOMPARE(run(test).status, 0);
            // Not recorded: neither a third result nor the entry it alone has.
            env.service.setProxies(TestEnvironment::demoUser(), entries + QStringList{u"x:1"_s});
            QCOMPARE(run(test + QStringList{u"--no-record"_s}).status, 0);
            recorded = true;
        }
        env.service.clearRequests();
        const Outcome result = run(arguments.split(u' '), {TestEnvironment::demoUser(), QString()});
        QCOMPARE(result.status, 0);
        QCOMPARE(result.err, QString());
        QCOMPARE(env.service.requestCount(), 0);
        QStringList found;
        const auto add = [&found](QStringList fields, bool median) {
            found << (fields << (median ? u"median"_s : QString())).join(u'/');
        };
        const QDateTime now = QDateTime::currentDateTimeUtc();
        if (arguments.contains(u"json")) {
            for (const QJsonValue row : QJsonDocument::fromJson(result.out.toUtf8()).array()) {
                add({row[u"entry"].toString(), QString::number(row[u"uptime"].toInt()),
                     QString::number(row[u"results"].toInt()), row[u"last_outcome"].toString()},
                    row[u"median_ms"].isDouble());
                QVERIFY(!row[u"estimated"].toBool());
                QVERIFY(qAbs(QDateTime::fromString(row[u"last_at"].toString(), Qt::ISODate)
                                 .secsTo(now)) < 120);
            }
        } else if (arguments.contains(u"csv")) {
            const QStringList lines = result.out.split(u'\n', Qt::SkipEmptyParts);
            for (const QString &line : lines.mid(1)) {
                const QStringList f = line.split(u',');
                add({f.value(0), f.value(1), f.value(2), f.value(6)}, !f.value(3).isEmpty());
                QVERIFY(f.value(8).endsWith(u'Z'));
            }
        } else if (expected.isEmpty()) {
            QVERIFY(result.out.startsWith(u"No results recorded since "_s));
        } else {
            static const QRegularExpression line(
                u"^(\\S+) +(\\d+)% +(\\d+) +(-|~?\\d+ ms) +(?:-|~?\\d+ ms) +(.+?) +[-0-9]{10} [:0-9]{8}$"_s,
                QRegularExpression::MultilineOption);
            QVERIFY(!result.out.contains(u"\n~ estimated"_s));
            for (auto it = line.globalMatch(result.out); it.hasNext();) {
                const QRegularExpressionMatch m = it.next();
                add({m.captured(1), m.captured(2), m.captured(3), m.captured(5)},
                    m.captured(4) != u"-");
            }
        }
        found.sort();
        expected.sort();
        QCOMPARE(found, expected);
    }

    // On a terminal, without credentials elsewhere: asked for, the password not echoed.
    void prompt()
    {
        const QByteArray api = env.service.url(u"/api"_s).toEncoded();
        // Built before the fork: the child only calls exec.
        const char *argv[] = {PM_CLI_PATH, "myip", "--api-url", api.constData(), nullptr};
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
        QVERIFY2(!out.contains("demo-pass") && out.contains("Password: \r\n"), out.constData());
        QCOMPARE(status, 0); // exited with 0
    }

    // A chunked list cut after its first chunk, the first time only: the access manager may
    // read the cut as a clean end, more often than not, so the run is repeated.
    void cutListWritesNothing()
    {
        const QStringList stored{u"10.9.9.9"_s, u"10.8.8.8"_s};
        CannedResponse cut = CannedResponse::withStatus(200, "9\r\n10.9.9.9\n\r\n");
        cut.addHeader("Transfer-Encoding", "chunked");
        cut.resetAfterBody = true;
        for (int i = 0; i < 20; ++i) {
            env.service.setAuthorizedIps(TestEnvironment::demoUser(), stored);
            answerOnce(u"getauthips"_s, cut);
            const Outcome result = run({u"authorize"_s});
            QCOMPARE(result.status, 5);
            QVERIFY2(result.err.contains(u"could not read"_s), qPrintable(result.err));
        }
        QCOMPARE(env.commands().count(u"setauthips"_s), 0);
        QCOMPARE(env.service.authorizedIps(TestEnvironment::demoUser()), stored);
    }

    void watch()
    {
        const QString user = TestEnvironment::demoUser();
        env.service.setAuthorizedIps(user, {u"10.7.7.7"_s});
        QProcess process;
        start(process, {u"authorize"_s, u"--watch"_s, u"--interval"_s, u"0.1"_s});
        QTRY_COMPARE_WITH_TIMEOUT(env.service.authorizedIps(user),
                                  (QStringList{u"10.1.1.1"_s, u"10.7.7.7"_s}), 10000);
        env.service.setReportedIp(u"10.2.2.2"_s);
        QTRY_COMPARE_WITH_TIMEOUT(env.service.authorizedIps(user).value(0), u"10.2.2.2"_s, 10000);
        // Failed reads write nothing and make one line; the first working round another.
        env.answerWith(u"getauthips"_s, CannedResponse::withStatus(503));
        env.service.setAuthorizedIps(user, {u"10.7.7.7"_s});
        env.service.clearRequests();
        QTRY_VERIFY_WITH_TIMEOUT(env.commands().count(u"getauthips"_s) >= 4, 10000);
        QCOMPARE(env.commands().count(u"setauthips"_s), 0);
        QCOMPARE(env.service.authorizedIps(user), QStringList{u"10.7.7.7"_s});
        env.service.setHandler({});
        QTRY_COMPARE_WITH_TIMEOUT(env.service.authorizedIps(user).size(), 2, 10000);
        // The next round starts once that one has been reported.
        env.service.clearRequests();
        QTRY_VERIFY_WITH_TIMEOUT(env.commands().count(u"getauthips"_s) >= 1, 10000);

        process.terminate();
        const Outcome ended = finish(process);
        QCOMPARE(ended.status, 0);
        QCOMPARE(ended.out, u"address 10.1.1.1 was not authorized, authorized\n"
                            u"address changed from 10.1.1.1 to 10.2.2.2, authorized\n"
                            u"address 10.2.2.2 was not authorized, authorized\n"_s);
        const QStringList lines = ended.err.split(u'\n', Qt::SkipEmptyParts);
        QCOMPARE(lines.size(), 2);
        QVERIFY2(lines.at(0).contains(u"could not read the authorized IP addresses (HTTP 503"_s),
                 qPrintable(ended.err));
        QCOMPARE(lines.at(1), u"proxymanager-cli: authorization works again"_s);
    }

private:
    // With the user and password in the environment, the demo account's unless given; an empty
    // one is left out.
    // Through a shell with that ulimit, when given.
    void start(QProcess &process, const QStringList &arguments, QStringList credentials = {},
               const QString &limit = {})
    {
        if (credentials.isEmpty())
            credentials = QStringList{TestEnvironment::demoUser(), TestEnvironment::demoPassword()};
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        const QString names[] = {u"PROXYMANAGER_USER"_s, u"PROXYMANAGER_PASSWORD"_s};
        for (int i = 0; i < 2; ++i) {
            environment.remove(names[i]);
            if (!credentials.at(i).isEmpty())
                environment.insert(names[i], credentials.at(i));
        }
        // A data folder, and so a result history, of each test function's own.
        environment.insert(
            u"XDG_DATA_HOME"_s,
            workDir.filePath(u"data-"_s % QLatin1String(QTest::currentTestFunction())));
        process.setProcessEnvironment(environment);
        // The fixture's own config.ini, if any, must not count.
        process.setWorkingDirectory(workDir.path());
        QStringList all = arguments;
        if (!arguments.contains(u"--api-url"_s))
            all << u"--api-url"_s << env.service.url(u"/api"_s).toString();
        all << u"--ping-url"_s << env.service.url(u"/ping"_s).toString();
        if (limit.isEmpty())
            process.start(QStringLiteral(PM_CLI_PATH), all);
        else
            process.start(u"/bin/sh"_s,
                          QStringList{u"-c"_s, u"ulimit "_s % limit % u" && exec \"$0\" \"$@\""_s,
                                      QStringLiteral(PM_CLI_PATH)} +
                              all);
        QVERIFY(process.waitForStarted(10000));
    }

    Outcome run(const QStringList &arguments, const QStringList &credentials = {})
    {
        QProcess process;
        start(process, arguments, credentials);
        return finish(process);
    }
    // The service answers from this event loop: the wait is in it.
    static Outcome finish(QProcess &process)
    {
        QSignalSpy finished(&process, &QProcess::finished);
        if (!finished.wait(30000))
            return {};
        return {process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -2,
                QString::fromUtf8(process.readAllStandardOutput()),
                QString::fromUtf8(process.readAllStandardError())};
    }

    // Only the first request of that command gets the response.
    void answerOnce(const QString &command, const CannedResponse &response)
    {
        auto used = std::make_shared<bool>(false);
        env.service.setHandler([=](const ReceivedRequest &r) -> std::optional<CannedResponse> {
            if (r.queryValue(u"command"_s) != command || *used)
                return std::nullopt;
            *used = true;
            return response;
        });
    }

    TestEnvironment env;
    QTemporaryDir workDir;
    bool recorded = false;
};

QTEST_GUILESS_MAIN(TestCli)
#include "tst_cli.moc"
