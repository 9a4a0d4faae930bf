#pragma once

#include <QObject>
#include <QStringList>
#include <QTimer>

// Re-tests the whole list every few minutes, and words what a periodic run changed: the
// entries that went down and those that came back.
class RetestScheduler : public QObject
{
    Q_OBJECT

public:
    explicit RetestScheduler(QObject *parent);

    // 0 switches the re-tests off.
    void setPeriod(int ms);
    void runStarted(bool periodic);
    // A result turned the entry working (up) or not working after a result of the other kind.
    void entryChanged(bool up, const QString &entry);
    // The notice a periodic run ends with; empty when it changed nothing or was not periodic.
    QString runEnded();

signals:
    // A period has passed; a run in progress means it is skipped, never queued.
    void due();

private:
    QTimer timer;
    bool periodicRun = false;
    QStringList wentDown;
    QStringList cameBack;
};
