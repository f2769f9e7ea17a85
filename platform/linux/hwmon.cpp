// hwmon through libsensors: scans, labels and reads.
#include "hwmon.h"

#include <cstdio>
#include <cstdlib>
#include <sensors/error.h>
#include <sensors/sensors.h>
#include <stdexcept>
#include <unistd.h>

namespace ktzlinux
{
namespace
{
ChannelKind KindOf(sensors_feature_type t)
{
    switch (t)
    {
    case SENSORS_FEATURE_FAN: return ChannelKind::Fan;
    case SENSORS_FEATURE_TEMP: return ChannelKind::Temp;
    case SENSORS_FEATURE_IN: return ChannelKind::Voltage;
    case SENSORS_FEATURE_CURR: return ChannelKind::Current;
    case SENSORS_FEATURE_POWER: return ChannelKind::Power;
    default: return ChannelKind::Other;
    }
}

std::string ChipName(const sensors_chip_name* c)
{
    char buf[256];
    if (sensors_snprintf_chip_name(buf, sizeof buf, c) < 0)
    {
        return c->prefix ? c->prefix : "";
    }
    return buf;
}

// The detected chip whose name is `id`, under the caller's lock.
const sensors_chip_name* FindChip(const std::string& id)
{
    int nr = 0;
    while (const sensors_chip_name* c = sensors_get_detected_chips(nullptr, &nr))
    {
        if (ChipName(c) == id)
        {
            return c;
        }
    }
    return nullptr;
}
} // namespace

bool Channel::Has(const std::string& suffix) const
{
    const std::string name = feature + "_" + suffix;
    for (const std::string& s : subfeatures)
    {
        if (s == name)
        {
            return true;
        }
    }
    return false;
}

Hwmon::Hwmon(std::string sensorsConf) : conf_(std::move(sensorsConf))
{
    Rescan();
}

Hwmon::~Hwmon()
{
    std::lock_guard<std::mutex> lk(mu_);
    if (initialised_)
    {
        sensors_cleanup();
    }
}

void Hwmon::Init()
{
    if (initialised_)
    {
        sensors_cleanup();
        initialised_ = false;
    }
    FILE* f = nullptr;
    if (!conf_.empty())
    {
        f = std::fopen(conf_.c_str(), "r");
        if (!f)
        {
            throw std::runtime_error(conf_ + ": cannot be read");
        }
    }
    int rc = sensors_init(f);
    if (f)
    {
        (void)std::fclose(f);
    }
    if (rc != 0)
    {
        throw std::runtime_error(std::string("libsensors: ") + sensors_strerror(rc));
    }
    initialised_ = true;
}

void Hwmon::Rescan()
{
    std::lock_guard<std::mutex> lk(mu_);
    Init();
    std::vector<Chip> chips;
    int nr = 0;
    while (const sensors_chip_name* c = sensors_get_detected_chips(nullptr, &nr))
    {
        Chip chip;
        chip.id = ChipName(c);
        chip.prefix = c->prefix ? c->prefix : "";
        chip.path = c->path ? c->path : "";
        int fnr = 0;
        while (const sensors_feature* f = sensors_get_features(c, &fnr))
        {
            Channel ch;
            ch.kind = KindOf(f->type);
            ch.feature = f->name;
            char* label = sensors_get_label(c, f);
            ch.label = label ? label : f->name;
            std::free(label);
            int snr = 0;
            while (const sensors_subfeature* sf = sensors_get_all_subfeatures(c, f, &snr))
            {
                ch.subfeatures.emplace_back(sf->name);
            }
            chip.channels.push_back(std::move(ch));
        }
        chips.push_back(std::move(chip));
    }
    chips_ = std::move(chips);
}

std::vector<Chip> Hwmon::Chips() const
{
    std::lock_guard<std::mutex> lk(mu_);
    return chips_;
}

bool Hwmon::HasChip(const std::string& id) const
{
    std::lock_guard<std::mutex> lk(mu_);
    for (const Chip& c : chips_)
    {
        if (c.id == id)
        {
            return true;
        }
    }
    return false;
}

bool Hwmon::ChipPresent(const std::string& id) const
{
    std::lock_guard<std::mutex> lk(mu_);
    for (const Chip& c : chips_)
    {
        if (c.id == id)
        {
            return ::access((c.path + "/name").c_str(), R_OK) == 0;
        }
    }
    return false;
}

std::optional<double> Hwmon::Read(const std::string& chip, const std::string& subfeature) const
{
    std::lock_guard<std::mutex> lk(mu_);
    if (!initialised_)
    {
        return std::nullopt;
    }
    const sensors_chip_name* c = FindChip(chip);
    if (!c)
    {
        return std::nullopt;
    }
    int fnr = 0;
    while (const sensors_feature* f = sensors_get_features(c, &fnr))
    {
        int snr = 0;
        while (const sensors_subfeature* sf = sensors_get_all_subfeatures(c, f, &snr))
        {
            if (subfeature == sf->name)
            {
                double v = 0;
                if (sensors_get_value(c, sf->number, &v) != 0)
                {
                    return std::nullopt;
                }
                return v;
            }
        }
    }
    return std::nullopt;
}

} // namespace ktzlinux
