#pragma once

#include <QObject>

// Samples another process from /proc every 50 ms: its peak resident set (VmHWM), and the
// most threads and open file descriptors seen. Linux only.
class ProcessSampler : public QObject
{
public:
    void start(qint64 pid);
    // Takes a last sample while the process may still be there.
    void stop();

    double peakResidentMB() const { return m_peakMB; }
    int mostThreads() const { return m_threads; }
    int mostFds() const { return m_fds; }

    // One sample of any process: VmHWM in MB, Threads, and the count of /proc/PID/fd.
    struct Sample
    {
        double peakMB = -1;
        int threads = -1;
        int fds = -1;
    };
    static Sample sample(qint64 pid);

protected:
    void timerEvent(QTimerEvent *event) override;

private:
    void take();

    qint64 m_pid = 0;
    int m_timerId = 0;
    double m_peakMB = -1;
    int m_threads = -1;
    int m_fds = -1;
};
