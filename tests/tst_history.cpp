// The result history: recording real runs, retention, two processes writing at once, a killed
// writer, and databases that cannot be used.
#include "HistoryPruner.h"
#include "HistoryWriter.h"
#include "ProxyManager.h"
#include "ResultHistory.h"
#include "TestEnvironment.h"

#include <QDateTime>
#include <QProcess>
#include <QSignalSpy>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

using namespace Qt::StringLiterals;

namespace {

constexpr qint64 hourMs = 3600 * 1000;
constexpr qint64 dayMs = 24 * hourMs;
const HistoryAccount account{u"http://127.0.0.1/api"_s, u"demo"_s};

// Writes a result every few milliseconds until killed, printing "number time" once each is
// handed to the history.
int recordUntilKilled(const QString &file)
{
    ResultHistory history;
    history.setFile(file);
    qint64 number = 0;
    QTimer timer;
    QObject::connect(&timer, &QTimer::timeout, [&] {
        history.record({u"child"_s, u"child"_s}, u"ping"_s, u"10.0.0.1:3128"_s, 0, ++number);
        const QByteArray line = QByteArray::number(number) + ' ' +
                                QByteArray::number(QDateTime::currentMSecsSinceEpoch()) + '\n';
        fwrite(line.constData(), 1, size_t(line.size()), stdout);
        fflush(stdout);
    });
    timer.start(3);
    return QCoreApplication::exec();
}

qint64 scalar(const QString &file, const QString &statement)
{
    qint64 value = -1;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(u"QSQLITE"_s, u"check"_s);
        db.setDatabaseName(file);
        QSqlQuery query(db);
        if (db.open() && query.exec(statement) && query.next())
            value = query.value(0).toString() == u"ok" ? 1 : query.value(0).toLongLong();
    }
    QSqlDatabase::removeDatabase(u"check"_s);
    return value;
}

} // namespace

