// Thermal service and blade-management stash: the simulated fans, chassis
// temperature entries and stash records, and the calls that fill the
// platform's fan record (76 bytes), temperature entries (40 bytes) and stash
// records (24 bytes).
#include "chassis_source.h"
#include "internal.h"

#include <algorithm>
#include <cstring>
#include <map>

namespace ktzplat
{
namespace
{
constexpr size_t kFanRecord = 76;
constexpr size_t kTempEntry = 40;
constexpr size_t kMaxTempEntries = 8;
constexpr size_t kStashRecord = 24;
constexpr size_t kMaxStash = 7;

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

void Put32(unsigned char* p, size_t off, uint32_t v)
{
    std::memcpy(p + off, &v, sizeof v);
}

// Copies at most `max` characters and always leaves a NUL within the field.
void PutText(unsigned char* p, size_t off, const std::string& s, size_t max)
{
    // The caller zeroed the record and the field is one byte wider than `max`.
    // NOLINTNEXTLINE(bugprone-not-null-terminated-result): the NUL is already there
    std::memcpy(p + off, s.data(), std::min(s.size(), max));
}

void PutTempEntry(unsigned char* e, const TempEntry& t)
{
    std::memset(e, 0, kTempEntry);
    PutText(e, 4, t.name, 20);
    Put32(e, 28, t.health);
    std::memcpy(e + 32, &t.reading, 1);
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
    auto* p = static_cast<unsigned char*>(fanData);
    std::memset(p, 0, kFanRecord);
    PutText(p, 4, f.name1, 15);
    PutText(p, 20, f.name2, 15);
    Put32(p, 36, f.presence);
    Put32(p, 40, ReportedHealth(f));
    p[45] = f.pwm;
    p[46] = f.sensorCount;
    Put32(p, 60, f.reading1);
    Put32(p, 64, f.reading2);
    Put32(p, 68, f.lncThreshold);
    Put32(p, 72, f.lcThreshold);
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
    auto* p = static_cast<unsigned char*>(entries);
    PutTempEntry(p, s.chassis);
    size_t n = 1;
    for (const TempEntry& e : s.extra)
    {
        if (n >= kMaxTempEntries)
        {
            break;
        }
        PutTempEntry(p + n * kTempEntry, e);
        ++n;
    }
    *pCount = static_cast<uint8_t>(n);
    if (sensorNums)
    {
        for (size_t i = 0; i < n; ++i)
        {
            sensorNums[i] = static_cast<uint8_t>(i + 1);
        }
    }
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
    auto* p = static_cast<unsigned char*>(records);
    size_t n = std::min(s.stash.size(), kMaxStash);
    for (size_t i = 0; i < n; ++i)
    {
        const StashRecord& r = s.stash[i];
        unsigned char* e = p + i * kStashRecord;
        std::memset(e, 0, kStashRecord);
        e[0] = r.a;
        e[1] = r.b;
        std::memcpy(e + 2, &r.reading, 1);
        // The 21-byte name field holds no NUL when the name fills it.
        // NOLINTNEXTLINE(bugprone-not-null-terminated-result): a full field carries no NUL
        std::memcpy(e + 3, r.name.data(), std::min<size_t>(r.name.size(), 21));
    }
    *pCount = static_cast<uint8_t>(n);
    return 0;
}
