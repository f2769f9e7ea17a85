// ktzmon-exporter as a real process between a real ktzmond (on a Unix socket
// in a private directory) and HTTP scrapes on loopback; every scrape is
// checked with promtool. The last suite puts a real Prometheus server in
// front and queries it through its HTTP API.
#include "harness.h"
#include "process.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

namespace
{

using ktzexporter_test::HttpGet;
using ktzexporter_test::Process;
using ktzexporter_test::RunProgram;
using ktzmond_test::Daemon;
using ktzmond_test::NowMs;
using ktzmond_test::TempDir;

const char* const kFan1 = "ktzmon_fan_speed_rpm{number=\"1\",sensor=\"Fan1A\"}";

// Polls `pred` every 50 ms until it holds or `timeoutMs` passed.
bool WaitFor(const std::function<bool()>& pred, int timeoutMs)
{
    const int64_t end = NowMs() + timeoutMs;
    do
    {
        if (pred())
        {
            return true;
        }
        ::usleep(50000);
    } while (NowMs() < end);
    return pred();
}

// The value of the series written exactly as `series` in an exposition.
std::optional<double> SeriesValue(const std::string& text, const std::string& series)
{
    const std::string key = series + " ";
    size_t pos = 0;
    while ((pos = text.find(key, pos)) != std::string::npos)
    {
        if (pos == 0 || text[pos - 1] == '\n')
        {
            return std::stod(text.substr(pos + key.size()));
        }
        pos += key.size();
    }
    return std::nullopt;
}

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// The ktzmon_ families an exposition declares ("# TYPE name type").
std::vector<std::string> Families(const std::string& text)
{
    std::vector<std::string> out;
    std::stringstream lines(text);
    std::string line;
    while (std::getline(lines, line))
    {
        std::stringstream words(line);
        std::string hash, kind, name;
        words >> hash >> kind >> name;
        if (hash == "#" && kind == "TYPE" && name.rfind("ktzmon_", 0) == 0)
        {
            out.push_back(name);
        }
    }
    return out;
}

bool HasFamilySeries(const std::string& text, const std::string& name)
{
    return text.find("\n" + name + "{") != std::string::npos || text.rfind(name + "{", 0) == 0;
}

class ExporterTest : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        ASSERT_FALSE(dir_.path().empty());
        promtool_ = ktzexporter_test::FindProgram("promtool");
    }

    // Starts the exporter on a free loopback port; waits for its listener.
    void StartExporter()
    {
        ASSERT_TRUE(exporter_.Start({KTZMON_EXPORTER_EXE, "--socket", daemonSocket(), "--listen",
                                     "127.0.0.1:0", "--retry-first", "0.1", "--retry-max", "0.5"},
                                    dir_.path() + "/exporter.log"));
        const std::string prefix = "serving http://127.0.0.1:";
        ASSERT_TRUE(exporter_.WaitLog(prefix, 15000)) << exporter_.Log();
        const std::string log = exporter_.Log();
        port_ = static_cast<uint16_t>(std::stoi(log.substr(log.find(prefix) + prefix.size())));
        ASSERT_NE(port_, 0);
    }

    bool StartDaemon(Daemon& d)
    {
        return d.Start({"--speed", "10", std::string(KTZ_SOURCE_DIR) + "/tests/exporter/chassis.toml"});
    }

    std::string daemonSocket() const { return dir_.path() + "/d.sock"; }

    std::string Scrape()
    {
        bool ok = false;
        const std::string body = HttpGet(port_, "/metrics", &ok);
        EXPECT_TRUE(ok) << "no scrape answer on port " << port_;
        return body;
    }

    // A scrape that passes promtool's checks (when promtool is there).
    void ExpectValidExposition(const std::string& text)
    {
        if (promtool_.empty())
        {
            return;
        }
        std::string out;
        const int rc = RunProgram({promtool_, "check", "metrics"}, text, &out, 20000);
        EXPECT_EQ(rc, 0) << out << "\n" << text;
    }

    // Scrapes until `pred` holds for the text; the last text in *last.
    bool ScrapeUntil(const std::function<bool(const std::string&)>& pred, int timeoutMs, std::string* last)
    {
        return WaitFor(
            [&]
            {
                bool ok = false;
                *last = HttpGet(port_, "/metrics", &ok);
                return ok && pred(*last);
            },
            timeoutMs);
    }

    int Ctl(const std::vector<std::string>& args, const Daemon& d)
    {
        std::vector<std::string> argv = {KTZMONCTL_EXE, "--control-socket", d.control()};
        argv.insert(argv.end(), args.begin(), args.end());
        return RunProgram(argv, "", nullptr, 15000);
    }

    TempDir dir_;
    Process exporter_;
    uint16_t port_ = 0;
    std::string promtool_;
};

