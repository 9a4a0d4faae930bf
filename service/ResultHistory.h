#pragma once

#include "HistoryTypes.h"
#include "HistoryWriter.h"

#include <QObject>
#include <QPointer>
#include <QStringList>
#include <QTimer>

class QThread;

// The result history as the program's own thread sees it: results are gathered here and handed
// to the writer's thread a few times a second, so the window never waits on the disk; every
// request is answered by a signal. Nothing happens without a file; after the first database
// problem, nothing more happens this session.
class ResultHistory : public QObject
{
    Q_OBJECT

public:
    explicit ResultHistory(QObject *parent = nullptr);
    ~ResultHistory() override;

    // A new file takes effect with the next result or request.
    void setFile(const QString &file);
    bool isRecording() const { return recording; }
    void setRecording(bool on) { recording = on; }

    void record(const HistoryAccount &account, const QString &target, const QString &entry,
                int code, qint64 latencyMs);
    void requestRecent(const HistoryAccount &account, const QString &target,
                       const QStringList &entries);
    void requestTimeline(const HistoryAccount &account, const QString &target,
                         const QString &entry);
    void requestReport(const HistoryAccount &account, const QString &target, qint64 sinceMs,
                       const QString &entry);
    void clear(const HistoryAccount &account);
    // Writes what waits and waits for it, then lets the writer go.
    void close();

    // The most results wait here: a kill loses no more than these.
    int flushIntervalMs = 250;
    // Passed to each new writer; tests use them.
    QString connectOptions;
    QStringList openPragmas;
    int pruneIntervalMs = 3600 * 1000;

signals:
    void recentReady(const QStringList &entries, const QList<RecentHistory> &history);
    void timelineReady(const EntryTimeline &timeline);
    void reportReady(const QList<EntryReport> &report);
    void cleared();
    void problem(const QString &line);

private:
    HistoryWriter *writerOrNull();
    void flush();
    // Runs work on the writer's thread and answer with its value back on this one; without a
    // writer, answer runs with an empty value from the event loop.
    template <typename Value, typename Work, typename Answer> void ask(Work work, Answer answer);

    QString file;
    bool recording = true;
    bool failed = false;
    QThread *thread = nullptr;
    QPointer<HistoryWriter> writer;
    QList<RecordedResult> pending;
    QTimer flushTimer;
};
