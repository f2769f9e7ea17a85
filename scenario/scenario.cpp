// Reading a scenario from TOML: syntax errors come from the TOML parser with
// their line; every table is read through a checker that knows its keys, so
// an unknown key (listed with the valid ones), a value of the wrong type or
// out of range, an unknown step action and a step earlier than the one
// before it are reported with the line they stand on. Beyond the syntax, the
// reader refuses what the run would drop, cut or report otherwise than the
// file says (names the platform cuts, health codes the module does not map,
// stash sensors it cannot tell apart, ...) and expectations that no run
// could decide (fields a message type lacks, sensors or clients that do not
// exist, windows outside the run); what a real chassis would do the same
// way is run, with a warning. Nothing of a scenario with an error is used.
#include "scenario.h"

#include "ktzclient_decode.h"
#include "ktzclient_fields.h"

#include <ktzmon/protocol.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <set>
#include <sstream>
#include <toml++/toml.h>

namespace ktzhost
{
namespace
{

struct Error
{
    int line;
    std::string message;
};

std::string Hex(uint32_t v)
{
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%X", v);
    return buf;
}

std::string Secs(double v)
{
    char buf[32];
    std::snprintf(buf, sizeof buf, "%g", v);
    return buf;
}

int LineOf(const toml::node& n)
{
    return static_cast<int>(n.source().begin.line);
}

const char* TypeText(const toml::node& n)
{
    switch (n.type())
    {
    case toml::node_type::table: return "a table";
    case toml::node_type::array: return "an array";
    case toml::node_type::string: return "a string";
    case toml::node_type::integer: return "an integer";
    case toml::node_type::floating_point: return "a number with a fraction";
    case toml::node_type::boolean: return "a boolean";
    default: return "a date or time";
    }
}

// Reads the keys of one table, remembering which it was asked for, so that
// Done() can name the first key nobody asked for.
class Tbl
{
  public:
    Tbl(const toml::table& t, std::string where) : t_(t), where_(std::move(where)) {}

    int Line() const { return LineOf(t_); }
    const std::string& Where() const { return where_; }
    // Asking whether a key is there makes it a key of this table.
    bool Has(const std::string& key)
    {
        Know(key);
        return t_.contains(key);
    }

    const toml::node* Node(const std::string& key)
    {
        Know(key);
        return t_.get(key);
    }

    [[noreturn]] void Fail(const toml::node& n, const std::string& key, const std::string& what) const
    {
        throw Error{LineOf(n), where_ + "." + key + ": " + what};
    }

    std::optional<int64_t> Int(const std::string& key, int64_t lo, int64_t hi)
    {
        const toml::node* n = Node(key);
        if (n == nullptr)
        {
            return std::nullopt;
        }
        if (!n->is_integer())
        {
            Fail(*n, key, std::string("expected an integer, found ") + TypeText(*n));
        }
        const int64_t v = n->as_integer()->get();
        if (v < lo || v > hi)
        {
            Fail(*n, key,
                 "value " + std::to_string(v) + " out of range " + std::to_string(lo) + ".." +
                     std::to_string(hi));
        }
        return v;
    }

    std::optional<uint32_t> U32(const std::string& key)
    {
        auto v = Int(key, 0, 0xFFFFFFFFll);
        return v ? std::optional<uint32_t>(static_cast<uint32_t>(*v)) : std::nullopt;
    }
    std::optional<uint8_t> U8(const std::string& key)
    {
        auto v = Int(key, 0, 255);
        return v ? std::optional<uint8_t>(static_cast<uint8_t>(*v)) : std::nullopt;
    }
    std::optional<int8_t> S8(const std::string& key)
    {
        auto v = Int(key, -128, 127);
        return v ? std::optional<int8_t>(static_cast<int8_t>(*v)) : std::nullopt;
    }

    std::optional<double> Seconds(const std::string& key)
    {
        const toml::node* n = Node(key);
        if (n == nullptr)
        {
            return std::nullopt;
        }
        double v = 0;
        if (n->is_integer())
        {
            v = static_cast<double>(n->as_integer()->get());
        }
        else if (n->is_floating_point())
        {
            v = n->as_floating_point()->get();
        }
        else
        {
            Fail(*n, key, std::string("expected seconds, found ") + TypeText(*n));
        }
        if (!std::isfinite(v) || v < 0 || v > 1e7)
        {
            Fail(*n, key, "seconds must lie between 0 and 10000000");
        }
        return v;
    }

    std::optional<bool> Bool(const std::string& key)
    {
        const toml::node* n = Node(key);
        if (n == nullptr)
        {
            return std::nullopt;
        }
        if (!n->is_boolean())
        {
            Fail(*n, key, std::string("expected true or false, found ") + TypeText(*n));
        }
        return n->as_boolean()->get();
    }

    std::optional<std::string> Str(const std::string& key)
    {
        const toml::node* n = Node(key);
        if (n == nullptr)
        {
            return std::nullopt;
        }
        if (!n->is_string())
        {
            Fail(*n, key, std::string("expected a string, found ") + TypeText(*n));
        }
        return n->as_string()->get();
    }

    const toml::array* Array(const std::string& key)
    {
        const toml::node* n = Node(key);
        if (n == nullptr)
        {
            return nullptr;
        }
        if (!n->is_array())
        {
            Fail(*n, key, std::string("expected an array, found ") + TypeText(*n));
        }
        return n->as_array();
    }

    const toml::table* Table(const std::string& key)
    {
        const toml::node* n = Node(key);
        if (n == nullptr)
        {
            return nullptr;
        }
        if (!n->is_table())
        {
            Fail(*n, key, std::string("expected a table, found ") + TypeText(*n));
        }
        return n->as_table();
    }

    std::vector<std::string> Strings(const std::string& key, size_t maxCount)
    {
        std::vector<std::string> out;
        const toml::array* a = Array(key);
        if (a == nullptr)
        {
            return out;
        }
        if (a->size() > maxCount)
        {
            Fail(*a, key, "at most " + std::to_string(maxCount) + " entries");
        }
        for (const auto& e : *a)
        {
            if (!e.is_string())
            {
                Fail(e, key, std::string("expected strings, found ") + TypeText(e));
            }
            out.push_back(e.as_string()->get());
        }
        return out;
    }

    std::vector<int64_t> Ints(const std::string& key, size_t maxCount, int64_t lo, int64_t hi)
    {
        std::vector<int64_t> out;
        const toml::array* a = Array(key);
        if (a == nullptr)
        {
            return out;
        }
        if (a->size() > maxCount)
        {
            Fail(*a, key, "at most " + std::to_string(maxCount) + " entries");
        }
        for (const auto& e : *a)
        {
            if (!e.is_integer())
            {
                Fail(e, key, std::string("expected integers, found ") + TypeText(e));
            }
            const int64_t v = e.as_integer()->get();
            if (v < lo || v > hi)
            {
                Fail(e, key,
                     "value " + std::to_string(v) + " out of range " + std::to_string(lo) + ".." +
                         std::to_string(hi));
            }
            out.push_back(v);
        }
        return out;
    }

