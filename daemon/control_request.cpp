// Reading and checking control request lines.
#include "control_request.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <limits>
#include <optional>
#include <set>
#include <stdexcept>
#include <text.h>
#include <vector>

namespace ktzmond
{
namespace
{

using nlohmann::json;

struct Invalid : std::runtime_error
{
    using std::runtime_error::runtime_error;
};

constexpr int64_t kU32Max = std::numeric_limits<uint32_t>::max();

// The fields of one request, each taken at most once with its type and
// range checked; whatever is left over at the end is unknown.
class Fields
{
  public:
    explicit Fields(const json& j) : j_(j) {}

    bool Has(const char* key) const { return j_.contains(key); }

    std::optional<int64_t> Int(const char* key, int64_t lo, int64_t hi)
    {
        const json* v = Take(key);
        if (v == nullptr)
        {
            return std::nullopt;
        }
        return Number(*v, key, lo, hi);
    }
    std::optional<uint32_t> U32(const char* key, int64_t lo = 0, int64_t hi = kU32Max)
    {
        const auto v = Int(key, lo, hi);
        return v ? std::optional<uint32_t>(static_cast<uint32_t>(*v)) : std::nullopt;
    }
    uint32_t NeedU32(const char* key, int64_t lo, int64_t hi, const std::string& what)
    {
        if (!Has(key))
        {
            throw Invalid(std::string("missing \"") + key + "\" (" + what + ")");
        }
        return *U32(key, lo, hi);
    }
    std::optional<bool> Bool(const char* key)
    {
        const json* v = Take(key);
        if (v == nullptr)
        {
            return std::nullopt;
        }
        if (!v->is_boolean())
        {
            throw Invalid(std::string("\"") + key + "\" must be true or false");
        }
        return v->get<bool>();
    }
    // A text: a JSON string (valid UTF-8 by then), without NUL, at most
    // `maxBytes` long, and not empty unless allowed.
    std::optional<std::string> Text(const char* key, size_t maxBytes, bool allowEmpty)
    {
        const json* v = Take(key);
        if (v == nullptr)
        {
            return std::nullopt;
        }
        if (!v->is_string())
        {
            throw Invalid(std::string("\"") + key + "\" must be a text");
        }
        std::string s = v->get<std::string>();
        CheckText(s, key, maxBytes, allowEmpty);
        return s;
    }
    const json* Take(const char* key)
    {
        const auto it = j_.find(key);
        if (it == j_.end())
        {
            return nullptr;
        }
        used_.insert(key);
        return &*it;
    }
    // No field left that the command does not know.
    void CheckAllUsed(const std::string& cmd) const
    {
        for (const auto& [key, value] : j_.items())
        {
            if (key != "cmd" && used_.count(key) == 0)
            {
                throw Invalid("'" + cmd + "' has no field \"" + ktzhost::Printable(key, 64) + "\"");
            }
        }
    }

    static int64_t Number(const json& v, const std::string& what, int64_t lo, int64_t hi)
    {
        // Every change request passes here: the texts are made only for a refusal.
        const auto range = [&] { return std::to_string(lo) + " to " + std::to_string(hi); };
        if (!v.is_number_integer())
        {
            throw Invalid("\"" + what + "\" must be a whole number from " + range());
        }
        // An unsigned number beyond int64 is out of every range here.
        const bool big = v.is_number_unsigned() && v.get<uint64_t>() > static_cast<uint64_t>(kU32Max);
        const int64_t n = big ? hi + 1 : v.get<int64_t>();
        if (big || n < lo || n > hi)
        {
            throw Invalid("\"" + what + "\" is " + v.dump() + ", outside " + range());
        }
        return n;
    }
    static void CheckText(const std::string& s, const std::string& what, size_t maxBytes, bool allowEmpty)
    {
        if (s.empty() && !allowEmpty)
        {
            throw Invalid("\"" + what + "\" must not be empty");
        }
        if (s.size() > maxBytes)
        {
            throw Invalid("\"" + what + "\" is " + std::to_string(s.size()) + " bytes long, at most " +
                          std::to_string(maxBytes) + " allowed");
        }
        if (s.find('\0') != std::string::npos)
        {
            throw Invalid("\"" + what + "\" holds a NUL character, where the chassis' text would end");
        }
    }

