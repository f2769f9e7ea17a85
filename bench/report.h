// The reporter that sets each timed figure beside its floor: it prints
// Google Benchmark's usual console lines, then one table with the median
// time of every measurement and of its floor, their ratio and the goal, and
// the memory figures; optionally the same tables as Markdown into a file.
#ifndef KTZBENCH_REPORT_H
#define KTZBENCH_REPORT_H

#include <benchmark/benchmark.h>

#include <map>
#include <string>
#include <vector>

namespace ktzbench
{

// Suffix of a floor's benchmark name: "<name>.floor" is the floor of "<name>".
inline constexpr const char* kFloorSuffix = ".floor";

class PairReporter : public benchmark::ConsoleReporter
{
  public:
    explicit PairReporter(std::string markdownPath);
    void ReportRuns(const std::vector<Run>& reports) override;
    void Finalize() override;

    // Non-zero when a run failed or a goal was missed.
    int exitStatus() const { return exitStatus_; }

  private:
    struct Samples
    {
        std::vector<double> cpuNs; // CPU time per iteration, one per repetition
        std::map<std::string, double> counters;
        std::string error;
    };
    std::string markdownPath_;
    std::map<std::string, Samples> runs_;
    int exitStatus_ = 0;
};

} // namespace ktzbench

#endif