TEST_F(ExporterTest, FollowsTheDaemonThroughChangesStopAndRestart)
{
    // No daemon yet: not an error, the exporter serves its own state.
    ASSERT_NO_FATAL_FAILURE(StartExporter());
    std::string text = Scrape();
    EXPECT_EQ(SeriesValue(text, "ktzmon_exporter_connected"), 0);
    EXPECT_EQ(SeriesValue(text, "ktzmon_monitoring_up"), 0);
    EXPECT_FALSE(HasFamilySeries(text, "ktzmon_fan_speed_rpm"));
    ExpectValidExposition(text);

    Daemon first(dir_.path());
    ASSERT_TRUE(StartDaemon(first)) << first.log();
    ASSERT_TRUE(
        ScrapeUntil([](const std::string& t) { return SeriesValue(t, kFan1) == 5400.0; }, 20000, &text))
        << text << exporter_.Log();
    EXPECT_EQ(SeriesValue(text, "ktzmon_exporter_connected"), 1);
    EXPECT_EQ(SeriesValue(text, "ktzmon_temperature_celsius{number=\"1\",sensor=\"Chassis Inlet\"}"), 24);
    EXPECT_EQ(SeriesValue(text, "ktzmon_fan_speed_lower_critical_rpm{number=\"1\",sensor=\"Fan1A\"}"), 1000);
    EXPECT_EQ(SeriesValue(text, "ktzmon_power_supply_fru_info{bay=\"2\",manufacturer=\"\",part_number=\"\","
                                "product=\"PWR-SUPPLY 2400W S/N 0002\",serial_number=\"\"}"),
              1);
    ASSERT_TRUE(ScrapeUntil(
        [](const std::string& t) { return SeriesValue(t, "ktzmon_monitoring_up") == 1.0; }, 10000, &text));
    ExpectValidExposition(text);
    // Every family served is in the operators' metric reference.
    const std::string reference = ReadFile(std::string(KTZ_SOURCE_DIR) + "/docs/operations.md");
    const std::vector<std::string> families = Families(text);
    // All but the log event counter: this chassis posts no events.
    EXPECT_GE(families.size(), 16u) << text;
    for (const std::string& name : families)
    {
        EXPECT_NE(reference.find("| `" + name + "` |"), std::string::npos) << name << " is not documented";
    }

    // A fan change reaches the scrape at the module's next sensor pass.
    ASSERT_EQ(Ctl({"set-fan", "1", "--reading", "3000"}, first), 0);
    ASSERT_TRUE(
        ScrapeUntil([](const std::string& t) { return SeriesValue(t, kFan1) == 3000.0; }, 10000, &text))
        << text;
    EXPECT_EQ(SeriesValue(text, "ktzmon_fan_speed_rpm{number=\"3\",sensor=\"Fan2A\"}"), 5500);
    ExpectValidExposition(text);

    // A pulled supply: its alerts show, its FRU record goes.
    ASSERT_EQ(Ctl({"pull-psu", "2"}, first), 0);
    ASSERT_TRUE(ScrapeUntil(
        [](const std::string& t) {
            return SeriesValue(
                       t, "ktzmon_sensor_presence{bay=\"2\",sensor=\"PS-2\",type=\"power_supply\"}") == 0.0;
        },
        10000, &text))
        << text;
    EXPECT_EQ(SeriesValue(text, "ktzmon_power_supply_alert{alert=\"failure\",bay=\"2\",sensor=\"PS-2\"}"), 1);
    EXPECT_EQ(text.find("S/N 0002"), std::string::npos);
    EXPECT_NE(text.find("S/N 0001"), std::string::npos);

    // The daemon goes: every chassis series goes with it.
    ASSERT_EQ(first.Terminate(10000), 0);
    ASSERT_TRUE(ScrapeUntil([](const std::string& t)
                            { return SeriesValue(t, "ktzmon_exporter_connected") == 0.0; },
                            10000, &text));
    for (const char* name : {"ktzmon_fan_speed_rpm", "ktzmon_temperature_celsius", "ktzmon_sensor_status",
                             "ktzmon_power_supply_fru_info", "ktzmon_power_supply_alert"})
    {
        EXPECT_FALSE(HasFamilySeries(text, name)) << name << "\n" << text;
    }
    EXPECT_EQ(SeriesValue(text, "ktzmon_ktz_enabled"), std::nullopt);
    EXPECT_EQ(SeriesValue(text, "ktzmon_monitoring_up"), 0);
    ExpectValidExposition(text);

    // A new daemon (a new chassis, fan at its initial speed): rebuilt from
    // its connect exchange, counted as a reconnect.
    Daemon second(dir_.path());
    ASSERT_TRUE(StartDaemon(second)) << second.log();
    ASSERT_TRUE(
        ScrapeUntil([](const std::string& t) { return SeriesValue(t, kFan1) == 5400.0; }, 20000, &text))
        << text << exporter_.Log();
    EXPECT_EQ(SeriesValue(text, "ktzmon_exporter_connected"), 1);
    EXPECT_EQ(SeriesValue(text, "ktzmon_exporter_reconnects_total"), 1);
    EXPECT_NE(text.find("S/N 0002"), std::string::npos);
    ExpectValidExposition(text);

    EXPECT_EQ(exporter_.Stop(10000), 0) << exporter_.Log();
    EXPECT_EQ(second.Terminate(10000), 0);
}

