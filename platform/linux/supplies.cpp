// The power-supply bays of the Linux chassis and their redundancy, and the
// answer for a machine that shows no supplies at all.
//
// The module attaches its power-supply and redundancy types only once some
// bay reports a supply present, and completes a client's first picture
// (data-sync-complete) only when every type attached. A desktop, or a server
// whose supplies sit behind its management controller, has no supply in
// hwmon; yet it runs, so something supplies it. Such a machine (no supply
// named in the configuration, none found, no bay count set) is served as one
// bay holding the machine's own power input: present, sound, no alert and no
// FRU record; and its redundancy sensor reports no redundancy configured,
// whatever the policy says, since there are no supplies to count.
#include "linux_source.h"

#include <fstream>

namespace ktzlinux
{
namespace
{
bool EndsWith(const std::string& s, const std::string& suffix)
{
    return s.size() >= suffix.size() && s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// The input channel of a supply: labelled "vin" by the PMBus drivers.
bool IsSupplyInput(const Channel& ch)
{
    return ch.kind == ChannelKind::Voltage && ch.label == "vin";
}
} // namespace

bool LinuxSource::Present(const Bay& b) const
{
    if (!b.config.presence.empty())
    {
        std::ifstream in(b.config.presence);
        int v = 0;
        return static_cast<bool>(in >> v) && v != 0;
    }
    return hwmon_.ChipPresent(b.config.chip);
}

uint32_t LinuxSource::State(const Bay& b) const
{
    for (const Chip& chip : hwmon_.Chips())
    {
        if (chip.id != b.config.chip)
        {
            continue;
        }
        for (const Channel& ch : chip.channels)
        {
            if (IsSupplyInput(ch))
            {
                continue;
            }
            for (const std::string& sf : ch.subfeatures)
            {
                if ((EndsWith(sf, "_crit_alarm") || EndsWith(sf, "_lcrit_alarm") || EndsWith(sf, "_fault")) &&
                    hwmon_.Read(chip.id, sf).value_or(0) != 0)
                {
                    return kPsuStateFailed;
                }
            }
        }
    }
    return kPsuStateOk;
}

uint32_t LinuxSource::Alert(const Bay& b) const
{
    for (const Chip& chip : hwmon_.Chips())
    {
        if (chip.id != b.config.chip)
        {
            continue;
        }
        for (const Channel& ch : chip.channels)
        {
            if (!IsSupplyInput(ch))
            {
                continue;
            }
            auto set = [&](const char* suffix)
            { return hwmon_.Read(chip.id, ch.feature + suffix).value_or(0) != 0; };
            if (set("_lcrit_alarm"))
            {
                return kPsuAlertInputLost;
            }
            if (set("_min_alarm") || set("_max_alarm") || set("_crit_alarm"))
            {
                return kPsuAlertInputRange;
            }
        }
    }
    return 0;
}

int32_t LinuxSource::GetPsuPresence(uint32_t bay, uint32_t* presence)
{
    if (ImpliedSupply() && bay == 1)
    {
        *presence = 1;
        return 0;
    }
    if (bay == 0 || bay > bays_.size())
    {
        *presence = 0; // a configured bay without a supply
        return bay == 0 ? -1 : 0;
    }
    *presence = Present(bays_[bay - 1]) ? 1 : 0;
    return 0;
}

int32_t LinuxSource::GetPsuState(uint32_t bay, uint32_t* state)
{
    if (bay == 0)
    {
        return -1;
    }
    // An empty bay keeps reporting a sound state: its presence says it all
    // (the machine's own power input, standing in for absent supplies, too).
    *state = bay <= bays_.size() && Present(bays_[bay - 1]) ? State(bays_[bay - 1]) : kPsuStateOk;
    return 0;
}

int32_t LinuxSource::GetPsuAlert(uint32_t bay, uint32_t* alert)
{
    if (bay == 0)
    {
        return -1;
    }
    *alert = bay <= bays_.size() && Present(bays_[bay - 1]) ? Alert(bays_[bay - 1]) : 0;
    return 0;
}

int32_t LinuxSource::GetPsuFru(uint32_t bay, std::vector<uint8_t>* fru)
{
    if (bay == 0 || bay > bays_.size() || bays_[bay - 1].config.eeprom.empty() || !Present(bays_[bay - 1]))
    {
        return -1;
    }
    std::ifstream in(bays_[bay - 1].config.eeprom, std::ios::binary);
    if (!in)
    {
        return -1;
    }
    fru->assign(256, 0);
    in.read(reinterpret_cast<char*>(fru->data()), 256);
    if (in.gcount() <= 0)
    {
        return -1;
    }
    fru->resize(static_cast<size_t>(in.gcount()));
    return 0;
}

int32_t LinuxSource::GetRedundancy(uint32_t* config, uint32_t* state)
{
    RedundancyPolicy policy;
    uint32_t needed = 0;
    {
        std::lock_guard<std::mutex> lk(policyMu_);
        policy = redundancy_;
        needed = suppliesNeeded_;
    }
    if (ImpliedSupply())
    {
        policy = RedundancyPolicy::None; // no supplies to count
    }
    uint32_t full = needed + 1;
    switch (policy)
    {
    case RedundancyPolicy::None:
        *config = 0;
        *state = 0;
        return 0;
    case RedundancyPolicy::NPlus1: *config = 1; break;
    case RedundancyPolicy::NPlusN:
        *config = 2;
        full = 2 * needed;
        break;
    }
    uint32_t healthy = 0;
    for (const Bay& b : bays_)
    {
        healthy += Present(b) && State(b) != kPsuStateFailed && Alert(b) == 0 ? 1 : 0;
    }
    if (healthy >= full)
    {
        *state = 1; // fully redundant
    }
    else if (healthy > needed)
    {
        *state = 3; // degraded
    }
    else if (healthy == needed)
    {
        *state = 2; // redundancy lost
    }
    else
    {
        *state = 0; // not enough supplies
    }
    return 0;
}

} // namespace ktzlinux
