// ktzmon-exporter as a real process between a real ktzmond (on a Unix socket
// in a private directory) and HTTP scrapes on loopback; every scrape is
// checked with promtool. The last suite puts a real Prometheus server in
// front and queries it through its HTTP API.
//
// A scrape reads one family after another while the exporter applies a
// message, and the messages of one change arrive one by one: so each step
// waits until every series it expects holds at once in one scrape, never
// for one series and then judges the others.
#include "support/files.h"
#include "support/http.h"
#include "support/logged_process.h"
#include "support/notify_socket.h"
#include "support/piped_process.h"

#include "harness.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cstdlib>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace
{

using ktzmond_test::Daemon;
using ktztest::HttpGet;
using ktztest::LoggedProcess;
using ktztest::NowMs;
using ktztest::ReadFile;
using ktztest::RunProgram;
using ktztest::TempDir;
using ktztest::WaitUntil;

const char* const kFan1 = "ktzmon_fan_speed_rpm{number=\"1\",sensor=\"Fan1A\"}";
const char* const kFru2 = "ktzmon_power_supply_fru_info{bay=\"2\",manufacturer=\"\",part_number=\"\","
                          "product=\"PWR-SUPPLY 2400W S/N 0002\",serial_number=\"\"}";
const char* const kFru1 = "ktzmon_power_supply_fru_info{bay=\"1\",manufacturer=\"\",part_number=\"\","
                          "product=\"PWR-SUPPLY 2400W S/N 0001\",serial_number=\"\"}";

// Series as a scrape should show them: a value, or none for a series that
// must be absent.
using Want = std::vector<std::pair<std::string, std::optional<double>>>;

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

// The series of `want` that `text` does not show as wanted, one per line.
std::string Mismatches(const std::string& text, const Want& want)
{
    std::string out;
    for (const auto& [series, value] : want)
    {
        const std::optional<double> have = SeriesValue(text, series);
        if (have != value)
        {
            out += series + ": " + (have ? std::to_string(*have) : "absent") + ", wanted " +
                   (value ? std::to_string(*value) : "absent") + "\n";
        }
    }
    return out;
}

// The ktzmon_ families an exposition declares ("# TYPE name type").
std::vector<std::string> Families(const std::string& text)
{
    std::vector<std::string> out;
    for (const std::string& line : ktztest::Lines(text))
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

class ExporterTest : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        ASSERT_FALSE(dir_.path().empty());
        promtool_ = ktztest::FindProgram("promtool");
    }

    // Starts the exporter on a free loopback port; waits for its listener.
    void StartExporter()
    {
        ASSERT_TRUE(exporter_.Start({KTZMON_EXPORTER_EXE, "--socket", daemonSocket(), "--listen",
                                     "127.0.0.1:0", "--retry-first", "0.1", "--retry-max", "0.5"},
                                    dir_.File("exporter.log")));
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

    std::string daemonSocket() const { return dir_.File("d.sock"); }

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
        const ktztest::RunResult r = RunProgram({promtool_, "check", "metrics"}, {.input = text}, 20000);
        EXPECT_EQ(r.status, 0) << r.out << r.err << "\n" << text;
    }

    // Scrapes until one scrape shows every series of `want` as wanted; ""
    // then, else what the last scrape showed otherwise. The scrape in *last.
    std::string ScrapeUntil(const Want& want, int timeoutMs, std::string* last)
    {
        WaitUntil(
            [&]
            {
                bool ok = false;
                *last = HttpGet(port_, "/metrics", &ok);
                return ok && Mismatches(*last, want).empty();
            },
            timeoutMs, 50);
        return Mismatches(*last, want);
    }

    TempDir dir_;
    LoggedProcess exporter_;
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
    EXPECT_EQ(SeriesValue(text, kFan1), std::nullopt);
    ExpectValidExposition(text);

    // The first picture, complete: monitoring is up only once the module's
    // data-sync-complete arrived, after every reading and FRU record.
    const Want picture = {{"ktzmon_monitoring_up", 1},
                          {"ktzmon_exporter_connected", 1},
                          {kFan1, 5400},
                          {"ktzmon_temperature_celsius{number=\"1\",sensor=\"Chassis Inlet\"}", 24},
                          {"ktzmon_fan_speed_lower_critical_rpm{number=\"1\",sensor=\"Fan1A\"}", 1000},
                          {kFru1, 1},
                          {kFru2, 1}};
    Daemon first(dir_.path());
    ASSERT_TRUE(StartDaemon(first)) << first.log();
    ASSERT_EQ(ScrapeUntil(picture, 20000, &text), "") << text << exporter_.Log();
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
    ASSERT_EQ(first.RunCtl({"set-fan", "1", "--reading", "3000"}).status, 0);
    ASSERT_EQ(ScrapeUntil({{kFan1, 3000}, {"ktzmon_fan_speed_rpm{number=\"3\",sensor=\"Fan2A\"}", 5500}},
                          10000, &text),
              "")
        << text;
    ExpectValidExposition(text);

    // The daemon goes: its chassis series go with it (each family is
    // checked on the mapping itself).
    ASSERT_EQ(first.Terminate(10000), 0);
    ASSERT_EQ(ScrapeUntil({{"ktzmon_exporter_connected", 0},
                           {"ktzmon_monitoring_up", 0},
                           {"ktzmon_ktz_enabled", std::nullopt},
                           {kFan1, std::nullopt},
                           {kFru1, std::nullopt}},
                          10000, &text),
              "")
        << text;
    ExpectValidExposition(text);

    // A new daemon (a new chassis, fan at its initial speed): rebuilt from
    // its connect exchange, counted as a reconnect.
    Daemon second(dir_.path());
    ASSERT_TRUE(StartDaemon(second)) << second.log();
    Want again = picture;
    again.emplace_back("ktzmon_exporter_reconnects_total", 1);
    ASSERT_EQ(ScrapeUntil(again, 20000, &text), "") << text << exporter_.Log();
    ExpectValidExposition(text);

    EXPECT_EQ(exporter_.Stop(10000), 0) << exporter_.Log();
    EXPECT_EQ(second.Terminate(10000), 0);
}