TEST_F(ExporterTest, MonitoringOffRemovesSensorSeriesUntilItIsOnAgain)
{
    Daemon d(dir_.path());
    ASSERT_TRUE(StartDaemon(d)) << d.log();
    ASSERT_NO_FATAL_FAILURE(StartExporter());
    std::string text;
    ASSERT_TRUE(ScrapeUntil(
        [](const std::string& t) { return SeriesValue(t, "ktzmon_monitoring_up") == 1.0; }, 20000, &text))
        << text << exporter_.Log();
    ASSERT_TRUE(SeriesValue(text, kFan1));

    ASSERT_EQ(Ctl({"set-ktz", "0"}, d), 0);
    ASSERT_TRUE(ScrapeUntil([](const std::string& t) { return SeriesValue(t, "ktzmon_ktz_enabled") == 0.0; },
                            10000, &text))
        << text;
    // A scrape reads one family after another while the exporter applies a
    // message, so the scrape that first shows the setting may still show
    // series removed at the same moment; the next one shows the result.
    text = Scrape();
    EXPECT_FALSE(HasFamilySeries(text, "ktzmon_fan_speed_rpm")) << text;
    EXPECT_FALSE(HasFamilySeries(text, "ktzmon_sensor_presence")) << text;
    EXPECT_FALSE(HasFamilySeries(text, "ktzmon_power_supply_fru_info")) << text;
    EXPECT_EQ(SeriesValue(text, "ktzmon_monitoring_up"), 0);
    EXPECT_EQ(SeriesValue(text, "ktzmon_exporter_connected"), 1);
    ExpectValidExposition(text);

    ASSERT_EQ(Ctl({"set-ktz", "1"}, d), 0);
    ASSERT_TRUE(ScrapeUntil(
        [](const std::string& t) { return SeriesValue(t, "ktzmon_monitoring_up") == 1.0; }, 20000, &text))
        << text;
    EXPECT_EQ(SeriesValue(text, kFan1), 5400);
    EXPECT_EQ(SeriesValue(text, "ktzmon_ktz_enabled"), 1);

    EXPECT_EQ(exporter_.Stop(10000), 0) << exporter_.Log();
    EXPECT_EQ(d.Terminate(10000), 0);
}

