// What a client should know about the chassis and what it does know: the
// sensor picture derived from the platform stand-in's current state (through
// the documented mappings of health, state and alert codes), the picture a
// client holds (the last sensor data message per sensor, decoded from the
// wire bytes), and the chassis log events it received, in order.
#ifndef KTZTEST_RELIABILITY_CHASSIS_VIEW_H
#define KTZTEST_RELIABILITY_CHASSIS_VIEW_H

#include "support/fake_host.h"
#include "support/received.h"

#include "ktzplatform_control.h"

#include <ktzmon/protocol.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace ktzrel
{

// A sensor as the platform says it should be or as a client holds it (type
// and name are the map's key).
using SensorState = ktztest::Sensor;
// The status of a sensor whose status is not settled (stash sensors carry no
// health): any status a client holds agrees with it.
constexpr uint8_t kAnyStatus = 0xFF;

// Sensors are keyed by type and name: names are unique in the chassis used
// here, and unlike numbers they do not shift when a sensor is left out.
using SensorKey = std::pair<uint8_t, std::string>;
using SensorMap = std::map<SensorKey, SensorState>;

// ---- the client's side --------------------------------------------------------------------

inline SensorMap ClientView(const std::vector<ktztest::ReceivedMsg>& msgs)
{
    SensorMap view;
    for (const ktztest::Sensor& s : ktztest::SensorsIn(msgs))
    {
        view[{s.type, s.name}] = s;
    }
    return view;
}

// Message IDs of the chassis log events received, in order.
inline std::vector<std::string> ClientEvents(const std::vector<ktztest::ReceivedMsg>& msgs)
{
    std::vector<std::string> ids;
    for (const ktztest::LogEvent& e : ktztest::LogEventsIn(msgs))
    {
        ids.push_back(e.messageId);
    }
    return ids;
}

using ktztest::CountType;

// The last KTZ setting message: value and setting-changed byte (-1, -1 if none).
inline std::pair<int64_t, int> LastSetting(const std::vector<ktztest::ReceivedMsg>& msgs)
{
    const auto all = ktztest::KtzSettingsIn(msgs);
    return all.empty() ? std::pair<int64_t, int>{-1, -1}
                       : std::pair<int64_t, int>{all.back().first, all.back().second};
}

// ---- the platform's side ------------------------------------------------------------------

inline uint8_t FanStatus(uint32_t health)
{
    return health == 1 ? 1 : health == 2 ? 3 : health == 3 ? 2 : 0;
}

inline uint8_t TempStatus(uint32_t health)
{
    static const uint8_t map[] = {1, 2, 3, 2, 3};
    return health < 5 ? map[health] : 0;
}

inline SensorState PsuState(uint8_t bay, const ktzplat::PsuBay& p)
{
    SensorState s;
    s.num = bay;
    if (p.presence == 0)
    {
        s.reading = 0x0A;
        return s;
    }
    s.presence = 1;
    if (p.presence != 1)
    {
        return s;
    }
    const bool failed = p.state == 6;
    uint32_t reading = failed ? 0x03 : 0x01;
    if (p.alert == 21810)
    {
        reading |= 0x08;
    }
    else if (p.alert >= 21812 && p.alert <= 21815)
    {
        reading |= 0x20;
    }
    s.reading = reading;
    s.status = (failed || p.alert != 0) ? 3 : 1;
    return s;
}

inline SensorState PwrRedState(uint32_t config, uint32_t state)
{
    SensorState s;
    s.num = 1;
    if (config == 0)
    {
        return s;
    }
    if (config > 4)
    {
        s.presence = 2;
        return s;
    }
    s.presence = 1;
    static const uint8_t status[] = {3, 1, 3, 2};
    static const uint32_t reading[] = {0x20, 0x01, 0x02, 0x04};
    if (state < 4)
    {
        s.status = status[state];
        s.reading = reading[state];
    }
    return s;
}

// The chassis: fans 1..fanCount on a platform whose fans report their own
// sensor count, the chassis temperature and the stash sensors, bays
// 1..bayCount and the redundancy values the test last set.
struct ChassisShape
{
    uint32_t fanCount = 0;
    uint32_t bayCount = 0;
    uint32_t redConfig = 0;
    uint32_t redState = 0;
};

// Sets up the chassis both suites start from: chassis log proxy and stash
// supported, fans 1..fanCount of two sensors each (FAN<n>A and FAN<n>B),
// the chassis temperature at 25, two stash sensors, bayCount supply bays
// (left empty here) and the shape's redundancy values.
inline void BuildChassis(const ChassisShape& shape)
{
    ktzplat::SetCapWordB(0x4 | 0x1);
    ktzplat::SetCapWordA(0x10);
    ktzplat::SetStashWord(1);
    ktzplat::SetPlatformId(0x10);
    ktzplat::SetFanCounts(shape.fanCount, 0);
    for (uint32_t f = 1; f <= shape.fanCount; ++f)
    {
        ktzplat::SetFan(f, {.name1 = "FAN" + std::to_string(f) + "A",
                            .name2 = "FAN" + std::to_string(f) + "B",
                            .sensorCount = 2,
                            .reading1 = 5000 + 200 * (f - 1),
                            .reading2 = 4800 + 300 * (f - 1),
                            .lncThreshold = 1000,
                            .lcThreshold = 500});
    }
    ktzplat::SetChassisTemp({"Chassis", 0, 25});
    ktzplat::SetStash({{2, 2, 40, "Stash1"}, {3, 1, 35, "Stash2"}});
    ktzplat::SetPsuBayCount(static_cast<int32_t>(shape.bayCount));
    ktzplat::SetRedundancy(shape.redConfig, shape.redState);
}

inline SensorMap PlatformView(const ChassisShape& shape)
{
    SensorMap view;
    uint8_t fanSensorNum = 0;
    for (uint32_t f = 1; f <= shape.fanCount; ++f)
    {
        const ktzplat::Fan fan = ktzplat::GetFan(f);
        for (uint32_t idx = 1; idx <= fan.sensorCount; ++idx)
        {
            view[{KTZMON_SENSOR_TYPE_FAN, idx == 1 ? fan.name1 : fan.name2}] = {
                .num = ++fanSensorNum,
                .presence = 1,
                .status = FanStatus(fan.health),
                .reading = idx == 1 ? fan.reading1 : fan.reading2,
                .lnc = fan.lncThreshold,
                .lc = fan.lcThreshold};
        }
    }
    const ktzplat::TempEntry chassis = ktzplat::GetChassisTemp();
    view[{KTZMON_SENSOR_TYPE_TEMP, chassis.name}] = {
        .num = 1,
        .presence = 1,
        .status = TempStatus(chassis.health),
        .reading = static_cast<uint32_t>(static_cast<int32_t>(chassis.reading))};
    for (const auto& rec : ktzplat::GetStash())
    {
        view[{KTZMON_SENSOR_TYPE_TEMP, rec.name}] = {
            .num = static_cast<uint8_t>((rec.a - 2) * 2 + rec.b),
            .presence = 1,
            .status = kAnyStatus,
            .reading = static_cast<uint32_t>(static_cast<int32_t>(rec.reading))};
    }
    for (uint32_t bay = 1; bay <= shape.bayCount; ++bay)
    {
        view[{KTZMON_SENSOR_TYPE_PWR_SUPPLY, "PS-" + std::to_string(bay)}] =
            PsuState(static_cast<uint8_t>(bay), ktzplat::GetPsuBay(bay));
    }
    view[{KTZMON_SENSOR_TYPE_PWR_RED, "Power Redundancy"}] = PwrRedState(shape.redConfig, shape.redState);
    return view;
}

// Readings a client may hold for a sensor whose platform value is `c`: the
// fan's documented tolerance band around the stored reading p ...
inline bool InFanBand(uint32_t p, uint32_t c, uint32_t t)
{
    const uint32_t lo = p == 0 ? 0 : (p <= t ? 1 : p - t);
    if (c < lo)
    {
        return false;
    }
    if (p == 0xFFFFFFFFu)
    {
        return true;
    }
    const uint32_t hi = (p + t < p || p + t >= 0xFFFFFFFFu) ? 0xFFFFFFFEu : p + t;
    return c <= hi;
}

// ... and the temperature's, in signed 8-bit readings.
inline bool InTempBand(int8_t p, int8_t c, int8_t t)
{
    const int lo = p == -128 ? -128 : std::max(-127, p - t);
    const int hi = p == 127 ? 127 : std::min(126, p + t);
    return c >= lo && c <= hi;
}

// Tolerances of fan and temperature readings a comparison allows (none: exact).
struct Tolerance
{
    uint32_t fan = 0;
    int8_t temp = 0;
};

// Differences between what a client should know and what it knows, one per
// line (empty when they agree). `full`: the client must know every sensor,
// under its expected number; otherwise every sensor it knows must carry the
// platform's values.
inline std::string CompareViews(const SensorMap& expected, const SensorMap& actual, bool full,
                                Tolerance tol = {})
{
    std::ostringstream out;
    auto describe = [](const SensorState& s)
    {
        std::ostringstream d;
        d << "num " << unsigned(s.num) << " presence " << unsigned(s.presence) << " status "
          << unsigned(s.status) << " reading " << s.reading << " lnc " << s.lnc << " lc " << s.lc;
        return d.str();
    };
    for (const auto& [key, got] : actual)
    {
        const auto it = expected.find(key);
        if (it == expected.end())
        {
            out << "unknown sensor type " << unsigned(key.first) << " '" << key.second << "'\n";
            continue;
        }
        const SensorState& want = it->second;
        bool reading = got.reading == want.reading;
        if (key.first == KTZMON_SENSOR_TYPE_FAN && tol.fan != 0)
        {
            reading = InFanBand(got.reading, want.reading, tol.fan);
        }
        else if (key.first == KTZMON_SENSOR_TYPE_TEMP && tol.temp != 0)
        {
            reading =
                InTempBand(static_cast<int8_t>(got.reading), static_cast<int8_t>(want.reading), tol.temp);
        }
        const bool same = reading && got.presence == want.presence &&
                          (want.status == kAnyStatus || got.status == want.status) && got.lnc == want.lnc &&
                          got.lc == want.lc && (!full || got.num == want.num);
        if (!same)
        {
            out << "type " << unsigned(key.first) << " '" << key.second << "': got " << describe(got)
                << ", platform " << describe(want) << "\n";
        }
    }
    if (full)
    {
        for (const auto& [key, want] : expected)
        {
            if (actual.count(key) == 0)
            {
                out << "missing type " << unsigned(key.first) << " '" << key.second << "'\n";
            }
        }
    }
    return out.str();
}

} // namespace ktzrel

#endif
