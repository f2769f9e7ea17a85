// The runs of the live daemon benchmark (see live_runs.h).
#include "live_runs.h"

#include "live_clients.h"
#include "live_daemon.h"
#include "percentile.h"

#include <ktzmon/protocol.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <sys/resource.h>
#include <unistd.h>

namespace ktzbench
{
namespace
{

constexpr uint32_t kCapsWithLogEvents = KTZMON_CAP_VQ_LOG_EVT | 0x1u;
constexpr int64_t kSecondNs = 1000LL * 1000 * 1000;
constexpr int64_t kChangeTimeoutNs = 10 * kSecondNs;
// Connections made before the reader takes what has arrived on them.
constexpr uint32_t kConnectBatch = 256;

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

// Waits until the chassis clock has passed the settling delay (every sensor
// type attached and sent), at most `timeoutNs`.
bool WaitChassisTime(DaemonProcess& daemon, double seconds, int64_t timeoutNs, std::string* error)
{
    const int64_t end = MonotonicNs() + timeoutNs;
    while (daemon.Ctl({{"cmd", "status"}}, 2000).value("chassisTime", 0.0) < seconds)
    {
        if (MonotonicNs() > end)
        {
            *error = "the chassis clock did not reach " + std::to_string(seconds) + " s";
            return false;
        }
        ::usleep(20000);
    }
    return true;
}

// Connects `clients` clients (of the daemon, or plain ones of the relay),
// reading what arrives every batch so that no socket fills up, and waits
// until every one is synced.
bool ConnectAll(Receivers& rx, const std::string& path, uint32_t clients, bool plain, std::string* error)
{
    for (uint32_t i = 0; i < clients; ++i)
    {
        const bool ok =
            plain ? rx.ConnectPlain(path, error) : rx.ConnectClient(path, kCapsWithLogEvents, error);
        if (!ok)
        {
            *error = "client " + std::to_string(i) + ": " + *error;
            return false;
        }
        if (i % kConnectBatch == kConnectBatch - 1 && !rx.Pump(0, error))
        {
            return false;
        }
    }
    return rx.WaitAllSynced(MonotonicNs() + 300 * kSecondNs, error) && rx.Drain(100 * 1000 * 1000, error);
}

// The timed changes: each one a chassis log event request, from just before
// it is written to the last client's read of its frame; the next follows
// once every client has it. `starts` gets the "start" of each reply (the
// relay's first write), when it has one.
bool TimeChanges(const LiveOptions& o, DaemonProcess& server, Receivers& rx, Timing* t,
                 std::vector<int64_t>* starts, std::vector<int64_t>* lasts)
{
    const nlohmann::json change = {{"cmd", "log-event"}, {"message-id", "PSU0100"}, {"values", {1, 2}}};
    for (uint32_t k = 0; k < o.warmup + o.changes; ++k)
    {
        const int64_t t0 = MonotonicNs();
        int64_t last = 0;
        if (!server.Send(change, &t->error) || !rx.WaitEvents(k + 1, t0 + kChangeTimeoutNs, &last, &t->error))
        {
            return false;
        }
        const nlohmann::json reply = server.Reply(10000);
        if (!reply.value("ok", false))
        {
            t->error = "control request failed: " + reply.dump();
            return false;
        }
        if (k >= o.warmup)
        {
            t->us.push_back(static_cast<double>(last - t0) / 1000.0);
            if (starts != nullptr)
            {
                starts->push_back(reply.value("start", int64_t{0}));
                lasts->push_back(last);
            }
        }
    }
    return true;
}

// CPU time of a process so far, in seconds, summed over its threads from
// their scheduler statistics (nanoseconds, where /proc/PID/stat counts
// 10 ms ticks); -1 when unknown. A thread that ended before is not counted:
// the daemon's threads live as long as it does.
double CpuSeconds(pid_t pid)
{
    const std::string dir = "/proc/" + std::to_string(pid) + "/task";
    std::error_code ec;
    double ns = 0;
    bool any = false;
    for (const auto& task : std::filesystem::directory_iterator(dir, ec))
    {
        std::ifstream in(task.path() / "schedstat");
        double onCpu = 0;
        if (in >> onCpu)
        {
            ns += onCpu;
            any = true;
        }
    }
    return any && !ec ? ns / 1e9 : -1;
}

} // namespace

double Timing::Median() const
{
    return Percentile(us, 50);
}

double Timing::P99() const
{
    return Percentile(us, 99);
}

bool RaiseFdLimit(uint64_t needed)
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
    rl.rlim_cur = std::min<rlim_t>(needed, rl.rlim_max);
    return ::setrlimit(RLIMIT_NOFILE, &rl) == 0 && rl.rlim_cur >= needed;
}