TEST_F(ExporterTest, CommandLineAndListenerFailures)
{
    const std::string log = dir_.path() + "/bad.log";
    for (const std::vector<std::string>& bad : {std::vector<std::string>{"--listen", "127.0.0.1"},
                                                {"--listen", "127.0.0.1:70000"},
                                                {"--connect", "localhost:0"},
                                                {"--socket", "/x", "--connect", "127.0.0.1:1"},
                                                {"--retry-max", "0"}})
    {
        std::vector<std::string> argv = {KTZMON_EXPORTER_EXE};
        argv.insert(argv.end(), bad.begin(), bad.end());
        EXPECT_EQ(RunProgram(argv, "", nullptr, 10000), 2) << bad[0] << " " << bad[1];
    }

    // A port someone else holds: the exporter says so and fails.
    ASSERT_NO_FATAL_FAILURE(StartExporter());
    Process second;
    ASSERT_TRUE(second.Start(
        {KTZMON_EXPORTER_EXE, "--socket", daemonSocket(), "--listen", "127.0.0.1:" + std::to_string(port_)},
        log));
    ASSERT_TRUE(WaitFor([&] { return !second.Running(); }, 10000));
    EXPECT_NE(second.Log().find("cannot listen"), std::string::npos) << second.Log();
    EXPECT_EQ(exporter_.Stop(10000), 0);
}