TEST_F(ExporterTest, CommandLineAndListenerFailures)
{
    for (const std::vector<std::string>& bad : {std::vector<std::string>{"--listen", "127.0.0.1"},
                                                {"--listen", "127.0.0.1:70000"},
                                                {"--connect", "localhost:0"},
                                                {"--socket", "/x", "--connect", "127.0.0.1:1"},
                                                {"--retry-max", "0"}})
    {
        std::vector<std::string> argv = {KTZMON_EXPORTER_EXE};
        argv.insert(argv.end(), bad.begin(), bad.end());
        EXPECT_EQ(RunProgram(argv, {}, 10000).status, 2) << bad[0] << " " << bad[1];
    }

    // A port someone else holds: the exporter says so and fails.
    ASSERT_NO_FATAL_FAILURE(StartExporter());
    LoggedProcess second;
    ASSERT_TRUE(second.Start(
        {KTZMON_EXPORTER_EXE, "--socket", daemonSocket(), "--listen", "127.0.0.1:" + std::to_string(port_)},
        dir_.File("second.log")));
    ASSERT_TRUE(WaitUntil([&] { return !second.Running(); }, 10000));
    EXPECT_NE(second.Log().find("cannot listen"), std::string::npos) << second.Log();
    EXPECT_EQ(exporter_.Stop(10000), 0);
}

#ifdef KTZEXPORTER_TEST_SYSTEMD
// The readiness protocol of a Type=notify service: datagrams to the socket
// named by NOTIFY_SOCKET.
TEST_F(ExporterTest, TellsTheServiceManagerWhenReadyAndWhenStopping)
{
    ktztest::NotifySocket notify(dir_.File("notify.sock"));
    ASSERT_TRUE(notify.bound());
    {
        const ktztest::NotifyEnv env(dir_.File("notify.sock"));
        StartExporter();
    }
    if (!HasFatalFailure())
    {
        EXPECT_EQ(notify.Receive(10000), "READY=1");
        // Ready means the listener answers.
        bool ok = false;
        HttpGet(port_, "/metrics", &ok);
        EXPECT_TRUE(ok);
        EXPECT_EQ(exporter_.Stop(10000), 0);
        EXPECT_EQ(notify.Receive(10000), "STOPPING=1");
    }
}
#endif

// ---- a real Prometheus server -------------------------------------------------------

class PrometheusTest : public ExporterTest
{
  protected:
    void SetUp() override
    {
        ExporterTest::SetUp();
        prometheus_ = ktztest::FindProgram("prometheus");
        if (prometheus_.empty() || promtool_.empty())
        {
            GTEST_SKIP() << "prometheus and promtool are needed (Debian package prometheus)";
        }
    }

