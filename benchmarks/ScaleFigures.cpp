#include "ScaleFigures.h"

#include "BenchUtil.h"
#include "FigureReport.h"

#include <algorithm>
#include <utility>
#include <vector>

using namespace Qt::StringLiterals;

double ScaleFigures::floorMs(const ScaleRun &run)
{
    double sum = 0;
    double longest = 0;
    for (auto it = run.delayOf.cbegin(); it != run.delayOf.cend(); ++it) {
        const double own = it.value() < 0 ? run.timeoutMs : run.trueMs.value(it.key(), it.value());
        sum += own;
        longest = std::max(longest, own);
    }
    return std::max(sum / std::max(1, run.concurrency), longest);
}

double ScaleFigures::listOrderMs(const ScaleRun &run)
{
    std::vector<double> slotFree(std::size_t(std::max(1, run.concurrency)), 0.0);
    double end = 0;
    for (const QString &entry : run.order) {
        const int delay = run.delayOf.value(entry);
        const auto slot = std::min_element(slotFree.begin(), slotFree.end());
        *slot += delay < 0 ? run.timeoutMs : run.trueMs.value(entry, delay);
        end = std::max(end, *slot);
    }
    return end;
}

void ScaleFigures::print(FigureReport &report, const ScaleRun &run)
{
    const bool goals = run.concurrency == goalConcurrency;
    // At other N the goals are shown for context only.
    const auto check = [&](const QString &name, double value, const QString &unit,
                           const QString &goal, bool pass, int decimals = 1) {
        if (goals)
            report.figure(name, value, unit, goal, pass, decimals);
        else
            report.info(name % u" (goal "_s % goal % u')', value, unit, decimals);
    };

    int up = 0, timedOut = 0, other = 0, workingTimedOut = 0;
    QList<double> errors;
    for (const ScaleRun::Result &result : run.results) {
        up += result.code == 0;
        timedOut += result.code == 2;
        other += result.code != 0 && result.code != 2;
        const int delay = run.delayOf.value(result.entry, -2);
        if (delay >= 0 && result.code == 2)
            ++workingTimedOut;
        if (delay >= 0 && result.code == 0 && run.trueMs.contains(result.entry))
            errors.append(result.ms - run.trueMs.value(result.entry));
    }
    report.note(u"   results "_s % QString::number(run.results.size()) % u" of "_s %
                QString::number(run.delayOf.size()) % u": up "_s % QString::number(up) %
                u", timed out "_s % QString::number(timedOut) % u", other "_s %
                QString::number(other));
    if (run.results.size() != run.delayOf.size()) {
        // Goals over part of a list would mislead.
        report.error(run.way % u": not every entry has a result"_s);
        return;
    }

    const double floor = floorMs(run);
    report.info(u"floor: max(work / N, longest entry)"_s, floor, u"ms"_s, 0);
    report.info(u"list order with true times and no overhead"_s, listOrderMs(run), u"ms"_s, 0);
    report.info(u"wall time"_s, run.wallMs, u"ms"_s, 0);
    check(u"wall time / floor"_s, run.wallMs / floor, u"x"_s, u"<= 1.3 x"_s,
          run.wallMs <= 1.3 * floor, 3);
    if (run.curlWallMs > 0 && run.way != u"curl")
        check(u"wall time / the curl run's"_s, run.wallMs / run.curlWallMs, u"x"_s, u"<= 1 x"_s,
              run.wallMs <= run.curlWallMs, 3);

    // The first N heads at the fakes, from the first: how fast the tester fills its slots.
    QList<qint64> arrivals = run.arrivalNs.values();
    std::sort(arrivals.begin(), arrivals.end());
    const qsizetype firstN = std::min<qsizetype>(run.concurrency, arrivals.size());
    if (firstN > 0)
        report.info(u"first "_s % QString::number(firstN) % u" requests reached the fakes in"_s,
                    double(arrivals.at(firstN - 1) - arrivals.first()) / 1e6, u"ms"_s);
    // Tests truly in flight: a working entry's request from its head to its answer, a silent
    // one's until the client gave up, at most the time-out. A tester holding fewer than N at
    // once shows here.
    QList<std::pair<qint64, int>> events;
    for (auto it = run.arrivalNs.cbegin(); it != run.arrivalNs.cend(); ++it) {
        const int delay = run.delayOf.value(it.key(), -1);
        qint64 end = it.value() + qint64(run.timeoutMs) * 1000000;
        if (delay >= 0 && run.trueMs.contains(it.key()))
            end = it.value() + qint64(run.trueMs.value(it.key()) * 1e6);
        else if (run.closeNs.contains(it.key()))
            end = std::min(end, run.closeNs.value(it.key()));
        events.append({it.value(), 1});
        events.append({end, -1});
    }
    std::sort(events.begin(), events.end());
    int open = 0, mostOpen = 0;
    for (const auto &event : std::as_const(events))
        mostOpen = std::max(mostOpen, open += event.second);
    report.info(u"most tests in flight at the fakes at once"_s, mostOpen, {}, 0);
    if (firstN > 0 && run.startNs > 0)
        report.info(u"start to the "_s % QString::number(firstN) % u"th request at the fakes"_s,
                    double(arrivals.at(firstN - 1) - run.startNs) / 1e6, u"ms"_s);

    if (run.peak.peakMB >= 0) {
        if (run.memoryGoalMB > 0)
            check(u"peak resident memory"_s, run.peak.peakMB, u"MB"_s,
                  u"< "_s % QString::number(run.memoryGoalMB) % u" MB"_s,
                  run.peak.peakMB < run.memoryGoalMB);
        else
            report.info(u"peak resident memory"_s, run.peak.peakMB, u"MB"_s);
        report.info(u"threads at peak"_s, run.peak.threads, {}, 0);
        report.info(u"open file descriptors at peak"_s, run.peak.fds, {}, 0);
    }
    if (run.loopBlockMs >= 0)
        check(u"longest event-loop block"_s, run.loopBlockMs, u"ms"_s, u"<= 50 ms"_s,
              run.loopBlockMs <= 50);
    if (run.startCallMs >= 0) {
        report.info(u"   the call that starts the run"_s, run.startCallMs, u"ms"_s);
        report.info(u"   longest block after that call"_s, run.blockAfterStartMs, u"ms"_s);
    }
    if (!errors.isEmpty()) {
        const double median = bench::median(errors);
        const double worst = bench::worst(errors);
        check(u"reported minus true delay, median"_s, median, u"ms"_s, u"<= +5 ms"_s, median <= 5);
        check(u"reported minus true delay, worst"_s, worst, u"ms"_s, u"<= +30 ms"_s, worst <= 30);
    }
    check(u"working entries reported as Timeout"_s, workingTimedOut, {}, u"0"_s,
          workingTimedOut == 0, 0);
}
