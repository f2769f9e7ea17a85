// Reading a scenario from TOML: syntax errors come from the TOML parser with
// their line; every table is read through a checker that knows its keys, so
// an unknown key, a value of the wrong type or out of range, an unknown step
// action and a step earlier than the one before it are reported with the
// line they stand on. Nothing of a scenario with an error is used.
#include "scenario.h"

#include "ktzclient_decode.h"

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
    bool Has(const std::string& key) const { return t_.contains(key); }

    const toml::node* Node(const std::string& key)
    {
        asked_.insert(key);
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

    // The first key of the table that was not asked for is an error.
    void Done() const
    {
        for (auto&& [k, v] : t_)
        {
            if (asked_.count(std::string(k.str())) == 0)
            {
                const int line = k.source().begin.line ? static_cast<int>(k.source().begin.line) : LineOf(v);
                throw Error{line, where_ + ": unknown key '" + std::string(k.str()) + "'"};
            }
        }
    }

  private:
    const toml::table& t_;
    std::string where_;
    std::set<std::string> asked_;
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
    s.psuBays = static_cast<int32_t>(t.Int("psu_bays", 0, 254).value_or(-1));
    t.Done();
}

void ReadFans(Tbl& top, Scenario& s)
{
    std::set<uint32_t> numbers;
    for (const toml::table* ft : Tables(top, "fan"))
    {
        Tbl t(*ft, "fan[" + std::to_string(s.fans.size() + 1) + "]");
        FanDef f;
        f.number =
            static_cast<uint32_t>(t.Int("number", 1, 255).value_or(static_cast<int64_t>(s.fans.size() + 1)));
        if (!numbers.insert(f.number).second)
        {
            throw Error{t.Line(), t.Where() + ": fan number " + std::to_string(f.number) + " given twice"};
        }
        const auto names = t.Strings("names", 2);
        const auto readings = t.Ints("readings", 2, 0, 0xFFFFFFFFll);
        for (size_t i = 0; i < names.size(); ++i)
        {
            f.names[i] = names[i];
        }
        for (size_t i = 0; i < readings.size(); ++i)
        {
            f.readings[i] = static_cast<uint32_t>(readings[i]);
        }
        f.sensors = t.U8("sensors").value_or(static_cast<uint8_t>(names.empty() ? 1 : names.size()));
        f.lnc = t.U32("lnc").value_or(0);
        f.lc = t.U32("lc").value_or(0);
        f.presence = t.U32("presence").value_or(1);
        f.health = t.U32("health").value_or(1);
        f.pwm = t.U8("pwm").value_or(0);
        t.Done();
        s.fans.push_back(f);
    }
}

void ReadTemps(Tbl& top, Scenario& s)
{
    if (const toml::table* ct = top.Table("chassis_temp"))
    {
        Tbl t(*ct, "chassis_temp");
        TempDef d;
        d.name = t.Str("name").value_or("Chassis");
        d.reading = t.S8("reading").value_or(0);
        d.health = t.U32("health").value_or(0);
        t.Done();
        s.chassisTemp = d;
    }
    for (const toml::table* st : Tables(top, "stash_temp"))
    {
        Tbl t(*st, "stash_temp[" + std::to_string(s.stash.size() + 1) + "]");
        StashDef d;
        d.name = t.Str("name").value_or("");
        d.reading = t.S8("reading").value_or(0);
        d.a = t.U8("a").value_or(2);
        d.b = t.U8("b").value_or(static_cast<uint8_t>(s.stash.size() + 1));
        t.Done();
        s.stash.push_back(d);
    }
}

