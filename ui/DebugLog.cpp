#include "DebugLog.h"

#include <QDateTime>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QTextCursor>

#include <utility>

using namespace Qt::StringLiterals;

namespace {

// Laying out one long paragraph can block the window for minutes; the view gets the head of
// such a message and a note of what is left out.
QString shownInView(const QString &message)
{
    if (message.size() <= DebugLog::maxViewMessageChars)
        return message;
    qsizetype keep = DebugLog::maxViewMessageChars;
    if (message.at(keep - 1).isHighSurrogate())
        --keep;
    return message.first(keep) % u"… ["_s % QString::number(message.size() - keep) %
           u" more characters in log.txt and in \"Copy debug log\"]"_s %
           (message.endsWith(u'\n') ? u"\n"_s : QString());
}

} // namespace

DebugLog::DebugLog(QPlainTextEdit *view, QObject *parent) : QObject(parent), view(view)
{
    // A read-only log has nothing to undo; the stack would keep a copy of every message.
    view->setUndoRedoEnabled(false);
    // Re-tests every few minutes would otherwise grow the view without end.
    view->setMaximumBlockCount(maxViewLines);
    flushTimer.setSingleShot(true);
    flushTimer.setInterval(flushIntervalMs);
    connect(&flushTimer, &QTimer::timeout, this, &DebugLog::flush);
}

void DebugLog::start()
{
    file.setFileName(u"log.txt"_s);
    const bool open = file.open(QIODevice::Append | QIODevice::Text);
    if (open)
        startBlockOnItsOwnLine();
    append(QDateTime::currentDateTime().toString(Qt::TextDate) % u"\n"_s);
    if (!open)
        append(u"Could not open log.txt, this log is not saved: "_s % file.errorString() % u"\n"_s);
}

// A run killed in the middle of a line leaves log.txt without its last line end; the next
// run's date line must not be glued to that line.
void DebugLog::startBlockOnItsOwnLine()
{
    const qint64 size = file.size();
    if (size == 0)
        return;
    QFile reader(file.fileName());
    if (!reader.open(QIODevice::ReadOnly) || !reader.seek(size - 1) || reader.read(1) == "\n")
        return;
    file.write("\n");
}

void DebugLog::append(const QString &message)
{
    write(message);
    if (!heldLines.isEmpty() && atLineStart())
        write(std::exchange(heldLines, {}));
}

void DebugLog::appendLines(const QString &lines)
{
    if (atLineStart())
        write(lines);
    else
        heldLines += lines;
}

void DebugLog::write(const QString &message)
{
    runText += message;
    // The view takes the messages in batches, each laid out once.
    pending += shownInView(message);
    if (!flushTimer.isActive())
        flushTimer.start();

    // The file gets every message at once, so a killed process loses none of them.
    if (!file.isOpen())
        return;
    file.write(message.toUtf8());
    file.flush();
}

void DebugLog::flush()
{
    flushTimer.stop();
    if (pending.isEmpty())
        return;
    // Appending at the end keeps each message's cost independent of the log's length.
    QTextCursor cursor(view->document());
    cursor.movePosition(QTextCursor::End);
    cursor.insertText(pending);
    pending.clear();
    QScrollBar *bar = view->verticalScrollBar();
    bar->setValue(bar->maximum());
}
