// The Linux chassis source under umockdev testbeds, with the module running
// in-process on top: what clients receive from a server board's Super-I/O
// and CPU sensors and from a chassis with two PMBus supplies, and how
// readings, alarms, vanished devices and the configuration file reach them.
#include "linux_fixture.h"
#include "linux_source.h"
#include "testbed_devices.h"

#include <gtest/gtest.h>
#include <ktzmon/protocol.h>

#include <algorithm>
#include <fstream>
#include <memory>
#include <tuple>

namespace
{

using ktztest::LinuxChassisTest;
using ktztest::LogEvent;
using ktztest::Sensor;

constexpr const char* kBoard = "server_board.umockdev";
constexpr const char* kSio = "/sys/devices/platform/nct6775.656/hwmon/hwmon2";
constexpr const char* kCpu = "/sys/devices/platform/coretemp.0";
constexpr const char* kPsus = "psu_chassis.umockdev";
constexpr const char* kPsu1Hwmon = "/sys/devices/pci0000:00/0000:00:1f.4/i2c-7/7-0058/hwmon/hwmon4";
constexpr const char* kPsu2 = "/devices/pci0000:00/0000:00:1f.4/i2c-7/7-0059";

// (number, name, reading, lnc, lc, status) of each sensor message.
using Row = std::tuple<int, std::string, uint32_t, uint32_t, uint32_t, int>;
std::vector<Row> Rows(const std::vector<Sensor>& sensors)
{
    std::vector<Row> out;
    for (const Sensor& s : sensors)
    {
        out.emplace_back(s.num, s.name, s.reading, s.lnc, s.lc, s.status);
    }
    return out;
}

class ServerBoardTest : public LinuxChassisTest
{
  protected:
    void SetUp() override
    {
        LinuxChassisTest::SetUp();
        ASSERT_NO_FATAL_FAILURE(AddTestbed(kBoard));
        // The user's sensors.conf names the fans and leaves out the unused
        // header; the source must honour both.
        std::ofstream(TestDir() + "/sensors.conf") << "chip \"nct6779-*\"\n"
                                                      "    label fan1 \"CPU Fan\"\n"
                                                      "    label fan2 \"Front Fan\"\n"
                                                      "    label fan3 \"Rear Fan\"\n"
                                                      "    ignore fan5\n";
        ASSERT_NO_FATAL_FAILURE(WriteConfig(Config(1)));
    }