void ReadPsus(Tbl& top, Scenario& s)
{
    std::set<uint32_t> bays;
    for (const toml::table* pt : Tables(top, "psu"))
    {
        Tbl t(*pt, "psu[" + std::to_string(s.psus.size() + 1) + "]");
        PsuDef p;
        p.bay = static_cast<uint32_t>(t.Int("bay", 1, 254).value_or(static_cast<int64_t>(s.psus.size() + 1)));
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

Step ReadStep(const toml::table& st, size_t index, const Scenario& s)
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
                   "client " + std::to_string(step.target) + " is not defined by a [[client]] table");
        }
    }
    else if (a == "set-fan")
    {
        step.target = need("fan");
        bool known = false;
        for (const auto& f : s.fans)
        {
            known = known || f.number == step.target;
        }
        if (!known)
        {
            t.Fail(*t.Node("fan"), "fan",
                   "fan " + std::to_string(step.target) + " is not defined by a [[fan]] table");
        }
        step.reading1 = t.U32("reading");
        step.reading2 = t.U32("reading2");
        step.presence = t.U32("presence");
        step.health = t.U32("health");
        step.lnc = t.U32("lnc");
        step.lc = t.U32("lc");
    }
    else if (a == "set-temp")
    {
        step.temp = t.S8("reading");
        step.health = t.U32("health");
    }
    else if (a == "set-stash-temp")
    {
        step.target = need("index");
        if (step.target == 0 || step.target > s.stash.size())
        {
            t.Fail(*t.Node("index"), "index", "no stash_temp number " + std::to_string(step.target));
        }
        step.temp = t.S8("reading");
    }
    else if (a == "pull-psu" || a == "insert-psu" || a == "set-psu")
    {
        step.target = need("bay");
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

Expectation ReadExpect(const toml::table& et, size_t index)
{
    Tbl t(et, "expect[" + std::to_string(index) + "]");
    Expectation e;
    e.line = t.Line();
    if (auto log = t.Str("log"))
    {
        e.logLine = *log;
        if (e.logLine.empty())
        {
            t.Fail(*t.Node("log"), "log", "must not be empty");
        }
    }
    const auto client = t.U32("client");
    const auto receives = t.Str("receives");
    if (e.logLine.empty())
    {
        if (!client)
        {
            throw Error{t.Line(), t.Where() + ": an expectation needs 'client' (or 'log')"};
        }
        e.client = *client;
        if (receives)
        {
            e.type = TypeByName(t, "receives", *receives, true);
        }
        else if (!t.Has("sequence"))
        {
            throw Error{t.Line(), t.Where() + ": an expectation needs 'receives' or 'sequence'"};
        }
    }
    else if (client || receives)
    {
        throw Error{t.Line(), t.Where() + ": 'log' expectations take no client or message type"};
    }
    e.after = t.Seconds("after");
    e.by = t.Seconds("by");
    if (e.after && e.by && *e.after > *e.by)
    {
        t.Fail(*t.Node("by"), "by", "ends before 'after'");
    }
    e.count = t.U32("count");
    e.minCount = t.U32("min_count");
    e.maxCount = t.U32("max_count");
    if (const toml::table* w = t.Table("where"))
    {
        for (auto&& [k, v] : *w)
        {
            if (v.is_integer())
            {
                e.where[std::string(k.str())] = std::to_string(v.as_integer()->get());
            }
            else if (v.is_boolean())
            {
                e.where[std::string(k.str())] = v.as_boolean()->get() ? "1" : "0";
            }
            else if (v.is_string())
            {
                e.where[std::string(k.str())] = v.as_string()->get();
            }
            else
            {
                throw Error{LineOf(v), t.Where() + ".where." + std::string(k.str()) +
                                           ": expected an integer, boolean or string, found " + TypeText(v)};
            }
        }
    }
    if (t.Has("sequence"))
    {
        for (const auto& name : t.Strings("sequence", 1000))
        {
            e.sequence.push_back(TypeByName(t, "sequence", name, false));
        }
    }
    t.Done();
    return e;
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
    toml::table root;
    try
    {
        root = toml::parse(text, sourceName);
    }
    catch (const toml::parse_error& err)
    {
        r.error = sourceName + ":" + std::to_string(err.source().begin.line) +
                  ": syntax error: " + std::string(err.description());
        return r;
    }
    try
    {
        Scenario& s = r.scenario;
        Tbl top(root, "scenario");
        s.title = top.Str("title").value_or("");
        s.description = top.Str("description").value_or("");
        ReadPlatform(top, s);
        ReadFans(top, s);
        ReadTemps(top, s);
        ReadPsus(top, s);
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
            Step step = ReadStep(*st, ++index, s);
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
        index = 0;
        for (const toml::table* et : Tables(top, "expect"))
        {
            s.expectations.push_back(ReadExpect(*et, ++index));
        }
        const auto end = top.Seconds("end");
        s.end = end.value_or(last + 10);
        if (end && *end < last)
        {
            throw Error{LineOf(*top.Node("end")), "scenario.end: the run ends at " + Secs(*end) +
                                                      " before its last step at " + Secs(last)};
        }
        top.Done();
    }
    catch (const Error& e)
    {
        r.error = sourceName + ":" + std::to_string(e.line) + ": " + e.message;
        r.scenario = Scenario{};
        return r;
    }
    r.ok = true;
    return r;
}

} // namespace ktzhost
