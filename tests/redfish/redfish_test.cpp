// ktzmon-redfish as a real process between a real ktzmond (Unix socket in a
// private directory) and Redfish clients no one here wrote, on loopback:
// redfishtool, python3-sushy, curl. What they read is compared with what
// ktzmon-watch shows of the same chassis.
#include "support/files.h"
#include "support/logged_process.h"
#include "support/notify_socket.h"
#include "support/piped_process.h"
#include "support/wait.h"

#include "harness.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <fstream>
#include <map>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace
{

using ktzmond_test::Daemon;
using ktzmond_test::TempDir;
using ktztest::FindProgram;
using ktztest::ReadFile;
using ktztest::WaitUntil;
using Process = ktztest::LoggedProcess;
using nlohmann::json;

const std::string kAdminPass = "admin-pass-1";
const std::string kReaderPass = "reader-pass-1";

// Runs argv to its end with `input` on its standard input and its standard
// output in *out (may be null): the exit status, or -1 on a timeout or a
// signal.
int RunProgram(const std::vector<std::string>& argv, const std::string& input, std::string* out,
               int timeoutMs)
{
    // curl and redfishtool are looked up in PATH.
    const ktztest::RunResult r = ktztest::RunProgram(argv, {.input = input, .searchPath = true}, timeoutMs);
    if (out != nullptr)
    {
        *out = r.out;
    }
    return r.status >= 1000 ? -1 : r.status;
}

// The chassis as ktzmon-watch shows it: sensor data by type, name -> fields.
using WatchPicture = std::map<std::string, std::map<std::string, json>>;

class RedfishTest : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        ASSERT_FALSE(dir_.path().empty());
        ASSERT_TRUE(
            daemon_.Start({"--speed", "20", std::string(KTZ_SOURCE_DIR) + "/tests/redfish/chassis.toml"}))
            << daemon_.log();
        accounts_ = dir_.path() + "/accounts";
        ASSERT_EQ(AddAccount("admin", "Administrator", kAdminPass + "\n" + kAdminPass + "\n"), 0);
        ASSERT_EQ(AddAccount("reader", "ReadOnly", kReaderPass + "\n" + kReaderPass + "\n"), 0);
    }

    int AddAccount(const std::string& name, const std::string& role, const std::string& input)
    {
        return RunProgram(
            {KTZMON_REDFISH_EXE, "--add-account", name, "--role", role, "--accounts", accounts_}, input,
            nullptr, 30000);
    }

    // Starts the service on a free loopback port with its own state folder;
    // waits for its listener.
    // `name` names its log; `state` its state folder.
    void StartService(const std::vector<std::string>& extra = {}, const std::string& name = "rf",
                      const std::string& state = "state")
    {
        state_ = dir_.path() + "/" + state;
        std::vector<std::string> argv = {
            KTZMON_REDFISH_EXE, "--socket",    daemon_.socket(), "--listen",    "127.0.0.1:0", "--accounts",
            accounts_,          "--state-dir", state_,           "--retry-max", "0.5"};
        argv.insert(argv.end(), extra.begin(), extra.end());
        ASSERT_TRUE(service_.Start(argv, dir_.path() + "/" + name + ".log"));
        const std::string prefix = "://127.0.0.1:";
        ASSERT_TRUE(service_.WaitLog("/redfish/v1 for ", 20000)) << service_.Log(); // the whole line
        const std::string log = service_.Log();
        port_ = static_cast<uint16_t>(std::stoi(log.substr(log.find(prefix) + prefix.size())));
        scheme_ = log.find("serving http://") != std::string::npos ? "http" : "https";
    }

    std::string Url(const std::string& path) const
    {
        return scheme_ + "://127.0.0.1:" + std::to_string(port_) + path;
    }
    std::string Ca() const { return state_ + "/tls.crt"; }

    // curl against the service, verifying its certificate; the status, and
    // the body in *body.
    int Curl(const std::vector<std::string>& args, std::string* body = nullptr, int timeoutMs = 20000)
    {
        std::vector<std::string> argv = {"curl", "-sS", "--cacert", Ca(), "-w", "\n%{http_code}"};
        argv.insert(argv.end(), args.begin(), args.end());
        std::string out;
        RunProgram(argv, "", &out, timeoutMs);
        const size_t nl = out.rfind('\n');
        if (body != nullptr)
        {
            *body = nl == std::string::npos ? out : out.substr(0, nl);
        }
        return nl == std::string::npos ? -1 : std::atoi(out.c_str() + nl + 1);
    }
    json GetJson(const std::string& path, const std::string& user = "admin",
                 const std::string& pass = kAdminPass)
    {
        std::string body;
        const int status = Curl({"-u", user + ":" + pass, Url(path)}, &body);
        EXPECT_EQ(status, 200) << path << "\n" << body;
        return json::parse(body, nullptr, false);
    }
    // Waits until the service shows every sensor of the test chassis.
    void WaitForChassis()
    {
        ASSERT_TRUE(WaitUntil(
            [&]
            {
                // The whole first picture, FRU records included (they come after the sensors).
                std::string body;
                Curl({"-u", "admin:" + kAdminPass, Url("/redfish/v1/Chassis/KTZ")}, &body);
                const json j = json::parse(body, nullptr, false);
                return !j.is_discarded() && j["Oem"]["KtzMonitor"].value("PictureComplete", false);
            },
            30000))
            << service_.Log();
    }

    WatchPicture Watch()
    {
        std::string out;
        EXPECT_EQ(RunProgram({KTZMON_WATCH_EXE, "--socket", daemon_.socket(), "--json", "--until",
                              "data-sync-complete", "--timeout", "30"},
                             "", &out, 40000),
                  0);
        WatchPicture p;
        for (const json& j : ktztest::JsonLines(out))
        {
            if (j.value("type", "") == "sensor-data")
            {
                const json& f = j["fields"];
                p[f["sensor_type"]][f["name"]] = f;
            }
        }
        return p;
    }

    // POST of a login; the token and the session's URI from the answer.
    int Login(const std::string& user, const std::string& pass, std::string* token, std::string* location)
    {
        std::string body;
        const int status = Curl({"-D", "-", "-H", "Content-Type: application/json", "--data",
                                 json{{"UserName", user}, {"Password", pass}}.dump(),
                                 Url("/redfish/v1/SessionService/Sessions")},
                                &body);
        for (const auto& [name, out] : {std::pair{"X-Auth-Token: ", token}, {"Location: ", location}})
        {
            const size_t at = body.find(name);
            if (out != nullptr && at != std::string::npos)
            {
                *out = body.substr(at + std::strlen(name), body.find('\r', at) - at - std::strlen(name));
            }
        }
        return status;
    }

    void TearDown() override
    {
        if (service_.Running())
        {
            EXPECT_EQ(service_.Stop(15000), 0) << service_.Log();
        }
        EXPECT_EQ(daemon_.Terminate(15000), 0);
    }

    TempDir dir_;
    Daemon daemon_{dir_.path()};
    std::string accounts_;
    std::string state_;
    Process service_;
    uint16_t port_ = 0;
    std::string scheme_;
};

