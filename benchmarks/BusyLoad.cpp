#include "BusyLoad.h"

#include <sys/prctl.h>

#include <csignal>

using namespace Qt::StringLiterals;

BusyLoad::BusyLoad(int count)
{
    for (int i = 0; i < count; ++i) {
        auto process = std::make_unique<QProcess>();
        // A crashed or interrupted benchmark must not leave CPU hogs behind.
        process->setChildProcessModifier([] { prctl(PR_SET_PDEATHSIG, SIGKILL); });
        process->start(u"sh"_s, {u"-c"_s, u"while :; do :; done"_s});
        if (process->waitForStarted(5000))
            m_processes.push_back(std::move(process));
    }
}

BusyLoad::~BusyLoad()
{
    stop();
}

int BusyLoad::running() const
{
    int n = 0;
    for (const auto &process : m_processes)
        n += process->state() == QProcess::Running ? 1 : 0;
    return n;
}

void BusyLoad::stop()
{
    for (const auto &process : m_processes) {
        if (process->state() != QProcess::NotRunning) {
            process->kill();
            process->waitForFinished(5000);
        }
    }
    m_processes.clear();
}
