// ktzmond serving the Linux machine, as real processes: the daemon started
// under a umockdev testbed that the test creates and keeps changing (the
// daemon inherits the preload library and UMOCKDEV_DIR), ktzmon-watch as its
// client, ktzmonctl on its control socket. The module's sensor passes are
// made one second long through the daemon's INI file, so readings arrive
// within seconds.
#include "support/files.h"
#include "support/http.h"
#include "support/logged_process.h"
#include "support/piped_process.h"

#include "harness.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <sys/wait.h>
#include <tuple>
#include <umockdev.h>
#include <unistd.h>

namespace
{

using json = nlohmann::json;
using ktzmond_test::Daemon;
using ktztest::SleepMs;
using ktztest::TempDir;

constexpr const char* kBoard = "server_board.umockdev";
constexpr const char* kSio = "/sys/devices/platform/nct6775.656/hwmon/hwmon2";

// ktzmon-watch --json with its standard output in a file: every message the
// module sent it, read back as it arrives.
class Watcher
{
  public:
    bool Start(const std::string& socket, const std::string& out)
    {
        return child_.Start(
            {KTZMON_WATCH_EXE, "--socket", socket, "--json", "--hex", "--caps", "3", "--timeout", "300"}, out,
            false);
    }
    int Stop() { return child_.Stop(5000); }

    // The messages received so far (complete lines only).
    std::vector<json> Messages() const
    {
        std::vector<json> out;
        for (json& j : ktztest::JsonLines(ktztest::CompleteLines(child_.Log())))
        {
            if (j.value("kind", "") == "message")
            {
                out.push_back(std::move(j));
            }
        }
        return out;
    }

    // Polls the messages until `pred` holds for one of them from the
    // `from`th on; that message, or null after `timeoutMs`.
    json WaitFor(const std::function<bool(const json&)>& pred, int timeoutMs, size_t from = 0) const
    {
        json found;
        ktztest::WaitUntil(
            [&]
            {
                const std::vector<json> all = Messages();
                const auto it = std::find_if(
                    all.begin() + static_cast<std::ptrdiff_t>(std::min(from, all.size())), all.end(), pred);
                found = it != all.end() ? *it : json();
                return it != all.end();
            },
            timeoutMs, 50);
        return found;
    }