    void StartServer()
    {
        serverPort_ = ktztest::FreePort();
        ASSERT_NE(serverPort_, 0);
        const std::string config = dir_.File("prom.yml");
        std::ofstream(config) << "global:\n  scrape_interval: 1s\n  scrape_timeout: 1s\n"
                              << "scrape_configs:\n  - job_name: ktzmon\n    static_configs:\n"
                              << "      - targets: ['127.0.0.1:" << port_ << "']\n";
        ASSERT_TRUE(
            server_.Start({prometheus_, "--config.file=" + config, "--storage.tsdb.path=" + dir_.File("data"),
                           "--web.listen-address=127.0.0.1:" + std::to_string(serverPort_)},
                          dir_.File("prometheus.log")));
        bool ok = false;
        ASSERT_TRUE(WaitUntil(
            [&]
            {
                HttpGet(serverPort_, "/-/ready", &ok, 2000);
                return ok;
            },
            30000, 50))
            << server_.Log();
    }

    // The instant query's result vector (empty on any failure).
    nlohmann::json Query(const std::string& expr)
    {
        bool ok = false;
        const std::string body =
            HttpGet(serverPort_, "/api/v1/query?query=" + ktztest::UrlEncode(expr), &ok, 5000);
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
    LoggedProcess server_;
    uint16_t serverPort_ = 0;
};

TEST_F(PrometheusTest, QueriesFollowTheChassis)
{
    Daemon d(dir_.path());
    ASSERT_TRUE(StartDaemon(d)) << d.log();
    ASSERT_NO_FATAL_FAILURE(StartExporter());
    ASSERT_NO_FATAL_FAILURE(StartServer());

    const std::string fan = "ktzmon_fan_speed_rpm{sensor=\"Fan1A\"}";
    ASSERT_TRUE(WaitUntil([&] { return Single(fan) == 5400.0; }, 40000, 50))
        << Query(fan).dump() << server_.Log();
    EXPECT_EQ(Single("up{job=\"ktzmon\"}"), 1);
    EXPECT_EQ(Single("ktzmon_exporter_connected"), 1);

    // Three scrape intervals plus the module's sensor pass (0.5 s at this
    // speed), and a second for this shared, loaded test machine.
    ASSERT_EQ(d.RunCtl({"set-fan", "1", "--reading", "3100"}).status, 0);
    const int64_t changed = NowMs();
    ASSERT_TRUE(WaitUntil([&] { return Single(fan) == 3100.0; }, 3 * 1000 + 500 + 1000, 50))
        << Query(fan).dump();
    RecordProperty("fan_change_seen_ms", static_cast<int>(NowMs() - changed));

    // The daemon stops: the fan series is marked stale at the next scrape
    // and the exporter reports itself disconnected.
    ASSERT_EQ(d.Terminate(10000), 0);
    EXPECT_TRUE(WaitUntil(
        [&]
        {
            return Query(fan).empty() && Single("ktzmon_exporter_connected") == 0.0 &&
                   Single("ktzmon_monitoring_up") == 0.0;
        },
        10000, 50))
        << Query(fan).dump() << Query("ktzmon_monitoring_up").dump();
    EXPECT_EQ(Single("up{job=\"ktzmon\"}"), 1);

    EXPECT_EQ(server_.Stop(15000), 0) << server_.Log();
    EXPECT_EQ(exporter_.Stop(10000), 0) << exporter_.Log();
}

TEST(AlertRulesTest, RulesFileIsValidAndItsAlertsFire)
{
    const std::string promtool = ktztest::FindProgram("promtool");
    if (promtool.empty())
    {
        GTEST_SKIP() << "promtool is needed (Debian package prometheus)";
    }
    const std::string rules = std::string(KTZ_SOURCE_DIR) + "/docs/ktzmon-alerts.yml";
    const ktztest::RunResult check = RunProgram({promtool, "check", "rules", rules}, {}, 20000);
    EXPECT_EQ(check.status, 0) << check.out << check.err;
    EXPECT_NE(check.out.find("SUCCESS: 12 rules found"), std::string::npos) << check.out;
    // Synthetic series through the rules: each alert fires when it should
    // and stays quiet otherwise.
    const std::string tests = std::string(KTZ_SOURCE_DIR) + "/tests/exporter/alerts_test.yml";
    const ktztest::RunResult test = RunProgram({promtool, "test", "rules", tests}, {}, 20000);
    EXPECT_EQ(test.status, 0) << test.out << test.err;
    // The operators' documentation shows the rules file as it is.
    const std::string doc = ReadFile(std::string(KTZ_SOURCE_DIR) + "/docs/operations.md");
    EXPECT_NE(doc.find("```yaml\n" + ReadFile(rules) + "```\n"), std::string::npos)
        << "docs/operations.md does not show docs/ktzmon-alerts.yml as it is";
}

} // namespace
