#include "RunStatus.h"

#include <QStatusBar>

RunStatus::RunStatus(QStatusBar *bar, QObject *parent) : QObject(parent), bar(bar)
{
    update.setSingleShot(true);
    update.setInterval(250);
    connect(&update, &QTimer::timeout, this, &RunStatus::showProgress);
}

void RunStatus::start(int total, qint64 timeout, const QString &target)
{
    timeoutMs = timeout;
    progress.start(total, target);
    showProgress();
}

void RunStatus::testStarted()
{
    progress.testStarted();
}

void RunStatus::resultArrived(int code)
{
    progress.resultArrived(code);
    if (!update.isActive())
        update.start();
}

QString RunStatus::finish()
{
    update.stop();
    QString summary = progress.summaryText();
    bar->showMessage(summary);
    return summary;
}

void RunStatus::showProgress()
{
    bar->showMessage(progress.progressText(timeoutMs));
}
