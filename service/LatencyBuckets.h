#pragma once

#include <QtGlobal>

#include <array>

// Fixed latency buckets of the hourly summaries: an hour's Up results keep only how many fell
// in each, so percentiles of older periods are estimates.
class LatencyBuckets
{
public:
    static constexpr int count = 12;
    using Counts = std::array<qint64, count>;

    // Upper bounds in milliseconds of every bucket but the last, which is open.
    static const std::array<int, count - 1> &upperBounds();
    static int bucketOf(qint64 latencyMs);
    // The latency below which that share (0 to 1) of the counted results lies, interpolated
    // within its bucket; -1 when there are none.
    static int estimate(const Counts &counts, double quantile);
    // The smallest rank (from 1) with at least that share of total at or below it.
    static qint64 nearestRank(qint64 total, double quantile);
};
