// The installed chassis source and the platform records built from its
// answers: the fan record (76 bytes), temperature entries (40 bytes), stash
// records (24 bytes), the FRU buffer and the platform description.
#include "chassis_source.h"

#include "internal.h"
#include "records.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>

namespace ktzplat
{
namespace
{
constexpr size_t kMaxFru = 256;

struct Installed
{
    std::mutex mu;
    std::shared_ptr<ChassisSource> source;
    std::atomic<bool> present{false};
    alignas(8) unsigned char platInfo[kPlatInfoSize] = {};
};

Installed& I()
{
    static auto* s = new Installed;
    return *s;
}

std::shared_ptr<ChassisSource> Source()
{
    Installed& s = I();
    std::lock_guard<std::mutex> lk(s.mu);
    return s.source;
}

// Runs one service call against the installed source: the injected fault
// first, then the source (which may have been removed meanwhile).
template <class F> int32_t Call(Op op, F&& f)
{
    int32_t rc = -1;
    if (detail::FaultHit(op, &rc))
    {
        return rc;
    }
    std::shared_ptr<ChassisSource> src = Source();
    if (!src)
    {
        return -1;
    }
    return detail::NoThrow<int32_t>(-1, [&] { return f(*src); });
}
} // namespace

void UseChassisSource(std::shared_ptr<ChassisSource> source)
{
    Installed& s = I();
    std::lock_guard<std::mutex> lk(s.mu);
    std::memset(s.platInfo, 0, sizeof s.platInfo);
    if (source)
    {
        source->Describe(s.platInfo, sizeof s.platInfo);
    }
    s.source = std::move(source);
    s.present.store(s.source != nullptr);
}

std::shared_ptr<ChassisSource> CurrentChassisSource()
{
    return Source();
}

namespace detail
{
bool ChassisSourceInstalled()
{
    return I().present.load();
}

void* SourcePlatInfo()
{
    return I().platInfo;
}

int32_t SourceFanData(uint32_t fanNum, void* fanData)
{
    return Call(Op::ThermalFanData,
                [&](ChassisSource& src)
                {
                    if (!fanData)
                    {
                        return -1;
                    }
                    Fan f;
                    int32_t rc = src.GetFan(fanNum, &f);
                    if (rc != 0)
                    {
                        return rc;
                    }
                    detail::FillFanRecord(static_cast<unsigned char*>(fanData), f, f.health);
                    return 0;
                });
}

int32_t SourceSensorData(void* entries, uint8_t* pCount, uint8_t* sensorNums)
{
    return Call(Op::ThermalSensorData,
                [&](ChassisSource& src)
                {
                    if (!entries || !pCount)
                    {
                        return -1;
                    }
                    TempEntry chassis;
                    std::vector<TempEntry> extra;
                    int32_t rc = src.GetTemperatures(&chassis, &extra);
                    if (rc != 0)
                    {
                        return rc;
                    }
                    *pCount = detail::FillTempEntries(static_cast<unsigned char*>(entries), chassis, extra,
                                                      sensorNums);
                    return 0;
                });
}

int32_t SourceStash(void* records, uint8_t* pCount)
{
    return Call(Op::StashTemp,
                [&](ChassisSource& src)
                {
                    if (!records || !pCount)
                    {
                        return -1;
                    }
                    std::vector<StashRecord> stash;
                    int32_t rc = src.GetStash(&stash);
                    if (rc != 0)
                    {
                        return rc;
                    }
                    *pCount = detail::FillStashRecords(static_cast<unsigned char*>(records), stash);
                    return 0;
                });
}

int32_t SourcePsuPresence(uint32_t bay, uint32_t* pPresence)
{
    return Call(Op::PsuPresence,
                [&](ChassisSource& src) { return pPresence ? src.GetPsuPresence(bay, pPresence) : -1; });
}

int32_t SourcePsuState(uint32_t bay, uint32_t* pState)
{
    return Call(Op::PsuState, [&](ChassisSource& src) { return pState ? src.GetPsuState(bay, pState) : -1; });
}

int32_t SourcePsuAlert(uint32_t bay, uint32_t* pAlert)
{
    return Call(Op::PsuAlert, [&](ChassisSource& src) { return pAlert ? src.GetPsuAlert(bay, pAlert) : -1; });
}

int32_t SourcePsuRawFru(uint32_t bay, uint8_t* buf, uint32_t bufSize)
{
    return Call(Op::PsuRawFru,
                [&](ChassisSource& src)
                {
                    if (!buf)
                    {
                        return -1;
                    }
                    std::vector<uint8_t> fru;
                    int32_t rc = src.GetPsuFru(bay, &fru);
                    if (rc != 0)
                    {
                        return rc;
                    }
                    size_t n = std::min<size_t>(bufSize, kMaxFru);
                    size_t copy = std::min(n, fru.size());
                    if (copy > 0)
                    {
                        std::memcpy(buf, fru.data(), copy);
                    }
                    std::memset(buf + copy, 0, n - copy);
                    return 0;
                });
}

int32_t SourceRedundancyConfig(uint32_t* pConfig)
{
    return Call(Op::PsuRedundancy,
                [&](ChassisSource& src)
                {
                    uint32_t state = 0;
                    return pConfig ? src.GetRedundancy(pConfig, &state) : -1;
                });
}

int32_t SourceRedundancyState(uint32_t* pState)
{
    return Call(Op::PsuRedundancyState,
                [&](ChassisSource& src)
                {
                    uint32_t config = 0;
                    return pState ? src.GetRedundancy(&config, pState) : -1;
                });
}
} // namespace detail

} // namespace ktzplat