#ifdef KTZEXPORTER_TEST_SYSTEMD
// The readiness protocol of a Type=notify service: datagrams to the socket
// named by NOTIFY_SOCKET.
TEST_F(ExporterTest, TellsTheServiceManagerWhenReadyAndWhenStopping)
{
    const std::string path = dir_.path() + "/notify.sock";
    const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(fd, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    ASSERT_LT(path.size(), sizeof a.sun_path);
    std::copy(path.begin(), path.end(), a.sun_path);
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    timeval tv{10, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    auto next = [&]
    {
        char buf[256];
        const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
    };

    ::setenv("NOTIFY_SOCKET", path.c_str(), 1);
    StartExporter();
    ::unsetenv("NOTIFY_SOCKET");
    if (!HasFatalFailure())
    {
        EXPECT_EQ(next(), "READY=1");
        // Ready means the listener answers.
        bool ok = false;
        HttpGet(port_, "/metrics", &ok);
        EXPECT_TRUE(ok);
        EXPECT_EQ(exporter_.Stop(10000), 0);
        EXPECT_EQ(next(), "STOPPING=1");
    }
    ::close(fd);
}
#endif

// ---- a real Prometheus server -------------------------------------------------------

std::string UrlEncode(const std::string& s)
{
    static const char* hex = "0123456789ABCDEF";
    std::string out;
    for (const unsigned char c : s)
    {
        if (std::isalnum(c) != 0 || c == '_' || c == '-' || c == '.')
        {
            out.push_back(static_cast<char>(c));
        }
        else
        {
            out += {'%', hex[c >> 4], hex[c & 15]};
        }
    }
    return out;
}

class PrometheusTest : public ExporterTest
{
  protected:
    void SetUp() override
    {
        ExporterTest::SetUp();
        prometheus_ = ktzexporter_test::FindProgram("prometheus");
        if (prometheus_.empty() || promtool_.empty())
        {
            GTEST_SKIP() << "prometheus and promtool are needed (Debian package prometheus)";
        }
    }

    void StartServer()
    {
        serverPort_ = ktzexporter_test::FreePort();
        ASSERT_NE(serverPort_, 0);
        const std::string config = dir_.path() + "/prom.yml";
        std::ofstream(config) << "global:\n  scrape_interval: 1s\n  scrape_timeout: 1s\n"
                              << "scrape_configs:\n  - job_name: ktzmon\n    static_configs:\n"
                              << "      - targets: ['127.0.0.1:" << port_ << "']\n";
        std::string out;
        ASSERT_EQ(RunProgram({promtool_, "check", "config", config}, "", &out, 20000), 0) << out;
        ASSERT_TRUE(server_.Start({prometheus_, "--config.file=" + config,
                                   "--storage.tsdb.path=" + dir_.path() + "/data",
                                   "--web.listen-address=127.0.0.1:" + std::to_string(serverPort_)},
                                  dir_.path() + "/prometheus.log"));
        bool ok = false;
        ASSERT_TRUE(WaitFor(
            [&]
            {
                HttpGet(serverPort_, "/-/ready", &ok, 2000);
                return ok;
            },
            30000))
            << server_.Log();
    }

    // The instant query's result vector (empty on any failure).
    nlohmann::json Query(const std::string& expr)
    {
        bool ok = false;
        const std::string body = HttpGet(serverPort_, "/api/v1/query?query=" + UrlEncode(expr), &ok, 5000);
        if (!ok)
        {
            return nlohmann::json::array();
        }
        const nlohmann::json j = nlohmann::json::parse(body, nullptr, false);
        if (j.is_discarded() || j.value("status", "") != "success")
        {
            return nlohmann::json::array();
        }
        return j["data"]["result"];
    }

    // The value of a query's single sample, if there is exactly one.
    std::optional<double> Single(const std::string& expr)
    {
        const nlohmann::json r = Query(expr);
        if (!r.is_array() || r.size() != 1)
        {
            return std::nullopt;
        }
        return std::stod(r[0]["value"][1].get<std::string>());
    }

    std::string prometheus_;
    Process server_;
    uint16_t serverPort_ = 0;
};

TEST_F(PrometheusTest, QueriesFollowTheChassis)
{
    Daemon d(dir_.path());
    ASSERT_TRUE(StartDaemon(d)) << d.log();
    ASSERT_NO_FATAL_FAILURE(StartExporter());
    ASSERT_NO_FATAL_FAILURE(StartServer());

    const std::string fan = "ktzmon_fan_speed_rpm{sensor=\"Fan1A\"}";
    ASSERT_TRUE(WaitFor([&] { return Single(fan) == 5400.0; }, 40000)) << Query(fan).dump() << server_.Log();
    EXPECT_EQ(Single("up{job=\"ktzmon\"}"), 1);
    EXPECT_EQ(Single("ktzmon_exporter_connected"), 1);

    // Three scrape intervals plus the module's sensor pass (0.5 s at this
    // speed), and a second for this shared, loaded test machine.
    ASSERT_EQ(Ctl({"set-fan", "1", "--reading", "3100"}, d), 0);
    const int64_t changed = NowMs();
    ASSERT_TRUE(WaitFor([&] { return Single(fan) == 3100.0; }, 3 * 1000 + 500 + 1000)) << Query(fan).dump();
    RecordProperty("fan_change_seen_ms", static_cast<int>(NowMs() - changed));

    // The daemon stops: the fan series is marked stale at the next scrape
    // and the exporter reports itself disconnected.
    ASSERT_EQ(d.Terminate(10000), 0);
    EXPECT_TRUE(
        WaitFor([&] { return Query(fan).empty() && Single("ktzmon_exporter_connected") == 0.0; }, 10000))
        << Query(fan).dump();
    EXPECT_EQ(Single("ktzmon_monitoring_up"), 0);
    EXPECT_EQ(Single("up{job=\"ktzmon\"}"), 1);

    EXPECT_EQ(server_.Stop(15000), 0) << server_.Log();
    EXPECT_EQ(exporter_.Stop(10000), 0) << exporter_.Log();
}

TEST(AlertRulesTest, RulesFileIsValidAndItsAlertsFire)
{
    const std::string promtool = ktzexporter_test::FindProgram("promtool");
    if (promtool.empty())
    {
        GTEST_SKIP() << "promtool is needed (Debian package prometheus)";
    }
    std::string out;
    const std::string rules = std::string(KTZ_SOURCE_DIR) + "/docs/ktzmon-alerts.yml";
    EXPECT_EQ(RunProgram({promtool, "check", "rules", rules}, "", &out, 20000), 0) << out;
    EXPECT_NE(out.find("SUCCESS: 12 rules found"), std::string::npos) << out;
    // Synthetic series through the rules: each alert fires when it should
    // and stays quiet otherwise.
    const std::string tests = std::string(KTZ_SOURCE_DIR) + "/tests/exporter/alerts_test.yml";
    EXPECT_EQ(RunProgram({promtool, "test", "rules", tests}, "", &out, 20000), 0) << out;
    // The operators' documentation shows the rules file as it is.
    const std::string doc = ReadFile(std::string(KTZ_SOURCE_DIR) + "/docs/operations.md");
    EXPECT_NE(doc.find("```yaml\n" + ReadFile(rules) + "```\n"), std::string::npos)
        << "docs/operations.md does not show docs/ktzmon-alerts.yml as it is";
}

} // namespace
