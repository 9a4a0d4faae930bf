#include "RetestScheduler.h"

#include <utility>

using namespace Qt::StringLiterals;

RetestScheduler::RetestScheduler(QObject *parent) : QObject(parent)
{
    connect(&timer, &QTimer::timeout, this, &RetestScheduler::due);
}

void RetestScheduler::setPeriod(int ms)
{
    timer.stop();
    if (ms > 0)
        timer.start(ms);
}

void RetestScheduler::runStarted(bool periodic)
{
    if (periodic)
        periodicRun = true;
    wentDown.clear();
    cameBack.clear();
}

void RetestScheduler::entryChanged(bool up, const QString &entry)
{
    (up ? cameBack : wentDown).append(entry);
}

QString RetestScheduler::runEnded()
{
    if (!std::exchange(periodicRun, false) || (wentDown.isEmpty() && cameBack.isEmpty()))
        return {};
    const auto named = [](const QStringList &entries) -> QString {
        constexpr int shown = 5;
        return entries.mid(0, shown).join(u", "_s) %
               (entries.size() > shown ? u", …"_s : QString());
    };
    QStringList parts;
    if (!wentDown.isEmpty())
        parts << QString::number(wentDown.size()) % u" went down: "_s % named(wentDown);
    if (!cameBack.isEmpty())
        parts << QString::number(cameBack.size()) % u" came back: "_s % named(cameBack);
    return parts.join(u"; "_s);
}
