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
} // namespace

TEST(Percentile, NearestRankOfTwoHundredSamplesInAnyOrder)
{
    for (const bool descending : {false, true})
    {
        const auto v = Ramp(200, descending);
        EXPECT_EQ(Percentile(v, 99), 198.0);
        EXPECT_EQ(Percentile(v, 50), 100.0); // the lower median of an even count
        EXPECT_EQ(Percentile(v, 99.5), 199.0);
        EXPECT_EQ(Percentile(v, 100), 200.0);
        EXPECT_EQ(Percentile(v, 0.1), 1.0); // rank 0.2 rounds up to the first sample
    }
}

TEST(Percentile, RanksThatAreWholeNumbersStayExact)
{
    // 7% of 100 computes as 7.000000000000001 in binary: the rank is 7, not 8.
    const auto v = Ramp(100, true);
    EXPECT_EQ(Percentile(v, 7), 7.0);
    EXPECT_EQ(Percentile(v, 29), 29.0); // 28.999999999999996
    EXPECT_EQ(Percentile(v, 99), 99.0);
}

TEST(Percentile, SmallAndDegenerateSets)
{
    EXPECT_EQ(Percentile({}, 50), 0.0);
    EXPECT_EQ(Percentile({7.5}, 1), 7.5);
    EXPECT_EQ(Percentile({7.5}, 99), 7.5);
    EXPECT_EQ(Percentile({3, 1, 2}, 50), 2.0); // rank ceil(1.5) = 2
    EXPECT_EQ(Percentile({3, 1, 2}, 99), 3.0);
    EXPECT_EQ(Percentile({5, 5, 1, 5}, 25), 1.0);
    EXPECT_EQ(Percentile({5, 5, 1, 5}, 26), 5.0);
    // Out-of-range percentages are clamped rather than read past the end.
    EXPECT_EQ(Percentile({4, 8}, 150), 8.0);
    EXPECT_EQ(Percentile({4, 8}, -3), 4.0);
}

TEST(Percentile, OneOutlierMovesOnlyTheTopRanks)
{
    auto v = Ramp(100, false);
    v[37] = 1e9; // a single stall among 100 changes
    EXPECT_EQ(Percentile(v, 99), 100.0);
    EXPECT_EQ(Percentile(v, 100), 1e9);
    EXPECT_EQ(Percentile(v, 50), 51.0); // ranks shift by one past the removed 38
}