  private:
    const json& j_;
    std::set<std::string> used_;
};

uint32_t BayCount(const ktzhost::Scenario& s)
{
    if (s.psuBays >= 0)
    {
        return static_cast<uint32_t>(s.psuBays);
    }
    uint32_t n = 0;
    for (const auto& p : s.psus)
    {
        n = std::max(n, p.bay);
    }
    return n;
}

std::string FanList(const ktzhost::Scenario& s)
{
    std::string out;
    for (const auto& f : s.fans)
    {
        out += (out.empty() ? "" : ", ") + std::to_string(f.number);
    }
    return out.empty() ? "none" : out;
}

void ReadChassisChange(const std::string& cmd, const ktzhost::Scenario& s, Fields& f, ktzhost::Step* st)
{
    if (cmd == "set-fan")
    {
        st->target = f.NeedU32("fan", 1, 255, "the fan number");
        const bool declared = std::any_of(s.fans.begin(), s.fans.end(),
                                          [&](const ktzhost::FanDef& d) { return d.number == st->target; });
        if (!declared)
        {
            throw Invalid("the chassis has no fan " + std::to_string(st->target) +
                          " (its fans: " + FanList(s) + ")");
        }
        st->reading1 = f.U32("reading");
        st->reading2 = f.U32("reading2");
        st->presence = f.U32("presence");
        st->health = f.U32("health", 1, 3);
        st->lnc = f.U32("lnc");
        st->lc = f.U32("lc");
    }
    else if (cmd == "set-temp")
    {
        const auto t = f.Int("reading", -128, 127);
        st->temp = t ? std::optional<int8_t>(static_cast<int8_t>(*t)) : std::nullopt;
        st->health = f.U32("health", 0, 4);
    }
    else if (cmd == "set-stash-temp")
    {
        if (s.stash.empty())
        {
            throw Invalid("the chassis has no stash temperatures");
        }
        st->target =
            f.NeedU32("index", 1, static_cast<int64_t>(s.stash.size()), "the stash temperature, from 1");
        const auto t = f.Int("reading", -128, 127);
        st->temp = t ? std::optional<int8_t>(static_cast<int8_t>(*t)) : std::nullopt;
    }
    else if (cmd == "pull-psu" || cmd == "insert-psu" || cmd == "set-psu")
    {
        const uint32_t bays = BayCount(s);
        if (bays == 0)
        {
            throw Invalid("the chassis has no power-supply bays");
        }
        st->target = f.NeedU32("bay", 1, bays, "the bay, from 1");
        st->state = f.U32("state");
        st->alert = f.U32("alert");
        if (cmd != "pull-psu")
        {
            st->fruReadable = f.Bool("fru-readable");
        }
        if (cmd == "set-psu")
        {
            st->presence = f.U32("presence");
        }
    }
    else if (cmd == "set-redundancy")
    {
        st->config = f.U32("config", 0, 4);
        st->state = f.U32("state", 0, 3);
    }
}

void ReadLogEvent(Fields& f, ktzhost::Step* st, uint32_t* repeat)
{
    st->text = f.Text("message-id", kMaxMessageId, false).value_or("KTZ0001");
    if (const json* v = f.Take("values"))
    {
        if (!v->is_array() || v->size() > 3)
        {
            throw Invalid("\"values\" must be a list of at most 3 whole numbers");
        }
        for (size_t i = 0; i < v->size(); ++i)
        {
            const std::string what = "values[" + std::to_string(i) + "]";
            st->values.push_back(static_cast<uint16_t>(Fields::Number((*v)[i], what, 0, 0xFFFF)));
        }
    }
    if (const json* v = f.Take("args"))
    {
        if (!v->is_array() || v->size() > kMaxEventArgs)
        {
            throw Invalid("\"args\" must be a list of at most " + std::to_string(kMaxEventArgs) + " texts");
        }
        // An empty list still sends an argument block (just its closing
        // empty text); an empty argument would close it early.
        st->hasArgs = true;
        for (size_t i = 0; i < v->size(); ++i)
        {
            const std::string what = "args[" + std::to_string(i) + "]";
            if (!(*v)[i].is_string())
            {
                throw Invalid("\"" + what + "\" must be a text");
            }
            std::string a = (*v)[i].get<std::string>();
            if (a.empty())
            {
                throw Invalid("\"" + what +
                              "\" is empty: an empty text ends the event's argument block, so the arguments "
                              "after it would be lost");
            }
            Fields::CheckText(a, what, kMaxControlLine, false);
            st->args.push_back(std::move(a));
        }
    }
    st->eventText = f.Text("text", kMaxControlLine, true);
    st->flags = f.U32("flags").value_or(0x800);
    *repeat = f.U32("repeat", 1, kMaxRepeat).value_or(1);
}

void ReadKtzSetting(Fields& f, ktzhost::Step* st)
{
    const json* v = f.Take("value");
    if (v == nullptr)
    {
        throw Invalid("missing \"value\" (the KTZ setting)");
    }
    if (v->is_number())
    {
        st->text = std::to_string(Fields::Number(*v, "value", 0, kU32Max));
        return;
    }
    if (!v->is_string())
    {
        throw Invalid("\"value\" must be a text or a whole number");
    }
    st->text = v->get<std::string>();
    Fields::CheckText(st->text, "value", kMaxKtzValue, false);
}

} // namespace

bool ChangesSimulatedChassis(std::string_view cmd)
{
    for (const char* c :
         {"set-fan", "set-temp", "set-stash-temp", "pull-psu", "insert-psu", "set-psu", "set-redundancy"})
    {
        if (cmd == c)
        {
            return true;
        }
    }
    return false;
}

bool ParseControlRequest(std::string_view line, const ktzhost::Scenario* chassis,
                         std::string_view chassisName, ControlRequest* out, std::string* error)
{
    try
    {
        if (line.size() > kMaxControlLine)
        {
            throw Invalid("request line of " + std::to_string(line.size()) + " bytes, at most " +
                          std::to_string(kMaxControlLine) + " allowed");
        }
        json j;
        try
        {
            j = json::parse(line.begin(), line.end());
        }
        catch (const json::parse_error& e)
        {
            // Not the parser's own text: it quotes the bytes it read.
            throw Invalid("the request is not JSON (at byte " + std::to_string(e.byte) + ")" +
                          (ktzhost::IsUtf8(line) ? "" : ": it is not valid UTF-8"));
        }
        if (!j.is_object())
        {
            throw Invalid("the request must be a JSON object");
        }
        Fields f(j);
        const json* cmd = f.Take("cmd");
        if (cmd == nullptr || !cmd->is_string())
        {
            throw Invalid("missing \"cmd\" (the command, a text)");
        }
        out->cmd = cmd->get<std::string>();
        out->step = ktzhost::Step{};
        out->step.action = out->cmd;
        out->repeat = 1;
        if (out->cmd == "status" || out->cmd == "clients")
        {
        }
        else if (out->cmd == "disconnect")
        {
            out->id = f.NeedU32("id", 1, kU32Max, "the client ID");
        }
        else if (ChangesSimulatedChassis(out->cmd))
        {
            if (chassis == nullptr)
            {
                throw Invalid("'" + out->cmd + "' changes the simulated chassis; this daemon serves the " +
                              std::string(chassisName) + " chassis, whose sensors only the machine changes");
            }
            ReadChassisChange(out->cmd, *chassis, f, &out->step);
        }
        else if (out->cmd == "log-event")
        {
            ReadLogEvent(f, &out->step, &out->repeat);
        }
        else if (out->cmd == "set-ktz")
        {
            ReadKtzSetting(f, &out->step);
        }
        else
        {
            throw Invalid("unknown command '" + ktzhost::Printable(out->cmd, 64) + "'");
        }
        f.CheckAllUsed(out->cmd);
        return true;
    }
    catch (const Invalid& e)
    {
        *error = e.what();
    }
    catch (const std::exception& e)
    {
        // Nothing above should throw anything else; should it, the reply
        // still says no, and shows the text safely.
        *error = "the request cannot be read: " + ktzhost::Printable(e.what());
    }
    return false;
}

} // namespace ktzmond
