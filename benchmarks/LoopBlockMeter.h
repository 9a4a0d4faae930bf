#pragma once

#include <QElapsedTimer>
#include <QObject>

// The longest time the event loop went without serving a 1 ms timer: what the user feels as
// a frozen window. Work done outside the loop (before start, after stop) is not seen.
class LoopBlockMeter : public QObject
{
public:
    void start();
    void stop();
    // Including the timer's own period.
    double longestMs() const { return double(m_longestNs) / 1e6; }

protected:
    void timerEvent(QTimerEvent *event) override;

private:
    QElapsedTimer m_clock;
    qint64 m_lastNs = 0;
    qint64 m_longestNs = 0;
    int m_timerId = 0;
};
