// The live daemon benchmark: the time from a chassis change to its arrival
// at 1 to 10,000 connected clients of a running ktzmond, against the relay
// floor of the same client count measured in the same run; the daemon's
// memory per connected idle client; and its CPU time while idle.
//
// The change is a chassis log event posted through the control socket (the
// request ktzmonctl sends): the module forwards it from its event listener
// as soon as it arrives, without waiting for its periodic sensor check, so
// the time measured is the daemon's own path (control request, the
// platform's event delivery, the module, the daemon's writes) and the
// clients' reading. Each change is timed from just before the control
// request is written to the moment the last client has read the event's
// Message frame; the next change follows once every client has it.
//
// The relay floor (ktzmon_live_relay) is the least any design must do: a
// process that reads the same control request line from a Unix socket and
// writes one Message frame of the same size to each of N connections, read
// by the same reader. Its reply tells when it began writing, which gives the
// writing-alone floor as well (a writer that already holds the change: the
// floor of earlier versions of this benchmark), shown for information.
#include "live_runs.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cstdio>
#include <fstream>
#include <sstream>

namespace
{

using namespace ktzbench;

constexpr double kMedianGoal = 2.0;         // daemon median over relay median
constexpr double kP99Goal = 3.0;            // daemon p99 over relay p99
constexpr double kRssGoalBytes = 8192.0;    // per connected idle client
constexpr double kIdleCpuGoalPercent = 0.5; // of one core
// Client counts from which memory per client is reported (below it the
// difference is within the allocator's noise).
constexpr uint32_t kRssFromClients = 1000;

std::string Fixed(double v, int digits)
{
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.*f", digits, v);
    return buf;
}

std::string Clients(uint32_t n)
{
    return std::to_string(n) + (n == 1 ? " client" : " clients");
}

struct MemoryRow
{
    uint32_t clients;
    uint64_t idle;
    uint64_t connected;
};

} // namespace

