// Thermal service and blade-management stash: the simulated fans, chassis
// temperature entries and stash records, and the calls that fill the
// platform's fan record (76 bytes), temperature entries (40 bytes) and stash
// records (24 bytes).
#include "chassis_source.h"
#include "internal.h"
#include "records.h"

#include <algorithm>
#include <cstring>
#include <map>

namespace ktzplat
{
namespace
{
using detail::kFanRecord;
using detail::kMaxStash;
using detail::kMaxTempEntries;
using detail::kStashRecord;
using detail::kTempEntry;

struct ThermalState
{
    std::mutex mu;
    std::map<uint32_t, Fan> fans;
    TempEntry chassis;
    std::vector<TempEntry> extra;
    std::vector<StashRecord> stash;
};

ThermalState& T()
{
    static ThermalState* s = new ThermalState;
    return *s;
}

constexpr uint32_t kHealthNormal = 1;
constexpr uint32_t kHealthCritical = 2;
constexpr uint32_t kHealthNonCritical = 3;

// Severity order of the health words: normal < non-critical < critical.
int Severity(uint32_t health)
{
    return health == kHealthCritical ? 2 : health == kHealthNonCritical ? 1 : 0;
}

uint32_t SensorHealth(uint32_t reading, const Fan& f)
{
    if (f.lcThreshold != 0 && reading <= f.lcThreshold)
    {
        return kHealthCritical;
    }
    if (f.lncThreshold != 0 && reading <= f.lncThreshold)
    {
        return kHealthNonCritical;
    }
    return kHealthNormal;
}

// The health word the fan record carries (see Fan::deriveHealth).
uint32_t ReportedHealth(const Fan& f)
{
    if (!f.deriveHealth || f.presence != 1)
    {
        return f.health;
    }
    uint32_t h = SensorHealth(f.reading1, f);
    if (f.sensorCount >= 2)
    {
        const uint32_t h2 = SensorHealth(f.reading2, f);
        h = Severity(h2) > Severity(h) ? h2 : h;
    }
    return h;
}
} // namespace

namespace detail
{
void ResetThermal()
{
    ThermalState& s = T();
    std::lock_guard<std::mutex> lk(s.mu);
    s.fans.clear();
    s.chassis = TempEntry{};
    s.extra.clear();
    s.stash.clear();
}
} // namespace detail

void SetFan(uint32_t fanNum, const Fan& fan)
{
    ThermalState& s = T();
    std::lock_guard<std::mutex> lk(s.mu);
    s.fans[fanNum] = fan;
}

Fan GetFan(uint32_t fanNum)
{
    ThermalState& s = T();
    std::lock_guard<std::mutex> lk(s.mu);
    auto it = s.fans.find(fanNum);
    return it == s.fans.end() ? Fan{} : it->second;
}

void RemoveFan(uint32_t fanNum)
{
    ThermalState& s = T();
    std::lock_guard<std::mutex> lk(s.mu);
    s.fans.erase(fanNum);
}

void SetChassisTemp(const TempEntry& entry)
{
    ThermalState& s = T();
    std::lock_guard<std::mutex> lk(s.mu);
    s.chassis = entry;
}

TempEntry GetChassisTemp()
{
    ThermalState& s = T();
    std::lock_guard<std::mutex> lk(s.mu);
    return s.chassis;
}

void SetExtraThermalEntries(const std::vector<TempEntry>& entries)
{
    ThermalState& s = T();
    std::lock_guard<std::mutex> lk(s.mu);
    s.extra = entries;
}

void SetStash(const std::vector<StashRecord>& records)
{
    ThermalState& s = T();
    std::lock_guard<std::mutex> lk(s.mu);
    s.stash = records;
}

std::vector<StashRecord> GetStash()
{
    ThermalState& s = T();
    std::lock_guard<std::mutex> lk(s.mu);
    return s.stash;
}

} // namespace ktzplat

using namespace ktzplat;

extern "C" int32_t ThermalGetFanData(uint32_t fanNum, void* fanData)
{
    if (detail::ChassisSourceInstalled())
    {
        return detail::SourceFanData(fanNum, fanData);
    }
    int32_t rc = -1;
    if (detail::FaultHit(Op::ThermalFanData, &rc))
    {
        return rc;
    }
    if (!fanData)
    {
        return -1;
    }
    if (detail::RawFanAnswer(fanNum, static_cast<unsigned char*>(fanData), kFanRecord))
    {
        return 0;
    }
    ThermalState& s = T();
    std::lock_guard<std::mutex> lk(s.mu);
    auto it = s.fans.find(fanNum);
    if (it == s.fans.end())
    {
        return -1;
    }
    const Fan& f = it->second;
    if (f.result != 0)
    {
        return f.result;
    }
    detail::FillFanRecord(static_cast<unsigned char*>(fanData), f, ReportedHealth(f));
    return 0;
}

extern "C" int32_t ThermalGetSensorData(void* entries, uint8_t* pCount, uint8_t* sensorNums)
{
    if (detail::ChassisSourceInstalled())
    {
        return detail::SourceSensorData(entries, pCount, sensorNums);
    }
    int32_t rc = -1;
    if (detail::FaultHit(Op::ThermalSensorData, &rc))
    {
        return rc;
    }
    if (!entries || !pCount)
    {
        return -1;
    }
    if (detail::RawThermalAnswer(static_cast<unsigned char*>(entries), kMaxTempEntries * kTempEntry, pCount,
                                 sensorNums, kMaxTempEntries))
    {
        return 0;
    }
    ThermalState& s = T();
    std::lock_guard<std::mutex> lk(s.mu);
    *pCount = detail::FillTempEntries(static_cast<unsigned char*>(entries), s.chassis, s.extra, sensorNums);
    return 0;
}

extern "C" int32_t bm_get_stash_temp_sensor_data(void* records, uint8_t* pCount)
{
    if (detail::ChassisSourceInstalled())
    {
        return detail::SourceStash(records, pCount);
    }
    int32_t rc = -1;
    if (detail::FaultHit(Op::StashTemp, &rc))
    {
        return rc;
    }
    if (!records || !pCount)
    {
        return -1;
    }
    if (detail::RawStashAnswer(static_cast<unsigned char*>(records), kMaxStash * kStashRecord, pCount))
    {
        return 0;
    }
    ThermalState& s = T();
    std::lock_guard<std::mutex> lk(s.mu);
    *pCount = detail::FillStashRecords(static_cast<unsigned char*>(records), s.stash);
    return 0;
}
