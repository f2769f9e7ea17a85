// The Redfish service benchmark: ktzmon-redfish (this build) as a child
// process beside ktzmond (the demonstration chassis without its clients and
// timeline, 50 times faster than real time).
//
// - GET of one sensor over one kept-alive TLS connection, requests one
//   after the other: requests per second, against the floor of the same
//   server library (Boost.Beast on Asio and OpenSSL, one I/O thread,
//   asynchronous) answering every request with the very response the
//   service gave, over the same kind of connection with the same key.
// - A change's arrival at N event-stream subscribers (TLS, one session,
//   read by one thread): a chassis log event posted on the control socket,
//   timed to the moment the last subscriber has read its event frame,
//   against its arrival at N clients of ktzmond itself (what ktzmon-watch
//   is), read by the live daemon benchmark's reader. The next change
//   follows once every reader has the last one.
#include "live_clients.h"
#include "live_daemon.h"
#include "percentile.h"
#include "redfish_clients.h"

#include <ktzmon/protocol.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <crypt.h>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace ktzbench
{
namespace
{

constexpr int64_t kSecond = 1000LL * 1000 * 1000;
constexpr double kGetGoal = 1.5;
constexpr double kEventGoal = 2.0;
const std::string kPassword = "bench-password";

struct Options
{
    std::string daemon = KTZMOND_EXE;
    std::string module = KTZMON_LIBRARY_PATH;
    std::string redfish = KTZMON_REDFISH_EXE;
    std::string demo = KTZ_SOURCE_DIR "/scenario/scenarios/demo.toml";
    std::string markdown;
    std::vector<uint32_t> subscribers = {1, 1000};
    uint32_t changes = 100;
    uint32_t warmup = 10;
    int gets = 3000;
    int rounds = 7;
};

std::string Fixed(double v, int digits)
{
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.*f", digits, v);
    return buf;
}

bool RaiseFdLimit(rlim_t needed)
{
    rlimit rl{};
    if (::getrlimit(RLIMIT_NOFILE, &rl) != 0)
    {
        return false;
    }
    rl.rlim_cur = std::max(rl.rlim_cur, std::min(needed, rl.rlim_max));
    return ::setrlimit(RLIMIT_NOFILE, &rl) == 0 && rl.rlim_cur >= needed;
}

// The demonstration chassis without its clients and timeline.
bool WriteQuietScenario(const std::string& demo, const std::string& path)
{
    std::ifstream in(demo);
    std::stringstream ss;
    ss << in.rdbuf();
    const std::string text = ss.str();
    const size_t cut = text.find("[[client]]");
    return cut != std::string::npos && static_cast<bool>(std::ofstream(path) << text.substr(0, cut));
}

bool WriteAccounts(const std::string& path)
{
    crypt_data data{};
    const char* hash = crypt_rn(kPassword.c_str(), "$6$rounds=5000$benchsalt$", &data, sizeof data);
    std::ofstream(path) << "bench:" << hash << ":Administrator\n";
    return hash != nullptr && ::chmod(path.c_str(), 0600) == 0;
}

struct Times
{
    std::vector<double> us;
    double Median() const { return Percentile(us, 50); }
    double P99() const { return Percentile(us, 99); }
};

// Times `changes` chassis log events (after `warmup` untimed ones) from
// the control request to `wait` telling the last arrival; the readers count
// events from their start.
template <class Wait>
bool TimeChanges(DaemonProcess& daemon, const Options& o, Wait wait, Times* t, std::string* error)
{
    const nlohmann::json change = {{"cmd", "log-event"}, {"message-id", "PSU0100"}, {"args", {"4"}}};
    for (uint32_t k = 0; k < o.warmup + o.changes; ++k)
    {
        const int64_t t0 = MonotonicNs();
        int64_t last = 0;
        if (!daemon.Send(change, error) || !wait(k + 1, t0 + 20 * kSecond, &last, error))
        {
            return false;
        }
        if (!daemon.Reply(10000).value("ok", false))
        {
            *error = "the control request failed";
            return false;
        }
        if (k >= o.warmup)
        {
            t->us.push_back(static_cast<double>(last - t0) / 1000.0);
        }
    }
    return true;
}

int Run(const Options& o)
{
    const uint32_t most = *std::max_element(o.subscribers.begin(), o.subscribers.end());
    if (!RaiseFdLimit(static_cast<rlim_t>(most) * 4 + 256))
    {
        std::fprintf(stderr, "cannot raise the descriptor limit\n");
        return 1;
    }
    ktztest::TempDir dir;
    std::string error;
    const std::string scenario = dir.path() + "/quiet.toml";
    const std::string accounts = dir.path() + "/accounts";
    if (!WriteQuietScenario(o.demo, scenario) || !WriteAccounts(accounts))
    {
        std::fprintf(stderr, "cannot write the scenario or the accounts in %s\n", dir.path().c_str());
        return 1;
    }
    DaemonProcess daemon(o.daemon, dir.path());
    if (!daemon.Start(
            {scenario, "--module", o.module, "--speed", "50", "--max-clients", std::to_string(most + 16)},
            20000, &error))
    {
        std::fprintf(stderr, "ktzmond: %s\n", error.c_str());
        return 1;
    }
    ktztest::ChildProcess redfish;
    ktztest::SpawnOptions so;
    so.in = "/dev/null";
    so.out = dir.path() + "/redfish.log";
    so.errToOut = true;
    const std::string state = dir.path() + "/state";
    if (!redfish.Spawn({o.redfish, "--socket", daemon.socket(), "--listen", "127.0.0.1:0", "--accounts",
                        accounts, "--state-dir", state, "--max-connections", std::to_string(most + 64),
                        "--max-streams", std::to_string(most + 8)},
                       so))
    {
        std::fprintf(stderr, "cannot start %s\n", o.redfish.c_str());
        return 1;
    }
    uint16_t port = 0;
    for (int64_t end = MonotonicNs() + 30 * kSecond; port == 0 && MonotonicNs() < end; ::usleep(20000))
    {
        std::ifstream in(so.out);
        const std::string log((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        const size_t at = log.find("/redfish/v1 for ") == std::string::npos ? std::string::npos
                                                                            : log.find("https://127.0.0.1:");
        port = at == std::string::npos ? 0 : static_cast<uint16_t>(std::atoi(log.c_str() + at + 18));
    }
    const std::string ca = state + "/tls.crt";
    GetClient client;
    std::string login;
    if (port == 0 || !client.Connect(port, ca, &error) ||
        client.Request("POST", "/redfish/v1/SessionService/Sessions", "",
                       R"({"UserName":"bench","Password":")" + kPassword + "\"}", &login, &error) != 201)
    {
        std::fprintf(stderr, "the service did not come up: %s\n", error.c_str());
        return 1;
    }
    const size_t at = login.find("X-Auth-Token: ");
    const std::string auth = "X-Auth-Token: " + login.substr(at + 14, 64) + "\r\n";
    const std::string sensor = "/redfish/v1/Chassis/KTZ/Sensors/Fan1";
    std::string answer;
    for (int64_t end = MonotonicNs() + 30 * kSecond;
         client.Request("GET", sensor, auth, "", &answer, &error) != 200 && MonotonicNs() < end;)
    {
        ::usleep(50000); // until the chassis's sensors are known
    }

    std::ostringstream md;
    md << "| Measurement | Service | Floor | Floor figure | Ratio | Goal | Result |\n";
    md << "|---|---:|---|---:|---:|---:|---|\n";
    int status = 0;

    // GETs: service and floor in turns, the median of each.
    {
        FixedServer floor(state + "/tls.crt", state + "/tls.key", answer);
        GetClient toFloor;
        std::vector<double> svc, flr, ratios;
        if (!toFloor.Connect(floor.port(), ca, &error))
        {
            std::fprintf(stderr, "floor: %s\n", error.c_str());
            return 1;
        }
        client.Rate(sensor, auth, o.gets / 10, &error); // warm-up
        toFloor.Rate(sensor, auth, o.gets / 10, &error);
        for (int r = 0; r < o.rounds && error.empty(); ++r)
        {
            svc.push_back(client.Rate(sensor, auth, o.gets, &error));
            flr.push_back(toFloor.Rate(sensor, auth, o.gets, &error));
            ratios.push_back(svc.back() > 0 ? flr.back() / svc.back() : 0);
        }
        // Each round's pair ran back to back; the median of their ratios
        // is steadier on a busy machine than the ratio of the medians.
        const double s = Percentile(svc, 50), f = Percentile(flr, 50);
        const double ratio = Percentile(ratios, 50);
        const std::string result = !error.empty()      ? "not measured: " + error
                                   : ratio <= kGetGoal ? "met"
                                                       : "missed";
        status |= result == "met" ? 0 : 1;
        std::printf("GET %s: service %.0f/s, floor %.0f/s, %.2fx %s\n", sensor.c_str(), s, f, ratio,
                    result.c_str());
        md << "| GET of one sensor (" << answer.size() << "-byte response) over a kept-alive TLS connection, "
           << "requests per second (medians of " << o.rounds << " runs of " << o.gets
           << " each, in turns; the ratio "
           << "is the median of the rounds' ratios) | " << Fixed(s, 0)
           << " | the same server library answering the same response | " << Fixed(f, 0) << " | "
           << Fixed(ratio, 2) << "x | " << Fixed(kGetGoal, 1) << "x | " << result << " |\n";
    }

    // A change's arrival: at N clients of ktzmond, then at N event streams.
    md << "\n| Measurement | Streams median (us) | Streams p99 (us) | Floor | Floor median (us) | Floor p99 "
          "(us) "
          "| Ratio median | Ratio p99 | Goal | Result |\n";
    md << "|---|---:|---:|---|---:|---:|---:|---:|---:|---|\n";
    std::ostringstream libraryRows;
    std::string lastFrame = "id: 1\ndata: {}\n\n";
    for (const uint32_t n : o.subscribers)
    {
        error.clear();
        Times watch, streams;
        {
            Receivers rx;
            for (uint32_t i = 0; i < n && error.empty(); ++i)
            {
                rx.ConnectClient(daemon.socket(), KTZMON_CAP_VQ_LOG_EVT | 0x1u, &error);
            }
            if (error.empty() && rx.WaitAllSynced(MonotonicNs() + 120 * kSecond, &error) &&
                rx.Drain(100 * 1000 * 1000, &error))
            {
                TimeChanges(
                    daemon, o,
                    [&](uint64_t k, int64_t deadline, int64_t* last, std::string* e)
                    { return rx.WaitEvents(k, deadline, last, e); },
                    &watch, &error);
            }
        }
        StreamReaders sr;
        if (error.empty() && sr.Open(port, ca, "/redfish/v1/EventService/SSE", auth, static_cast<int>(n),
                                     MonotonicNs() + 120 * kSecond, &error))
        {
            // Streams opened without Last-Event-ID get new events only.
            TimeChanges(
                daemon, o,
                [&](uint64_t k, int64_t deadline, int64_t* last, std::string* e)
                { return sr.WaitEvents(k, deadline, last, e); },
                &streams, &error);
            lastFrame = sr.LastFrame();
        }
        // The library alone: the service's last frame written to as many
        // TLS streams of a plain Beast server, to the last arrival.
        Times library;
        if (error.empty())
        {
            BroadcastServer bs(state + "/tls.crt", state + "/tls.key");
            StreamReaders lr;
            if (lr.Open(bs.port(), ca, "/", "", static_cast<int>(n), MonotonicNs() + 120 * kSecond, &error))
            {
                ::usleep(200000); // every stream's headers are written
                for (uint32_t k = 0; k < o.warmup + o.changes && error.empty(); ++k)
                {
                    const int64_t t0 = MonotonicNs();
                    int64_t last = 0;
                    bs.Broadcast(lastFrame);
                    if (lr.WaitEvents(k + 1, t0 + 20 * kSecond, &last, &error) && k >= o.warmup)
                    {
                        library.us.push_back(static_cast<double>(last - t0) / 1000.0);
                    }
                }
            }
        }
        double rm = 0, rp = 0;
        std::string result;
        if (!error.empty() || streams.us.empty() || watch.us.empty())
        {
            result = "not measured: " + error;
            status = 1;
        }
        else
        {
            rm = streams.Median() / watch.Median();
            rp = streams.P99() / watch.P99();
            result = rm <= kEventGoal && rp <= kEventGoal ? "met" : "missed";
            status |= result == "met" ? 0 : 1;
        }
        std::printf(
            "%5u: streams median %9.1f us p99 %9.1f us | ktzmond clients median %9.1f us p99 %9.1f us | "
            "%.2fx %.2fx %s\n",
            n, streams.Median(), streams.P99(), watch.Median(), watch.P99(), rm, rp, result.c_str());
        std::fflush(stdout);
        std::printf(
            "%5u: the library alone writing the frame to as many TLS streams: median %9.1f us p99 %9.1f us\n",
            n, library.Median(), library.P99());
        libraryRows << "| one event frame (" << lastFrame.size()
                    << " bytes) written by the same server library to " << n
                    << (n == 1 ? " TLS stream" : " TLS streams") << ", to the last read (for scale) | "
                    << Fixed(library.Median(), 1) << " | " << Fixed(library.P99(), 1)
                    << " | | | | | | - | no goal (shown for scale) |\n";
        md << "| chassis log event posted on the control socket to its arrival at " << n
           << (n == 1 ? " event-stream subscriber" : " event-stream subscribers") << " | "
           << Fixed(streams.Median(), 1) << " | " << Fixed(streams.P99(), 1) << " | its arrival at " << n
           << (n == 1 ? " client" : " clients") << " of ktzmond (as ktzmon-watch is) | "
           << Fixed(watch.Median(), 1) << " | " << Fixed(watch.P99(), 1) << " | " << Fixed(rm, 2) << "x | "
           << Fixed(rp, 2) << "x | " << Fixed(kEventGoal, 1) << "x | " << result << " |\n";
    }
    md << libraryRows.str();
    redfish.Terminate(10000);
    daemon.Stop(10000);
    if (!o.markdown.empty())
    {
        std::ofstream(o.markdown) << md.str();
    }
    return status;
}

} // namespace
} // namespace ktzbench

int main(int argc, char** argv)
{
    ktzbench::Options o;
    CLI::App app{
        "Redfish service benchmark: GET rate against the HTTP library's floor, and a change's arrival "
        "at event-stream subscribers against its arrival at clients of ktzmond."};
    app.add_option("--daemon", o.daemon, "ktzmond to run")->capture_default_str();
    app.add_option("--module", o.module, "The module it loads")->capture_default_str();
    app.add_option("--redfish", o.redfish, "ktzmon-redfish to run")->capture_default_str();
    app.add_option("--markdown", o.markdown, "Also write the result tables as Markdown to this file");
    app.add_option("--subscribers", o.subscribers, "Subscriber counts to measure")
        ->capture_default_str()
        ->delimiter(',');
    app.add_option("--changes", o.changes, "Changes timed per count")->capture_default_str();
    app.add_option("--warmup", o.warmup, "Changes made first and not timed")->capture_default_str();
    app.add_option("--gets", o.gets, "GETs per timed run")->capture_default_str();
    CLI11_PARSE(app, argc, argv);
    return ktzbench::Run(o);
}