    // The first key of the table that was not asked for is an error that
    // lists the keys this table takes.
    void Done() const
    {
        for (auto&& [k, v] : t_)
        {
            if (asked_.count(std::string(k.str())) == 0)
            {
                const int line = k.source().begin.line ? static_cast<int>(k.source().begin.line) : LineOf(v);
                std::string valid;
                for (const auto& key : order_)
                {
                    valid += (valid.empty() ? "" : ", ") + key;
                }
                throw Error{line, where_ + ": unknown key '" + std::string(k.str()) +
                                      "' (valid keys: " + (valid.empty() ? "none" : valid) + ")"};
            }
        }
    }

  private:
    void Know(const std::string& key)
    {
        if (asked_.insert(key).second)
        {
            order_.push_back(key);
        }
    }

    const toml::table& t_;
    std::string where_;
    std::set<std::string> asked_;
    std::vector<std::string> order_; // the known keys in the order they were asked for
};

// The tables of an array of tables ([[fan]]), or of a single table given
// where an array is expected.
std::vector<const toml::table*> Tables(Tbl& top, const std::string& key)
{
    std::vector<const toml::table*> out;
    const toml::node* n = top.Node(key);
    if (n == nullptr)
    {
        return out;
    }
    if (!n->is_array_of_tables())
    {
        top.Fail(*n, key, "expected [[" + key + "]] tables");
    }
    for (const auto& e : *n->as_array())
    {
        out.push_back(e.as_table());
    }
    return out;
}

// Platforms whose fans report as many sensors as their record says; every
// other platform reports the first sensor of each fan only.
bool MultiSensorPlatform(uint32_t id)
{
    return (id >= 0x10 && id <= 0x13) || id == 0x20 || id == 0x21;
}

// The module reads the stash temperatures only when all three words say so.
bool StashIsRead(const Scenario& s)
{
    return (s.capWordB & 0x1) != 0 && (s.capWordA & 0x10) != 0 && s.stashWord != 0;
}

uint32_t ReportedSensors(const Scenario& s, const FanDef& f)
{
    return MultiSensorPlatform(s.platformId) ? f.sensors : 1;
}

// The fan numbers the module probes: 1 up to the sum of the two fan counts.
uint32_t ProbedFans(const Scenario& s)
{
    if (s.fanCountA != 0 || s.fanCountB != 0)
    {
        return s.fanCountA + s.fanCountB;
    }
    uint32_t highest = 0;
    for (const auto& f : s.fans)
    {
        highest = std::max(highest, f.number);
    }
    return highest;
}

uint32_t BayCount(const Scenario& s)
{
    if (s.psuBays >= 0)
    {
        return static_cast<uint32_t>(s.psuBays);
    }
    uint32_t highest = 0;
    for (const auto& p : s.psus)
    {
        highest = std::max(highest, p.bay);
    }
    return highest;
}

// Stash sensor numbers are computed by the module in 8-bit arithmetic.
uint8_t StashSensorNumber(const StashDef& d)
{
    return static_cast<uint8_t>((d.a - 2) * 2 + d.b);
}

// A sensor name the platform would cut (or end early at a NUL) is refused:
// clients would see another name than the scenario gives.
void CheckName(Tbl& t, const toml::node& n, const std::string& key, const std::string& name, size_t keep,
               const char* what)
{
    const size_t nul = name.find('\0');
    if (nul != std::string::npos)
    {
        t.Fail(n, key,
               "a " + std::string(what) + " name cannot hold a NUL character: clients would see '" +
                   name.substr(0, std::min(nul, keep)) + "'");
    }
    if (name.size() > keep)
    {
        t.Fail(n, key,
               "'" + name + "' is longer than the platform keeps for a " + what + " name (" +
                   std::to_string(keep) + " characters): it would be cut to '" + name.substr(0, keep) + "'");
    }
}

// A health code the module maps to a status; anything else would reach
// clients as status "unknown".
void CheckHealth(Tbl& t, const std::string& key, std::optional<uint32_t> health, uint32_t lo, uint32_t hi,
                 const char* codes)
{
    if (health && (*health < lo || *health > hi))
    {
        t.Fail(*t.Node(key), key,
               std::to_string(*health) + " is not a health code the module maps (" + codes +
                   "); clients would see status unknown");
    }
}

constexpr size_t kMaxStash = 7;  // stash records the platform reports
constexpr int64_t kMaxBay = 254; // bay numbers are 8-bit and the module counts up to the bay count
constexpr const char* kFanHealth = "1 normal, 2 critical, 3 non-critical";
constexpr const char* kTempHealth = "0 normal, 1 and 3 non-critical, 2 and 4 critical";

uint32_t TypeByName(Tbl& t, const std::string& key, const std::string& name, bool allowAny)
{
    if (allowAny && name == "any")
    {
        return 0;
    }
    const uint32_t type = ktzclient::RequestTypeByName(name);
    if (type == 0)
    {
        t.Fail(*t.Node(key), key,
               "unknown message type '" + name +
                   "' (ktz-setting, sensor-data, fru-by-number, data-sync-complete, log-event, caps-query" +
                   (allowAny ? ", any)" : ")"));
    }
    return type;
}

std::map<uint32_t, uint32_t> TypeMap(Tbl& parent, const std::string& key)
{
    std::map<uint32_t, uint32_t> out;
    const toml::table* t = parent.Table(key);
    if (t == nullptr)
    {
        return out;
    }
    Tbl sub(*t, parent.Where() + "." + key);
    for (auto&& [k, v] : *t)
    {
        const std::string name(k.str());
        const uint32_t type = TypeByName(sub, name, name, false);
        out[type] = *sub.U32(name);
    }
    sub.Done();
    return out;
}

std::vector<uint8_t> FruBytes(Tbl& t, bool* given)
{
    *given = false;
    std::vector<uint8_t> fru;
    if (auto text = t.Str("fru_text"))
    {
        if (text->size() > 256)
        {
            t.Fail(*t.Node("fru_text"), "fru_text", "at most 256 characters");
        }
        fru.assign(text->begin(), text->end());
        *given = true;
    }
    if (t.Has("fru"))
    {
        if (*given)
        {
            t.Fail(*t.Node("fru"), "fru", "give either fru or fru_text, not both");
        }
        for (int64_t b : t.Ints("fru", 256, 0, 255))
        {
            fru.push_back(static_cast<uint8_t>(b));
        }
        *given = true;
    }
    return fru;
}

void ReadPlatform(Tbl& top, Scenario& s)
{
    const toml::table* p = top.Table("platform");
    if (p == nullptr)
    {
        return;
    }
    Tbl t(*p, "platform");
    s.platformId = t.U32("id").value_or(s.platformId);
    if (t.Bool("chassis_log_proxy").value_or(false))
    {
        s.capWordB |= 0x4;
    }
    if (t.Bool("stash").value_or(false))
    {
        s.capWordB |= 0x1;
        s.capWordA |= 0x10;
        s.stashWord = 1;
    }
    s.capWordA = t.U32("cap_word_a").value_or(s.capWordA);
    s.capWordB = t.U32("cap_word_b").value_or(s.capWordB);
    s.stashWord = t.U32("stash_word").value_or(s.stashWord);
    s.fanCountA = t.U32("fan_count_a").value_or(0);
    s.fanCountB = t.U32("fan_count_b").value_or(0);
    if (static_cast<uint64_t>(s.fanCountA) + s.fanCountB > 255)
    {
        const std::string key = t.Has("fan_count_b") ? "fan_count_b" : "fan_count_a";
        t.Fail(*t.Node(key), key,
               "fan_count_a + fan_count_b is " +
                   std::to_string(static_cast<uint64_t>(s.fanCountA) + s.fanCountB) +
                   ", but the module's fan numbers are 8-bit: at most 255 fans");
    }
    s.psuBays = static_cast<int32_t>(t.Int("psu_bays", 0, kMaxBay).value_or(-1));
    t.Done();
}

void ReadFans(Tbl& top, Scenario& s, std::vector<Error>& warnings)
{
    std::set<uint32_t> numbers;
    int firstLine = 0;
    for (const toml::table* ft : Tables(top, "fan"))
    {
        Tbl t(*ft, "fan[" + std::to_string(s.fans.size() + 1) + "]");
        firstLine = firstLine ? firstLine : t.Line();
        FanDef f;
        f.healthGiven = t.Has("health");
        f.number =
            static_cast<uint32_t>(t.Int("number", 1, 255).value_or(static_cast<int64_t>(s.fans.size() + 1)));
        if (f.number > 255)
        {
            throw Error{t.Line(),
                        t.Where() + ": fan number " + std::to_string(f.number) +
                            ": the module's fan numbers are 8-bit, so a chassis has at most 255 fans"};
        }
        if (!numbers.insert(f.number).second)
        {
            throw Error{t.Line(), t.Where() + ": fan number " + std::to_string(f.number) + " given twice"};
        }
        const auto names = t.Strings("names", 2);
        for (size_t i = 0; i < names.size(); ++i)
        {
            CheckName(t, (*t.Array("names"))[i], "names", names[i], 15, "fan sensor");
            f.names[i] = names[i];
        }
        const auto readings = t.Ints("readings", 2, 0, 0xFFFFFFFFll);
        for (size_t i = 0; i < readings.size(); ++i)
        {
            f.readings[i] = static_cast<uint32_t>(readings[i]);
        }
        if (const auto sensors = t.Int("sensors", 0, 255))
        {
            if (*sensors < 1 || *sensors > 2)
            {
                t.Fail(*t.Node("sensors"), "sensors",
                       std::to_string(*sensors) +
                           " sensors: the platform's fan record holds 1 or 2 (a name and a reading each)");
            }
            f.sensors = static_cast<uint8_t>(*sensors);
        }
        else
        {
            f.sensors = static_cast<uint8_t>(names.empty() ? 1 : names.size());
        }
        f.lnc = t.U32("lnc").value_or(0);
        f.lc = t.U32("lc").value_or(0);
        f.presence = t.U32("presence").value_or(1);
        const auto health = t.U32("health");
        CheckHealth(t, "health", health, 1, 3, kFanHealth);
        f.health = health.value_or(1);
        f.pwm = t.U8("pwm").value_or(0);
        t.Done();
        if (names.size() > ReportedSensors(s, f))
        {
            const std::string why = MultiSensorPlatform(s.platformId)
                                        ? "the fan reports 1 sensor (sensors = 1)"
                                        : "platform " + Hex(s.platformId) + " reports one sensor per fan";
            warnings.push_back(
                {t.Line(), t.Where() + ": sensor '" + names[1] + "' is never reported: " + why});
        }
        if ((s.fanCountA != 0 || s.fanCountB != 0) && f.number > ProbedFans(s))
        {
            warnings.push_back(
                {t.Line(), t.Where() + ": fan " + std::to_string(f.number) +
                               " is never read: the fan counts make the module probe fans 1 to " +
                               std::to_string(ProbedFans(s))});
        }
        s.fans.push_back(f);
    }
    if (numbers.count(1) == 0)
    {
        warnings.push_back(
            {firstLine ? firstLine : 1,
             "scenario: no fan number 1: the module reads the fans only once fan 1 answers, so no "
             "fan sensor is ever reported and data-sync-complete never comes"});
    }
}

void ReadTemps(Tbl& top, Scenario& s)
{
    if (const toml::table* ct = top.Table("chassis_temp"))
    {
        Tbl t(*ct, "chassis_temp");
        TempDef d;
        d.name = t.Str("name").value_or("Chassis");
        CheckName(t, t.Node("name") ? *t.Node("name") : *ct, "name", d.name, 20, "temperature");
        d.reading = t.S8("reading").value_or(0);
        const auto health = t.U32("health");
        CheckHealth(t, "health", health, 0, 4, kTempHealth);
        d.health = health.value_or(0);
        t.Done();
        s.chassisTemp = d;
    }
    // The chassis temperature is sensor number 1; stash sensors take theirs
    // from their locator codes.
    std::map<uint8_t, std::string> numbers = {{1, "the chassis temperature"}};
    for (const toml::table* st : Tables(top, "stash_temp"))
    {
        Tbl t(*st, "stash_temp[" + std::to_string(s.stash.size() + 1) + "]");
        if (!StashIsRead(s))
        {
            throw Error{t.Line(), t.Where() +
                                      ": the module reads stash temperatures only on a platform with the "
                                      "stash: set stash = true in [platform]"};
        }
        if (s.stash.size() == kMaxStash)
        {
            throw Error{t.Line(), t.Where() + ": the platform reports at most " + std::to_string(kMaxStash) +
                                      " stash temperatures"};
        }
        StashDef d;
        d.name = t.Str("name").value_or("");
        if (const toml::node* n = t.Node("name"))
        {
            CheckName(t, *n, "name", d.name, 20, "temperature");
        }
        d.reading = t.S8("reading").value_or(0);
        d.a = t.U8("a").value_or(2);
        // By default the stash sensors number 2, 3, ... after the chassis temperature.
        d.b = t.U8("b").value_or(static_cast<uint8_t>(s.stash.size() + 2));
        t.Done();
        const uint8_t number = StashSensorNumber(d);
        const auto [it, fresh] = numbers.emplace(number, t.Where());
        if (!fresh)
        {
            throw Error{t.Line(), t.Where() + ": sensor number (a - 2) x 2 + b = " + std::to_string(number) +
                                      " is already " + it->second +
                                      "'s: clients could not tell the two apart"};
        }
        s.stash.push_back(d);
    }
}

void ReadPsus(Tbl& top, Scenario& s, std::vector<Error>& warnings)
{
    std::set<uint32_t> bays;
    int firstLine = 0;
    std::vector<std::pair<PsuDef, int>> read;
    for (const toml::table* pt : Tables(top, "psu"))
    {
        Tbl t(*pt, "psu[" + std::to_string(s.psus.size() + 1) + "]");
        firstLine = firstLine ? firstLine : t.Line();
        PsuDef p;
        p.bay =
            static_cast<uint32_t>(t.Int("bay", 1, kMaxBay).value_or(static_cast<int64_t>(s.psus.size() + 1)));
        if (p.bay > kMaxBay)
        {
            throw Error{t.Line(), t.Where() + ": bay " + std::to_string(p.bay) +
                                      ": bay numbers are 8-bit and end at " + std::to_string(kMaxBay)};
        }
        if (!bays.insert(p.bay).second)
        {
            throw Error{t.Line(), t.Where() + ": bay " + std::to_string(p.bay) + " given twice"};
        }
        p.presence = t.Bool("present").value_or(true) ? 1 : 0;
        p.presence = t.U32("presence").value_or(p.presence);
        p.state = t.U32("state").value_or(p.presence == 1 ? 1 : 0);
        p.alert = t.U32("alert").value_or(0);
        bool given = false;
        p.fru = FruBytes(t, &given);
        p.fruReadable = t.Bool("fru_readable").value_or(true);
        t.Done();
        s.psus.push_back(p);
        read.emplace_back(p, t.Line());
    }
    const uint32_t count = BayCount(s);
    bool present = false;
    for (size_t i = 0; i < read.size(); ++i)
    {
        const PsuDef& p = read[i].first;
        if (p.bay > count)
        {
            warnings.push_back({read[i].second, "psu[" + std::to_string(i + 1) + "]: bay " +
                                                    std::to_string(p.bay) + " is never read: psu_bays is " +
                                                    std::to_string(count)});
        }
        present = present || (p.bay <= count && p.presence == 1);
    }
    if (!present)
    {
        warnings.push_back(
            {firstLine ? firstLine : 1,
             std::string("scenario: ") +
                 (count == 0 ? "no power-supply bay" : "no bay holds a supply at Load") +
                 ": the power-supply and redundancy sensors attach only once a bay reports a supply, so "
                 "data-sync-complete does not come before a supply is inserted (never, if none is)"});
    }
}

void ReadClients(Tbl& top, Scenario& s)
{
    std::set<uint32_t> ids;
    for (const toml::table* ct : Tables(top, "client"))
    {
        Tbl t(*ct, "client[" + std::to_string(s.clients.size() + 1) + "]");
        ClientDef c;
        const auto id = t.U32("id");
        if (!id)
        {
            throw Error{t.Line(), t.Where() + ": a client needs an id"};
        }
        c.id = *id;
        if (!ids.insert(c.id).second)
        {
            throw Error{t.Line(), t.Where() + ": client id " + std::to_string(c.id) + " given twice"};
        }
        c.caps = t.U32("caps").value_or(0x1);
        c.capsResponseLength = t.U32("caps_response_length").value_or(16);
        c.status = t.U32("status").value_or(0);
        c.statusByType = TypeMap(t, "status_by_type");
        c.answerData = TypeMap(t, "answer_data");
        if (auto on = t.Str("disconnect_on"))
        {
            c.disconnectOn = TypeByName(t, "disconnect_on", *on, false);
        }
        t.Done();
        s.clients.push_back(c);
    }
}

void ReadIni(Tbl& top, Scenario& s)
{
    const toml::table* it = top.Table("ini");
    if (it == nullptr)
    {
        return;
    }
    for (auto&& [sec, node] : *it)
    {
        const std::string section(sec.str());
        if (!node.is_table())
        {
            throw Error{LineOf(node), "ini." + section + ": expected a table of keys"};
        }
        for (auto&& [k, v] : *node.as_table())
        {
            std::string value;
            if (v.is_integer())
            {
                value = std::to_string(v.as_integer()->get());
            }
            else if (v.is_boolean())
            {
                value = v.as_boolean()->get() ? "true" : "false";
            }
            else if (v.is_string())
            {
                value = v.as_string()->get();
            }
            else
            {
                throw Error{LineOf(v), "ini." + section + "." + std::string(k.str()) +
                                           ": expected an integer, boolean or string, found " + TypeText(v)};
            }
            s.ini[section][std::string(k.str())] = value;
        }
    }
}

const std::set<std::string> kActions = {"connect",  "disconnect",     "caps-request", "set-fan",
                                        "set-temp", "set-stash-temp", "pull-psu",     "insert-psu",
                                        "set-psu",  "set-redundancy", "log-event",    "set-ktz",
                                        "stop"};

bool Known(const Scenario& s, uint32_t id)
{
    for (const auto& c : s.clients)
    {
        if (c.id == id)
        {
            return true;
        }
    }
    return false;
}

// "1, 2, 7" (at most `cap` entries, then "..."), "none" when empty.
std::string ListText(const std::vector<std::string>& items, size_t cap = 24)
{
    if (items.empty())
    {
        return "none";
    }
    std::string out;
    for (size_t i = 0; i < items.size() && i < cap; ++i)
    {
        out += (i ? ", " : "") + items[i];
    }
    return items.size() > cap ? out + ", ... (" + std::to_string(items.size()) + " in all)" : out;
}

std::string ClientIds(const Scenario& s)
{
    std::vector<std::string> ids;
    for (const auto& c : s.clients)
    {
        ids.push_back(std::to_string(c.id));
    }
    return "defined clients: " + ListText(ids);
}

const FanDef* FindFan(const Scenario& s, uint32_t number)
{
    for (const auto& f : s.fans)
    {
        if (f.number == number)
        {
            return &f;
        }
    }
    return nullptr;
}

Step ReadStep(const toml::table& st, size_t index, const Scenario& s, std::vector<Error>& warnings)
{
    Tbl t(st, "step[" + std::to_string(index) + "]");
    Step step;
    step.line = t.Line();
    const auto at = t.Seconds("at");
    if (!at)
    {
        throw Error{t.Line(), t.Where() + ": a step needs 'at' (chassis seconds)"};
    }
    step.at = *at;
    const auto action = t.Str("action");
    if (!action)
    {
        throw Error{t.Line(), t.Where() + ": a step needs an 'action'"};
    }
    if (kActions.count(*action) == 0)
    {
        t.Fail(*t.Node("action"), "action",
               "unknown step action '" + *action +
                   "' (connect, disconnect, caps-request, set-fan, set-temp, set-stash-temp, pull-psu, "
                   "insert-psu, "
                   "set-psu, set-redundancy, log-event, set-ktz, stop)");
    }
    step.action = *action;
    const std::string& a = step.action;
    auto need = [&](const char* key) -> uint32_t
    {
        const auto v = t.U32(key);
        if (!v)
        {
            throw Error{t.Line(), t.Where() + ": action '" + a + "' needs '" + key + "'"};
        }
        return *v;
    };
    if (a == "connect" || a == "disconnect" || a == "caps-request")
    {
        step.target = need("client");
        if (!Known(s, step.target))
        {
            t.Fail(*t.Node("client"), "client",
                   "client " + std::to_string(step.target) + " is not defined by a [[client]] table (" +
                       ClientIds(s) + ")");
        }
    }
    else if (a == "set-fan")
    {
        step.target = need("fan");
        const FanDef* fan = FindFan(s, step.target);
        if (fan == nullptr)
        {
            std::vector<std::string> numbers;
            for (const auto& f : s.fans)
            {
                numbers.push_back(std::to_string(f.number));
            }
            t.Fail(*t.Node("fan"), "fan",
                   "fan " + std::to_string(step.target) +
                       " is not defined by a [[fan]] table (defined fans: " + ListText(numbers) + ")");
        }
        step.reading1 = t.U32("reading");
        step.reading2 = t.U32("reading2");
        if (step.reading2 && ReportedSensors(s, *fan) < 2)
        {
            warnings.push_back({LineOf(*t.Node("reading2")),
                                t.Where() + ".reading2: changes nothing clients see: fan " +
                                    std::to_string(fan->number) + " reports only its first sensor"});
        }
        step.presence = t.U32("presence");
        step.health = t.U32("health");
        CheckHealth(t, "health", step.health, 1, 3, kFanHealth);
        step.lnc = t.U32("lnc");
        step.lc = t.U32("lc");
    }
    else if (a == "set-temp")
    {
        step.temp = t.S8("reading");
        step.health = t.U32("health");
        CheckHealth(t, "health", step.health, 0, 4, kTempHealth);
    }
    else if (a == "set-stash-temp")
    {
        step.target = need("index");
        if (step.target == 0 || step.target > s.stash.size())
        {
            t.Fail(*t.Node("index"), "index",
                   "no stash_temp number " + std::to_string(step.target) + " (the scenario has " +
                       std::to_string(s.stash.size()) + ")");
        }
        step.temp = t.S8("reading");
    }
    else if (a == "pull-psu" || a == "insert-psu" || a == "set-psu")
    {
        step.target = need("bay");
        if (step.target == 0 || step.target > BayCount(s))
        {
            t.Fail(*t.Node("bay"), "bay",
                   "bay " + std::to_string(step.target) + " is not a bay of this chassis (" +
                       (BayCount(s) == 0 ? std::string("it has none")
                                         : "bays 1 to " + std::to_string(BayCount(s))) +
                       ")");
        }
        step.state = t.U32("state");
        step.alert = t.U32("alert");
        if (a != "pull-psu")
        {
            step.fruReadable = t.Bool("fru_readable");
            bool given = false;
            auto fru = FruBytes(t, &given);
            if (given)
            {
                step.fru = fru;
            }
        }
        if (a == "set-psu")
        {
            step.presence = t.U32("presence");
        }
    }
    else if (a == "set-redundancy")
    {
        step.config = t.U32("config");
        step.state = t.U32("state");
    }
    else if (a == "log-event")
    {
        const auto id = t.Str("id");
        if (!id)
        {
            throw Error{t.Line(), t.Where() + ": action 'log-event' needs 'id' (the message ID)"};
        }
        step.text = *id;
        for (int64_t v : t.Ints("values", 3, 0, 0xFFFF))
        {
            step.values.push_back(static_cast<uint16_t>(v));
        }
        // An empty list still sends an argument block (just its closing empty text).
        step.hasArgs = t.Has("args");
        step.args = t.Strings("args", 64);
        step.eventText = t.Str("text");
        step.flags = t.U32("flags").value_or(0x800);
        // The event carries NUL-terminated texts, and its argument block ends
        // at the first empty one: anything behind a NUL would never arrive.
        for (size_t i = 0; i < step.args.size(); ++i)
        {
            if (step.args[i].empty() || step.args[i].find('\0') != std::string::npos)
            {
                t.Fail((*t.Array("args"))[i], "args",
                       "argument " + std::to_string(i + 1) +
                           (step.args[i].empty() ? " is empty" : " holds a NUL character") +
                           ": the argument block ends there, so what follows would never be sent");
            }
        }
        for (const char* key : {"id", "text"})
        {
            const toml::node* n = t.Node(key);
            if (n != nullptr && n->as_string()->get().find('\0') != std::string::npos)
            {
                t.Fail(*n, key, "holds a NUL character: the event's text ends there");
            }
        }
    }
    else if (a == "set-ktz")
    {
        const toml::node* n = t.Node("value");
        if (n == nullptr)
        {
            throw Error{t.Line(), t.Where() + ": action 'set-ktz' needs 'value'"};
        }
        if (n->is_integer())
        {
            step.text = std::to_string(n->as_integer()->get());
        }
        else if (n->is_string())
        {
            step.text = n->as_string()->get();
        }
        else
        {
            t.Fail(*n, "value", std::string("expected an integer or a string, found ") + TypeText(*n));
        }
    }
    t.Done();
    return step;
}

// A sensor as clients will see it: its type name and its name.
struct Sensor
{
    std::string type;
    std::string name;
};

// The sensors the module will report for this scenario: the fans it probes
// (with as many sensors as the platform reports per fan), the chassis
// temperature (always there, named as the platform gives it), the stash
// temperatures when the stash is read, one power supply per bay and the
// redundancy sensor when there are bays.
std::vector<Sensor> ReportedSensorList(const Scenario& s)
{
    const std::string fan = ktzclient::SensorTypeName(KTZMON_SENSOR_TYPE_FAN);
    const std::string temp = ktzclient::SensorTypeName(KTZMON_SENSOR_TYPE_TEMP);
    std::vector<Sensor> out;
    const uint32_t probed = ProbedFans(s);
    for (const auto& f : s.fans)
    {
        for (uint32_t i = 0; f.number <= probed && i < ReportedSensors(s, f); ++i)
        {
            out.push_back({fan, f.names[i == 0 ? 0 : 1]});
        }
    }
    out.push_back({temp, s.chassisTemp ? s.chassisTemp->name : std::string()});
    for (const auto& st : s.stash)
    {
        out.push_back({temp, st.name});
    }
    const uint32_t bays = BayCount(s);
    for (uint32_t bay = 1; bay <= bays; ++bay)
    {
        out.push_back(
            {ktzclient::SensorTypeName(KTZMON_SENSOR_TYPE_PWR_SUPPLY), "PS-" + std::to_string(bay)});
    }
    if (bays > 0)
    {
        out.push_back({ktzclient::SensorTypeName(KTZMON_SENSOR_TYPE_PWR_RED), "Power Redundancy"});
    }
    return out;
}

std::string Quoted(const std::string& v)
{
    return "'" + v + "'";
}

// One `where` value, checked against the field's kind and range; returns
// the text the run compares with.
std::string WhereValue(const std::string& at, const ktzclient::FieldDef& f, const toml::node& v)
{
    auto wrong = [&](const char* expected) {
        throw Error{LineOf(v), at + ": expected " + expected + ", found " + TypeText(v)};
    };
    auto oneOf = [&](const std::string& text)
    {
        if (!f.values.empty() && std::find(f.values.begin(), f.values.end(), text) == f.values.end())
        {
            std::vector<std::string> quoted;
            for (const auto& value : f.values)
            {
                quoted.push_back(Quoted(value));
            }
            throw Error{LineOf(v),
                        at + ": unknown value " + Quoted(text) + " (valid: " + ListText(quoted) + ")"};
        }
        return text;
    };
    switch (f.kind)
    {
    case ktzclient::FieldKind::Flag:
        if (!v.is_boolean())
        {
            wrong("true or false");
        }
        return v.as_boolean()->get() ? "1" : "0";
    case ktzclient::FieldKind::Text:
    case ktzclient::FieldKind::List:
        if (!v.is_string())
        {
            wrong(f.kind == ktzclient::FieldKind::List ? "a string (the list joined with commas)"
                                                       : "a string");
        }
        return oneOf(v.as_string()->get());
    case ktzclient::FieldKind::Status:
        if (v.is_string())
        {
            return oneOf(v.as_string()->get());
        }
        [[fallthrough]];
    case ktzclient::FieldKind::Number: break;
    }
    if (!v.is_integer())
    {
        wrong(f.kind == ktzclient::FieldKind::Status ? "a status number or name" : "an integer");
    }
    const int64_t n = v.as_integer()->get();
    if (n < f.lo || n > f.hi)
    {
        throw Error{LineOf(v), at + ": value " + std::to_string(n) + " out of range " + std::to_string(f.lo) +
                                   ".." + std::to_string(f.hi) + ": no message could match"};
    }
    return std::to_string(n);
}

void ReadWhere(const Tbl& t, const toml::table& w, uint32_t type, const std::vector<Sensor>& sensors,
               Expectation* e)
{
    const std::string where = t.Where() + ".where";
    if (type != 0 && ktzclient::FieldsOf(type).empty())
    {
        throw Error{LineOf(w), where + ": " + ktzclient::RequestTypeName(type) + " messages have no fields"};
    }
    for (auto&& [k, v] : w)
    {
        const std::string key(k.str());
        const ktzclient::FieldDef* f = ktzclient::FindField(type, key);
        if (f == nullptr)
        {
            throw Error{LineOf(v), where + ": no field " + Quoted(key) + " in " +
                                       (type ? std::string(ktzclient::RequestTypeName(type)) + " messages"
                                             : std::string("any message")) +
                                       " (fields: " + ktzclient::FieldNames(type) + ")"};
        }
        e->where[key] = WhereValue(where + "." + key, *f, v);
    }
    const auto name = e->where.find("name");
    if (name == e->where.end())
    {
        return;
    }
    const auto type_ = e->where.find("sensor_type");
    std::vector<std::string> names;
    for (const auto& sensor : sensors)
    {
        if (type_ != e->where.end() && sensor.type != type_->second)
        {
            continue;
        }
        if (sensor.name == name->second)
        {
            return;
        }
        names.push_back(Quoted(sensor.name));
    }
    const std::string kind = type_ != e->where.end() ? type_->second + " " : std::string();
    throw Error{LineOf(*w.get("name")), where + ".name: no " + kind + "sensor " + Quoted(name->second) +
                                            " in this scenario (" + kind +
                                            "sensors clients see: " + ListText(names) + ")"};
}

Expectation ReadExpect(const toml::table& et, size_t index, const Scenario& s,
                       const std::vector<Sensor>& sensors)
{
    Tbl t(et, "expect[" + std::to_string(index) + "]");
    Expectation e;
    e.line = t.Line();
    const auto log = t.Str("log");
    const auto client = t.U32("client");
    const auto receives = t.Str("receives");
    const bool sequence = t.Has("sequence");
    const toml::table* where = t.Table("where");
    if (log)
    {
        if (log->empty())
        {
            t.Fail(*t.Node("log"), "log", "must not be empty");
        }
        e.logLine = *log;
        for (const char* key : {"client", "receives", "sequence", "where"})
        {
            if (t.Has(key))
            {
                t.Fail(*t.Node(key), key,
                       "a 'log' expectation counts module log lines: it takes no client, "
                       "message type, sequence or where");
            }
        }
    }
    else
    {
        if (!client)
        {
            throw Error{t.Line(), t.Where() + ": an expectation needs 'client' (or 'log')"};
        }
        if (!Known(s, *client))
        {
            t.Fail(*t.Node("client"), "client",
                   "client " + std::to_string(*client) + " is not defined by a [[client]] table (" +
                       ClientIds(s) + ")");
        }
        e.client = *client;
        if (receives && sequence)
        {
            t.Fail(*t.Node("sequence"), "sequence", "give either 'receives' or 'sequence', not both");
        }
        if (receives)
        {
            e.type = TypeByName(t, "receives", *receives, true);
        }
        else if (!sequence)
        {
            throw Error{t.Line(), t.Where() + ": an expectation needs 'receives' or 'sequence'"};
        }
    }
    e.after = t.Seconds("after");
    e.by = t.Seconds("by");
    if (e.after && e.by && *e.after > *e.by)
    {
        t.Fail(*t.Node("by"), "by", "ends before 'after'");
    }
    if (e.after && *e.after > s.end)
    {
        t.Fail(*t.Node("after"), "after",
               "the window starts at " + Secs(*e.after) + ", after the run ends at " + Secs(s.end));
    }
    if (e.by && *e.by > s.end)
    {
        t.Fail(*t.Node("by"), "by",
               "the window ends at " + Secs(*e.by) + ", after the run ends at " + Secs(s.end) +
                   " (raise 'end' or lower 'by')");
    }
    e.count = t.U32("count");
    e.minCount = t.U32("min_count");
    e.maxCount = t.U32("max_count");
    if (e.count && (e.minCount || e.maxCount))
    {
        const char* key = e.minCount ? "min_count" : "max_count";
        t.Fail(*t.Node(key), key, "give either 'count' or 'min_count'/'max_count', not both");
    }
    if (e.minCount && e.maxCount && *e.minCount > *e.maxCount)
    {
        t.Fail(*t.Node("max_count"), "max_count",
               std::to_string(*e.maxCount) + " is below min_count " + std::to_string(*e.minCount) +
                   ": no run could meet it");
    }
    if (sequence)
    {
        for (const auto& name : t.Strings("sequence", 1000))
        {
            e.sequence.push_back(TypeByName(t, "sequence", name, false));
        }
        if (e.sequence.empty())
        {
            t.Fail(*t.Node("sequence"), "sequence", "an empty sequence checks nothing");
        }
        for (const char* key : {"where", "count", "min_count", "max_count"})
        {
            if (t.Has(key))
            {
                t.Fail(*t.Node(key), key,
                       "a 'sequence' expectation checks only the order of message types: it "
                       "takes no where or counts");
            }
        }
    }
    if (where != nullptr)
    {
        ReadWhere(t, *where, e.type, sensors, &e);
    }
    t.Done();
    return e;
}

// The TOML parser classifies characters outside ASCII through tables that,
// for some code points (U+00A1 to U+0499 among them), reach code marked
// unreachable: undefined behaviour, wherever the parser asks whether such a
// character is whitespace (around values, after a line-ending backslash, in
// text it skips to report an error). So it is never shown one: TOML allows
// them only in strings and comments, and the text is rewritten into the
// same document in ASCII first. In a basic string each such character
// becomes its \u or \U escape; a literal string holding one becomes the
// equivalent basic string; in a comment it becomes '?'. Anywhere else it is
// the syntax error TOML makes it, and a byte sequence that is not UTF-8 is
// one too. Lines stay where they were, so errors keep their line numbers.
struct AsciiText
{
    std::string text;
    int errorLine = 0; // 0: no error
    std::string error;
};

// Decodes the UTF-8 sequence at text[i] (a byte >= 0x80); returns its
// length, or 0 when it is not well-formed UTF-8.
size_t DecodeUtf8(const std::string& text, size_t i, char32_t* cp)
{
    const auto byte = [&](size_t k) { return k < text.size() ? static_cast<unsigned char>(text[k]) : 0u; };
    const unsigned lead = byte(i);
    size_t len = 0;
    char32_t c = 0;
    unsigned lo = 0x80, hi = 0xBF; // the allowed range of the second byte
    if (lead >= 0xC2 && lead <= 0xDF)
    {
        len = 2;
        c = lead & 0x1F;
    }
    else if (lead >= 0xE0 && lead <= 0xEF)
    {
        len = 3;
        c = lead & 0x0F;
        lo = lead == 0xE0 ? 0xA0 : 0x80; // no overlong forms
        hi = lead == 0xED ? 0x9F : 0xBF; // no surrogates
    }
    else if (lead >= 0xF0 && lead <= 0xF4)
    {
        len = 4;
        c = lead & 0x07;
        lo = lead == 0xF0 ? 0x90 : 0x80;
        hi = lead == 0xF4 ? 0x8F : 0xBF; // nothing above U+10FFFF
    }
    else
    {
        return 0;
    }
    for (size_t k = 1; k < len; ++k)
    {
        const unsigned b = byte(i + k);
        if (b < (k == 1 ? lo : 0x80) || b > (k == 1 ? hi : 0xBF))
        {
            return 0;
        }
        c = (c << 6) | (b & 0x3F);
    }
    *cp = c;
    return len;
}

std::string Escape(char32_t c)
{
    char buf[16];
    if (c <= 0xFFFF)
    {
        std::snprintf(buf, sizeof buf, "\\u%04X", static_cast<unsigned>(c));
    }
    else
    {
        std::snprintf(buf, sizeof buf, "\\U%08X", static_cast<unsigned>(c));
    }
    return buf;
}

AsciiText ToAscii(const std::string& text)
{
    enum class In
    {
        Code,
        Comment,
        Basic,        // "..."
        Literal,      // '...'
        MultiBasic,   // three double quotes on each side
        MultiLiteral, // three single quotes on each side
    };
    AsciiText out;
    In in = In::Code;
    int line = 1;
    const size_t n = text.size();
    // The length of the run of quotes `q` that starts at i.
    auto run = [&](size_t i, char q)
    {
        size_t k = i;
        while (k < n && text[k] == q)
        {
            ++k;
        }
        return k - i;
    };
    auto fail = [&](const std::string& what)
    {
        out.errorLine = line;
        out.error = "syntax error: " + what;
        out.text.clear();
        return out;
    };
    // A literal string is held back until it ends: as it stands when all of
    // it is ASCII, else as the basic string that means the same.
    std::string raw, basic;
    bool wide = false;
    auto endLiteral = [&](size_t quotes)
    {
        if (wide)
        {
            out.text += std::string(quotes, '"') + basic + std::string(quotes, '"');
        }
        else
        {
            out.text += std::string(quotes, '\'') + raw + std::string(quotes, '\'');
        }
    };
    size_t quotes = 0; // of the literal string being read: 1 or 3
    for (size_t i = 0; i < n; ++i)
    {
        const char c = text[i];
        if (static_cast<unsigned char>(c) >= 0x80)
        {
            char32_t cp = 0;
            const size_t len = DecodeUtf8(text, i, &cp);
            if (len == 0)
            {
                return fail("the text is not valid UTF-8");
            }
            i += len - 1;
            switch (in)
            {
            case In::Code: return fail("a character outside ASCII may stand only in a string or a comment");
            case In::Comment: out.text += '?'; break;
            case In::Basic:
            case In::MultiBasic: out.text += Escape(cp); break;
            case In::Literal:
            case In::MultiLiteral:
                wide = true;
                basic += Escape(cp);
                break;
            }
            continue;
        }
        switch (in)
        {
        case In::Code:
            if (c == '\'')
            {
                quotes = run(i, c) >= 3 ? 3 : 1;
                i += quotes - 1;
                in = quotes == 3 ? In::MultiLiteral : In::Literal;
                raw.clear();
                basic.clear();
                wide = false;
                break;
            }
            out.text += c;
            if (c == '#')
            {
                in = In::Comment;
            }
            else if (c == '"')
            {
                const bool multi = run(i, c) >= 3;
                out.text += multi ? "\"\"" : "";
                i += multi ? 2 : 0;
                in = multi ? In::MultiBasic : In::Basic;
            }
            break;
        case In::Comment:
            out.text += c;
            in = c == '\n' ? In::Code : in;
            break;
        case In::Basic:
        case In::MultiBasic:
            out.text += c;
            if (c == '\\' && i + 1 < n && text[i + 1] != '\n')
            {
                if (static_cast<unsigned char>(text[i + 1]) >= 0x80)
                {
                    return fail("a character outside ASCII cannot be escaped with a backslash");
                }
                out.text += text[++i]; // an escaped character, never the closing quote
            }
            else if (c == '\n' && in == In::Basic)
            {
                in = In::Code; // unterminated: left for the parser to report
            }
            else if (c == '"' && (in == In::Basic || run(i, '"') >= 3))
            {
                // A multi-line string may end with up to two quotes of its own
                // before its closing three.
                const size_t extra = in == In::Basic ? 0 : std::min<size_t>(run(i, '"'), 5) - 1;
                out.text += std::string(extra, '"');
                i += extra;
                in = In::Code;
            }
            break;
        case In::Literal:
        case In::MultiLiteral:
            if (c == '\'' && (in == In::Literal || run(i, '\'') >= 3))
            {
                const size_t own = in == In::Literal ? 0 : std::min<size_t>(run(i, '\''), 5) - 3;
                raw += std::string(own, '\'');
                basic += std::string(own, '\'');
                i += own + quotes - 1;
                endLiteral(quotes);
                in = In::Code;
            }
            else if (c == '\n' && in == In::Literal)
            {
                out.text += "'" + (wide ? basic : raw) + "\n"; // unterminated: left for the parser to report
                in = In::Code;
            }
            else
            {
                raw += c;
                basic += c == '\\' ? "\\\\" : c == '"' ? "\\\"" : std::string(1, c);
            }
            break;
        }
        if (c == '\n')
        {
            ++line;
        }
    }
    if (in == In::Literal || in == In::MultiLiteral)
    {
        out.text += std::string(quotes, '\'') + (wide ? basic : raw); // unterminated: the parser reports it
    }
    return out;
}

} // namespace

std::string Expectation::Describe() const
{
    std::ostringstream o;
    if (!logLine.empty())
    {
        o << "log line containing \"" << logLine << "\"";
    }
    else if (!sequence.empty())
    {
        o << "client " << client << " receives in order";
        for (uint32_t t : sequence)
        {
            o << " " << ktzclient::RequestTypeName(t);
        }
    }
    else
    {
        o << "client " << client << " receives " << (type ? ktzclient::RequestTypeName(type) : "any message");
    }
    for (const auto& [k, v] : where)
    {
        o << " " << k << "=" << v;
    }
    if (count)
    {
        o << " exactly " << *count << " time(s)";
    }
    if (minCount)
    {
        o << " at least " << *minCount << " time(s)";
    }
    if (maxCount)
    {
        o << " at most " << *maxCount << " time(s)";
    }
    if (after)
    {
        o << " after t=" << *after;
    }
    if (by)
    {
        o << " by t=" << *by;
    }
    return o.str();
}

ParseResult ParseScenario(const std::string& text, const std::string& sourceName)
{
    ParseResult r;
    const AsciiText ascii = ToAscii(text);
    if (ascii.errorLine != 0)
    {
        r.error = sourceName + ":" + std::to_string(ascii.errorLine) + ": " + ascii.error;
        return r;
    }
    toml::table root;
    try
    {
        root = toml::parse(ascii.text, sourceName);
    }
    catch (const toml::parse_error& err)
    {
        r.error = sourceName + ":" + std::to_string(err.source().begin.line) +
                  ": syntax error: " + std::string(err.description());
        return r;
    }
    std::vector<Error> warnings;
    try
    {
        if (root.empty())
        {
            throw Error{1,
                        "nothing to run: the scenario is empty (no chassis, clients, steps or expectations)"};
        }
        Scenario& s = r.scenario;
        Tbl top(root, "scenario");
        s.title = top.Str("title").value_or("");
        s.description = top.Str("description").value_or("");
        ReadPlatform(top, s);
        ReadFans(top, s, warnings);
        ReadTemps(top, s);
        ReadPsus(top, s, warnings);
        if (const toml::table* rt = top.Table("redundancy"))
        {
            Tbl t(*rt, "redundancy");
            s.redundancyConfig = t.U32("config").value_or(0);
            s.redundancyState = t.U32("state").value_or(0);
            t.Done();
        }
        if (const toml::table* st = top.Table("setting"))
        {
            Tbl t(*st, "setting");
            if (const toml::node* n = t.Node("ktz"))
            {
                if (n->is_integer())
                {
                    s.ktzSetting = std::to_string(n->as_integer()->get());
                }
                else if (n->is_string())
                {
                    s.ktzSetting = n->as_string()->get();
                }
                else
                {
                    t.Fail(*n, "ktz", std::string("expected an integer or a string, found ") + TypeText(*n));
                }
            }
            t.Done();
        }
        ReadClients(top, s);
        ReadIni(top, s);
        double last = 0;
        size_t index = 0;
        for (const toml::table* st : Tables(top, "step"))
        {
            Step step = ReadStep(*st, ++index, s, warnings);
            if (!s.steps.empty() && s.steps.back().action == "stop")
            {
                throw Error{step.line, "step[" + std::to_string(index) + "]: comes after the 'stop' step"};
            }
            if (step.at < last)
            {
                throw Error{step.line, "step[" + std::to_string(index) + "]: time goes backwards: at = " +
                                           Secs(step.at) + " after a step at " + Secs(last)};
            }
            last = step.at;
            s.steps.push_back(std::move(step));
        }
        const auto end = top.Seconds("end");
        s.end = end.value_or(last + 10);
        if (end && *end < last)
        {
            throw Error{LineOf(*top.Node("end")), "scenario.end: the run ends at " + Secs(*end) +
                                                      " before its last step at " + Secs(last)};
        }
        // Expectations are read last: they are checked against the clients,
        // the sensors and the end of the run declared above.
        const std::vector<Sensor> sensors = ReportedSensorList(s);
        index = 0;
        for (const toml::table* et : Tables(top, "expect"))
        {
            s.expectations.push_back(ReadExpect(*et, ++index, s, sensors));
        }
        top.Done();
    }
    catch (const Error& e)
    {
        r.error = sourceName + ":" + std::to_string(e.line) + ": " + e.message;
        r.scenario = Scenario{};
        return r;
    }
    std::stable_sort(warnings.begin(), warnings.end(),
                     [](const Error& a, const Error& b) { return a.line < b.line; });
    for (const auto& w : warnings)
    {
        r.warnings.push_back(sourceName + ":" + std::to_string(w.line) + ": warning: " + w.message);
    }
    r.ok = true;
    return r;
}

} // namespace ktzhost
