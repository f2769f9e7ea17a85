// Nearest-rank percentiles of the live benchmark's latencies.
#include "percentile.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>

using ktzbench::Percentile;

namespace
{
// 1, 2, ..., n in the given order (reversed when `descending`).
std::vector<double> Ramp(size_t n, bool descending)
{
    std::vector<double> v(n);
    std::iota(v.begin(), v.end(), 1.0);
    if (descending)
    {
        std::reverse(v.begin(), v.end());
    }
    return v;
}

TEST(Percentile, NearestRankOfSetsLargeSmallAndDegenerate)
{
    std::vector<double> stalled = Ramp(100, false);
    stalled[37] = 1e9; // a single stall among 100 changes moves only the top ranks
    const struct
    {
        std::vector<double> samples;
        double pct, want;
    } cases[] = {
        {Ramp(200, false), 99, 198},
        {Ramp(200, true), 99, 198},
        {Ramp(200, true), 50, 100}, // lower median
        {Ramp(200, false), 99.5, 199},
        {Ramp(200, true), 100, 200},
        {Ramp(200, false), 0.1, 1}, // rank 0.2 rounds up to the first sample
        // Whole-number ranks stay exact: 7% of 100 computes as
        // 7.000000000000001 in binary, 29% as 28.999999999999996.
        {Ramp(100, true), 7, 7},
        {Ramp(100, true), 29, 29},
        {Ramp(100, true), 99, 99},
        {{}, 50, 0},
        {{7.5}, 1, 7.5},
        {{7.5}, 99, 7.5},
        {{3, 1, 2}, 50, 2}, // rank ceil(1.5) = 2
        {{3, 1, 2}, 99, 3},
        {{5, 5, 1, 5}, 25, 1},
        {{5, 5, 1, 5}, 26, 5},
        // Out-of-range percentages are clamped rather than read past the end.
        {{4, 8}, 150, 8},
        {{4, 8}, -3, 4},
        {stalled, 99, 100},
        {stalled, 100, 1e9},
        {stalled, 50, 51}, // ranks shift by one past the removed 38
    };
    for (const auto& c : cases)
    {
        EXPECT_EQ(Percentile(c.samples, c.pct), c.want) << c.samples.size() << " samples, " << c.pct << "%";
    }
}
} // namespace