  private:
    ktztest::LoggedProcess child_;
};

bool IsType(const json& m, const char* type)
{
    return m.value("type", "") == type && m.contains("fields");
}

// A sensor-data message of a sensor type ("fan", "temperature",
// "power-supply", "power-redundancy") and number.
std::function<bool(const json&)> SensorIs(const std::string& type, int num,
                                          const std::function<bool(const json&)>& also = nullptr)
{
    return [=](const json& m)
    {
        if (!IsType(m, "sensor-data"))
        {
            return false;
        }
        const json& f = m["fields"];
        return f.value("sensor_type", "") == type && f.value("number", -1) == num && (!also || also(f));
    };
}

std::function<bool(const json&)> ReadingIs(int64_t reading)
{
    return [=](const json& f) { return f.value("reading", int64_t{-1}) == reading; };
}

std::function<bool(const json&)> EventIs(const std::string& id)
{
    return [=](const json& m) { return IsType(m, "log-event") && m["fields"].value("id", "") == id; };
}

std::function<bool(const json&)> KtzSettingIs(uint32_t value)
{
    return [=](const json& m)
    {
        return IsType(m, "ktz-setting") && m["fields"].value("value", 99u) == value &&
               m["fields"].value("changed", false);
    };
}

// (number, name, reading, status) of the sensor messages of one type.
using Row = std::tuple<int, std::string, int64_t, int>;
std::vector<Row> FirstPicture(const std::vector<json>& messages, const std::string& type)
{
    std::vector<Row> out;
    for (const json& m : messages)
    {
        if (IsType(m, "sensor-data") && m["fields"].value("sensor_type", "") == type)
        {
            const json& f = m["fields"];
            out.emplace_back(f.value("number", 0), f.value("name", ""), f.value("reading", int64_t{0}),
                             f.value("status", -1));
        }
    }
    return out;
}

class LinuxDaemonTest : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        ASSERT_FALSE(dir_.path().empty());
        // Creating the testbed points UMOCKDEV_DIR at it, for the processes
        // started from here on.
        testbed_ = umockdev_testbed_new();
        ASSERT_NE(testbed_, nullptr);
        // One-second sensor passes, every sensor type asked at the first.
        const std::string ini = dir_.path() + "/ini";
        std::filesystem::create_directories(ini);
        std::string text = "[Sensor Monitor]\nsensorscheckinterval.secs = 1\n";
        for (const char* type :
             {"Fan Sensor", "Temperature Sensor", "Power Supply Sensor", "Power Redundancy Sensor"})
        {
            text += std::string("[") + type +
                    "]\nreadycheckinterval.secs = 0\nhealthcheckinterval.secs = 1\nreadingcheckinterval.secs "
                    "= 1\n";
        }
        std::ofstream(ini + "/ktzmonst32.ini") << text;
        ASSERT_EQ(::setenv("KTZPLAT_INI_DIR", ini.c_str(), 1), 0);
    }

    void TearDown() override
    {
        (void)watcher_.Stop();
        if (daemon_.pid() > 0)
        {
            EXPECT_EQ(daemon_.Terminate(10000), 0) << daemon_.log();
            // The source's poll thread ended with the module, so the library
            // could be closed, and the stop was clean.
            const std::string log = daemon_.log();
            EXPECT_EQ(log.find("still running"), std::string::npos) << log;
            EXPECT_NE(log.find(" stopped\n"), std::string::npos) << log;
        }
        if (testbed_ != nullptr)
        {
            g_object_unref(testbed_);
        }
    }

    void AddTestbed(const std::string& file)
    {
        GError* error = nullptr;
        const std::string path = std::string(KTZ_TESTBED_DIR) + "/" + file;
        ASSERT_TRUE(umockdev_testbed_add_from_file(testbed_, path.c_str(), &error))
            << path << ": " << (error ? error->message : "?");
    }

    void SetAttr(const std::string& sysPath, const std::string& name, const std::string& value)
    {
        umockdev_testbed_set_attribute(testbed_, sysPath.c_str(), name.c_str(), (value + "\n").c_str());
    }

    std::string ConfigPath() const { return dir_.path() + "/linux.toml"; }
    std::string SensorsConf() const { return dir_.path() + "/sensors.conf"; }

    // The daemon on the Linux chassis with the configuration written, and a
    // watcher that has received the whole first picture: up to the message
    // `last` picks, data-sync-complete unless a test looks at less (the FRU
    // records follow every sensor's data when the sensor types attached
    // before the watcher connected).
    void StartServing(const std::function<bool(const json&)>& last, const std::vector<std::string>& more = {})
    {
        std::vector<std::string> args = {"--chassis", "linux=" + ConfigPath()};
        args.insert(args.end(), more.begin(), more.end());
        ASSERT_TRUE(daemon_.Start(args, 20000)) << daemon_.log();
        ASSERT_TRUE(watcher_.Start(daemon_.socket(), dir_.File("watch.jsonl")));
        ASSERT_FALSE(watcher_.WaitFor(last, 30000).is_null())
            << daemon_.log() << ktztest::ReadFile(dir_.File("watch.jsonl"));
    }

    // ktzmonctl with `args`; its exit status, and what it printed on both streams.
    std::string Ctl(const std::vector<std::string>& args, int* status)
    {
        const ktztest::RunResult r = daemon_.RunCtl(args);
        *status = r.status;
        return r.out + r.err;
    }

    TempDir dir_;
    UMockdevTestbed* testbed_ = nullptr;
    Daemon daemon_{dir_.path()};
    Watcher watcher_;
};

// The end of the first picture.
const std::function<bool(const json&)> kSynced = [](const json& m)
{ return m.value("type", "") == "data-sync-complete"; };

