#pragma once

#include "RunProgress.h"

#include <QObject>
#include <QTimer>

class QStatusBar;

// The status bar during a test run: its progress a few times a second, then its summary.
class RunStatus : public QObject
{
    Q_OBJECT

public:
    RunStatus(QStatusBar *bar, QObject *parent);

    // timeoutMs: one test's time limit, for the estimate of the time left.
    void start(int total, qint64 timeoutMs, const QString &target = {});
    void testStarted();
    void resultArrived(int code);
    // Shows the run's summary and returns it.
    QString finish();

private:
    void showProgress();

    QStatusBar *bar;
    RunProgress progress;
    qint64 timeoutMs = 0;
    // Holds progress updates back to a few a second.
    QTimer update;
};
