#pragma once

#include <QSqlDatabase>
#include <QString>

#include <limits>

// Keeps the history within its retention in small steps, each a short transaction of its own,
// so that writers of the window and the command line wait at most for one step: results older
// than the raw retention leave (their hours stay counted), hours older than a year leave, and
// the freed pages go back to the file system.
class HistoryPruner
{
public:
    explicit HistoryPruner(const QSqlDatabase &db) : db(db) {}

    static constexpr qint64 summaryRetentionMs = 365LL * 24 * 3600 * 1000;

    // One step of a pass; false when the pass is complete (the next call starts another) or on
    // a database error (error says which).
    bool step(qint64 nowMs, QString *error);

    int entriesPerStep = 20;
    int pagesPerStep = 256;

private:
    bool pruneEntries(qint64 nowMs, QString *error);
    bool givePagesBack(QString *error);

    QSqlDatabase db;
    qint64 lastEntry = 0;
    bool vacuuming = false;
    qint64 lastFree = std::numeric_limits<qint64>::max();
};
