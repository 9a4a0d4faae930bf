#pragma once

#include <QFile>
#include <QObject>
#include <QString>
#include <QTimer>

class QPlainTextEdit;

// The debug log: the view, log.txt and this run's whole text for "Copy debug log". The file
// gets every message at once; the view takes them in batches and keeps only its newest lines.
class DebugLog : public QObject
{
    Q_OBJECT

public:
    DebugLog(QPlainTextEdit *view, QObject *parent);

    // What one message may put in the view; log.txt and "Copy debug log" keep all of it.
    static constexpr qsizetype maxViewMessageChars = 4000;
    // The lines the view holds at most.
    static constexpr int maxViewLines = 5000;
    // The view takes what came in this long at once: hundreds of results a second would
    // otherwise each lay the view out again.
    static constexpr int flushIntervalMs = 100;

    // Opens log.txt for this run and writes the run's date line.
    void start();
    // Appends the message verbatim: callers put their own line ends.
    void append(const QString &message);
    // Whole lines that must not land inside a line left open (a test waiting for its result):
    // they wait for that line's end.
    void appendLines(const QString &lines);
    // Puts the messages appended since the last flush into the view now.
    void flush();
    // Every message of this run, unshortened.
    const QString &text() const { return runText; }

private:
    void startBlockOnItsOwnLine();
    void write(const QString &message);
    bool atLineStart() const { return runText.isEmpty() || runText.endsWith(u'\n'); }

    QPlainTextEdit *view;
    QFile file;
    QString pending;
    QString runText;
    QString heldLines;
    QTimer flushTimer;
};
