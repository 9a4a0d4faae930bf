#pragma once

#include "HistoryTypes.h"

#include <QHash>
#include <QObject>
#include <QSqlDatabase>
#include <QStringList>

#include <atomic>
#include <memory>

class HistoryKeys;
class HistoryPruner;
class HistoryReader;
class QSqlQuery;
class QTimer;

struct RecordedResult
{
    HistoryAccount account;
    QString target;
    QString entry;
    qint64 atMs = 0;
    int code = 0;
    qint64 latencyMs = 0;
};

// The history database's one connection of this process, used only on the writer's thread:
// it opens the file on first use, writes batches in immediate transactions, answers the
// queries and prunes between them. After a database error it does nothing more; problem says
// why, once.
class HistoryWriter : public QObject
{
    Q_OBJECT

public:
    // options: more of Qt's SQLite connection options; pragmas: statements run once the
    // tables are there (tests use both to make a database read-only or small).
    HistoryWriter(const QString &file, const QString &options, const QStringList &pragmas);
    ~HistoryWriter() override;

    void write(const QList<RecordedResult> &batch);
    QList<RecentHistory> recent(const HistoryAccount &account, const QString &target,
                                const QStringList &entries);
    EntryTimeline timeline(const HistoryAccount &account, const QString &target,
                           const QString &entry);
    QList<EntryReport> report(const HistoryAccount &account, const QString &target, qint64 sinceMs,
                              const QString &entry);
    void clear(const HistoryAccount &account);

    // Closes the database, on the writer's thread; nothing more happens after it.
    void shutDown();
    // From any thread: reads still to come, or going on, end at once with nothing; writes go on.
    void leave() { leaving = true; }

    // Between pruning passes; a pass starts soon after opening.
    int pruneIntervalMs = 3600 * 1000;
    // The file is closed after this long without use, and opened again when needed.
    int idleCloseMs = 3000;

signals:
    void problem(const QString &line);

private:
    bool usable();
    void closeConnection();
    void stillInUse();
    bool fail(const QString &what, const QString &reason);
    bool writeOne(const RecordedResult &result, QString *error);
    QSqlQuery &summaryStatement(bool daily, int code, qint64 latencyMs);
    void pruneStep();

    const QString file;
    const QString options;
    const QStringList pragmas;
    const QString connection;
    QSqlDatabase db;
    std::unique_ptr<HistoryKeys> keys;
    std::unique_ptr<HistoryPruner> pruner;
    std::unique_ptr<HistoryReader> reader;
    std::unique_ptr<QSqlQuery> insertResult;
    QHash<int, std::shared_ptr<QSqlQuery>> summaryStatements;
    QTimer *pruneTimer = nullptr;
    QTimer *idleTimer = nullptr;
    qint64 lastPassEndedMs = 0;
    std::atomic<bool> leaving{false};
    bool opened = false;
    bool broken = false;
};
