// The message-to-series mapping of ktzmon-exporter, fed decoded messages and
// read back through the registry the HTTP listener would serialise.
#include "support/decoded.h"
#include "support/ipmi_fru.h"

#include "metrics.h"

#include <gtest/gtest.h>

#include <optional>
#include <prometheus/registry.h>
#include <ranges>
#include <string>
#include <utility>
#include <vector>

namespace
{

using ktzclient::Message;
using ktztest::FanMsg;
using ktztest::FruMsg;
using ktztest::LogMsg;
using ktztest::SensorMsg;
using ktztest::SettingMsg;
using ktztest::SyncMsg;
using prometheus::Labels;

class MetricsTest : public ::testing::Test
{
  protected:
    // The value of the one series of `name` whose labels are exactly `labels`.
    std::optional<double> Value(const std::string& name, const Labels& labels = {}) const
    {
        for (const auto& family : registry_.Collect())
        {
            if (family.name != name)
            {
                continue;
            }
            for (const auto& m : family.metric)
            {
                Labels have;
                for (const auto& l : m.label)
                {
                    have[l.name] = l.value;
                }
                if (have == labels)
                {
                    return family.type == prometheus::MetricType::Counter ? m.counter.value : m.gauge.value;
                }
            }
        }
        return std::nullopt;
    }
    size_t Count(const std::string& name) const
    {
        for (const auto& family : registry_.Collect())
        {
            if (family.name == name)
            {
                return family.metric.size();
            }
        }
        return 0;
    }
    // Connected, monitoring on, one fan, one temperature, two supplies (one
    // with its FRU record), redundancy, and the picture complete.
    void Populate()
    {
        m_.Connected(false);
        m_.Apply(SettingMsg(1, false));
        m_.Apply(FanMsg(1, "Fan1A", 5400));
        m_.Apply(SensorMsg(2, 1, "Chassis Inlet", 0xfffffffd));
        m_.Apply(SensorMsg(3, 1, "PS-1", 0x01));
        m_.Apply(SensorMsg(3, 2, "PS-2", 0x01));
        m_.Apply(FruMsg(1, "PWR-SUPPLY 2400W S/N 0001"));
        m_.Apply(FruMsg(2, "PWR-SUPPLY 2400W S/N 0002"));
        m_.Apply(SensorMsg(4, 1, "Power Redundancy", 0x01));
        m_.Apply(SyncMsg());
    }