TEST_F(RedfishTest, RedfishToolAndSushyReadWhatWatchShows)
{
    const std::string redfishtool = FindProgram("redfishtool");
    if (redfishtool.empty() || ::access("/usr/bin/python3", X_OK) != 0)
    {
        GTEST_SKIP() << "redfishtool and python3-sushy are needed (Debian packages)";
    }
    ASSERT_NO_FATAL_FAILURE(StartService());
    ASSERT_NO_FATAL_FAILURE(WaitForChassis());
    const WatchPicture watch = Watch();
    ASSERT_EQ(watch.at("fan").size(), 4u);

    // redfishtool: a session login, the chassis list, Thermal; then Power
    // with Basic authentication as the reader.
    auto tool = [&](const std::vector<std::string>& args, const std::string& auth, const std::string& user,
                    const std::string& pass)
    {
        std::vector<std::string> argv = {
            redfishtool, "-r",    "127.0.0.1:" + std::to_string(port_), "-u", user, "-p", pass, "-A", auth,
            "-S",        "Always"};
        argv.insert(argv.end(), args.begin(), args.end());
        std::string out;
        EXPECT_EQ(RunProgram(argv, "", &out, 60000), 0) << out;
        return json::parse(out, nullptr, false);
    };
    const json list = tool({"Chassis", "list"}, "Session", "admin", kAdminPass);
    ASSERT_EQ(list["Members@odata.count"], 1) << list;
    EXPECT_EQ(list["Members"][0]["Id"], "KTZ");
    const json thermal = tool({"Chassis", "-1", "Thermal"}, "Session", "admin", kAdminPass);
    ASSERT_EQ(thermal["Fans"].size(), watch.at("fan").size()) << thermal;
    for (const json& f : thermal["Fans"])
    {
        const json& w = watch.at("fan").at(f["Name"]);
        EXPECT_EQ(f["Reading"], w["reading"]) << f;
        EXPECT_EQ(f["LowerThresholdCritical"], w["lc"]) << f;
        EXPECT_EQ(f["Status"]["Health"], "OK");
    }
    ASSERT_EQ(thermal["Temperatures"].size(), 1u);
    EXPECT_EQ(thermal["Temperatures"][0]["ReadingCelsius"],
              watch.at("temperature").at("Chassis Inlet")["reading"]);
    const json power = tool({"Chassis", "-1", "Power"}, "Basic", "reader", kReaderPass);
    ASSERT_EQ(power["PowerSupplies"].size(), watch.at("power-supply").size()) << power;
    for (const json& p : power["PowerSupplies"])
    {
        const json& w = watch.at("power-supply").at(p["Name"]);
        EXPECT_EQ(p["Status"]["State"], w["presence"] == 1 ? "Enabled" : "Absent") << p;
    }
    EXPECT_EQ(power["PowerSupplies"][0]["SerialNumber"], "SN-0001");
    EXPECT_EQ(power["Redundancy"][0]["Status"]["Health"], "OK");
    // redfishtool ended its session.
    EXPECT_EQ(GetJson("/redfish/v1/SessionService/Sessions")["Members@odata.count"], 0);

    // sushy: a session, the chassis, fans, temperatures, supplies with the
    // FRU record's fields; its session is gone afterwards.
    std::string out;
    ASSERT_EQ(RunProgram({"/usr/bin/python3", std::string(KTZ_SOURCE_DIR) + "/tests/redfish/sushy_client.py",
                          Url("/redfish/v1"), Ca(), "reader", kReaderPass},
                         "", &out, 60000),
              0)
        << out;
    const json s = json::parse(out, nullptr, false);
    ASSERT_FALSE(s.is_discarded()) << out;
    EXPECT_EQ(s["chassis"], json::array({"/redfish/v1/Chassis/KTZ"}));
    EXPECT_EQ(s["status"]["state"], "Enabled");
    EXPECT_EQ(s["uuid"], GetJson("/redfish/v1")["UUID"]);
    ASSERT_EQ(s["fans"].size(), 4u);
    for (const json& f : s["fans"])
    {
        EXPECT_EQ(f["reading"], watch.at("fan").at(f["name"])["reading"]) << f;
        EXPECT_EQ(f["units"], "RPM");
        EXPECT_EQ(f["lnc"], 2000);
    }
    EXPECT_EQ(s["temperatures"][0]["reading"], 24);
    ASSERT_EQ(s["supplies"].size(), 3u);
    EXPECT_EQ(s["supplies"][0], json({{"name", "PS-1"},
                                      {"manufacturer", "KTZ Power"},
                                      {"model", "PWR-SUPPLY 2400W"},
                                      {"serial", "SN-0001"},
                                      {"part", "PN-2400-01"},
                                      {"state", "Enabled"},
                                      {"health", "OK"}}));
    EXPECT_TRUE(s["supplies"][1]["model"].is_null()); // a text record names no fields
    EXPECT_EQ(s["supplies"][2]["state"], "Absent");
    EXPECT_EQ(Curl({"-u", "admin:" + kAdminPass, Url(s["session"].get<std::string>())}), 404);
}