class TestHistory : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { QVERIFY(env.start()); }
    void init() { QVERIFY(folder.isValid()); }

    void recordsEveryRun()
    {
        PM_SKIP_WITHOUT_TINYPROXY();
        env.reset();
        ProxyManager manager;
        manager.pingUrl = env.service.pingUrl().toString();
        manager.apiUrl = account.api;
        manager.timeoutMs = 1000;
        manager.historyFile = folder.filePath(u"runs.sqlite"_s);
        manager.setCredentials(account.user, {});
        manager.proxies = env.demoProxies() << u"no port"_s;
        QSignalSpy ended(&manager, &ProxyManager::finishedTest);
        QSignalSpy problems(&manager, &ProxyManager::historyProblem);
        for (const bool recording : {true, true, false}) {
            manager.setRecording(recording);
            const int before = int(ended.count());
            manager.startTestingSome({0, 1, 2, 3, 4, 5});
            QTRY_COMPARE_WITH_TIMEOUT(int(ended.count()), before + 1, 10000);
        }
        QSignalSpy recent(&manager, &ProxyManager::recentHistoryReady);
        manager.requestRecentHistory(manager.proxies);
        QTRY_COMPARE(recent.count(), 1);
        const auto history = recent.first().at(1).value<QList<RecentHistory>>();
        QCOMPARE(history.size(), manager.proxies.size());
        // Allowing, refusing, silent, wrong page, closed, and an entry that is no proxy.
        const QList<QByteArray> codes{"00", "11", "22", "33", "33", "55"};
        const QList<int> uptimes{100, 0, 0, 0, 0, -1};
        for (int i = 0; i < codes.size(); ++i) {
            QByteArray shown = history.at(i).recent;
            for (char &code : shown)
                code = char('0' + code);
            QCOMPARE(shown, codes.at(i));
            QCOMPARE(history.at(i).uptimePercent, uptimes.at(i));
        }
        QSignalSpy report(&manager, &ProxyManager::historyReportReady);
        manager.requestHistoryReport(QDateTime::currentMSecsSinceEpoch() - hourMs,
                                     env.allowingEntry());
        QTRY_COMPARE(report.count(), 1);
        const auto lines = report.first().first().value<QList<EntryReport>>();
        QCOMPARE(lines.size(), 1);
        QCOMPARE(lines.first().results, 2);
        QCOMPARE(lines.first().lastCode, 0);
        QVERIFY(!lines.first().estimated && lines.first().medianMs >= 0);
        QCOMPARE(problems.count(), 0);
    }

    void retention_data()
    {
        QTest::addColumn<qint64>("ageMs");
        QTest::addColumn<bool>("kept");
        QTest::addColumn<bool>("counted");
        QTest::newRow("an hour") << hourMs << true << true;
        QTest::newRow("13 days") << 13 * dayMs << true << true;
        QTest::newRow("15 days") << 15 * dayMs << false << true;
        QTest::newRow("200 days") << 200 * dayMs << false << true;
        QTest::newRow("400 days") << 400 * dayMs << false << false;
    }
    void retention()
    {
        QFETCH(qint64, ageMs);
        QFETCH(bool, kept);
        QFETCH(bool, counted);
        const QString file = folder.filePath(QString::fromLatin1(QTest::currentDataTag()));
        const qint64 now = QDateTime::currentMSecsSinceEpoch();
        {
            HistoryWriter writer(file, {}, {});
            QList<RecordedResult> batch;
            for (const int latency : {40, 120, 130, 900})
                batch.append({account, u"ping"_s, u"e:1"_s, now - ageMs + latency, 0, latency});
            batch.append({account, u"ping"_s, u"e:1"_s, now - ageMs, 2, 10000});
            writer.write(batch);
            QSqlDatabase db = QSqlDatabase::addDatabase(u"QSQLITE"_s, u"prune"_s);
            db.setDatabaseName(file);
            QVERIFY(db.open());
            HistoryPruner pruner(db);
            QString error;
            for (int step = 0; step < 100 && pruner.step(now, &error); ++step) {
            }
            QVERIFY2(error.isEmpty(), qPrintable(error));

            const EntryTimeline timeline = writer.timeline(account, u"ping"_s, u"e:1"_s);
            QCOMPARE(timeline.points.size(), kept ? 5 : 0);
            QCOMPARE(timeline.uptime30d, ageMs < 30 * dayMs ? 80 : -1);
            const QList<EntryReport> report =
                writer.report(account, u"ping"_s, now - 365 * dayMs, {});
            QCOMPARE(report.size(), counted ? 1 : 0);
            if (counted) {
                // Four Up results of 40, 120, 130 and 900 ms: exact while kept one by one, else
                // estimates from buckets up to 50, 200 and 1000 ms.
                QCOMPARE(report.first().estimated, !kept);
                QCOMPARE(report.first().results, 5);
                QVERIFY(report.first().medianMs > 100 && report.first().medianMs <= 200);
                QVERIFY(report.first().p95Ms > 750 && report.first().p95Ms <= 1000);
            }
        }
        QSqlDatabase::removeDatabase(u"prune"_s);
        QCOMPARE(scalar(file, u"SELECT COUNT(*) FROM result"_s), kept ? 5 : 0);
        QCOMPARE(scalar(file, u"PRAGMA freelist_count"_s), 0);
    }

    // The window's writer and a command-line client's at once; then the latter is killed.
    void twoWritersAndAKill()
    {
        const QString file = folder.filePath(u"shared.sqlite"_s);
        QProcess child;
        child.start(QCoreApplication::applicationFilePath(), {u"--record-until-killed"_s, file});
        QVERIFY(child.waitForStarted());
        ResultHistory history;
        history.setFile(file);
        QSignalSpy problems(&history, &ResultHistory::problem);
        // A read first: its snapshot must not outlive it, or the writes after the child's
        // would be refused.
        QSignalSpy read(&history, &ResultHistory::reportReady);
        history.requestReport({u"child"_s, u"child"_s}, u"ping"_s, 0, {});
        QTRY_COMPARE(read.count(), 1);
        QTest::qWait(100);
        for (int i = 0; i < 400; ++i) {
            history.record(account, u"ping"_s, u"e:%1"_s.arg(i % 20), i % 4, i);
            if (i % 40 == 0)
                QTest::qWait(50);
        }
        history.close();
        QTest::qWait(1500);
        QByteArray printed = child.readAllStandardOutput();
        const qint64 killedAt = QDateTime::currentMSecsSinceEpoch();
        child.kill();
        QVERIFY(child.waitForFinished());
        printed += child.readAllStandardOutput();
        QCOMPARE(problems.count(), 0);
        QCOMPARE(scalar(file, u"PRAGMA integrity_check"_s), 1);
        QCOMPARE(scalar(file, u"SELECT COUNT(*) FROM result r JOIN entry e ON e.id = r.entry "
                              u"WHERE e.text LIKE 'e:%'"_s),
                 400);
        // Everything handed over more than a second before the kill is in the file.
        qint64 due = 0;
        for (const QByteArray &line : printed.split('\n'))
            if (const QList<QByteArray> parts = line.split(' ');
                parts.size() == 2 && parts.at(1).toLongLong() <= killedAt - 1000)
                due = std::max(due, parts.at(0).toLongLong());
        QVERIFY(due > 50);
        QCOMPARE(scalar(file, u"SELECT COUNT(*) FROM result r JOIN entry e ON e.id = r.entry "
                              u"WHERE e.text = '10.0.0.1:3128' AND r.latency <= %1"_s.arg(due)),
                 due);
    }

    void unusableDatabase_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QString>("options");
        QTest::addColumn<QStringList>("pragmas");
        QTest::addColumn<QString>("reason");
        QTest::newRow("not a database")
            << QByteArray(8192, 'x') << QString() << QStringList() << u"not a database"_s;
        QTest::newRow("read-only")
            << QByteArray() << u"QSQLITE_OPEN_READONLY"_s << QStringList() << u"readonly"_s;
        QTest::newRow("full") << QByteArray() << QString()
                              << QStringList{u"PRAGMA max_page_count=12"_s} << u"full"_s;
    }
    void unusableDatabase()
    {
        QFETCH(QByteArray, content);
        QFETCH(QString, options);
        QFETCH(QStringList, pragmas);
        QFETCH(QString, reason);
        const QString file = folder.filePath(QString::fromLatin1(QTest::currentDataTag()));
        if (content.isEmpty()) {
            ResultHistory made;
            made.setFile(file);
            made.record(account, u"ping"_s, u"e:0"_s, 0, 1);
        } else {
            QFile garbage(file);
            QVERIFY(garbage.open(QIODevice::WriteOnly) && garbage.write(content) > 0);
        }
        ResultHistory history;
        history.connectOptions = options;
        history.openPragmas = pragmas;
        history.setFile(file);
        QSignalSpy problems(&history, &ResultHistory::problem);
        for (int round = 0; round < 3; ++round) {
            for (int i = 0; i < 2000; ++i)
                history.record(account, u"ping"_s, u"entry number %1"_s.arg(i), 0, i);
            QTest::qWait(400);
        }
        QTRY_COMPARE(problems.count(), 1);
        QVERIFY2(problems.first().first().toString().contains(reason),
                 qPrintable(problems.first().first().toString()));
        // Asked for afterwards, it still answers, with nothing.
        QSignalSpy recent(&history, &ResultHistory::recentReady);
        history.requestRecent(account, u"ping"_s, {u"e:0"_s});
        QTRY_COMPARE(recent.count(), 1);
        QCOMPARE(problems.count(), 1);
    }

private:
    TestEnvironment env;
    QTemporaryDir folder;
};

int main(int argc, char **argv)
{
    if (argc == 3 && qstrcmp(argv[1], "--record-until-killed") == 0) {
        QCoreApplication app(argc, argv);
        return recordUntilKilled(QString::fromLocal8Bit(argv[2]));
    }
    QCoreApplication app(argc, argv);
    TestHistory test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_history.moc"
