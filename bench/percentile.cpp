// Nearest-rank percentiles (see percentile.h).
#include "percentile.h"

#include <algorithm>
#include <cmath>

namespace ktzbench
{

double Percentile(std::vector<double> samples, double percent)
{
    if (samples.empty())
    {
        return 0.0;
    }
    const double clamped = std::clamp(percent, 0.0, 100.0);
    // Rank from 1: ceil(p/100 * n), at least 1. The product is rounded to a
    // millionth first: 7% of 100 computes as 7.000000000000001, which is
    // rank 7, not 8.
    const double exact = std::round(clamped / 100.0 * static_cast<double>(samples.size()) * 1e6) / 1e6;
    const size_t rank = std::max<size_t>(1, static_cast<size_t>(std::ceil(exact)));
    const size_t index = std::min(rank, samples.size()) - 1;
    std::nth_element(samples.begin(), samples.begin() + static_cast<std::ptrdiff_t>(index), samples.end());
    return samples[index];
}

} // namespace ktzbench
