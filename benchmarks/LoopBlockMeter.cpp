#include "LoopBlockMeter.h"

#include <QTimerEvent>

#include <algorithm>

void LoopBlockMeter::start()
{
    stop();
    m_longestNs = 0;
    m_clock.start();
    m_lastNs = 0;
    m_timerId = startTimer(1, Qt::PreciseTimer);
}

void LoopBlockMeter::stop()
{
    if (m_timerId == 0)
        return;
    killTimer(m_timerId);
    m_timerId = 0;
    // A block still going on when the meter stops counts too.
    m_longestNs = std::max(m_longestNs, m_clock.nsecsElapsed() - m_lastNs);
}

void LoopBlockMeter::timerEvent(QTimerEvent *event)
{
    if (event->timerId() != m_timerId)
        return;
    const qint64 now = m_clock.nsecsElapsed();
    m_longestNs = std::max(m_longestNs, now - m_lastNs);
    m_lastNs = now;
}
