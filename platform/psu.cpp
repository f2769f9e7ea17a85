// Power-supply service: the simulated bays and redundancy values, and the
// presence, state, alert, raw FRU and redundancy calls.
#include "chassis_source.h"
#include "internal.h"

#include <algorithm>
#include <cstring>
#include <map>

namespace ktzplat
{
namespace
{
constexpr size_t kMaxFru = 256;

struct PsuState
{
    std::mutex mu;
    std::map<uint32_t, PsuBay> bays;
    uint32_t redundancyConfig = 0;
    uint32_t redundancyState = 0;
};

PsuState& P()
{
    static PsuState* s = new PsuState;
    return *s;
}

// One per-bay word: the injected fault first, then the bay's own failure
// result, else its value. Bays never set answer with a default bay.
int32_t BayCall(Op op, uint32_t bay, uint32_t* out, int32_t PsuBay::*result, uint32_t PsuBay::*value)
{
    int32_t rc = -1;
    if (detail::FaultHit(op, &rc))
    {
        return rc;
    }
    if (!out)
    {
        return -1;
    }
    PsuState& s = P();
    std::lock_guard<std::mutex> lk(s.mu);
    // Read in place: a copy would copy the bay's FRU bytes on every call.
    static const PsuBay kUnset{};
    auto it = s.bays.find(bay);
    const PsuBay& b = it == s.bays.end() ? kUnset : it->second;
    if (b.*result != 0)
    {
        return b.*result;
    }
    *out = b.*value;
    return 0;
}
} // namespace

namespace detail
{
void ResetPsu()
{
    PsuState& s = P();
    std::lock_guard<std::mutex> lk(s.mu);
    s.bays.clear();
    s.redundancyConfig = 0;
    s.redundancyState = 0;
}
} // namespace detail

void SetPsuBay(uint32_t bay, const PsuBay& psu)
{
    PsuState& s = P();
    std::lock_guard<std::mutex> lk(s.mu);
    s.bays[bay] = psu;
}

PsuBay GetPsuBay(uint32_t bay)
{
    PsuState& s = P();
    std::lock_guard<std::mutex> lk(s.mu);
    auto it = s.bays.find(bay);
    return it == s.bays.end() ? PsuBay{} : it->second;
}

void SetRedundancy(uint32_t config, uint32_t state)
{
    PsuState& s = P();
    std::lock_guard<std::mutex> lk(s.mu);
    s.redundancyConfig = config;
    s.redundancyState = state;
}

} // namespace ktzplat

using namespace ktzplat;

extern "C" int32_t mms_psu_presence_get(uint32_t bay, uint32_t* pPresence)
{
    if (detail::ChassisSourceInstalled())
    {
        return detail::SourcePsuPresence(bay, pPresence);
    }
    return BayCall(Op::PsuPresence, bay, pPresence, &PsuBay::presenceResult, &PsuBay::presence);
}

extern "C" int32_t mms_psu_state_get(uint32_t bay, uint32_t* pState)
{
    if (detail::ChassisSourceInstalled())
    {
        return detail::SourcePsuState(bay, pState);
    }
    return BayCall(Op::PsuState, bay, pState, &PsuBay::stateResult, &PsuBay::state);
}

extern "C" int32_t mms_psu_health_alert_state_get(uint32_t bay, uint32_t* pAlert)
{
    if (detail::ChassisSourceInstalled())
    {
        return detail::SourcePsuAlert(bay, pAlert);
    }
    return BayCall(Op::PsuAlert, bay, pAlert, &PsuBay::alertResult, &PsuBay::alert);
}

extern "C" int32_t mms_psu_raw_fru_get(uint32_t bay, uint8_t* buf, uint32_t bufSize)
{
    if (detail::ChassisSourceInstalled())
    {
        return detail::SourcePsuRawFru(bay, buf, bufSize);
    }
    int32_t rc = -1;
    if (detail::FaultHit(Op::PsuRawFru, &rc))
    {
        return rc;
    }
    if (!buf)
    {
        return -1;
    }
    PsuState& s = P();
    std::lock_guard<std::mutex> lk(s.mu);
    auto it = s.bays.find(bay);
    if (it == s.bays.end() || !it->second.fruReadable)
    {
        return -1;
    }
    const std::vector<uint8_t>& fru = it->second.fru;
    size_t n = std::min<size_t>(bufSize, kMaxFru);
    size_t copy = std::min(n, fru.size());
    if (copy > 0)
    {
        std::memcpy(buf, fru.data(), copy);
    }
    std::memset(buf + copy, 0, n - copy);
    return 0;
}

extern "C" int32_t mms_psu_redundancy_get(uint32_t* pConfig)
{
    if (detail::ChassisSourceInstalled())
    {
        return detail::SourceRedundancyConfig(pConfig);
    }
    int32_t rc = -1;
    if (detail::FaultHit(Op::PsuRedundancy, &rc))
    {
        return rc;
    }
    if (!pConfig)
    {
        return -1;
    }
    PsuState& s = P();
    std::lock_guard<std::mutex> lk(s.mu);
    *pConfig = s.redundancyConfig;
    return 0;
}

extern "C" int32_t psu_redundancy_state_get(uint32_t* pState)
{
    if (detail::ChassisSourceInstalled())
    {
        return detail::SourceRedundancyState(pState);
    }
    int32_t rc = -1;
    if (detail::FaultHit(Op::PsuRedundancyState, &rc))
    {
        return rc;
    }
    if (!pState)
    {
        return -1;
    }
    PsuState& s = P();
    std::lock_guard<std::mutex> lk(s.mu);
    *pState = s.redundancyState;
    return 0;
}