using Event = std::pair<std::string, std::string>; // ID, MessageId

// The events a stream's output holds.
std::vector<Event> Events(const std::string& text)
{
    std::vector<Event> out;
    std::string id;
    for (const std::string& line : ktztest::Lines(text))
    {
        if (line.rfind("id: ", 0) == 0)
        {
            id = line.substr(4);
        }
        else if (line.rfind("data: ", 0) == 0)
        {
            const json j = json::parse(line.substr(6), nullptr, false);
            out.emplace_back(id, j.is_discarded() ? "(bad JSON)"
                                                  : j["Events"][0]["MessageId"].get<std::string>());
        }
    }
    return out;
}

bool Has(const std::vector<Event>& events, const std::string& messageId)
{
    return std::ranges::find(events, messageId, &Event::second) != events.end();
}

TEST_F(RedfishTest, EventStreamDeliversAndReplaysWhatWasMissed)
{
    ASSERT_NO_FATAL_FAILURE(StartService());
    ASSERT_NO_FATAL_FAILURE(WaitForChassis());
    // A session token for one stream, Basic for the other that stays open
    // throughout and sees everything.
    std::string token, location;
    ASSERT_EQ(Login("reader", kReaderPass, &token, &location), 201);
    const std::string sse = Url("/redfish/v1/EventService/SSE");
    auto stream = [&](Process& p, const std::string& name, const std::vector<std::string>& more)
    {
        std::vector<std::string> argv = {FindProgram("curl"), "-sSN", "--cacert", Ca()};
        argv.insert(argv.end(), more.begin(), more.end());
        argv.push_back(sse);
        ASSERT_TRUE(p.Start(argv, dir_.path() + "/" + name));
    };
    Process witness, first;
    ASSERT_NO_FATAL_FAILURE(stream(witness, "witness.out", {"-u", "admin:" + kAdminPass}));
    ASSERT_NO_FATAL_FAILURE(stream(first, "first.out", {"-H", "X-Auth-Token: " + token}));
    ASSERT_TRUE(WaitUntil([&] { return GetJson("/redfish/v1/EventService")["Id"] == "EventService"; }, 5000));
    ::usleep(300000); // both streams are open (their headers are in)

    ASSERT_EQ(
        daemon_.RunCtl({"log-event", "FAN0004", "--arg", "Fan2A", "--arg", "2000", "--value", "2"}).status,
        0);
    ASSERT_EQ(daemon_.RunCtl({"set-fan", "2", "--reading", "500"}).status, 0);
    ASSERT_TRUE(WaitUntil(
        [&]
        {
            const auto e = Events(ReadFile(dir_.path() + "/first.out"));
            return Has(e, "KtzmonChassis.1.0.FAN0004") &&
                   Has(e, "ResourceEvent.1.4.ResourceStatusChangedCritical");
        },
        20000))
        << ReadFile(dir_.path() + "/first.out");
    first.Stop(5000);
    const auto seen = Events(ReadFile(dir_.path() + "/first.out"));
    const std::string lastSeen = seen.back().first;

    // Missed while away: another log event, the fan's recovery, one more.
    ASSERT_EQ(
        daemon_.RunCtl({"log-event", "CHS0210", "--text", "Chassis management firmware updated."}).status, 0);
    ASSERT_EQ(daemon_.RunCtl({"set-fan", "2", "--reading", "5500"}).status, 0);
    ASSERT_EQ(daemon_.RunCtl({"log-event", "PSU0100", "--arg", "3"}).status, 0);
    ASSERT_TRUE(WaitUntil(
        [&]
        {
            const auto e = Events(ReadFile(dir_.path() + "/witness.out"));
            return Has(e, "ResourceEvent.1.4.ResourceStatusChangedOK") && Has(e, "KtzmonChassis.1.0.PSU0100");
        },
        20000))
        << ReadFile(dir_.path() + "/witness.out");

    // Back with Last-Event-ID: exactly what the witness got after it.
    Process again;
    ASSERT_NO_FATAL_FAILURE(
        stream(again, "again.out", {"-H", "X-Auth-Token: " + token, "-H", "Last-Event-ID: " + lastSeen}));
    auto witnessed = Events(ReadFile(dir_.path() + "/witness.out"));
    while (!witnessed.empty() && witnessed.front().first != lastSeen)
    {
        witnessed.erase(witnessed.begin());
    }
    ASSERT_FALSE(witnessed.empty());
    witnessed.erase(witnessed.begin());
    ASSERT_GE(witnessed.size(), 3u);
    EXPECT_TRUE(WaitUntil([&] { return Events(ReadFile(dir_.path() + "/again.out")) == witnessed; }, 10000))
        << ReadFile(dir_.path() + "/again.out");

    // The session ends: its stream ends with it.
    EXPECT_EQ(Curl({"-X", "DELETE", "-H", "X-Auth-Token: " + token, Url(location)}), 204);
    EXPECT_TRUE(WaitUntil([&] { return !again.Running(); }, 10000));
    witness.Stop(5000);
}

