#pragma once

#include "ScaleFigures.h"

#include <QHash>
#include <QProcess>
#include <QStringList>
#include <QTemporaryDir>

class FigureReport;
class QCommandLineParser;

// The fakes, the service and the list of one size, for all the runs over it: each way in a
// process of its own, sampled from /proc while it runs.
class ScaleBench
{
public:
    ScaleBench(FigureReport &report, const QCommandLineParser &options);
    // The fakes and the service for count entries, a fifth of them silent.
    bool setUp(int count);
    ~ScaleBench();
    ScaleBench(const ScaleBench &) = delete;
    ScaleBench &operator=(const ScaleBench &) = delete;

    // Each way in turn at N at once, curl first: the others' wall time is set against it.
    void runAll(int concurrency);

private:
    bool fail(const QString &text);
    void readFarm();
    bool startService();
    // Starts the way's process, samples it until it ends, and reads its results.
    bool measure(ScaleRun &run);
    void readResults(ScaleRun &run, const QByteArray &out);
    void readFact(ScaleRun &run, const QByteArray &line);

    FigureReport &report;
    const int timeoutMs;
    const QStringList ways;
    QTemporaryDir dir;
    QProcess farm;
    QProcess service;
    QStringList entries;
    QHash<QString, int> delayOf;
    QString apiUrl;
    QString pingUrl;
    ScaleRun *current = nullptr;
};
