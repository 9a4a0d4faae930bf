#include "ProcessSampler.h"

#include <QDir>
#include <QFile>
#include <QTimerEvent>

#include <sys/stat.h>

#include <algorithm>

using namespace Qt::StringLiterals;

void ProcessSampler::start(qint64 pid)
{
    stop();
    m_pid = pid;
    m_peakMB = -1;
    m_threads = -1;
    m_fds = -1;
    take();
    m_timerId = startTimer(50, Qt::PreciseTimer);
}

void ProcessSampler::stop()
{
    if (m_timerId == 0)
        return;
    killTimer(m_timerId);
    m_timerId = 0;
    take();
}

void ProcessSampler::timerEvent(QTimerEvent *event)
{
    if (event->timerId() == m_timerId)
        take();
}

void ProcessSampler::take()
{
    const Sample now = sample(m_pid);
    m_peakMB = std::max(m_peakMB, now.peakMB);
    m_threads = std::max(m_threads, now.threads);
    m_fds = std::max(m_fds, now.fds);
}

ProcessSampler::Sample ProcessSampler::sample(qint64 pid)
{
    Sample result;
    const QString folder = u"/proc/"_s % QString::number(pid);
    QFile status(folder % u"/status"_s);
    if (!status.open(QIODevice::ReadOnly))
        return result;
    // /proc files report a size of 0: read to the end.
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmHWM:"))
            result.peakMB = line.simplified().split(' ').value(1).toDouble() * 1024.0 / 1e6;
        else if (line.startsWith("Threads:"))
            result.threads = line.simplified().split(' ').value(1).toInt();
    }
    // Since Linux 6.2 the folder's size is the count: far cheaper than listing a thousand
    // entries every 50 ms next to the process being measured.
    const QByteArray fdFolder = QFile::encodeName(folder % u"/fd"_s);
    struct stat info = {};
    if (::stat(fdFolder.constData(), &info) == 0 && info.st_size > 0) {
        result.fds = int(info.st_size);
        return result;
    }
    const qsizetype fds =
        QDir(folder % u"/fd"_s)
            .entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot, QDir::NoSort)
            .size();
    // An exited process has an empty folder, which is no sample.
    if (fds > 0)
        result.fds = int(fds);
    return result;
}
