#include "ResultHistory.h"

#include <QDateTime>
#include <QSqlDatabase>
#include <QThread>

#include <utility>

using namespace Qt::StringLiterals;

ResultHistory::ResultHistory(QObject *parent) : QObject(parent)
{
    flushTimer.setSingleShot(true);
    connect(&flushTimer, &QTimer::timeout, this, &ResultHistory::flush);
}

ResultHistory::~ResultHistory()
{
    close();
}

void ResultHistory::setFile(const QString &name)
{
    if (name == file)
        return;
    close();
    file = name;
}

HistoryWriter *ResultHistory::writerOrNull()
{
    if (failed || file.isEmpty())
        return nullptr;
    if (writer)
        return writer;
    // The driver, and SQLite with it, are loaded here rather than by the writer's thread: on
    // Wine a library first loaded by a thread that has ended kept the program from ending.
    QSqlDatabase::isDriverAvailable(u"QSQLITE"_s);
    thread = new QThread(this);
    thread->setObjectName(u"history"_s);
    writer = new HistoryWriter(file, connectOptions, openPragmas);
    writer->pruneIntervalMs = pruneIntervalMs;
    writer->moveToThread(thread);
    connect(writer, &HistoryWriter::problem, this, [this](const QString &line) {
        if (std::exchange(failed, true))
            return;
        pending.clear();
        emit problem(line);
    });
    thread->start();
    return writer;
}

void ResultHistory::record(const HistoryAccount &account, const QString &target,
                           const QString &entry, int code, qint64 latencyMs)
{
    if (!recording || failed || file.isEmpty() || code < 0 || code > 5)
        return;
    pending.append({account, target, entry, QDateTime::currentMSecsSinceEpoch(), code, latencyMs});
    if (!flushTimer.isActive())
        flushTimer.start(flushIntervalMs);
}

void ResultHistory::flush()
{
    flushTimer.stop();
    HistoryWriter *to = pending.isEmpty() ? nullptr : writerOrNull();
    if (!to)
        return;
    QMetaObject::invokeMethod(to, [to, batch = std::exchange(pending, {})] { to->write(batch); });
}

template <typename Value, typename Work, typename Answer>
void ResultHistory::ask(Work work, Answer answer)
{
    // Results recorded before a request are in what it reads.
    flush();
    HistoryWriter *to = writerOrNull();
    if (!to) {
        QMetaObject::invokeMethod(
            this, [answer] { answer(Value()); }, Qt::QueuedConnection);
        return;
    }
    QMetaObject::invokeMethod(to, [this, to, work, answer] {
        Value value = work(to);
        QMetaObject::invokeMethod(this, [answer, value] { answer(value); });
    });
}

void ResultHistory::requestRecent(const HistoryAccount &account, const QString &target,
                                  const QStringList &entries)
{
    ask<QList<RecentHistory>>(
        [=](HistoryWriter *to) { return to->recent(account, target, entries); },
        [this, entries](const QList<RecentHistory> &history) {
            emit recentReady(entries, history.size() == entries.size()
                                          ? history
                                          : QList<RecentHistory>(entries.size()));
        });
}

void ResultHistory::requestTimeline(const HistoryAccount &account, const QString &target,
                                    const QString &entry)
{
    ask<EntryTimeline>([=](HistoryWriter *to) { return to->timeline(account, target, entry); },
                       [this, entry](EntryTimeline timeline) {
                           timeline.entry = entry;
                           emit timelineReady(timeline);
                       });
}

void ResultHistory::requestReport(const HistoryAccount &account, const QString &target,
                                  qint64 sinceMs, const QString &entry)
{
    ask<QList<EntryReport>>(
        [=](HistoryWriter *to) { return to->report(account, target, sinceMs, entry); },
        [this](const QList<EntryReport> &report) { emit reportReady(report); });
}

void ResultHistory::clear(const HistoryAccount &account)
{
    ask<bool>(
        [=](HistoryWriter *to) {
            to->clear(account);
            return true;
        },
        [this](bool) { emit cleared(); });
}

void ResultHistory::close()
{
    flush();
    if (!thread)
        return;
    // Behind the writes still queued there: quitting at once would drop them. The connection
    // is closed on the thread that used it, before the program's end could find it open.
    QThread *ending = thread;
    if (HistoryWriter *closing = writer) {
        // Nobody waits for the answers any more; a long read would hold the program's end.
        closing->leave();
        QMetaObject::invokeMethod(closing, [closing, ending] {
            closing->shutDown();
            ending->quit();
        });
    } else {
        ending->quit();
    }
    thread->wait();
    delete writer;
    delete thread;
    thread = nullptr;
    // A writer that ended is one that may open again.
    failed = false;
}
