#include "LatencyBuckets.h"

#include <algorithm>
#include <cmath>
#include <numeric>

const std::array<int, LatencyBuckets::count - 1> &LatencyBuckets::upperBounds()
{
    static const std::array<int, count - 1> bounds{50,   100,  200,  300,  500, 750,
                                                   1000, 1500, 2000, 3000, 5000};
    return bounds;
}

int LatencyBuckets::bucketOf(qint64 latencyMs)
{
    const auto &bounds = upperBounds();
    return int(std::upper_bound(bounds.begin(), bounds.end(), latencyMs) - bounds.begin());
}

qint64 LatencyBuckets::nearestRank(qint64 total, double quantile)
{
    return std::clamp<qint64>(qint64(std::ceil(quantile * double(total))), 1, total);
}

int LatencyBuckets::estimate(const Counts &counts, double quantile)
{
    const qint64 total = std::accumulate(counts.begin(), counts.end(), qint64(0));
    if (total == 0)
        return -1;
    const qint64 rank = nearestRank(total, quantile);
    const auto &bounds = upperBounds();
    qint64 below = 0;
    for (int bucket = 0; bucket < count; ++bucket) {
        if (below + counts[bucket] < rank) {
            below += counts[bucket];
            continue;
        }
        const double low = bucket == 0 ? 0 : bounds[bucket - 1];
        // The open bucket is read as twice its lower bound wide.
        const double high = bucket < count - 1 ? bounds[bucket] : 2 * low;
        const double within = double(rank - below) / double(counts[bucket]);
        return int(std::lround(low + (high - low) * within));
    }
    return -1;
}