// Waits until the daemon's standard error holds `text`.
bool WaitLog(const Daemon& d, const std::string& text, int timeoutMs)
{
    return ktztest::WaitUntil([&] { return d.log().find(text) != std::string::npos; }, timeoutMs, 50);
}

class ServerBoardDaemonTest : public LinuxDaemonTest
{
  protected:
    void SetUp() override
    {
        LinuxDaemonTest::SetUp();
        ASSERT_NO_FATAL_FAILURE(AddTestbed(kBoard));
        std::ofstream(SensorsConf()) << "chip \"nct6779-*\"\n"
                                        "    label fan1 \"CPU Fan\"\n"
                                        "    label fan2 \"Front Fan\"\n"
                                        "    label fan3 \"Rear Fan\"\n"
                                        "    ignore fan5\n";
        ASSERT_TRUE(ktztest::WriteFile(ConfigPath(), Config(1)));
    }

    std::string Config(int ktz) const
    {
        return "ktz_setting = " + std::to_string(ktz) + "\nsensors_conf = \"" + SensorsConf() +
               "\"\npoll_interval_ms = 100\n";
    }
};

TEST_F(ServerBoardDaemonTest, ServesTheBoardItsChangesAndAlarms)
{
    ASSERT_NO_FATAL_FAILURE(StartServing(kSynced));
    const std::vector<json> first = watcher_.Messages();
    // No supplies in hwmon: bay 1 stands for the machine's own power input.
    EXPECT_EQ(FirstPicture(first, "power-supply"), (std::vector<Row>{{1, "PS-1", 1, 1}}));
    EXPECT_NE(daemon_.log().find("no power supplies found: bay 1 stands for the machine's own power input"),
              std::string::npos)
        << daemon_.log();
    EXPECT_EQ(
        FirstPicture(first, "fan"),
        (std::vector<Row>{{1, "CPU Fan", 1250, 1}, {2, "Front Fan", 1710, 1}, {3, "Rear Fan", 1380, 1}}));
    // The temperatures' names and order are the chassis suite's; here they all arrive.
    EXPECT_EQ(FirstPicture(first, "temperature").size(), 6u);

#ifdef KTZMON_EXPORTER_EXE
    // With the picture whole, an exporter beside the daemon reports monitoring up.
    ktztest::LoggedProcess exporter;
    const uint16_t port = ktztest::FreePort();
    ASSERT_TRUE(exporter.Start(
        {KTZMON_EXPORTER_EXE, "--socket", daemon_.socket(), "--listen", "127.0.0.1:" + std::to_string(port)},
        dir_.File("exporter.log")));
    std::string metrics;
    bool ok = false;
    EXPECT_TRUE(ktztest::WaitUntil(
        [&]
        {
            metrics = ktztest::HttpGet(port, "/metrics", &ok);
            return ok && metrics.find("\nktzmon_monitoring_up 1\n") != std::string::npos;
        },
        20000, 100))
        << metrics << exporter.Log();
    EXPECT_EQ(exporter.Stop(10000), 0) << exporter.Log();
#endif

    // A reading changed in the testbed reaches the client.
    SetAttr(kSio, "fan3_input", "1620");
    SetAttr(kSio, "temp3_input", "33000");
    EXPECT_FALSE(watcher_.WaitFor(SensorIs("fan", 3, ReadingIs(1620)), 15000).is_null());
    EXPECT_FALSE(watcher_.WaitFor(SensorIs("temperature", 6, ReadingIs(33)), 15000).is_null());

    // The front fan drops below its minimum with its alarm set: the alarm is
    // a chassis log event at once (the delay mode that holds the reading back
    // is followed on the virtual clock in the chassis suite).
    size_t mark = watcher_.Messages().size();
    SetAttr(kSio, "fan2_input", "350");
    SetAttr(kSio, "fan2_alarm", "1");
    // (Its arguments, text and values are checked in the chassis suite.)
    const json alarm = watcher_.WaitFor(EventIs("LNX0001"), 15000, mark);
    ASSERT_FALSE(alarm.is_null());
    EXPECT_EQ(alarm["fields"].value("text", ""), "Front Fan (nct6779-isa-0290): fan2_alarm asserted");

    // The alarm clears: another event.
    mark = watcher_.Messages().size();
    SetAttr(kSio, "fan2_input", "1700");
    SetAttr(kSio, "fan2_alarm", "0");
    EXPECT_FALSE(watcher_.WaitFor(EventIs("LNX0002"), 15000, mark).is_null());
}

