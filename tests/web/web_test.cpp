// The web view in headless Chromium against real processes: ktzmond on the
// Redfish tests' chassis, ktzmon-redfish serving the page from web/ on a
// free loopback port, ktzmonctl changing the chassis and ktzmon-watch saying
// what the page must show. The browser side is browser.mjs (puppeteer-core);
// it prints "STEP name" when it wants the chassis changed and goes on when
// this test, having changed it, sends it SIGUSR1. Every wait is bounded; the
// browser runs on a pipe to node, so it ends with node whatever happens.
#include "support/files.h"
#include "support/logged_process.h"
#include "support/piped_process.h"

#include "harness.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <csignal>
#include <filesystem>
#include <functional>
#include <iostream>
#include <sstream>

namespace
{

using ktzmond_test::Daemon;
using ktzmond_test::TempDir;
using nlohmann::json;

const std::string kPassword = "viewer-pass-1";
const std::string kChassis = std::string(KTZ_SOURCE_DIR) + "/tests/redfish/chassis.toml";

int RunTool(const std::vector<std::string>& argv, const std::string& input = "", std::string* out = nullptr)
{
    const ktztest::RunResult r = ktztest::RunProgram(argv, {.input = input}, 40000);
    if (out != nullptr)
    {
        *out = r.out;
    }
    return r.status;
}

// What ktzmon-watch shows of the chassis: its sensor-data fields by type,
// then by name.
json Watch(const Daemon& daemon)
{
    std::string out;
    EXPECT_EQ(RunTool({KTZMON_WATCH_EXE, "--socket", daemon.socket(), "--json", "--until",
                       "data-sync-complete", "--timeout", "30"},
                      "", &out),
              0);
    json picture = json::object();
    std::stringstream lines(out);
    std::string line;
    while (std::getline(lines, line))
    {
        const json j = json::parse(line, nullptr, false);
        if (!j.is_discarded() && j.value("type", "") == "sensor-data")
        {
            const json& f = j["fields"];
            picture[f["sensor_type"].get<std::string>()][f["name"].get<std::string>()] = f;
        }
    }
    return picture;
}

TEST(WebViewTest, ThePageFollowsTheChassisLiveInAHeadlessBrowser)
{
    TempDir dir;
    ASSERT_FALSE(dir.path().empty());
    Daemon daemon(dir.path());
    ASSERT_TRUE(daemon.Start({"--speed", "20", kChassis})) << daemon.log();
    const std::string accounts = dir.File("accounts");
    ASSERT_EQ(
        RunTool({KTZMON_REDFISH_EXE, "--add-account", "viewer", "--role", "ReadOnly", "--accounts", accounts},
                kPassword + "\n" + kPassword + "\n"),
        0);

    ktztest::LoggedProcess service;
    ASSERT_TRUE(
        service.Start({KTZMON_REDFISH_EXE, "--socket", daemon.socket(), "--listen", "127.0.0.1:0",
                       "--accounts", accounts, "--state-dir", dir.File("state"), "--web-root",
                       std::string(KTZ_SOURCE_DIR) + "/web", "--retry-first", "0.1", "--retry-max", "0.5"},
                      dir.File("rf.log")));
    ASSERT_TRUE(service.WaitLog("/redfish/v1 for ", 20000)) << service.Log();
    const std::string log = service.Log();
    ASSERT_NE(log.find("web application: "), std::string::npos) << log;
    const std::string prefix = "https://127.0.0.1:";
    const int port = std::stoi(log.substr(log.find(prefix) + prefix.size()));

    const json watch = Watch(daemon);
    ASSERT_EQ(watch["fan"].size(), 4u) << watch;
    const std::string artifacts = KTZ_WEB_ARTIFACTS;
    std::filesystem::create_directories(artifacts);
    const json config = {{"url", prefix + std::to_string(port) + "/"},
                         {"user", "viewer"},
                         {"password", kPassword},
                         {"watch", watch},
                         {"chromium", KTZ_CHROMIUM_EXE},
                         {"modules", KTZ_NODE_MODULES},
                         {"profile", dir.File("chromium")},
                         {"screenshot", artifacts + "/web.png"}};
    ASSERT_TRUE(ktztest::WriteFile(dir.File("browser.json"), config.dump()));

    ktztest::PipedProcess browser;
    ASSERT_TRUE(browser.Start(
        {KTZ_NODE_EXE, std::string(KTZ_SOURCE_DIR) + "/tests/web/browser.mjs", dir.File("browser.json")}));
    auto ctl = [&](const std::vector<std::string>& args)
    {
        std::vector<std::string> argv = {KTZMONCTL_EXE, "--control-socket", daemon.control()};
        argv.insert(argv.end(), args.begin(), args.end());
        return RunTool(argv);
    };
    // The browser's steps, in its order; each changes the chassis.
    const std::vector<std::pair<std::string, std::function<void()>>> steps = {
        {"set-fan",
         [&]
         {
             EXPECT_EQ(ctl({"set-fan", "2", "--reading", "500"}), 0);
             EXPECT_EQ(ctl({"log-event", "FAN0004", "--arg", "Fan2A", "--arg", "2000", "--value", "2"}), 0);
         }},
        {"stop-daemon", [&] { EXPECT_EQ(daemon.Terminate(15000), 0); }},
        {"start-daemon",
         [&] {
             EXPECT_TRUE(daemon.Start({"--speed", "20", kChassis})) << daemon.log();
         }},
    };
    for (const auto& [name, change] : steps)
    {
        std::string line;
        ASSERT_TRUE(browser.WaitFor("STEP ", &line, 60000))
            << "no step '" << name << "'\n"
            << browser.out() << browser.err() << service.Log();
        ASSERT_EQ(line, "STEP " + name) << browser.out() << browser.err();
        change();
        browser.Signal(SIGUSR1);
    }
    const int status = browser.Wait(60000);
    EXPECT_EQ(status, 0) << browser.out() << browser.err() << service.Log();
    EXPECT_NE(browser.out().find("PASS"), std::string::npos) << browser.out();
    std::error_code ec;
    EXPECT_TRUE(std::filesystem::is_regular_file(artifacts + "/web.png", ec)) << "no screenshot";
    std::cout << browser.out();
    EXPECT_EQ(service.Stop(15000), 0) << service.Log();
    EXPECT_EQ(daemon.Terminate(15000), 0);
}

} // namespace
