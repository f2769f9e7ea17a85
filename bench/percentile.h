// Order statistics of a set of measured times.
#ifndef KTZBENCH_PERCENTILE_H
#define KTZBENCH_PERCENTILE_H

#include <vector>

namespace ktzbench
{

// The nearest-rank percentile: the smallest sample such that at least
// `percent` per cent of the samples are no larger (percent in (0, 100];
// 50 is the lower median of an even count). 0 for no samples.
double Percentile(std::vector<double> samples, double percent);

} // namespace ktzbench

#endif