// SIGHUP reads the configuration again: a sensors.conf that does not load is
// refused with its reason and changes nothing, a sound one and the file's
// KTZ setting are applied; the daemon never ends on it.
TEST_F(ServerBoardDaemonTest, HangupReadsTheConfigurationAgain)
{
    ASSERT_NO_FATAL_FAILURE(StartServing(kSynced));
    int status = -1;
    std::string out = Ctl({"set-ktz", "off"}, &status);
    ASSERT_EQ(status, 0) << out;
    ASSERT_FALSE(watcher_.WaitFor(KtzSettingIs(0), 15000).is_null());

    std::ofstream(SensorsConf()) << "chip \"nct6779-*\"\n    labl fan1 \"CPU Fan\"\n";
    ::kill(daemon_.pid(), SIGHUP);
    ASSERT_TRUE(WaitLog(
        daemon_, "SIGHUP: configuration not changed: libsensors: " + SensorsConf() + ": line 2", 10000))
        << daemon_.log();
    EXPECT_NE(daemon_.log().find("the previous configuration stays in force"), std::string::npos);

    // The file's KTZ setting is applied again on the next hangup, and the
    // sensors read as before.
    const size_t mark = watcher_.Messages().size();
    std::ofstream(SensorsConf()) << "# nothing\n";
    SetAttr(kSio, "fan3_input", "1620");
    ::kill(daemon_.pid(), SIGHUP);
    EXPECT_FALSE(watcher_.WaitFor(KtzSettingIs(1), 15000, mark).is_null()) << daemon_.log();
    EXPECT_FALSE(watcher_.WaitFor(SensorIs("fan", 3, ReadingIs(1620)), 20000, mark).is_null())
        << daemon_.log();
    EXPECT_TRUE(WaitLog(daemon_, "SIGHUP: Linux chassis configuration read again", 10000)) << daemon_.log();
    out = Ctl({"status"}, &status);
    EXPECT_EQ(status, 0) << out;
}

TEST_F(ServerBoardDaemonTest, ControlSocketChangesOnlyWhatTheMachineDoesNot)
{
    ASSERT_NO_FATAL_FAILURE(StartServing(kSynced));
    int status = -1;
    std::string out = Ctl({"status"}, &status);
    EXPECT_EQ(status, 0) << out;
    EXPECT_NE(out.find("chassis           linux (" + ConfigPath() + ")"), std::string::npos) << out;
    EXPECT_NE(out.find("sensors           3 fans, 6 temperatures, 0 power supplies (none found"),
              std::string::npos)
        << out;

    // Every setter of the simulated chassis is refused, clearly.
    for (const std::string cmd :
         {"set-fan 1 --reading 100", "set-temp --reading 50", "set-stash-temp 1 --reading 40", "pull-psu 1",
          "insert-psu 1", "set-psu 1 --state 6", "set-redundancy --state 2"})
    {
        out = Ctl(ktztest::Words(cmd), &status);
        EXPECT_EQ(status, 1) << cmd << ": " << out;
        EXPECT_NE(out.find("changes the simulated chassis; this daemon serves the linux chassis"),
                  std::string::npos)
            << cmd << ": " << out;
    }
    // Chassis log events and the KTZ setting still work.
    out = Ctl({"log-event", "KTZ0042", "--value", "7", "--arg", "one", "--text", "posted by hand"}, &status);
    EXPECT_EQ(status, 0) << out;
    const json ev = watcher_.WaitFor(EventIs("KTZ0042"), 15000);
    ASSERT_FALSE(ev.is_null());
    EXPECT_EQ(ev["fields"].value("text", ""), "posted by hand");
    EXPECT_EQ(ev["fields"].value("value1", 0), 7);

    out = Ctl({"set-ktz", "0"}, &status);
    EXPECT_EQ(status, 0) << out;
    EXPECT_FALSE(watcher_.WaitFor(KtzSettingIs(0), 15000).is_null());
    // The set-fan requests above changed nothing the client sees.
    for (const json& m : watcher_.Messages())
    {
        EXPECT_FALSE(SensorIs("fan", 1, ReadingIs(100))(m)) << m.dump();
    }
}