    prometheus::Registry registry_;
    ktzexporter::ChassisMetrics m_{registry_, "9.8.7"};
};

const Labels kFan1{{"sensor", "Fan1A"}, {"number", "1"}};

Labels FruLabels(const std::string& bay, const std::string& manufacturer, const std::string& product,
                 const std::string& part = "", const std::string& serial = "")
{
    return {{"bay", bay},
            {"manufacturer", manufacturer},
            {"product", product},
            {"part_number", part},
            {"serial_number", serial}};
}

// An IPMI FRU record whose product area (English) holds `fields`.
std::vector<uint8_t> IpmiFru(const std::vector<std::string>& fields)
{
    return ktztest::IpmiFruImage({}, ktztest::IpmiFruArea({0x01, 0, 0x19}, fields));
}
const Labels kInlet{{"sensor", "Chassis Inlet"}, {"number", "1"}};

TEST_F(MetricsTest, ReadingsCarryTheirUnitsAndSigns)
{
    Populate();
    EXPECT_EQ(Value("ktzmon_fan_speed_rpm", kFan1), 5400);
    EXPECT_EQ(Value("ktzmon_fan_speed_lower_noncritical_rpm", kFan1), 2000);
    EXPECT_EQ(Value("ktzmon_fan_speed_lower_critical_rpm", kFan1), 1000);
    // The temperature word is a sign-extended byte.
    EXPECT_EQ(Value("ktzmon_temperature_celsius", kInlet), -3);
    // A fan's reading word is unsigned: a high bit is no sign.
    m_.Apply(FanMsg(1, "Fan1A", 0x80000000u));
    EXPECT_EQ(Value("ktzmon_fan_speed_rpm", kFan1), 2147483648.0);
    EXPECT_EQ(Value("ktzmon_sensor_status", {{"sensor", "Fan1A"}, {"number", "1"}, {"type", "fan"}}), 1);
    EXPECT_EQ(Value("ktzmon_monitoring_up"), 1);
    EXPECT_EQ(Value("ktzmon_ktz_enabled"), 1);
    EXPECT_EQ(Value("ktzmon_exporter_connected"), 1);
    EXPECT_EQ(Value("ktzmon_build_info", {{"version", "9.8.7"}}), 1);
}

// A sensor that is not there, or whose status is unknown, reads 0: no value
// is exported for it, while its status and presence say why.
TEST_F(MetricsTest, AbsentOrUnknownSensorsHaveNoReading)
{
    Populate();
    m_.Apply(SensorMsg(2, 1, "Chassis Inlet", 0, 0)); // unknown status
    m_.Apply(FanMsg(1, "Fan1A", 0));
    m_.Apply(SensorMsg(1, 1, "Fan1A", 0, 0, 0)); // pulled
    EXPECT_FALSE(Value("ktzmon_temperature_celsius", kInlet));
    EXPECT_FALSE(Value("ktzmon_fan_speed_rpm", kFan1));
    EXPECT_EQ(Value("ktzmon_sensor_status",
                    {{"sensor", "Chassis Inlet"}, {"number", "1"}, {"type", "temperature"}}),
              0);
    EXPECT_EQ(Value("ktzmon_sensor_presence", {{"sensor", "Fan1A"}, {"number", "1"}, {"type", "fan"}}), 0);
    // Back: the value returns.
    m_.Apply(SensorMsg(2, 1, "Chassis Inlet", 25));
    EXPECT_EQ(Value("ktzmon_temperature_celsius", kInlet), 25);
}

TEST_F(MetricsTest, ChangedSensorsReplaceTheirSeries)
{
    Populate();
    // Thresholds no longer valid: their series go, the reading stays.
    m_.Apply(SensorMsg(1, 1, "Fan1A", 900, 3));
    EXPECT_EQ(Value("ktzmon_fan_speed_rpm", kFan1), 900);
    EXPECT_FALSE(Value("ktzmon_fan_speed_lower_critical_rpm", kFan1));
    EXPECT_FALSE(Value("ktzmon_fan_speed_lower_noncritical_rpm", kFan1));
    EXPECT_EQ(Value("ktzmon_sensor_status", {{"sensor", "Fan1A"}, {"number", "1"}, {"type", "fan"}}), 3);
    // The same number under another name: the old name's series vanish.
    m_.Apply(FanMsg(1, "Front", 4000));
    EXPECT_FALSE(Value("ktzmon_fan_speed_rpm", kFan1));
    EXPECT_EQ(Value("ktzmon_fan_speed_rpm", {{"sensor", "Front"}, {"number", "1"}}), 4000);
    EXPECT_EQ(Count("ktzmon_fan_speed_rpm"), 1u);
    EXPECT_FALSE(Value("ktzmon_sensor_status", {{"sensor", "Fan1A"}, {"number", "1"}, {"type", "fan"}}));
    // A temperature with the fan's number is a different sensor.
    EXPECT_EQ(Value("ktzmon_temperature_celsius", kInlet), -3);
}

TEST_F(MetricsTest, SupplyAndRedundancyBitsAndThePulledSupply)
{
    Populate();
    // Supplies are labelled by their bay, as their FRU records are.
    const Labels ps2{{"sensor", "PS-2"}, {"bay", "2"}};
    auto alert = [&](const char* a)
    {
        Labels l = ps2;
        l["alert"] = a;
        return Value("ktzmon_power_supply_alert", l);
    };
    EXPECT_EQ(alert("failure"), 0);
    EXPECT_EQ(alert("input_lost"), 0);
    EXPECT_EQ(Value("ktzmon_power_supply_fru_info", FruLabels("2", "", "PWR-SUPPLY 2400W S/N 0002")), 1);

    // Pulled: an empty bay reads failure and input lost, presence 0; its FRU
    // record goes, the other bay's stays.
    m_.Apply(SensorMsg(3, 2, "PS-2", 0x0a, 0, 0));
    EXPECT_EQ(alert("failure"), 1);
    EXPECT_EQ(alert("input_lost"), 1);
    EXPECT_EQ(alert("input_out_of_range"), 0);
    EXPECT_EQ(Value("ktzmon_sensor_presence", {{"sensor", "PS-2"}, {"bay", "2"}, {"type", "power_supply"}}),
              0);
    EXPECT_EQ(Count("ktzmon_power_supply_fru_info"), 1u);
    EXPECT_TRUE(Value("ktzmon_power_supply_fru_info", FruLabels("1", "", "PWR-SUPPLY 2400W S/N 0001")));

    // A record whose text changed replaces the old series rather than adding one.
    m_.Apply(FruMsg(2, "OTHER"));
    m_.Apply(FruMsg(2, "NEWER"));
    EXPECT_EQ(Count("ktzmon_power_supply_fru_info"), 2u);
}

// Every bit the protocol documents for a power supply's alerts and for the
// redundancy state, one at a time: exactly the series of that bit is 1, and
// the family has one series per documented bit.
TEST_F(MetricsTest, EveryDocumentedBitSetsExactlyItsOwnSeries)
{
    Populate();
    struct Word
    {
        uint8_t type;
        const char* name;
        const char* idLabel; // supplies are named by their bay
        const char* family;
        const char* label;
        uint32_t base; // bits that are no alert or state (a supply's "present")
        std::vector<std::pair<uint32_t, const char*>> bits;
        size_t series; // in the family: one per bit for each sensor of the type
    };
    const Word words[] = {
        {3,
         "PS-1",
         "bay",
         "ktzmon_power_supply_alert",
         "alert",
         0x01,
         {{0x02, "failure"}, {0x08, "input_lost"}, {0x20, "input_out_of_range"}},
         2 * 3},
        {4,
         "Power Redundancy",
         "number",
         "ktzmon_power_redundancy_state",
         "state",
         0,
         {{0x01, "fully_redundant"}, {0x02, "lost"}, {0x04, "degraded"}, {0x20, "insufficient_resources"}},
         4},
    };
    for (const Word& w : words)
    {
        for (const auto& bit : w.bits | std::views::keys)
        {
            SCOPED_TRACE(std::string(w.family) + " bit " + std::to_string(bit));
            m_.Apply(SensorMsg(w.type, 1, w.name, w.base | bit));
            EXPECT_EQ(Count(w.family), w.series);
            for (const auto& [other, label] : w.bits)
            {
                Labels l{{"sensor", w.name}, {w.idLabel, "1"}, {w.label, label}};
                EXPECT_EQ(Value(w.family, l), other == bit ? 1 : 0) << label;
            }
        }
    }
}

TEST_F(MetricsTest, DisconnectRemovesEveryChassisSeriesAndReconnectRebuilds)
{
    Populate();
    m_.Apply(LogMsg("PSU0100"));
    m_.Disconnected();
    for (const char* name : {"ktzmon_fan_speed_rpm", "ktzmon_fan_speed_lower_critical_rpm",
                             "ktzmon_temperature_celsius", "ktzmon_sensor_status", "ktzmon_sensor_presence",
                             "ktzmon_power_supply_alert", "ktzmon_power_redundancy_state",
                             "ktzmon_power_supply_fru_info", "ktzmon_ktz_setting", "ktzmon_ktz_enabled"})
    {
        EXPECT_EQ(Count(name), 0u) << name;
    }
    EXPECT_EQ(Value("ktzmon_exporter_connected"), 0);
    EXPECT_EQ(Value("ktzmon_monitoring_up"), 0);
    // What the exporter counted stays.
    EXPECT_EQ(Value("ktzmon_chassis_log_events_total", {{"message_id", "PSU0100"}}), 1);
    EXPECT_EQ(Value("ktzmon_exporter_reconnects_total"), 0);

    // Connected again: counted, but not up before the picture is complete.
    m_.Connected(true);
    EXPECT_EQ(Value("ktzmon_exporter_reconnects_total"), 1);
    EXPECT_EQ(Value("ktzmon_exporter_connected"), 1);
    m_.Apply(SettingMsg(1, false));
    m_.Apply(FanMsg(1, "Fan1A", 5000));
    EXPECT_EQ(Value("ktzmon_monitoring_up"), 0);
    m_.Apply(SyncMsg());
    EXPECT_EQ(Value("ktzmon_monitoring_up"), 1);
    EXPECT_EQ(Value("ktzmon_fan_speed_rpm", kFan1), 5000);
    EXPECT_EQ(Count("ktzmon_temperature_celsius"), 0u); // not sent again yet
}

TEST_F(MetricsTest, MonitoringSwitchedOffRemovesSensorsUntilFreshData)
{
    Populate();
    m_.Apply(SettingMsg(0, true));
    EXPECT_EQ(Count("ktzmon_fan_speed_rpm"), 0u);
    EXPECT_EQ(Count("ktzmon_sensor_status"), 0u);
    EXPECT_EQ(Count("ktzmon_power_supply_fru_info"), 0u);
    EXPECT_EQ(Value("ktzmon_ktz_setting"), 0);
    EXPECT_EQ(Value("ktzmon_ktz_enabled"), 0);
    EXPECT_EQ(Value("ktzmon_monitoring_up"), 0);
    EXPECT_EQ(Value("ktzmon_exporter_connected"), 1);
    // A reading or FRU record from a check that was running when the setting
    // changed makes no series that nothing would refresh.
    m_.Apply(FanMsg(1, "Fan1A", 5300));
    m_.Apply(FruMsg(1, "PWR-SUPPLY 2400W S/N 0001"));
    EXPECT_EQ(Count("ktzmon_fan_speed_rpm"), 0u);
    EXPECT_EQ(Count("ktzmon_power_supply_fru_info"), 0u);

    // Values other than 1 and 2 do not monitor either.
    m_.Apply(SettingMsg(7, true));
    EXPECT_EQ(Value("ktzmon_ktz_setting"), 7);
    EXPECT_EQ(Value("ktzmon_ktz_enabled"), 0);

    // On again: up only after the module's new first picture.
    m_.Apply(SettingMsg(2, true));
    EXPECT_EQ(Value("ktzmon_ktz_enabled"), 1);
    EXPECT_EQ(Value("ktzmon_monitoring_up"), 0);
    EXPECT_EQ(Count("ktzmon_fan_speed_rpm"), 0u);
    m_.Apply(FanMsg(1, "Fan1A", 5100));
    m_.Apply(SyncMsg());
    EXPECT_EQ(Value("ktzmon_fan_speed_rpm", kFan1), 5100);
    EXPECT_EQ(Value("ktzmon_monitoring_up"), 1);

    // A repeated "on" (1 after 2) is no reason to drop what is fresh.
    m_.Apply(SettingMsg(1, true));
    EXPECT_EQ(Value("ktzmon_fan_speed_rpm", kFan1), 5100);
    EXPECT_EQ(Value("ktzmon_monitoring_up"), 1);
}

TEST_F(MetricsTest, LogEventsCountPerMessageIdWithABound)
{
    m_.Connected(false);
    m_.Apply(LogMsg("FAN0004"));
    m_.Apply(LogMsg("FAN0004"));
    m_.Apply(LogMsg("PSU0100"));
    EXPECT_EQ(Value("ktzmon_chassis_log_events_total", {{"message_id", "FAN0004"}}), 2);
    EXPECT_EQ(Value("ktzmon_chassis_log_events_total", {{"message_id", "PSU0100"}}), 1);
    EXPECT_EQ(Value("ktzmon_exporter_messages_total", {{"type", "log-event"}}), 3);

    for (size_t i = 0; i < ktzexporter::kMaxMessageIds + 10; ++i)
    {
        m_.Apply(LogMsg("X" + std::to_string(i)));
    }
    EXPECT_EQ(Count("ktzmon_chassis_log_events_total"), ktzexporter::kMaxMessageIds + 1);
    // Two IDs were there already; the first 62 new ones got their own series.
    EXPECT_EQ(Value("ktzmon_chassis_log_events_total", {{"message_id", "other"}}), 12);
    // A known ID still counts as itself after the bound is reached.
    m_.Apply(LogMsg("FAN0004"));
    EXPECT_EQ(Value("ktzmon_chassis_log_events_total", {{"message_id", "FAN0004"}}), 3);
}

TEST_F(MetricsTest, FruLabelsComeFromTheProductArea)
{
    Populate();
    Message m = FruMsg(2, "");
    std::get<ktzclient::FruByNumber>(m.body).data =
        IpmiFru({"ACME Power", "PWS-1K62A-1R", "PWS-1K62A-1R-P", "1.0", "P1002", "", ""});
    m_.Apply(m);
    EXPECT_EQ(Value("ktzmon_power_supply_fru_info",
                    FruLabels("2", "ACME Power", "PWS-1K62A-1R", "PWS-1K62A-1R-P", "P1002")),
              1);
    EXPECT_EQ(Count("ktzmon_power_supply_fru_info"), 2u);
}

TEST(LabelTextTest, OddBytesAndLengths)
{
    EXPECT_EQ(ktzexporter::LabelText("Fan1A"), "Fan1A");
    EXPECT_EQ(ktzexporter::LabelText(std::string("a\nb\"c\xff", 6)), "a?b\"c?");
    EXPECT_EQ(ktzexporter::LabelText("PS-1   "), "PS-1");
    EXPECT_EQ(ktzexporter::LabelText(std::string(100, 'x')).size(), 64u);
    EXPECT_EQ(ktzexporter::LabelText("abcdef", 3), "abc");
}

} // namespace
