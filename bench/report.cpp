// Pairs every measurement with its floor and prints the ratio (see report.h).
#include "report.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <sstream>

namespace ktzbench
{

namespace
{
// A timed comparison: the benchmark `name` against "<name>.floor".
struct Comparison
{
    const char* name;
    const char* what;
    const char* floor;
    double goal; // at most this ratio; 0: reported without a goal
};

const Comparison kComparisons[] = {
    {"idle_check_pass",
     "idle check pass, both flags due (24 fan sensors, 8 temperatures, 6 bays, redundancy; 8 clients)",
     "the same platform calls alone", 1.5},
    {"log_event_to_8_clients",
     "one chassis log event through the listener to 8 capable clients (writing off)",
     "SMAllocMem + memcpy of the message + 8 callback calls", 2.0},
    {"log_event_to_8_clients_logged", "the same with the diagnostic log writing on (default setting)",
     "the same floor + one log line written through the support library", 0.0},
    {"connect_exchange", "client connect + disconnect on the reference chassis (8 clients connected)",
     "building and dispatching the same messages (same count and sizes)", 2.0},
    {"log_event_to_100_clients", "chassis log events to 100 capable clients: 200 deliveries (2 events)",
     "the same 200 deliveries as 25 events to 8 clients (cost per client at 8)", 1.5},
    {"log_event_to_1000_clients", "one chassis log event to 1000 capable clients: 1000 deliveries",
     "the same 1000 deliveries as 125 events to 8 clients (cost per client at 8)", 1.5},
    {"connect_exchange_largest",
     "client connect + disconnect on the largest chassis (255 fan sensors, 8 temperatures, 255 bays)",
     "building and dispatching the same messages (same count and sizes)", 2.0},
    {"idle_check_pass_largest", "idle check pass on the largest chassis, both flags due",
     "the same platform calls alone", 1.5},
    {"log_msg_writing_off", "16 calls of KTZMonLogMsg with \"log.msgtofile = false\"",
     "16 empty exported variadic calls through a function pointer", 1.5},
    {"platform_mutex_pair", "one platform mutex lock + unlock (for scale)",
     "a default pthread mutex lock + unlock", 0.0},
};

// A memory figure: a counter of one benchmark.
struct MemoryFigure
{
    const char* name;
    const char* counter;
    const char* what;
    bool mustBeZero;
};

const MemoryFigure kMemoryFigures[] = {
    {"memory_per_client", "bytes", "bytes held per connected client", false},
    {"memory_per_client", "blocks", "blocks held per connected client", false},
    {"memory_per_queued_event", "bytes", "bytes held per queued chassis log event", false},
    {"memory_per_queued_event", "blocks", "blocks held per queued chassis log event", false},
    {"memory_load_cycles", "cycles", "Load/Start/Stop/Unload cycles run", false},
    {"memory_load_cycles", "leaked_bytes", "live bytes left after the cycles", true},
    {"memory_load_cycles", "leaked_blocks", "live blocks left after the cycles", true},
};

double Median(std::vector<double> v)
{
    if (v.empty())
    {
        return 0.0;
    }
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n % 2 == 1 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2.0;
}

double ToNs(double value, benchmark::TimeUnit unit)
{
    switch (unit)
    {
    case benchmark::kSecond: return value * 1e9;
    case benchmark::kMillisecond: return value * 1e6;
    case benchmark::kMicrosecond: return value * 1e3;
    case benchmark::kNanosecond: return value;
    }
    return value;
}

std::string Fixed(double v, int digits)
{
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.*f", digits, v);
    return buf;
}
} // namespace

PairReporter::PairReporter(std::string markdownPath)
    : benchmark::ConsoleReporter(benchmark::ConsoleReporter::OO_Tabular),
      markdownPath_(std::move(markdownPath))
{
}

void PairReporter::ReportRuns(const std::vector<Run>& reports)
{
    benchmark::ConsoleReporter::ReportRuns(reports);
    for (const Run& run : reports)
    {
        if (run.run_type != Run::RT_Iteration)
        {
            continue;
        }
        Samples& s = runs_[run.run_name.function_name];
        if (run.error_occurred)
        {
            s.error = run.error_message;
            continue;
        }
        s.cpuNs.push_back(ToNs(run.GetAdjustedCPUTime(), run.time_unit));
        for (const auto& [name, counter] : run.counters)
        {
            s.counters[name] = counter.value;
        }
    }
}

void PairReporter::Finalize()
{
    std::ostringstream text;
    std::ostringstream md;
    text << "\nEach figure beside its floor (median CPU time per iteration over the repetitions):\n";
    char line[512];
    std::snprintf(line, sizeof line, "%-32s %14s %14s %8s %6s  %s\n", "measurement", "module ns", "floor ns",
                  "ratio", "goal", "result");
    text << line;
    md << "| Measurement | Module (ns) | Floor | Floor (ns) | Ratio | Goal | Result |\n";
    md << "|---|---:|---|---:|---:|---:|---|\n";
    for (const Comparison& c : kComparisons)
    {
        const auto it = runs_.find(c.name);
        const auto fit = runs_.find(std::string(c.name) + kFloorSuffix);
        if (it == runs_.end() && fit == runs_.end())
        {
            continue; // filtered out of this run
        }
        std::string result;
        double module = 0.0;
        double floorNs = 0.0;
        double ratio = 0.0;
        if (it == runs_.end() || fit == runs_.end() || !it->second.error.empty() ||
            !fit->second.error.empty() || it->second.cpuNs.empty() || fit->second.cpuNs.empty())
        {
            result = "not measured";
            if (it != runs_.end() && !it->second.error.empty())
            {
                result += ": " + it->second.error;
            }
            else if (fit != runs_.end() && !fit->second.error.empty())
            {
                result += ": " + fit->second.error;
            }
            exitStatus_ = 1;
        }
        else
        {
            module = Median(it->second.cpuNs);
            floorNs = Median(fit->second.cpuNs);
            ratio = floorNs > 0.0 ? module / floorNs : 0.0;
            if (c.goal == 0.0)
            {
                result = "no goal (shown for scale)";
            }
            else if (ratio <= c.goal)
            {
                result = "met";
            }
            else
            {
                result = "missed";
                exitStatus_ = 1;
            }
        }
        const std::string goal = c.goal == 0.0 ? "-" : Fixed(c.goal, 1) + "x";
        std::snprintf(line, sizeof line, "%-32s %14.1f %14.1f %7.2fx %6s  %s\n", c.name, module, floorNs,
                      ratio, goal.c_str(), result.c_str());
        text << line;
        md << "| " << c.what << " | " << Fixed(module, 1) << " | " << c.floor << " | " << Fixed(floorNs, 1)
           << " | " << Fixed(ratio, 2) << "x | " << goal << " | " << result << " |\n";
    }

    text << "\nMemory (platform allocator accounting, bytes as requested, without allocator headers):\n";
    md << "\n| Memory figure | Value | Goal | Result |\n|---|---:|---:|---|\n";
    for (const MemoryFigure& m : kMemoryFigures)
    {
        const auto it = runs_.find(m.name);
        if (it == runs_.end())
        {
            continue;
        }
        std::string result = "-";
        std::string value = "not measured";
        const auto cit = it->second.counters.find(m.counter);
        if (!it->second.error.empty() || cit == it->second.counters.end())
        {
            result = it->second.error.empty() ? "not measured" : "not measured: " + it->second.error;
            exitStatus_ = 1;
        }
        else
        {
            value = Fixed(cit->second,
                          cit->second == static_cast<double>(static_cast<long long>(cit->second)) ? 0 : 1);
            if (m.mustBeZero)
            {
                result = cit->second == 0.0 ? "met" : "missed";
                exitStatus_ |= cit->second == 0.0 ? 0 : 1;
            }
        }
        std::snprintf(line, sizeof line, "%-48s %14s  %s\n", m.what, value.c_str(), result.c_str());
        text << line;
        md << "| " << m.what << " | " << value << " | " << (m.mustBeZero ? "0" : "-") << " | " << result
           << " |\n";
    }
    GetOutputStream() << text.str() << std::flush;
    if (!markdownPath_.empty())
    {
        std::ofstream(markdownPath_) << md.str();
    }
}

} // namespace ktzbench