    std::string Config(int ktz) const
    {
        return "ktz_setting = " + std::to_string(ktz) + "\nsensors_conf = \"" + TestDir() +
               "/sensors.conf\"\n[fans]\nlnc_margin_percent = 20\n";
    }
};

TEST_F(ServerBoardTest, FirstPictureMatchesTheTestbed)
{
    ASSERT_NO_FATAL_FAILURE(StartWithClient());

    // Three fans (fan5 ignored), thresholds from fanN_min and 20% above it.
    EXPECT_EQ(Rows(Sensors(1)), (std::vector<Row>{{1, "CPU Fan", 1250, 480, 400, 1},
                                                  {2, "Front Fan", 1710, 720, 600, 1},
                                                  {3, "Rear Fan", 1380, 720, 600, 1}}));
    // The board temperature is the chassis one; the others follow in chip
    // order, in whole degrees (38.5 rounds to 39).
    EXPECT_EQ(Rows(Sensors(2)), (std::vector<Row>{{1, "SYSTIN", 31, 0, 0, 1},
                                                  {2, "Package id 0", 45, 0, 0, 1},
                                                  {3, "Core 0", 43, 0, 0, 1},
                                                  {4, "Core 1", 44, 0, 0, 1},
                                                  {5, "CPUTIN", 39, 0, 0, 1},
                                                  {6, "AUXTIN0", 27, 0, 0, 1}}));
    EXPECT_TRUE(Events().empty());
}

// A board without power supplies in hwmon: bay 1 stands for the machine's
// own power input, so the power types attach and the picture completes;
// redundancy is reported as not configured, whatever the policy.
TEST_F(ServerBoardTest, WithoutSuppliesThePictureCompletes)
{
    ASSERT_NO_FATAL_FAILURE(StartWithClient());
    const std::vector<uint32_t> types = Host().Types(kClient);
    EXPECT_NE(std::find(types.begin(), types.end(), KTZMON_REQ_DATA_SYNC_COMPLETE), types.end());
    const Sensor supply = Last(3, 1);
    EXPECT_EQ(std::make_tuple(supply.name, supply.presence, supply.status, supply.reading),
              std::make_tuple(std::string("PS-1"), 1, 1, 0x01u));
    EXPECT_EQ(Sensors(3).size(), 1u);
    const Sensor redundancy = Last(4, 1);
    EXPECT_EQ(std::make_tuple(redundancy.presence, redundancy.status, redundancy.reading),
              std::make_tuple(0, 0, 0u));
    EXPECT_TRUE(Frus(1).empty());
}

// A sensors.conf that is being edited, or that is wrong, does not blind the
// sensors: the text in force stays until a reload, and a reload that does not
// load keeps it and says why; a sound one takes effect.
TEST_F(ServerBoardTest, SensorsConfigurationIsKeptUntilAReloadThatLoads)
{
    ASSERT_NO_FATAL_FAILURE(StartWithClient());
    std::ofstream(TestDir() + "/sensors.conf") << "chip \"nct6779-*\"\n    labl fan1 \"CPU Fan\"\n";
    SetAttr(kSio, "fan3_input", "1620");
    Pass(2);
    EXPECT_EQ(std::make_tuple(Last(1, 3).presence, Last(1, 3).reading), std::make_tuple(1, 1620u));
    try
    {
        (void)ktzlinux::ReloadLinuxChassis();
        ADD_FAILURE() << "a sensors.conf that does not parse was taken";
    }
    catch (const std::runtime_error& e)
    {
        EXPECT_NE(std::string(e.what()).find("sensors.conf: line 2"), std::string::npos) << e.what();
        EXPECT_NE(std::string(e.what()).find("the previous configuration stays in force"), std::string::npos);
    }
    SetAttr(kSio, "fan3_input", "1500");
    Pass(2);
    EXPECT_EQ(std::make_tuple(Last(1, 3).presence, Last(1, 3).reading), std::make_tuple(1, 1500u));

    std::ofstream(TestDir() + "/sensors.conf") << "chip \"nct6779-*\"\n    compute temp1 @+10, @-10\n";
    ASSERT_NO_THROW((void)ktzlinux::ReloadLinuxChassis());
    Pass(2);
    EXPECT_EQ(Last(2, 1).reading, 41u); // SYSTIN's 31 degrees, computed
}

TEST_F(ServerBoardTest, FanBelowItsMinimumIsHeldBackThenReportedCriticalWithAnEvent)
{
    ASSERT_NO_FATAL_FAILURE(StartWithClient());
    const size_t before = Sensors(1).size();

    SetAttr(kSio, "fan2_input", "350");
    SetAttr(kSio, "fan2_alarm", "1");
    Pass();
    EXPECT_TRUE(Logged("Fan sensor starting delay mode: name: 'Front Fan'\n"));
    Pass(4); // 20 s in delay mode: nothing reaches the client
    EXPECT_EQ(Sensors(1).size(), before);
    Pass();
    EXPECT_TRUE(Logged("Fan sensor delay mode expired: name: 'Front Fan'\n"));
    const Sensor fan = Last(1, 2);
    EXPECT_EQ(fan.reading, 350u);
    EXPECT_EQ(fan.status, 3); // critical

    // The alarm file asserting was a chassis log event; clearing is another.
    SetAttr(kSio, "fan2_input", "1700");
    SetAttr(kSio, "fan2_alarm", "0");
    Pass();
    EXPECT_EQ(Last(1, 2).status, 1);
    const std::vector<LogEvent> events = Events();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].messageId, ktzlinux::kMsgAlarmAsserted);
    EXPECT_EQ(events[0].args, (std::vector<std::string>{"Front Fan", "nct6779-isa-0290", "fan2_alarm"}));
    EXPECT_EQ(events[0].text, "Front Fan (nct6779-isa-0290): fan2_alarm asserted");
    EXPECT_EQ(std::make_tuple(events[0].value1, events[0].value2, events[0].value3),
              std::make_tuple(1, 2, 2));
    EXPECT_EQ(events[1].messageId, ktzlinux::kMsgAlarmCleared);
}