int main(int argc, char** argv)
{
    LiveOptions o;
    o.daemon = KTZMOND_EXE;
    o.module = KTZMON_LIBRARY_PATH;
    o.relay = KTZMON_LIVE_RELAY;
    o.demo = KTZ_SOURCE_DIR "/scenario/scenarios/demo.toml";
    std::string markdown;
    std::vector<uint32_t> clientCounts = {1, 100, 1000, 10000};
    std::vector<uint32_t> writingOffClients = {1};
    uint32_t idleClients = 100;
    uint32_t idleSeconds = 60;
    CLI::App app{"Live ktzmond benchmark: chassis change to client arrival against a minimal relay of the "
                 "same change, memory per connected client, CPU while idle."};
    app.add_option("--daemon", o.daemon, "ktzmond to run")->capture_default_str();
    app.add_option("--module", o.module, "The module it loads")->capture_default_str();
    app.add_option("--relay", o.relay, "The relay floor's program")->capture_default_str();
    app.add_option("--demo-scenario", o.demo, "The demonstration scenario (its chassis is used)")
        ->capture_default_str();
    app.add_option("--markdown", markdown, "Also write the result tables as Markdown to this file");
    app.add_option("--clients", clientCounts, "Client counts to measure")
        ->capture_default_str()
        ->delimiter(',');
    app.add_option("--writing-off-clients", writingOffClients,
                   "Client counts measured once more with the module's diagnostic log writing off (0: none)")
        ->capture_default_str()
        ->delimiter(',');
    app.add_option("--speed", o.speed, "Chassis clock speed of the timed runs (1: real time)")
        ->capture_default_str()
        ->check(CLI::Range(1u, 1000u));
    app.add_option("--changes", o.changes, "Changes timed per client count")
        ->capture_default_str()
        ->check(CLI::Range(1u, 100000u));
    app.add_option("--warmup", o.warmup, "Changes made first and not timed")
        ->capture_default_str()
        ->check(CLI::Range(0u, 10000u));
    app.add_option("--idle-clients", idleClients, "Clients connected while the idle daemon's CPU is measured")
        ->capture_default_str();
    app.add_option("--idle-seconds", idleSeconds,
                   "How long the idle daemon's CPU is measured (0: not at all)")
        ->capture_default_str()
        ->check(CLI::Range(0u, 3600u));
    CLI11_PARSE(app, argc, argv);
    std::erase(writingOffClients, 0u);

    uint32_t most = idleSeconds != 0 ? idleClients : 0;
    for (const uint32_t n : clientCounts)
    {
        most = std::max(most, n);
    }
    for (const uint32_t n : writingOffClients)
    {
        most = std::max(most, n);
    }
    // This reader holds one descriptor per client; the daemon and the relay
    // raise their own limits.
    if (!RaiseFdLimit(uint64_t{most} + 64))
    {
        std::fprintf(stderr, "cannot raise the descriptor limit to %u\n", most + 64);
        return 1;
    }

    std::ostringstream md;
    md << "| Measurement | Daemon median (us) | Daemon p99 (us) | Relay floor median (us) | Relay floor p99 "
          "(us) "
          "| Ratio median | Ratio p99 | Goal (median, p99) | Result | Writing-alone floor median / p99 (us) "
          "|\n";
    md << "|---|---:|---:|---:|---:|---:|---:|---:|---|---:|\n";
    int status = 0;
    std::vector<MemoryRow> memory;
    struct Case
    {
        uint32_t clients;
        bool logWritingOff;
    };
    std::vector<Case> cases;
    for (const uint32_t n : clientCounts)
    {
        cases.push_back({n, false});
    }
    for (const uint32_t n : writingOffClients)
    {
        cases.push_back({n, true});
    }
    for (const Case& c : cases)
    {
        const uint32_t n = c.clients;
        const DaemonRun d = RunDaemon(o, n, c.logWritingOff);
        const RelayRun f = d.timing.error.empty() ? RunRelay(o, n, d.payload) : RelayRun{};
        const std::string what = "chassis log event posted on the control socket to its arrival at " +
                                 Clients(n) + (c.logWritingOff ? ", diagnostic log writing off" : "");
        std::string result;
        double rm = 0, rp = 0;
        if (!d.timing.error.empty() || !f.relay.error.empty() || d.timing.us.empty() || f.relay.us.empty())
        {
            result = "not measured: " + (d.timing.error.empty() ? f.relay.error : d.timing.error);
            status = 1;
        }
        else
        {
            rm = d.timing.Median() / f.relay.Median();
            rp = d.timing.P99() / f.relay.P99();
            result = rm <= kMedianGoal && rp <= kP99Goal ? "met" : "missed";
            status |= result == "met" ? 0 : 1;
        }
        std::printf(
            "%5u clients%s: daemon median %9.1f us p99 %9.1f us | relay median %9.1f us p99 %9.1f us | "
            "%.2fx %.2fx %s | writing alone median %.1f us p99 %.1f us\n",
            n, c.logWritingOff ? " (log writing off)" : "", d.timing.Median(), d.timing.P99(),
            f.relay.Median(), f.relay.P99(), rm, rp, result.c_str(), f.writing.Median(), f.writing.P99());
        std::fflush(stdout);
        md << "| " << what << " | " << Fixed(d.timing.Median(), 1) << " | " << Fixed(d.timing.P99(), 1)
           << " | " << Fixed(f.relay.Median(), 1) << " | " << Fixed(f.relay.P99(), 1) << " | " << Fixed(rm, 2)
           << "x | " << Fixed(rp, 2) << "x | " << Fixed(kMedianGoal, 1) << "x, " << Fixed(kP99Goal, 1)
           << "x | " << result << " | " << Fixed(f.writing.Median(), 1) << " / " << Fixed(f.writing.P99(), 1)
           << " |\n";
        if (!c.logWritingOff && n >= kRssFromClients)
        {
            memory.push_back({n, d.rssIdle, d.rssConnected});
        }
    }

    md << "\n| Memory and idle figure | Value | Goal | Result |\n|---|---:|---:|---|\n";
    for (const MemoryRow& m : memory)
    {
        if (m.idle == 0 || m.connected == 0)
        {
            md << "| daemon VmRSS per connected idle client at " << m.clients << " clients | not measured | "
               << Fixed(kRssGoalBytes, 0) << " bytes | not measured |\n";
            status = 1;
            continue;
        }
        const double perClient =
            (static_cast<double>(m.connected) - static_cast<double>(m.idle)) / static_cast<double>(m.clients);
        const bool met = perClient <= kRssGoalBytes;
        status |= met ? 0 : 1;
        std::printf("VmRSS: %llu KiB without clients, %llu KiB with %u: %.0f bytes per client\n",
                    static_cast<unsigned long long>(m.idle / 1024),
                    static_cast<unsigned long long>(m.connected / 1024), m.clients, perClient);
        md << "| daemon VmRSS, module running, no client (the run with " << m.clients << " clients) | "
           << m.idle / 1024 << " KiB | - | - |\n";
        md << "| daemon VmRSS with " << m.clients << " connected clients, idle after the timed changes | "
           << m.connected / 1024 << " KiB | - | - |\n";
        md << "| daemon VmRSS per connected idle client at " << m.clients << " clients (the difference / "
           << m.clients << ") | " << Fixed(perClient, 0) << " bytes | " << Fixed(kRssGoalBytes, 0)
           << " bytes | " << (met ? "met" : "missed") << " |\n";
    }
    if (idleSeconds != 0)
    {
        const IdleRun idle = RunIdle(o, idleClients, idleSeconds);
        const std::string what = "daemon CPU while idle, demonstration chassis at the real clock's pace, " +
                                 Clients(idleClients) + " connected, over " + std::to_string(idleSeconds) +
                                 " s";
        if (!idle.error.empty())
        {
            std::printf("idle: not measured: %s\n", idle.error.c_str());
            md << "| " << what << " | not measured: " << idle.error << " | " << Fixed(kIdleCpuGoalPercent, 1)
               << "% | not measured |\n";
            status = 1;
        }
        else
        {
            const bool met = idle.cpuPercent <= kIdleCpuGoalPercent;
            status |= met ? 0 : 1;
            std::printf("idle: %.3f%% of one core over %.1f s with %u clients\n", idle.cpuPercent,
                        idle.seconds, idleClients);
            md << "| " << what << " | " << Fixed(idle.cpuPercent, 3) << "% of one core | "
               << Fixed(kIdleCpuGoalPercent, 1) << "% | " << (met ? "met" : "missed") << " |\n";
        }
    }
    if (!markdown.empty())
    {
        std::ofstream(markdown) << md.str();
    }
    return status;
}
