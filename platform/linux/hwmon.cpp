// hwmon through libsensors: scans, labels and reads.
#include "hwmon.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fstream>
#include <sensors/error.h>
#include <sensors/sensors.h>
#include <sstream>
#include <stdexcept>
#include <sys/stat.h>
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

// libsensors reports a configuration error through a global hook; Init
// collects it (under the Hwmon lock, one Init at a time) for its exception.
std::string* g_parseError = nullptr;

void CollectParseError(const char* err, const char* /*filename*/, int lineno)
{
    // The first error names the line; the rest follow from it.
    if (g_parseError != nullptr && g_parseError->empty())
    {
        *g_parseError = "line " + std::to_string(lineno) + ": " + (err ? err : "error");
    }
}

bool ReadFile(const std::string& path, std::string* text)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
    {
        return false;
    }
    std::ostringstream ss;
    ss << in.rdbuf();
    *text = ss.str();
    return !in.bad();
}

// The configuration text: the named file, or what libsensors reads by
// default: /etc/sensors3.conf (else /etc/sensors.conf), then the regular
// files of /etc/sensors.d whose names do not start with a dot, in name
// order. libsensors keeps its parser state from one file to the next, so one
// text with the files in that order loads the same.
std::string LoadText(const std::string& conf)
{
    std::string text;
    if (!conf.empty())
    {
        if (!ReadFile(conf, &text))
        {
            throw std::runtime_error(conf + ": cannot be read");
        }
        return text;
    }
    for (const char* f : {"/etc/sensors3.conf", "/etc/sensors.conf"})
    {
        if (ReadFile(f, &text))
        {
            text += "\n";
            break;
        }
    }
    std::vector<std::string> names;
    if (DIR* d = ::opendir("/etc/sensors.d"))
    {
        while (const dirent* e = ::readdir(d))
        {
            struct stat st
            {
            };
            const std::string path = std::string("/etc/sensors.d/") + e->d_name;
            if (e->d_name[0] != '.' && ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode))
            {
                names.push_back(path);
            }
        }
        ::closedir(d);
    }
    std::sort(names.begin(), names.end());
    for (const std::string& n : names)
    {
        std::string part;
        if (ReadFile(n, &part))
        {
            text += part + "\n";
        }
    }
    return text;
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
    std::lock_guard<std::mutex> lk(mu_);
    text_ = LoadText(conf_);
    Init(text_);
    Scan();
}

Hwmon::~Hwmon()
{
    std::lock_guard<std::mutex> lk(mu_);
    if (initialised_)
    {
        sensors_cleanup();
    }
}

void Hwmon::Init(const std::string& text)
{
    if (initialised_)
    {
        sensors_cleanup();
        initialised_ = false;
    }
    // An empty text still goes through a stream: a null stream would make
    // libsensors read the system's files itself.
    FILE* f =
        ::fmemopen(const_cast<char*>(text.empty() ? "\n" : text.data()), text.empty() ? 1 : text.size(), "r");
    if (!f)
    {
        throw std::runtime_error("libsensors: cannot open the configuration text");
    }
    std::string parseError;
    g_parseError = &parseError;
    auto* const previousHook = sensors_parse_error_wfn;
    sensors_parse_error_wfn = &CollectParseError;
    int rc = sensors_init(f);
    sensors_parse_error_wfn = previousHook;
    g_parseError = nullptr;
    (void)std::fclose(f);
    // libsensors skips a line it cannot parse and carries on; a typo would
    // then silently drop a label, an ignore or a computation, so any error
    // it reports refuses the configuration.
    if (rc == 0 && !parseError.empty())
    {
        sensors_cleanup();
        rc = -SENSORS_ERR_PARSE;
    }
    if (rc != 0)
    {
        const std::string where = conf_.empty() ? "the system's sensors configuration" : conf_;
        throw std::runtime_error("libsensors: " + where + ": " +
                                 (parseError.empty() ? std::string(sensors_strerror(rc)) : parseError));
    }
    initialised_ = true;
}

void Hwmon::Rescan()
{
    std::lock_guard<std::mutex> lk(mu_);
    Init(text_);
    Scan();
}

void Hwmon::Reload(const std::string& sensorsConf)
{
    std::lock_guard<std::mutex> lk(mu_);
    const std::string previousConf = conf_;
    std::string text;
    try
    {
        conf_ = sensorsConf;
        text = LoadText(conf_);
        Init(text);
    }
    catch (const std::exception& e)
    {
        // Back to the configuration in force, which loaded before.
        const std::string why = e.what();
        conf_ = previousConf;
        Init(text_);
        Scan();
        throw std::runtime_error(why + "; the previous configuration stays in force");
    }
    text_ = std::move(text);
    Scan();
}

std::string Hwmon::ConfigFile() const
{
    std::lock_guard<std::mutex> lk(mu_);
    return conf_;
}

void Hwmon::Scan()
{
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