TEST_F(ServerBoardTest, TemperaturePastItsLimitsAndAVanishedChipAreReported)
{
    ASSERT_NO_FATAL_FAILURE(StartWithClient());

    // SYSTIN has no alarm files: its max and crit thresholds decide.
    SetAttr(kSio, "temp1_input", "76000");
    Pass();
    EXPECT_EQ(Last(2, 1).status, 2); // non-critical
    SetAttr(kSio, "temp1_input", "91000");
    Pass();
    EXPECT_EQ(Last(2, 1).status, 3); // critical
    std::vector<std::string> ids;
    for (const LogEvent& e : Events())
    {
        ids.push_back(e.messageId + " " + e.args.at(2));
    }
    EXPECT_EQ(ids, (std::vector<std::string>{"LNX0001 temp1_max_alarm", "LNX0001 temp1_crit_alarm"}));

    // The CPU's driver goes away: its sensors read as failing, not as
    // their last values, and come back with the driver.
    RemoveDevice(kCpu);
    Pass(2);
    EXPECT_EQ(Last(2, 2).status, 0);
    EXPECT_EQ(Last(2, 2).reading, 0u);
    ASSERT_NO_FATAL_FAILURE(AddDevices(ktztest::TestbedBlocks(kBoard, "/devices/platform/coretemp.0")));
    Pass(2);
    EXPECT_EQ(Last(2, 2).status, 1);
    EXPECT_EQ(Last(2, 2).reading, 45u);
}

TEST_F(ServerBoardTest, ConfigurationFileSwitchesMonitoringOffAndOn)
{
    ASSERT_NO_FATAL_FAILURE(StartWithClient());
    ASSERT_FALSE(Sensors(1).empty());

    ASSERT_NO_FATAL_FAILURE(WriteConfig(Config(0)));
    ktzplat::AdvanceClock(2);
    ASSERT_TRUE(ktzplat::WaitIdle());
    EXPECT_TRUE(Logged("KTZ setting: 0\n"));
    ASSERT_FALSE(KtzSettings().empty());
    EXPECT_EQ(KtzSettings().back(), std::make_pair(0u, uint8_t{1}));

    // Off: a changed fan is not reported.
    const size_t before = Sensors(1).size();
    SetAttr(kSio, "fan1_input", "1500");
    Pass(7);
    EXPECT_EQ(Sensors(1).size(), before);

    // A malformed file changes nothing; a sound one switches monitoring on.
    ASSERT_NO_FATAL_FAILURE(WriteConfig("ktz_setting = \"on\"\n"));
    ktzplat::AdvanceClock(2);
    EXPECT_EQ(KtzSettings().back().first, 0u);
    ASSERT_NO_FATAL_FAILURE(WriteConfig(Config(1)));
    ktzplat::AdvanceClock(2);
    EXPECT_EQ(KtzSettings().back(), std::make_pair(1u, uint8_t{1}));
    Pass(7);
    EXPECT_EQ(Last(1, 1).reading, 1500u);
}

TEST_F(ServerBoardTest, FanHealthFollowsAlarmsThresholdsAndTheDevice)
{
    ktzlinux::LinuxConfig config;
    config.sensorsConf = TestDir() + "/sensors.conf";
    auto source = std::make_unique<ktzlinux::LinuxSource>(config);
    ktzplat::Fan fan;

    // fan1: minimum 400, lower non-critical 480.
    auto health = [&](const char* input, const char* alarm)
    {
        SetAttr(kSio, "fan1_input", input);
        SetAttr(kSio, "fan1_alarm", alarm);
        EXPECT_EQ(source->GetFan(1, &fan), 0);
        return std::make_pair(fan.presence, fan.health);
    };
    EXPECT_EQ(health("481", "0"), std::make_pair(1u, 1u));
    EXPECT_EQ(health("480", "0"), std::make_pair(1u, 3u)); // at the lower non-critical threshold
    EXPECT_EQ(health("400", "0"), std::make_pair(1u, 3u)); // at the minimum, not below it
    EXPECT_EQ(health("399", "0"), std::make_pair(1u, 2u));
    EXPECT_EQ(health("1250", "1"), std::make_pair(1u, 2u)); // the alarm file wins over the reading
    EXPECT_EQ(fan.lcThreshold, 400u);
    EXPECT_EQ(fan.lncThreshold, 480u);

    const std::vector<std::string> inventory = source->Inventory();
    ASSERT_GE(inventory.size(), 3u);
    EXPECT_EQ(inventory[2], "fan 3: nct6779-isa-0290/fan3 'Rear Fan'");

    // Fan numbers outside the inventory fail; a vanished chip is absent.
    EXPECT_NE(source->GetFan(0, &fan), 0);
    EXPECT_NE(source->GetFan(4, &fan), 0);
    RemoveDevice("/sys/devices/platform/nct6775.656");
    ASSERT_EQ(source->GetFan(2, &fan), 0);
    EXPECT_EQ(std::make_tuple(fan.presence, fan.health, fan.reading1), std::make_tuple(0u, 0u, 0u));
    EXPECT_EQ(fan.name1, "Front Fan");

    // A chassis temperature that names nothing is refused (libsensors is
    // one per process: the first source goes first).
    source.reset();
    config.chassisTemp = "Inlet";
    EXPECT_THROW(ktzlinux::LinuxSource{config}, std::runtime_error);
}