TEST_F(RedfishTest, HostileClientsLeaveTheServiceServingOthers)
{
    if (::access("/usr/bin/python3", X_OK) != 0)
    {
        GTEST_SKIP() << "python3 is needed";
    }
    ASSERT_NO_FATAL_FAILURE(StartService({"--max-connections", "24", "--request-timeout", "2",
                                          "--handshake-timeout", "2", "--idle-timeout", "10"}));
    ASSERT_NO_FATAL_FAILURE(WaitForChassis());
    std::string out;
    ASSERT_EQ(RunProgram({"/usr/bin/python3", std::string(KTZ_SOURCE_DIR) + "/tests/redfish/hostile.py",
                          std::to_string(port_), Ca(), "reader", kReaderPass, "2", "24"},
                         "", &out, 120000),
              0)
        << out;
    const json r = json::parse(out, nullptr, false);
    ASSERT_FALSE(r.is_discarded()) << out;
    // The ordinary client is answered throughout, well before any timeout.
    for (const char* phase :
         {"before", "during_slow_headers", "during_idle_flood", "during_broken_tls", "after"})
    {
        for (const json& g : r[phase])
        {
            EXPECT_EQ(g[0], 200) << phase << ": " << out;
            EXPECT_LT(g[1].get<int>(), 1500) << phase << ": " << out;
        }
    }
    // Trickling headers are cut at the request time (2 s, from when they
    // began), headers and bodies are taken up to their bounds, the idle flood made room.
    for (const json& after : r["slow_closed_after"])
    {
        ASSERT_FALSE(after.is_null()) << out;
        EXPECT_LT(after.get<double>(), 2.5) << out;
    }
    EXPECT_EQ(r["header_statuses"], json::parse(R"(["200", "431"])")) << out;
    EXPECT_EQ(r["body_statuses"], json::parse(R"(["201", "413"])")) << out;
    EXPECT_GE(r["idle_closed"].get<int>(), 16) << out;
    // The server's own refusal: the client offered TLS 1.1.
    EXPECT_NE(r["tls11"].get<std::string>().find("ALERT_PROTOCOL_VERSION"), std::string::npos) << out;
    EXPECT_TRUE(service_.Running());
}