// A machine without any sensor says so at the start and in the status, still
// completes the picture, and its diagnostic log (a file under the log
// directory, every line with its time) shows no failing read.
TEST_F(LinuxDaemonTest, MachineWithoutSensorsSaysSoAndCompletesThePicture)
{
    ASSERT_TRUE(ktztest::WriteFile(ConfigPath(), "poll_interval_ms = 100\n"));
    const std::string logDir = dir_.path() + "/log";
    ASSERT_NO_FATAL_FAILURE(StartServing(kSynced, {"--log-dir", logDir}));
    EXPECT_NE(daemon_.log().find("no sensors found"), std::string::npos) << daemon_.log();
    int status = -1;
    const std::string out = Ctl({"status"}, &status);
    EXPECT_EQ(status, 0) << out;
    EXPECT_NE(out.find("0 fans, 0 temperatures, 0 power supplies"), std::string::npos) << out;
    EXPECT_NE(out.find("no sensors found"), std::string::npos) << out;
    EXPECT_NE(out.find("module log        " + logDir + "/ktzmon.log"), std::string::npos) << out;

    SleepMs(3000); // three more sensor passes
    std::istringstream log(ktztest::ReadFile(logDir + "/ktzmon.log"));
    std::string line;
    size_t lines = 0;
    while (std::getline(log, line))
    {
        lines += 1;
        // "2026-03-01T12:00:00.123+0100 KTZ Monitor started"
        EXPECT_TRUE(line.size() > 29 && line[4] == '-' && line[10] == 'T' && line[19] == '.' &&
                    line[28] == ' ')
            << line;
        EXPECT_EQ(line.find("failed"), std::string::npos) << line;
    }
    EXPECT_GT(lines, 5u);
}

// Start-up refusals: no daemon is left running and the reason is printed.
TEST_F(LinuxDaemonTest, RefusesAScenarioABadConfigurationAndABadChassisName)
{
    ASSERT_NO_FATAL_FAILURE(AddTestbed(kBoard));
    const std::string scenario = dir_.path() + "/s.toml";
    std::ofstream(scenario) << "title = \"x\"\n";
    struct Case
    {
        std::vector<std::string> args;
        int status;
        std::string message;
    };
    ASSERT_TRUE(ktztest::WriteFile(ConfigPath(), "poll_interval_ms = 5\n"));
    const std::vector<Case> cases = {
        {{"--chassis", "linux", scenario}, 2, "a scenario shapes only the simulated chassis"},
        {{"--chassis", "linux", "--speed", "10"}, 2, "runs on the real clock"},
        {{"--chassis", "linux="}, 2, "the configuration file name is missing"},
        {{"--chassis", "real"}, 2, "expected sim, linux or linux=CONFIG, got 'real'"},
        {{"--chassis", "linux=" + dir_.path() + "/absent.toml"}, 1, "absent.toml: cannot be read"},
        {{"--chassis", "linux=" + ConfigPath()}, 1, "poll_interval_ms must be an integer from 100"},
    };
    for (const Case& c : cases)
    {
        Daemon d(dir_.path());
        EXPECT_FALSE(d.Start(c.args, 10000));
        EXPECT_EQ(d.earlyExit(), c.status) << c.args.back();
        EXPECT_NE(d.log().find(c.message), std::string::npos) << d.log();
        // The sockets are gone again.
        EXPECT_FALSE(std::filesystem::exists(d.socket())) << c.args.back();
        EXPECT_FALSE(std::filesystem::exists(d.control())) << c.args.back();
    }
}

} // namespace
