// The Linux source's configuration file: defaults, every key read, and the
// malformed files refused with the line and key named.
#include "config.h"

#include <gtest/gtest.h>

#include <stdexcept>

namespace
{

using ktzlinux::ParseConfig;
using ktzlinux::RedundancyPolicy;

TEST(LinuxConfig, EmptyFileGivesTheDefaults)
{
    const ktzlinux::LinuxConfig c = ParseConfig("");
    EXPECT_FALSE(c.ktzSetting.has_value());
    EXPECT_EQ(c.sensorsConf, "");
    EXPECT_EQ(c.pollIntervalMs, 1000u);
    EXPECT_EQ(c.fanLncMarginPercent, 20u);
    EXPECT_TRUE(c.chassisTemp.empty());
    EXPECT_FALSE(c.extraTempsSet);
    EXPECT_EQ(c.redundancy, RedundancyPolicy::NPlus1);
    EXPECT_EQ(c.suppliesNeeded, 1u);
    EXPECT_EQ(c.bays, 0u);
    EXPECT_TRUE(c.supplies.empty());
    EXPECT_NE(std::find(c.supplyDrivers.begin(), c.supplyDrivers.end(), "pmbus"), c.supplyDrivers.end());
    EXPECT_EQ(ktzlinux::LoadConfig("").pollIntervalMs, 1000u);
}

TEST(LinuxConfig, EveryKeyIsRead)
{
    const ktzlinux::LinuxConfig c = ParseConfig(R"(
ktz_setting = 2
sensors_conf = "/etc/ktz-sensors.conf"
poll_interval_ms = 250
[fans]
lnc_margin_percent = 0
ignore = ["nct6779-isa-0290/fan5", "Pump"]
[temperatures]
chassis = "Inlet"
extra = []
[power]
bays = 4
redundancy = "n+n"
supplies_needed = 2
drivers = ["my_psu"]
[[power.supply]]
chip = "pmbus-i2c-3-58"
eeprom = "/sys/bus/i2c/devices/3-0050/eeprom"
presence = "/sys/class/gpio/gpio17/value"
)");
    EXPECT_EQ(c.ktzSetting, 2u);
    EXPECT_EQ(c.sensorsConf, "/etc/ktz-sensors.conf");
    EXPECT_EQ(c.pollIntervalMs, 250u);
    EXPECT_EQ(c.fanLncMarginPercent, 0u);
    EXPECT_EQ(c.fanIgnore, (std::vector<std::string>{"nct6779-isa-0290/fan5", "Pump"}));
    EXPECT_EQ(c.chassisTemp, "Inlet");
    // An empty list is set: no further temperatures at all.
    EXPECT_TRUE(c.extraTempsSet);
    EXPECT_TRUE(c.extraTemps.empty());
    EXPECT_EQ(c.bays, 4u);
    EXPECT_EQ(c.redundancy, RedundancyPolicy::NPlusN);
    EXPECT_EQ(c.suppliesNeeded, 2u);
    EXPECT_EQ(c.supplyDrivers, (std::vector<std::string>{"my_psu"}));
    ASSERT_EQ(c.supplies.size(), 1u);
    EXPECT_EQ(c.supplies[0].chip, "pmbus-i2c-3-58");
    EXPECT_EQ(c.supplies[0].eeprom, "/sys/bus/i2c/devices/3-0050/eeprom");
    EXPECT_EQ(c.supplies[0].presence, "/sys/class/gpio/gpio17/value");
}

TEST(LinuxConfig, MalformedFilesAreRefusedWithLineAndKey)
{
    const std::vector<std::pair<std::string, std::string>> bad = {
        {"ktz = 1\n", "x:1: unknown key 'ktz'"},
        {"\n[fans]\nmargin = 3\n", "x:3: unknown key 'fans.margin'"},
        {"ktz_setting = -1\n", "x:1: ktz_setting must be an integer"},
        {"ktz_setting = \"1\"\n", "x:1: ktz_setting must be an integer"},
        {"poll_interval_ms = 10\n", "x:1: poll_interval_ms must be an integer from 100"},
        {"[power]\nredundancy = \"2n\"\n", "x:2: power.redundancy must be"},
        {"[power]\nbays = 255\n", "x:2: bays must be an integer from 0 to 254"},
        {"[power]\n[[power.supply]]\neeprom = \"/x\"\n", "power.supply needs a chip"},
        {"[temperatures]\nextra = [\"a\",\"b\",\"c\",\"d\",\"e\",\"f\",\"g\",\"h\"]\n", "at most 7"},
        {"[temperatures]\nextra = \"SYSTIN\"\n", "x:2: extra must be an array of strings"},
        {"fans = 3\n", "x:1: fans must be a table"},
        {"[fans\n", "x:1:"},
    };
    for (const auto& [text, message] : bad)
    {
        try
        {
            (void)ParseConfig(text, "x");
            ADD_FAILURE() << "accepted: " << text;
        }
        catch (const std::runtime_error& e)
        {
            EXPECT_NE(std::string(e.what()).find(message), std::string::npos) << e.what();
        }
    }
    EXPECT_THROW((void)ktzlinux::LoadConfig("/nonexistent/ktz-linux.toml"), std::runtime_error);
}

} // namespace