TEST_F(RedfishTest, AccountsTlsAndListenRules)
{
    // --add-account: the password twice, the same, long enough (the file's
    // mode: the accounts file's own test).
    EXPECT_EQ(AddAccount("carol", "ReadOnly", "one-password\nanother-one\n"), 1);
    EXPECT_EQ(AddAccount("carol", "ReadOnly", "short\nshort\n"), 1);
    EXPECT_EQ(ReadFile(accounts_).find("carol:"), std::string::npos);

    for (const std::vector<std::string>& bad :
         {std::vector<std::string>{"--listen", "0.0.0.0:0"},
          {"--listen", "0.0.0.0:0", "--insecure-http", "--allow-remote"},
          {"--listen", "127.0.0.1"},
          {"--tls-cert", "/x.crt"},
          {"--chassis-id", "a/b"}})
    {
        std::vector<std::string> argv = {KTZMON_REDFISH_EXE, "--accounts", accounts_, "--state-dir",
                                         dir_.path() + "/bad-state"};
        argv.insert(argv.end(), bad.begin(), bad.end());
        EXPECT_EQ(RunProgram(argv, "", nullptr, 20000), 2) << bad[0] << " " << bad[1];
    }
    EXPECT_EQ(RunProgram({KTZMON_REDFISH_EXE, "--socket", daemon_.socket()}, "", nullptr, 20000), 2);

    // The self-signed certificate is made once and kept.
    ASSERT_NO_FATAL_FAILURE(StartService());
    const std::string made = service_.Log();
    ASSERT_NE(made.find("made a self-signed certificate"), std::string::npos) << made;
    const std::string print = made.substr(made.find("fingerprint "), 107);
    EXPECT_EQ(Curl({"--tls-max", "1.2", Url("/redfish/v1")}), 200);
    ASSERT_EQ(service_.Stop(15000), 0);
    ASSERT_NO_FATAL_FAILURE(StartService({"--lockout-threshold", "2", "--session-timeout", "1"}, "rf2"));

    // Errors as curl sees them: each status with its error body's code (every
    // case's message is checked on the service itself). A session deleted and
    // one left unused past its second are refused alike.
    const std::string chassis = Url("/redfish/v1/Chassis/KTZ"), head = dir_.path() + "/head";
    // A reader's session: its token header and its URI, from the response's headers.
    auto login = [&]
    {
        Curl({"-D", head, "-H", "Content-Type: application/json", "-d",
              json{{"UserName", "reader"}, {"Password", kReaderPass}}.dump(),
              Url("/redfish/v1/SessionService/Sessions")});
        const std::string h = ReadFile(head);
        auto field = [&](const std::string& name)
        {
            const size_t at = h.find(name);
            return at == std::string::npos ? std::string() : h.substr(at, h.find('\r', at) - at);
        };
        return std::make_pair(field("X-Auth-Token: "), field("/redfish/v1/SessionService/Sessions/"));
    };
    const auto [deleted, uri] = login();
    EXPECT_EQ(Curl({"-H", deleted, "-X", "DELETE", Url(uri)}), 204);
    const std::string expired = login().first;
    std::this_thread::sleep_for(std::chrono::milliseconds(1200));
    auto failure = [&](const std::vector<std::string>& args)
    {
        std::string body;
        const int status = Curl(args, &body);
        const json j = json::parse(body, nullptr, false);
        return std::to_string(status) + " " +
               (j.is_object() && j["error"].is_object() ? j["error"].value("code", "") : body);
    };
    const std::string admin = "admin:" + kAdminPass;
    for (const auto& [args, expected] : std::vector<std::pair<std::vector<std::string>, std::string>>{
             {{chassis}, "401 Base.1.22.NoValidSession"},
             {{"-H", deleted, chassis}, "401 Base.1.22.NoValidSession"},
             {{"-H", expired, chassis}, "401 Base.1.22.NoValidSession"},
             {{"-u", admin, "-X", "PATCH", "-d", "{}", chassis}, "405 Base.1.22.OperationNotAllowed"},
             {{"-u", admin, Url("/redfish/v1/Nowhere")}, "404 Base.1.22.InvalidURI"},
             {{"-u", "reader:" + kReaderPass, Url("/redfish/v1/AccountService/Accounts/admin")},
              "403 Base.1.22.InsufficientPrivilege"},
             {{"-H", "Authorization: Basic !!!", chassis}, "400 Base.1.22.HeaderInvalid"},
             {{"-u", "admin:wrong", chassis}, "401 Base.1.22.ResourceAtUriUnauthorized"},
             {{"-u", "admin:wrong", chassis}, "401 Base.1.22.ResourceAtUriUnauthorized"}})
    {
        EXPECT_EQ(failure(args), expected) << args.back();
    }
    std::string body; // two failures in a row: locked, the right password no help
    EXPECT_EQ(Curl({"-u", admin, chassis}, &body), 401);
    EXPECT_NE(body.find("Account locked for another"), std::string::npos) << body;
    // A failed login is logged with its peer.
    EXPECT_TRUE(service_.WaitLog("login failed for 'admin' from 127.0.0.1:", 5000)) << service_.Log();
    EXPECT_EQ(service_.Log().find("made a self-signed"), std::string::npos);
    EXPECT_NE(service_.Log().find(print), std::string::npos) << print << "\n" << service_.Log();
    struct stat st
    {
    };
    ASSERT_EQ(::stat((state_ + "/tls.key").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    ASSERT_EQ(service_.Stop(15000), 0);

    // Plain HTTP on loopback when asked, with readiness told to systemd.
    ktztest::NotifySocket notify(dir_.path() + "/notify.sock");
    ASSERT_TRUE(notify.bound());
    {
        const ktztest::NotifyEnv env(dir_.path() + "/notify.sock");
        StartService({"--insecure-http"}, "plain", "plain-state");
    }
#ifdef KTZREDFISH_TEST_SYSTEMD
    EXPECT_EQ(notify.Receive(10000), "READY=1");
#endif
    EXPECT_EQ(scheme_, "http");
    EXPECT_EQ(Curl({"-u", "reader:" + kReaderPass, Url("/redfish/v1/Chassis/KTZ")}), 200);
}

} // namespace
