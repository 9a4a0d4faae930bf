#pragma once

#include <QFile>
#include <QObject>
#include <QString>
#include <QTimer>

class QTextEdit;

// The debug log: the view, log.txt and this run's whole text for "Copy debug log". The file
// gets every message at once; the view takes them in batches and keeps only its newest lines.
class DebugLog : public QObject
{
    Q_OBJECT

public:
    DebugLog(QTextEdit *view, QObject *parent);

    // What one message may put in the view; log.txt and "Copy debug log" keep all of it.
    static constexpr qsizetype maxViewMessageChars = 4000;
    // The lines the view holds at most.
    static constexpr int maxViewLines = 5000;

    // Opens log.txt for this run and writes the run's date line.
    void start();
    // Appends the message verbatim: callers put their own line ends.
    void append(const QString &message);
    // Puts the messages appended since the last event-loop pass into the view now.
    void flush();
    // Every message of this run, unshortened.
    const QString &text() const { return runText; }

private:
    void startBlockOnItsOwnLine();

    QTextEdit *view;
    QFile file;
    QString pending;
    QString runText;
    QTimer flushTimer;
};
