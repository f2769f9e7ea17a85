// Reading the Linux chassis source's TOML configuration, with a default for
// every key and an error for every key it does not know.
#include "config.h"

#include <fstream>
#include <set>
#include <sstream>
#include <stdexcept>
#include <toml++/toml.h>

namespace ktzlinux
{
namespace
{
[[noreturn]] void Fail(const std::string& source, const toml::source_region& where, const std::string& what)
{
    std::ostringstream os;
    os << source << ":" << where.begin.line << ": " << what;
    throw std::runtime_error(os.str());
}

void CheckKeys(const std::string& source, const toml::table& t, const std::set<std::string>& known,
               const std::string& prefix)
{
    for (const auto& [k, v] : t)
    {
        if (known.count(std::string(k.str())) == 0)
        {
            Fail(source, v.source(), "unknown key '" + prefix + std::string(k.str()) + "'");
        }
    }
}

uint32_t UInt(const std::string& source, const toml::table& t, const char* key, uint32_t def, uint32_t lo,
              uint32_t hi)
{
    const toml::node* n = t.get(key);
    if (!n)
    {
        return def;
    }
    auto v = n->value<int64_t>();
    if (!v || *v < lo || *v > hi)
    {
        Fail(source, n->source(),
             std::string(key) + " must be an integer from " + std::to_string(lo) + " to " +
                 std::to_string(hi));
    }
    return static_cast<uint32_t>(*v);
}

std::string Text(const std::string& source, const toml::table& t, const char* key, const std::string& def)
{
    const toml::node* n = t.get(key);
    if (!n)
    {
        return def;
    }
    auto v = n->value<std::string>();
    if (!v)
    {
        Fail(source, n->source(), std::string(key) + " must be a string");
    }
    return *v;
}

std::vector<std::string> Texts(const std::string& source, const toml::table& t, const char* key, bool* set)
{
    std::vector<std::string> out;
    const toml::node* n = t.get(key);
    if (!n)
    {
        return out;
    }
    const toml::array* a = n->as_array();
    if (!a)
    {
        Fail(source, n->source(), std::string(key) + " must be an array of strings");
    }
    for (const toml::node& e : *a)
    {
        auto v = e.value<std::string>();
        if (!v)
        {
            Fail(source, e.source(), std::string(key) + " must be an array of strings");
        }
        out.push_back(*v);
    }
    if (set)
    {
        *set = true;
    }
    return out;
}

const toml::table* Section(const std::string& source, const toml::table& root, const char* name)
{
    const toml::node* n = root.get(name);
    if (!n)
    {
        return nullptr;
    }
    if (!n->is_table())
    {
        Fail(source, n->source(), std::string(name) + " must be a table");
    }
    return n->as_table();
}
} // namespace

LinuxConfig ParseConfig(const std::string& text, const std::string& source)
{
    toml::table root;
    try
    {
        root = toml::parse(text, source);
    }
    catch (const toml::parse_error& e)
    {
        Fail(source, e.source(), std::string(e.description()));
    }
    LinuxConfig c;
    CheckKeys(source, root,
              {"ktz_setting", "sensors_conf", "poll_interval_ms", "fans", "temperatures", "power"}, "");
    if (root.get("ktz_setting"))
    {
        c.ktzSetting = UInt(source, root, "ktz_setting", 0, 0, 0xFFFFFFFFu);
    }
    c.sensorsConf = Text(source, root, "sensors_conf", c.sensorsConf);
    c.pollIntervalMs = UInt(source, root, "poll_interval_ms", c.pollIntervalMs, 100, 3600000);

    if (const toml::table* f = Section(source, root, "fans"))
    {
        CheckKeys(source, *f, {"lnc_margin_percent", "ignore"}, "fans.");
        c.fanLncMarginPercent = UInt(source, *f, "lnc_margin_percent", c.fanLncMarginPercent, 0, 1000);
        c.fanIgnore = Texts(source, *f, "ignore", nullptr);
    }
    if (const toml::table* t = Section(source, root, "temperatures"))
    {
        CheckKeys(source, *t, {"chassis", "extra"}, "temperatures.");
        c.chassisTemp = Text(source, *t, "chassis", c.chassisTemp);
        c.extraTemps = Texts(source, *t, "extra", &c.extraTempsSet);
        if (c.extraTemps.size() > 7)
        {
            Fail(source, t->get("extra")->source(), "temperatures.extra names at most 7 temperatures");
        }
    }
    if (const toml::table* p = Section(source, root, "power"))
    {
        CheckKeys(source, *p, {"bays", "redundancy", "supplies_needed", "drivers", "supply"}, "power.");
        c.bays = UInt(source, *p, "bays", c.bays, 0, 254);
        c.suppliesNeeded = UInt(source, *p, "supplies_needed", c.suppliesNeeded, 1, 254);
        bool driversSet = false;
        std::vector<std::string> drivers = Texts(source, *p, "drivers", &driversSet);
        if (driversSet)
        {
            c.supplyDrivers = drivers;
        }
        std::string policy = Text(source, *p, "redundancy", "n+1");
        if (policy == "none")
        {
            c.redundancy = RedundancyPolicy::None;
        }
        else if (policy == "n+1" || policy == "N+1")
        {
            c.redundancy = RedundancyPolicy::NPlus1;
        }
        else if (policy == "n+n" || policy == "N+N")
        {
            c.redundancy = RedundancyPolicy::NPlusN;
        }
        else
        {
            Fail(source, p->get("redundancy")->source(),
                 "power.redundancy must be \"none\", \"n+1\" or \"n+n\"");
        }
        if (const toml::node* s = p->get("supply"))
        {
            const toml::array* a = s->as_array();
            if (!a)
            {
                Fail(source, s->source(), "power.supply must be an array of tables ([[power.supply]])");
            }
            for (const toml::node& e : *a)
            {
                const toml::table* st = e.as_table();
                if (!st)
                {
                    Fail(source, e.source(), "power.supply must be an array of tables ([[power.supply]])");
                }
                CheckKeys(source, *st, {"chip", "eeprom", "presence"}, "power.supply.");
                SupplyConfig sc;
                sc.chip = Text(source, *st, "chip", "");
                if (sc.chip.empty())
                {
                    Fail(source, st->source(), "power.supply needs a chip");
                }
                sc.eeprom = Text(source, *st, "eeprom", "");
                sc.presence = Text(source, *st, "presence", "");
                c.supplies.push_back(sc);
            }
        }
    }
    return c;
}

LinuxConfig LoadConfig(const std::string& path)
{
    if (path.empty())
    {
        return LinuxConfig{};
    }
    std::ifstream in(path);
    if (!in)
    {
        throw std::runtime_error(path + ": cannot be read");
    }
    std::stringstream ss;
    ss << in.rdbuf();
    return ParseConfig(ss.str(), path);
}

} // namespace ktzlinux
