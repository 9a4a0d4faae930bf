#pragma once

#include <QObject>

// Turns SIGTERM and SIGINT (Ctrl+C, Ctrl+Break and closing the console on Windows) into a
// signal of the event loop, so that a long-running command can end cleanly.
class StopSignal : public QObject
{
    Q_OBJECT

public:
    explicit StopSignal(QObject *parent = nullptr);
    ~StopSignal() override;

signals:
    void stopRequested();
};