DaemonRun RunDaemon(const LiveOptions& o, uint32_t clients, bool logWritingOff)
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
    // The sensor types attach 30 chassis seconds after Load: the clients
    // connect once they have (and a pass followed), so that the timed changes
    // are all that reaches them. The sensor checks that follow find nothing
    // changed and send nothing.
    if (!daemon.Start({scenario, "--module", o.module, "--speed", std::to_string(o.speed), "--max-clients",
                       std::to_string(clients + 16)},
                      20000, &error) ||
        !WaitChassisTime(daemon, 36.0, static_cast<int64_t>(36.0 / o.speed + 30) * kSecondNs, &error))
    {
        return run;
    }
    run.rssIdle = daemon.RssBytes();
    Receivers rx;
    if (!ConnectAll(rx, daemon.socket(), clients, false, &error) ||
        !TimeChanges(o, daemon, rx, &run.timing, nullptr, nullptr))
    {
        run.timing.us.clear();
        return run;
    }
    run.payload = rx.LastEventPayload();
    run.rssConnected = daemon.RssBytes();
    const nlohmann::json status = daemon.Ctl({{"cmd", "status"}}, 30000);
    if (status.value("clients", 0u) != clients || status.value("messagesFailed", 1u) != 0)
    {
        error = "the daemon's status after the run is not clean: " + status.dump();
        run.timing.us.clear();
        return run;
    }
    if (!daemon.Stop(20000))
    {
        error = "the daemon did not stop cleanly: " + daemon.Log();
        run.timing.us.clear();
    }
    return run;
}

RelayRun RunRelay(const LiveOptions& o, uint32_t clients, size_t payload)
{
    RelayRun run;
    std::string& error = run.relay.error;
    ktztest::TempDir dir;
    DaemonProcess relay(o.relay, dir.path());
    Receivers rx;
    std::vector<int64_t> starts, lasts;
    if (dir.path().empty() || !relay.Start({"--payload", std::to_string(payload)}, 20000, &error) ||
        !ConnectAll(rx, relay.socket(), clients, true, &error))
    {
        return run;
    }
    // Every connection accepted before the first change.
    const int64_t end = MonotonicNs() + 60 * kSecondNs;
    while (relay.Ctl({{"cmd", "status"}}, 5000).value("clients", 0u) < clients)
    {
        if (MonotonicNs() > end)
        {
            error = "the relay did not accept every connection in time";
            return run;
        }
        ::usleep(20000);
    }
    if (!TimeChanges(o, relay, rx, &run.relay, &starts, &lasts))
    {
        run.relay.us.clear();
        return run;
    }
    for (size_t i = 0; i < starts.size(); ++i)
    {
        run.writing.us.push_back(static_cast<double>(lasts[i] - starts[i]) / 1000.0);
    }
    if (!relay.Stop(10000))
    {
        error = "the relay did not stop cleanly: " + relay.Log();
        run.relay.us.clear();
    }
    run.writing.error = error;
    return run;
}

IdleRun RunIdle(const LiveOptions& o, uint32_t clients, uint32_t seconds)
{
    IdleRun run;
    ktztest::TempDir dir;
    const std::string scenario = dir.path() + "/quiet.toml";
    if (dir.path().empty() || !WriteQuietScenario(o.demo, scenario, false))
    {
        run.error = "cannot write the scenario from " + o.demo;
        return run;
    }
    DaemonProcess daemon(o.daemon, dir.path());
    Receivers rx;
    // The real clock's pace, as on a chassis: the clients connect at once,
    // and the measurement begins once the sensor types have attached (30
    // seconds after Load) and their records have reached every client.
    if (!daemon.Start({scenario, "--module", o.module, "--max-clients", std::to_string(clients + 16)}, 20000,
                      &run.error) ||
        !ConnectAll(rx, daemon.socket(), clients, false, &run.error) ||
        !WaitChassisTime(daemon, 36.0, 60 * kSecondNs, &run.error) || !rx.Drain(1 * kSecondNs, &run.error))
    {
        return run;
    }
    const double cpu0 = CpuSeconds(daemon.pid());
    const int64_t t0 = MonotonicNs();
    // Reading on meanwhile, as clients do: anything sent counts against idleness.
    if (!rx.Drain(static_cast<int64_t>(seconds) * kSecondNs, &run.error))
    {
        return run;
    }
    const double cpu1 = CpuSeconds(daemon.pid());
    run.seconds = static_cast<double>(MonotonicNs() - t0) / 1e9;
    if (cpu0 < 0 || cpu1 < 0)
    {
        run.error = "cannot read the daemon's CPU time";
        return run;
    }
    run.cpuPercent = (cpu1 - cpu0) / run.seconds * 100.0;
    if (!daemon.Stop(20000))
    {
        run.error = "the daemon did not stop cleanly: " + daemon.Log();
    }
    return run;
}

} // namespace ktzbench