// A machine whose hwmon shows nothing at all: every sensor type still
// attaches without a failing read at any pass, the chassis temperature says
// its status is unknown, and the picture completes.
TEST_F(LinuxChassisTest, MachineWithoutSensorsAnswersEveryType)
{
    ASSERT_NO_FATAL_FAILURE(WriteConfig("ktz_setting = 1\n"));
    ASSERT_NO_FATAL_FAILURE(Install());
    const auto summary = ktzlinux::InstalledLinuxChassis();
    ASSERT_TRUE(summary.has_value());
    EXPECT_EQ(std::make_tuple(summary->counts.fans, summary->counts.temperatures, summary->counts.supplies,
                              summary->counts.impliedSupply, summary->counts.redundancy),
              std::make_tuple(size_t{0}, size_t{0}, size_t{0}, true, false));
    ASSERT_NO_FATAL_FAILURE(StartWithClient());
    Pass(6);
    EXPECT_TRUE(Sensors(1).empty());
    const Sensor temp = Last(2, 1);
    EXPECT_EQ(std::make_tuple(temp.name, temp.status), std::make_tuple(std::string("No temperature"), 0));
    const std::vector<uint32_t> types = Host().Types(kClient);
    EXPECT_NE(std::find(types.begin(), types.end(), KTZMON_REQ_DATA_SYNC_COMPLETE), types.end());
    for (const std::string& line : Logged())
    {
        EXPECT_EQ(line.find("failed"), std::string::npos) << line;
    }
}

class PsuChassisTest : public LinuxChassisTest
{
  protected:
    void SetUp() override
    {
        LinuxChassisTest::SetUp();
        ASSERT_NO_FATAL_FAILURE(AddTestbed(kPsus));
        std::ofstream(TestDir() + "/sensors.conf") << "# nothing\n";
    }

    std::string Config(const std::string& power) const
    {
        return "ktz_setting = 1\nsensors_conf = \"" + TestDir() + "/sensors.conf\"\n[power]\n" + power +
               "\n[[power.supply]]\nchip = \"pmbus-i2c-7-58\"\neeprom = "
               "\"/sys/bus/i2c/devices/7-0050/eeprom\"\n"
               "[[power.supply]]\nchip = \"pmbus-i2c-7-59\"\neeprom = "
               "\"/sys/bus/i2c/devices/7-0051/eeprom\"\n";
    }

    // The serial number of the EEPROM's IPMI product area (the fifth field,
    // "C5" and five ASCII bytes, 8-bit ASCII type).
    static std::string FruSerial(const std::vector<uint8_t>& fru)
    {
        const std::string text(fru.begin(), fru.end());
        const auto at = text.find("\xC5P100");
        return at == std::string::npos ? "" : text.substr(at + 1, 5);
    }
};

TEST_F(PsuChassisTest, SupplyPulledAndReinsertedWithItsFruAndRedundancy)
{
    ASSERT_NO_FATAL_FAILURE(WriteConfig(Config("redundancy = \"n+1\"")));
    ASSERT_NO_FATAL_FAILURE(StartWithClient());

    EXPECT_EQ(Rows(Sensors(3)), (std::vector<Row>{{1, "PS-1", 0x01, 0, 0, 1}, {2, "PS-2", 0x01, 0, 0, 1}}));
    ASSERT_EQ(Frus(1).size(), 1u);
    ASSERT_EQ(Frus(2).size(), 1u);
    EXPECT_EQ(FruSerial(Frus(1)[0]), "P1001");
    EXPECT_EQ(FruSerial(Frus(2)[0]), "P1002");
    EXPECT_EQ(Last(4, 1).reading, 0x01u); // fully redundant

    RemoveDevice(std::string("/sys") + kPsu2);
    Pass(2);
    EXPECT_EQ(Last(3, 2).presence, 0);
    EXPECT_EQ(Last(3, 2).reading, 0x0Au);
    EXPECT_EQ(Last(4, 1).reading, 0x02u); // redundancy lost
    EXPECT_EQ(Last(4, 1).status, 3);

    ASSERT_NO_FATAL_FAILURE(AddDevices(ktztest::TestbedBlocks(kPsus, kPsu2)));
    Pass(2);
    EXPECT_EQ(Last(3, 2).presence, 1);
    EXPECT_EQ(Last(3, 2).reading, 0x01u);
    ASSERT_EQ(Frus(2).size(), 2u);
    EXPECT_EQ(Frus(2)[1], Frus(2)[0]);
    EXPECT_EQ(Frus(1).size(), 1u); // the other bay's record is not sent again
    EXPECT_EQ(Last(4, 1).reading, 0x01u);

    std::vector<std::string> events;
    for (const LogEvent& e : Events())
    {
        events.push_back(e.messageId + " " + e.text);
    }
    EXPECT_EQ(events, (std::vector<std::string>{"LNX0003 PS-2 (pmbus-i2c-7-59) removed",
                                                "LNX0004 PS-2 (pmbus-i2c-7-59) inserted"}));
}

