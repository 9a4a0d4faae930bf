#include "StopSignal.h"

#include <QCoreApplication>
#include <QPointer>

#ifdef Q_OS_WIN
#include <windows.h>
#else
#include <QSocketNotifier>

#include <csignal>
#include <fcntl.h>
#include <unistd.h>
#endif

namespace {

#ifdef Q_OS_WIN
QPointer<StopSignal> current;

// Runs on a thread of its own: only queue the signal.
BOOL WINAPI onConsoleEvent(DWORD)
{
    if (current)
        QMetaObject::invokeMethod(current.data(), &StopSignal::stopRequested, Qt::QueuedConnection);
    return TRUE;
}
#else
// The handler may only write to a pipe; the event loop reads the other end.
int pipeEnds[2] = {-1, -1};

extern "C" void onSignal(int)
{
    const char byte = 1;
    [[maybe_unused]] const auto written = write(pipeEnds[1], &byte, 1);
}
#endif

} // namespace

StopSignal::StopSignal(QObject *parent) : QObject(parent)
{
#ifdef Q_OS_WIN
    current = this;
    SetConsoleCtrlHandler(onConsoleEvent, TRUE);
#else
    if (pipeEnds[0] < 0 && pipe(pipeEnds) != 0)
        return;
    fcntl(pipeEnds[1], F_SETFL, O_NONBLOCK);
    auto *notifier = new QSocketNotifier(pipeEnds[0], QSocketNotifier::Read, this);
    connect(notifier, &QSocketNotifier::activated, this, [this] {
        char byte = 0;
        [[maybe_unused]] const auto got = read(pipeEnds[0], &byte, 1);
        emit stopRequested();
    });
    struct sigaction action = {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
#endif
}

StopSignal::~StopSignal()
{
#ifdef Q_OS_WIN
    SetConsoleCtrlHandler(onConsoleEvent, FALSE);
#else
    std::signal(SIGTERM, SIG_DFL);
    std::signal(SIGINT, SIG_DFL);
#endif
}
