#pragma once

#include "ProcessSampler.h"

#include <QHash>
#include <QList>
#include <QString>
#include <QStringList>

class FigureReport;

// One run of a big list, as measured: what was asked, what each entry got, what the fakes saw.
struct ScaleRun
{
    struct Result
    {
        QString entry;
        // The tester's codes: 0 up, 2 time-out, anything else another failure.
        int code = -1;
        double ms = 0;
    };

    QString way;
    int concurrency = 1;
    int timeoutMs = 10000;
    double wallMs = 0;
    // Each entry's delay at its fake; -1 for a silent one.
    QHash<QString, int> delayOf;
    QStringList order;
    // Measured at the fakes in this run.
    QHash<QString, double> trueMs;
    // When each entry's request head reached its fake, and when the client closed it.
    QHash<QString, qint64> arrivalNs;
    QHash<QString, qint64> closeNs;
    // When the tester was started, on the same monotonic clock; 0 when not known.
    qint64 startNs = 0;
    QList<Result> results;
    // Left at -1 when the way cannot be measured so.
    ProcessSampler::Sample peak;
    double loopBlockMs = -1;
    // The call that starts the run, and the longest block after it returned.
    double startCallMs = -1;
    double blockAfterStartMs = -1;
    double memoryGoalMB = 0;
    // The curl run at the same size and N, if there was one.
    double curlWallMs = -1;
};

// The figures of a run with their goals, which apply at 512 at once.
class ScaleFigures
{
public:
    static constexpr int goalConcurrency = 512;

    static void print(FigureReport &report, const ScaleRun &run);
    // max(total work / N, longest entry), a silent entry's work being the time-out.
    static double floorMs(const ScaleRun &run);
    // The same work sent in list order, each entry to the first free slot, without overhead:
    // what a tester that takes the list in its order can reach at best.
    static double listOrderMs(const ScaleRun &run);
};
