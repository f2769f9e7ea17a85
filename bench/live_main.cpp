// The live daemon benchmark: the time from a chassis change to its arrival
// at 1, 100 and 1000 connected clients of a running ktzmond, against the
// floor of writing frames of the same size to as many connected Unix
// sockets directly; and the daemon's memory per connected client.
//
// The change is a chassis log event posted through the control socket (the
// request ktzmonctl sends): the module forwards it from its event listener
// as soon as it arrives, without waiting for its periodic sensor check, so
// the time measured is the daemon's own path (control request, the
// platform's event delivery, the module, the daemon's queues and writes)
// and the clients' reading. Each change is timed from just before the
// control request is written to the moment the last client has read the
// event's Message frame; the next change follows once every client has it.
//
// The floor holds the same number of connected socket pairs, read by the
// same reader as the daemon's clients; a writer thread takes the start time
// and writes one Message frame with a payload of the size the daemon sent
// to each socket, and the time runs to the last read.
#include "live_clients.h"
#include "live_daemon.h"
#include "percentile.h"

#include <ktzmon/protocol.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <fstream>
#include <semaphore>
#include <sstream>
#include <sys/resource.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace ktzbench
{
namespace
{

constexpr uint32_t kCapsWithLogEvents = KTZMON_CAP_VQ_LOG_EVT | 0x1u;
constexpr int64_t kChangeTimeoutNs = 10LL * 1000 * 1000 * 1000;
constexpr double kGoal = 2.0;

struct Options
{
    std::string daemon = KTZMOND_EXE;
    std::string module = KTZMON_LIBRARY_PATH;
    std::string demo = KTZ_SOURCE_DIR "/scenario/scenarios/demo.toml";
    std::string markdown;
    std::vector<uint32_t> clients = {1, 100, 1000};
    std::vector<uint32_t> writingOffClients = {1};
    uint32_t changes = 200;
    uint32_t warmup = 10;
};

struct Timing
{
    std::vector<double> us; // one per measured change
    std::string error;
    double Median() const { return Percentile(us, 50); }
    double P99() const { return Percentile(us, 99); }
};

struct DaemonRun
{
    Timing timing;
    size_t payload = 0;
    uint64_t rssIdle = 0;
    uint64_t rssConnected = 0;
};

// Descriptors for `needed` connections and some spare, within the hard limit.
bool RaiseFdLimit(rlim_t needed)
{
    rlimit rl{};
    if (::getrlimit(RLIMIT_NOFILE, &rl) != 0)
    {
        return false;
    }
    if (rl.rlim_cur >= needed)
    {
        return true;
    }
    rl.rlim_cur = std::min(needed, rl.rlim_max);
    return ::setrlimit(RLIMIT_NOFILE, &rl) == 0 && rl.rlim_cur >= needed;
}

// The demonstration chassis without its clients and timeline: nothing on
// it changes unless the benchmark changes it. With `logWritingOff` the
// module's diagnostic log writing is turned off ("log.msgtofile").
bool WriteQuietScenario(const std::string& demo, const std::string& path, bool logWritingOff)
{
    std::ifstream in(demo);
    std::stringstream ss;
    ss << in.rdbuf();
    std::string text = ss.str();
    const size_t cut = text.find("[[client]]");
    if (text.empty() || cut == std::string::npos)
    {
        return false;
    }
    std::ofstream out(path);
    out << text.substr(0, cut);
    if (logWritingOff)
    {
        out << "\n[ini.\"KTZ Monitor\"]\n\"log.msgtofile\" = false\n";
    }
    return static_cast<bool>(out);
}

DaemonRun RunDaemon(const Options& o, uint32_t clients, bool logWritingOff)
{
    DaemonRun run;
    std::string& error = run.timing.error;
    ktztest::TempDir dir;
    const std::string scenario = dir.path() + "/quiet.toml";
    if (dir.path().empty() || !WriteQuietScenario(o.demo, scenario, logWritingOff))
    {
        error = "cannot write the scenario from " + o.demo;
        return run;
    }
    DaemonProcess daemon(o.daemon, dir.path());
    // 50 times faster than real time, so that the sensor types attach (30
    // chassis seconds after Load) within a second; the sensor checks that
    // follow find nothing changed and send nothing.
    if (!daemon.Start(
            {scenario, "--module", o.module, "--speed", "50", "--max-clients", std::to_string(clients + 16)},
            20000, &error))
    {
        return run;
    }
    const int64_t settleEnd = MonotonicNs() + 30LL * 1000 * 1000 * 1000;
    while (daemon.Ctl({{"cmd", "status"}}, 2000).value("chassisTime", 0.0) < 36.0)
    {
        if (MonotonicNs() > settleEnd)
        {
            error = "the chassis clock did not reach 36 s";
            return run;
        }
        ::usleep(20000);
    }
    run.rssIdle = daemon.RssBytes();

    Receivers rx;
    for (uint32_t i = 0; i < clients; ++i)
    {
        if (!rx.ConnectClient(daemon.socket(), kCapsWithLogEvents, &error))
        {
            error = "client " + std::to_string(i) + ": " + error;
            return run;
        }
    }
    if (!rx.WaitAllSynced(MonotonicNs() + 120LL * 1000 * 1000 * 1000, &error) ||
        !rx.Drain(100 * 1000 * 1000, &error))
    {
        return run;
    }

    const nlohmann::json change = {{"cmd", "log-event"}, {"message-id", "PSU0100"}, {"values", {1, 2}}};
    for (uint32_t k = 0; k < o.warmup + o.changes; ++k)
    {
        const int64_t t0 = MonotonicNs();
        int64_t last = 0;
        if (!daemon.Send(change, &error) || !rx.WaitEvents(k + 1, t0 + kChangeTimeoutNs, &last, &error))
        {
            return run;
        }
        const nlohmann::json reply = daemon.Reply(10000);
        if (!reply.value("ok", false))
        {
            error = "control request failed: " + reply.dump();
            return run;
        }
        if (k >= o.warmup)
        {
            run.timing.us.push_back(static_cast<double>(last - t0) / 1000.0);
        }
    }
    run.payload = rx.LastEventPayload();
    run.rssConnected = daemon.RssBytes();
    const nlohmann::json status = daemon.Ctl({{"cmd", "status"}}, 5000);
    if (status.value("clients", 0u) != clients || status.value("messagesFailed", 1u) != 0)
    {
        error = "the daemon's status after the run is not clean: " + status.dump();
        run.timing.us.clear();
        return run;
    }
    if (!daemon.Stop(10000))
    {
        error = "the daemon did not stop cleanly: " + daemon.Log();
        run.timing.us.clear();
    }
    return run;
}

Timing RunFloor(const Options& o, uint32_t clients, size_t payload)
{
    Timing t;
    Receivers rx;
    std::vector<int> writers;
    for (uint32_t i = 0; i < clients; ++i)
    {
        int sv[2];
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0)
        {
            t.error = "socketpair failed";
            break;
        }
        writers.push_back(sv[1]);
        if (!rx.AddSynced(sv[0], &t.error))
        {
            break;
        }
    }
    std::binary_semaphore go(0);
    std::atomic<bool> stop{false};
    std::atomic<int64_t> start{0};
    const uint32_t total = o.warmup + o.changes;
    std::thread writer(
        [&]
        {
            std::vector<uint8_t> frame;
            for (uint32_t k = 0; k < total; ++k)
            {
                while (!go.try_acquire_for(std::chrono::milliseconds(100)))
                {
                    if (stop.load())
                    {
                        return;
                    }
                }
                if (stop.load())
                {
                    return;
                }
                start.store(MonotonicNs());
                for (const int fd : writers)
                {
                    ktztransport::Message m;
                    m.seq = k + 1;
                    m.requestClass = KTZMON_REQ_CLASS;
                    m.requestType = KTZMON_REQ_VQ_LOG_EVT;
                    m.payload.assign(payload, 0x41);
                    frame.clear();
                    ktztransport::Encode(m, &frame);
                    if (::write(fd, frame.data(), frame.size()) != static_cast<ssize_t>(frame.size()))
                    {
                        return; // the reader times out and reports it
                    }
                }
            }
        });
    for (uint32_t k = 0; t.error.empty() && k < total; ++k)
    {
        go.release();
        int64_t last = 0;
        if (!rx.WaitEvents(k + 1, MonotonicNs() + kChangeTimeoutNs, &last, &t.error))
        {
            break;
        }
        if (k >= o.warmup)
        {
            t.us.push_back(static_cast<double>(last - start.load()) / 1000.0);
        }
    }
    stop.store(true);
    writer.join();
    for (const int fd : writers)
    {
        ::close(fd);
    }
    if (!t.error.empty())
    {
        t.us.clear();
    }
    return t;
}

std::string Fixed(double v, int digits)
{
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.*f", digits, v);
    return buf;
}

} // namespace
} // namespace ktzbench