TEST_F(PsuChassisTest, InputAndOutputAlarmsSetAlertAndState)
{
    ASSERT_NO_FATAL_FAILURE(WriteConfig(Config("redundancy = \"n+1\"")));
    ASSERT_NO_FATAL_FAILURE(StartWithClient());

    SetAttr(kPsu1Hwmon, "in1_lcrit_alarm", "1"); // input lost
    Pass(2);
    EXPECT_EQ(Last(3, 1).reading, 0x09u);
    EXPECT_EQ(Last(3, 1).status, 3);
    EXPECT_EQ(Last(4, 1).reading, 0x02u);
    SetAttr(kPsu1Hwmon, "in1_lcrit_alarm", "0");
    SetAttr(kPsu1Hwmon, "in1_max_alarm", "1"); // input out of range
    Pass(2);
    EXPECT_EQ(Last(3, 1).reading, 0x21u);
    SetAttr(kPsu1Hwmon, "in1_max_alarm", "0");
    Pass(2);
    SetAttr(kPsu1Hwmon, "curr2_crit_alarm", "1"); // output over-current: failed
    Pass(4);
    EXPECT_EQ(Last(3, 1).reading, 0x03u);
    SetAttr(kPsu1Hwmon, "curr2_crit_alarm", "0");
    Pass(4);
    EXPECT_EQ(Last(3, 1).reading, 0x01u);
    EXPECT_EQ(Last(4, 1).reading, 0x01u);

    std::vector<std::string> events;
    for (const LogEvent& e : Events())
    {
        events.push_back(e.messageId + " " + e.args.at(2) + " " + std::to_string(e.value3));
    }
    EXPECT_EQ(events, (std::vector<std::string>{"LNX0001 in1_lcrit_alarm 2", "LNX0002 in1_lcrit_alarm 2",
                                                "LNX0001 in1_max_alarm 1", "LNX0002 in1_max_alarm 1",
                                                "LNX0001 curr2_crit_alarm 2", "LNX0002 curr2_crit_alarm 2"}));
}

TEST_F(PsuChassisTest, RedundancyFollowsThePolicy)
{
    // {policy, supplies needed, failed supplies} -> {configuration, state}
    struct Case
    {
        std::string power;
        bool failOne;
        uint32_t config, state;
    };
    const std::vector<Case> cases = {
        {"redundancy = \"n+1\"", false, 1, 1},
        {"redundancy = \"n+1\"", true, 1, 2},
        {"redundancy = \"n+n\"", false, 2, 1},
        {"redundancy = \"n+n\"\nsupplies_needed = 2", false, 2, 2},
        {"redundancy = \"n+1\"\nsupplies_needed = 2", true, 1, 0},
        {"redundancy = \"n+n\"\nsupplies_needed = 3\nbays = 8", false, 2, 0},
        {"redundancy = \"none\"", false, 0, 0},
    };
    for (const Case& c : cases)
    {
        SetAttr(kPsu1Hwmon, "temp1_crit_alarm", c.failOne ? "1" : "0");
        ktzlinux::LinuxSource source(ktzlinux::ParseConfig(Config(c.power)));
        uint32_t config = 99, state = 99;
        ASSERT_EQ(source.GetRedundancy(&config, &state), 0);
        EXPECT_EQ(std::make_pair(config, state), std::make_pair(c.config, c.state)) << c.power;
    }
}

} // namespace
