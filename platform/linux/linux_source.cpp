// Mapping hwmon channels to the platform's fans, temperatures, power-supply
// bays and redundancy.
#include "linux_source.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstring>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace ktzlinux
{
namespace
{
// Whether `pattern` names the channel: its label, its chip's name or driver
// name, or "chip/feature".
bool Matches(const std::string& pattern, const Chip& chip, const Channel& ch)
{
    return pattern == ch.label || pattern == chip.id || pattern == chip.prefix ||
           pattern == chip.id + "/" + ch.feature || pattern == chip.prefix + "/" + ch.feature;
}

bool IsSupplyChip(const LinuxConfig& c, const Chip& chip)
{
    for (const SupplyConfig& s : c.supplies)
    {
        if (s.chip == chip.id)
        {
            return true;
        }
    }
    // hwmon driver names use underscores where chip prefixes may use dashes.
    std::string prefix = chip.prefix;
    std::replace(prefix.begin(), prefix.end(), '-', '_');
    return std::find(c.supplyDrivers.begin(), c.supplyDrivers.end(), prefix) != c.supplyDrivers.end();
}

bool EndsWith(const std::string& s, const std::string& suffix)
{
    return s.size() >= suffix.size() && s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}

uint32_t Rpm(double v)
{
    if (!(v > 0))
    {
        return 0;
    }
    return v >= 4294967295.0 ? 0xFFFFFFFEu : static_cast<uint32_t>(std::lround(v));
}

int8_t Celsius(double v)
{
    long r = std::lround(std::clamp(v, -128.0, 127.0));
    return static_cast<int8_t>(r);
}

bool LooksLikeChassis(std::string label)
{
    std::transform(label.begin(), label.end(), label.begin(),
                   [](unsigned char c) { return std::tolower(c); });
    for (const char* word : {"sys", "ambient", "inlet", "board", "chassis"})
    {
        if (label.find(word) != std::string::npos)
        {
            return true;
        }
    }
    return false;
}

} // namespace

LinuxSource::LinuxSource(const LinuxConfig& config)
    : config_(config), hwmon_(config.sensorsConf), lncMarginPercent_(config.fanLncMarginPercent),
      redundancy_(config.redundancy), suppliesNeeded_(config.suppliesNeeded)
{
    // Chip name order, so that the numbering does not follow the order in
    // which the kernel happened to register the chips.
    std::vector<Chip> chips = hwmon_.Chips();
    std::sort(chips.begin(), chips.end(), [](const Chip& a, const Chip& b) { return a.id < b.id; });
    std::vector<Slot> temps;
    for (const Chip& chip : chips)
    {
        const bool supply = IsSupplyChip(config_, chip);
        for (const Channel& ch : chip.channels)
        {
            if (!ch.Has("input"))
            {
                continue;
            }
            if (ch.kind == ChannelKind::Fan && !supply &&
                std::none_of(config_.fanIgnore.begin(), config_.fanIgnore.end(),
                             [&](const std::string& p) { return Matches(p, chip, ch); }))
            {
                fans_.push_back(Slot{chip.id, ch.feature, ch.label});
            }
            if (ch.kind == ChannelKind::Temp)
            {
                temps.push_back(Slot{chip.id, ch.feature, ch.label});
            }
        }
    }

    // Temperatures: the chassis one first, then the further ones, each taken
    // once, by the configured names or else in scan order off the supplies.
    auto find = [&](const std::string& pattern, bool supplyToo) -> const Slot*
    {
        for (const Chip& chip : chips)
        {
            if (!supplyToo && IsSupplyChip(config_, chip))
            {
                continue;
            }
            for (const Channel& ch : chip.channels)
            {
                if (ch.kind != ChannelKind::Temp || !ch.Has("input") ||
                    (!pattern.empty() && !Matches(pattern, chip, ch)))
                {
                    continue;
                }
                bool taken =
                    std::any_of(temps_.begin(), temps_.end(),
                                [&](const Slot& s) { return s.chip == chip.id && s.feature == ch.feature; });
                if (!taken)
                {
                    for (const Slot& s : temps)
                    {
                        if (s.chip == chip.id && s.feature == ch.feature)
                        {
                            return &s;
                        }
                    }
                }
            }
        }
        return nullptr;
    };
    const Slot* chassis = nullptr;
    if (config_.chassisTemp.empty())
    {
        // By default the chassis temperature is the first one whose label
        // says it measures the board or the air, else the first one found.
        for (const Slot& s : temps)
        {
            if (LooksLikeChassis(s.label) &&
                std::none_of(chips.begin(), chips.end(),
                             [&](const Chip& c) { return c.id == s.chip && IsSupplyChip(config_, c); }))
            {
                chassis = &s;
                break;
            }
        }
    }
    if (!chassis)
    {
        chassis = find(config_.chassisTemp, !config_.chassisTemp.empty());
    }
    if (chassis)
    {
        temps_.push_back(*chassis);
    }
    else if (!config_.chassisTemp.empty())
    {
        throw std::runtime_error("temperatures.chassis '" + config_.chassisTemp + "' names no temperature");
    }
    if (!temps_.empty())
    {
        if (config_.extraTempsSet)
        {
            for (const std::string& p : config_.extraTemps)
            {
                // A chip name takes all of the chip's temperatures.
                while (temps_.size() < 8)
                {
                    const Slot* s = find(p, true);
                    if (!s)
                    {
                        break;
                    }
                    temps_.push_back(*s);
                }
            }
        }
        else
        {
            while (temps_.size() < 8)
            {
                const Slot* s = find("", false);
                if (!s)
                {
                    break;
                }
                temps_.push_back(*s);
            }
        }
    }

    // Bays: the configured supplies first, then the supply chips found.
    for (const SupplyConfig& s : config_.supplies)
    {
        bays_.push_back(Bay{s, ""});
    }
    std::vector<std::string> found;
    for (const Chip& chip : chips)
    {
        bool listed =
            std::any_of(bays_.begin(), bays_.end(), [&](const Bay& b) { return b.config.chip == chip.id; });
        if (!listed && IsSupplyChip(config_, chip))
        {
            found.push_back(chip.id);
        }
    }
    std::sort(found.begin(), found.end());
    for (const std::string& id : found)
    {
        SupplyConfig sc;
        sc.chip = id;
        bays_.push_back(Bay{sc, ""});
    }
    if (config_.bays > 0 && bays_.size() > config_.bays)
    {
        bays_.resize(config_.bays);
    }
    for (size_t i = 0; i < bays_.size(); ++i)
    {
        bays_[i].name = "PS-" + std::to_string(i + 1);
    }
}

void LinuxSource::Describe(unsigned char* record, size_t size)
{
    auto put = [&](size_t off, uint32_t v)
    {
        if (off + 4 <= size)
        {
            std::memcpy(record + off, &v, sizeof v);
        }
    };
    put(0, kLinuxPlatformId);
    uint32_t bays = config_.bays > 0 ? config_.bays : static_cast<uint32_t>(bays_.size());
    if (ImpliedSupply())
    {
        bays = 1; // the machine's own power input
    }
    put(28, bays);
    put(52, static_cast<uint32_t>(fans_.size()));
    put(56, 0);
    // The stash is asked for the further temperatures only when all three of
    // these say so; the chassis log proxy bit lets the module forward the
    // source's chassis log events.
    const bool stash = temps_.size() > 1;
    put(92, stash ? 1 : 0);
    put(184, stash ? 0x10 : 0);
    put(196, 0x4u | (stash ? 0x1u : 0u));
}

std::optional<double> LinuxSource::Value(const Slot& s, const char* suffix) const
{
    return hwmon_.Read(s.chip, s.feature + "_" + suffix);
}

int32_t LinuxSource::GetFan(uint32_t fanNum, ktzplat::Fan* fan)
{
    if (fans_.empty() && fanNum == 1)
    {
        // No fan at all: the module asks for fan 1 before it reads the fan
        // count (0), so it is answered as a fan that is not there rather
        // than as a failing read, logged at every pass.
        *fan = ktzplat::Fan{};
        return 0;
    }
    if (fanNum == 0 || fanNum > fans_.size())
    {
        return -1;
    }
    const Slot& s = fans_[fanNum - 1];
    ktzplat::Fan f;
    f.name1 = s.label;
    f.sensorCount = 1;
    const uint32_t min = Rpm(Value(s, "min").value_or(0));
    f.lcThreshold = min;
    f.lncThreshold = min + static_cast<uint32_t>(uint64_t{min} * lncMarginPercent_.load() / 100);
    std::optional<double> input = Value(s, "input");
    if (!input)
    {
        // Gone (driver unloaded, device removed, read failing): not present,
        // health unknown, no reading.
        f.presence = 0;
        f.health = 0;
        f.reading1 = 0;
        *fan = f;
        return 0;
    }
    f.presence = 1;
    f.reading1 = Rpm(*input);
    const bool alarm = Value(s, "alarm").value_or(0) != 0 || Value(s, "fault").value_or(0) != 0;
    if (alarm || (min > 0 && f.reading1 < min))
    {
        f.health = 2; // critical
    }
    else if (f.lncThreshold > 0 && f.reading1 <= f.lncThreshold)
    {
        f.health = 3; // non-critical
    }
    else
    {
        f.health = 1;
    }
    *fan = f;
    return 0;
}

ktzplat::TempEntry LinuxSource::ReadTemp(const Slot& s) const
{
    ktzplat::TempEntry t;
    t.name = s.label;
    std::optional<double> input = Value(s, "input");
    if (!input)
    {
        t.health = kTempUnreadable;
        return t;
    }
    t.reading = Celsius(*input);
    std::optional<double> max = Value(s, "max");
    std::optional<double> crit = Value(s, "crit");
    const bool critical = Value(s, "crit_alarm").value_or(0) != 0 || (crit && *crit > 0 && *input >= *crit);
    const bool warning = Value(s, "max_alarm").value_or(0) != 0 || (max && *max > 0 && *input >= *max);
    t.health = critical ? 2 : warning ? 1 : 0;
    return t;
}

int32_t LinuxSource::GetTemperatures(ktzplat::TempEntry* chassis, std::vector<ktzplat::TempEntry>* extra)
{
    if (temps_.empty())
    {
        // No temperature at all: the module always reports a chassis
        // temperature, so it is one whose health is unknown (clients:
        // status unknown), not a read that fails at every pass.
        *chassis = ktzplat::TempEntry{};
        chassis->name = kNoTemperatureName;
        chassis->health = kTempUnreadable;
        extra->clear();
        return 0;
    }
    *chassis = ReadTemp(temps_[0]);
    extra->clear();
    for (size_t i = 1; i < temps_.size(); ++i)
    {
        extra->push_back(ReadTemp(temps_[i]));
    }
    return 0;
}

int32_t LinuxSource::GetStash(std::vector<ktzplat::StashRecord>* records)
{
    records->clear();
    for (size_t i = 1; i < temps_.size(); ++i)
    {
        ktzplat::TempEntry t = ReadTemp(temps_[i]);
        ktzplat::StashRecord r;
        // The module numbers a stash sensor (a - 2) * 2 + b: sensor i + 1.
        r.a = 2;
        r.b = static_cast<uint8_t>(i + 1);
        r.reading = t.reading;
        r.name = t.name;
        records->push_back(r);
    }
    return 0;
}

void LinuxSource::Alarms(std::map<std::string, AlarmState>* out) const
{
    // One channel's alarm files, and the alarms its thresholds imply where
    // the chip has no file for them.
    auto channel = [&](AlarmCategory cat, uint16_t index, const std::string& label, const Slot& s)
    {
        auto put = [&](const std::string& attr, bool critical, bool asserted)
        {
            AlarmState a{cat, index, critical, label, s.chip, attr, asserted};
            (*out)[s.chip + "/" + attr] = a;
        };
        std::optional<double> input = Value(s, "input");
        if (!input)
        {
            return; // unreadable: its alarms keep their state
        }
        if (cat == AlarmCategory::Fan)
        {
            std::optional<double> alarm = Value(s, "alarm");
            std::optional<double> min = Value(s, "min");
            put(s.feature + "_alarm", true, alarm ? *alarm != 0 : (min && *min > 0 && *input < *min));
            if (std::optional<double> fault = Value(s, "fault"))
            {
                put(s.feature + "_fault", true, *fault != 0);
            }
            return;
        }
        std::optional<double> maxA = Value(s, "max_alarm");
        std::optional<double> max = Value(s, "max");
        if (maxA || max)
        {
            put(s.feature + "_max_alarm", false, maxA ? *maxA != 0 : (*max > 0 && *input >= *max));
        }
        std::optional<double> critA = Value(s, "crit_alarm");
        std::optional<double> crit = Value(s, "crit");
        if (critA || crit)
        {
            put(s.feature + "_crit_alarm", true, critA ? *critA != 0 : (*crit > 0 && *input >= *crit));
        }
    };
    for (size_t i = 0; i < fans_.size(); ++i)
    {
        channel(AlarmCategory::Fan, static_cast<uint16_t>(i + 1), fans_[i].label, fans_[i]);
    }
    for (size_t i = 0; i < temps_.size(); ++i)
    {
        channel(AlarmCategory::Temperature, static_cast<uint16_t>(i + 1), temps_[i].label, temps_[i]);
    }
    const std::vector<Chip> chips = hwmon_.Chips();
    for (size_t i = 0; i < bays_.size(); ++i)
    {
        const Bay& b = bays_[i];
        const auto index = static_cast<uint16_t>(i + 1);
        const bool present = Present(b);
        (*out)[b.name + "/presence"] =
            AlarmState{AlarmCategory::Supply, index, true, b.name, b.config.chip, "presence", present};
        if (!present)
        {
            continue;
        }
        for (const Chip& chip : chips)
        {
            if (chip.id != b.config.chip)
            {
                continue;
            }
            for (const Channel& ch : chip.channels)
            {
                for (const std::string& sf : ch.subfeatures)
                {
                    if (!EndsWith(sf, "_alarm") && !EndsWith(sf, "_fault"))
                    {
                        continue;
                    }
                    if (std::optional<double> v = hwmon_.Read(chip.id, sf))
                    {
                        const bool critical = EndsWith(sf, "crit_alarm") || EndsWith(sf, "_fault");
                        (*out)[chip.id + "/" + sf] =
                            AlarmState{AlarmCategory::Supply, index, critical, b.name, chip.id, sf, *v != 0};
                    }
                }
            }
        }
    }
}

std::vector<ktzplat::ChassisLogEvent> LinuxSource::Poll()
{
    std::lock_guard<std::mutex> lk(pollMu_);
    hwmon_.Rescan();
    std::map<std::string, AlarmState> alarms;
    Alarms(&alarms);
    return tracker_.Update(alarms);
}

std::vector<std::string> LinuxSource::Inventory() const
{
    std::vector<std::string> out;
    for (size_t i = 0; i < fans_.size(); ++i)
    {
        out.push_back("fan " + std::to_string(i + 1) + ": " + fans_[i].chip + "/" + fans_[i].feature + " '" +
                      fans_[i].label + "'");
    }
    for (size_t i = 0; i < temps_.size(); ++i)
    {
        out.push_back("temperature " + std::to_string(i + 1) + ": " + temps_[i].chip + "/" +
                      temps_[i].feature + " '" + temps_[i].label + "'");
    }
    for (const Bay& b : bays_)
    {
        out.push_back("bay " + b.name + ": " + b.config.chip +
                      (b.config.eeprom.empty() ? "" : " eeprom " + b.config.eeprom));
    }
    if (ImpliedSupply())
    {
        out.emplace_back("bay PS-1: the machine's own power input (no power supply in hwmon)");
    }
    return out;
}

SensorCounts LinuxSource::Counts() const
{
    SensorCounts c;
    c.fans = fans_.size();
    c.temperatures = temps_.size();
    c.supplies = config_.bays > 0 ? config_.bays : bays_.size();
    c.impliedSupply = ImpliedSupply();
    std::lock_guard<std::mutex> lk(policyMu_);
    c.redundancy = !c.impliedSupply && redundancy_ != RedundancyPolicy::None;
    return c;
}

void LinuxSource::Reconfigure(const LinuxConfig& next, std::vector<std::string>* notes)
{
    // Read again even under the same name: the file's text may have changed.
    // Throws, with the old configuration kept, when it does not load.
    hwmon_.Reload(next.sensorsConf);
    lncMarginPercent_.store(next.fanLncMarginPercent);
    {
        std::lock_guard<std::mutex> lk(policyMu_);
        redundancy_ = next.redundancy;
        suppliesNeeded_ = next.suppliesNeeded;
    }
    auto note = [&](bool changed, const char* key)
    {
        if (changed)
        {
            notes->push_back(std::string(key) + " changed: it takes effect at the next start");
        }
    };
    note(next.fanIgnore != config_.fanIgnore, "fans.ignore");
    note(next.chassisTemp != config_.chassisTemp, "temperatures.chassis");
    note(next.extraTemps != config_.extraTemps || next.extraTempsSet != config_.extraTempsSet,
         "temperatures.extra");
    note(next.bays != config_.bays, "power.bays");
    note(next.supplyDrivers != config_.supplyDrivers, "power.drivers");
    bool supplies = next.supplies.size() != config_.supplies.size();
    for (size_t i = 0; !supplies && i < next.supplies.size(); ++i)
    {
        const SupplyConfig& a = next.supplies[i];
        const SupplyConfig& b = config_.supplies[i];
        supplies = a.chip != b.chip || a.eeprom != b.eeprom || a.presence != b.presence;
    }
    note(supplies, "power.supply");
}

} // namespace ktzlinux