int main(int argc, char** argv)
{
    using namespace ktzbench;
    Options o;
    CLI::App app{"Live ktzmond benchmark: chassis change to client arrival, against writing the same "
                 "frames to as many sockets directly; memory per connected client."};
    app.add_option("--daemon", o.daemon, "ktzmond to run")->capture_default_str();
    app.add_option("--module", o.module, "The module it loads")->capture_default_str();
    app.add_option("--demo-scenario", o.demo, "The demonstration scenario (its chassis is used)")
        ->capture_default_str();
    app.add_option("--markdown", o.markdown, "Also write the result tables as Markdown to this file");
    app.add_option("--clients", o.clients, "Client counts to measure")->capture_default_str()->delimiter(',');
    app.add_option("--writing-off-clients", o.writingOffClients,
                   "Client counts measured once more with the module's diagnostic log writing off")
        ->capture_default_str()
        ->delimiter(',');
    app.add_option("--changes", o.changes, "Changes timed per client count")
        ->capture_default_str()
        ->check(CLI::Range(1u, 100000u));
    app.add_option("--warmup", o.warmup, "Changes made first and not timed")
        ->capture_default_str()
        ->check(CLI::Range(0u, 10000u));
    CLI11_PARSE(app, argc, argv);

    uint32_t most = o.clients.empty() ? 0 : *std::max_element(o.clients.begin(), o.clients.end());
    for (const uint32_t n : o.writingOffClients)
    {
        most = std::max(most, n);
    }
    // The floor holds two descriptors per client; the daemon inherits the limit.
    if (!RaiseFdLimit(static_cast<rlim_t>(most) * 2 + 64))
    {
        std::fprintf(stderr, "cannot raise the descriptor limit to %u\n", most * 2 + 64);
        return 1;
    }

    std::ostringstream md;
    md << "| Measurement | Daemon median (us) | Daemon p99 (us) | Floor | Floor median (us) | Floor p99 (us) "
          "| Ratio median | Ratio p99 | Goal | Result |\n";
    md << "|---|---:|---:|---|---:|---:|---:|---:|---:|---|\n";
    int status = 0;
    DaemonRun largest; // memory is reported from the run with the most clients
    uint32_t largestClients = 0;
    struct Case
    {
        uint32_t clients;
        bool logWritingOff;
    };
    std::vector<Case> cases;
    for (const uint32_t n : o.clients)
    {
        cases.push_back({n, false});
    }
    for (const uint32_t n : o.writingOffClients)
    {
        cases.push_back({n, true});
    }
    for (const Case& c : cases)
    {
        const uint32_t n = c.clients;
        const DaemonRun d = RunDaemon(o, n, c.logWritingOff);
        const Timing f = d.timing.error.empty() ? RunFloor(o, n, d.payload) : Timing{};
        const std::string what = "chassis log event posted on the control socket to its arrival at " +
                                 std::to_string(n) + (n == 1 ? " client" : " clients") +
                                 (c.logWritingOff ? ", diagnostic log writing off" : "");
        const std::string floor = "one Message frame with a " + std::to_string(d.payload) +
                                  "-byte payload written to each of " + std::to_string(n) +
                                  " connected socket pairs, to the last read";
        std::string result;
        double rm = 0, rp = 0;
        if (!d.timing.error.empty() || !f.error.empty() || d.timing.us.empty() || f.us.empty())
        {
            result = "not measured: " + (d.timing.error.empty() ? f.error : d.timing.error);
            status = 1;
        }
        else
        {
            rm = d.timing.Median() / f.Median();
            rp = d.timing.P99() / f.P99();
            result = rm <= kGoal && rp <= kGoal ? "met" : "missed";
            status |= result == "met" ? 0 : 1;
        }
        std::printf(
            "%5u clients%s: daemon median %9.1f us p99 %9.1f us | floor median %9.1f us p99 %9.1f us | "
            "%.2fx %.2fx %s\n",
            n, c.logWritingOff ? " (log writing off)" : "", d.timing.Median(), d.timing.P99(), f.Median(),
            f.P99(), rm, rp, result.c_str());
        std::fflush(stdout);
        md << "| " << what << " | " << Fixed(d.timing.Median(), 1) << " | " << Fixed(d.timing.P99(), 1)
           << " | " << floor << " | " << Fixed(f.Median(), 1) << " | " << Fixed(f.P99(), 1) << " | "
           << Fixed(rm, 2) << "x | " << Fixed(rp, 2) << "x | " << Fixed(kGoal, 1) << "x | " << result
           << " |\n";
        if (!c.logWritingOff && n >= largestClients)
        {
            largest = d;
            largestClients = n;
        }
    }

    md << "\n| Memory figure | Value |\n|---|---:|\n";
    if (largest.rssIdle != 0 && largest.rssConnected != 0 && largestClients != 0)
    {
        const double perClient =
            (static_cast<double>(largest.rssConnected) - static_cast<double>(largest.rssIdle)) /
            largestClients;
        std::printf("VmRSS: %llu bytes idle, %llu bytes with %u clients: %.0f bytes per client\n",
                    static_cast<unsigned long long>(largest.rssIdle),
                    static_cast<unsigned long long>(largest.rssConnected), largestClients, perClient);
        md << "| daemon VmRSS, module running, no client | " << largest.rssIdle / 1024 << " KiB |\n";
        md << "| daemon VmRSS with " << largestClients << " connected clients (after the timed changes) | "
           << largest.rssConnected / 1024 << " KiB |\n";
        md << "| daemon memory per connected client (the difference / " << largestClients << ") | "
           << Fixed(perClient, 0) << " bytes |\n";
    }
    else
    {
        md << "| daemon memory per connected client | not measured |\n";
        status = 1;
    }
    if (!o.markdown.empty())
    {
        std::ofstream(o.markdown) << md.str();
    }
    return status;
}
