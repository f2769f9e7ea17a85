// libFuzzer target for the scenario reader of ktzmon-host. Each input is a
// scenario text; reading it must end in either an error that names the file
// and a line, or a run plan the host can walk without further checks: steps
// in time order with at most one closing stop, and expectations that name
// declared clients, known fields of their message type and windows inside
// the run. Anything else, an exception that escapes the reader, or a
// sanitizer report, aborts.
#include "ktzclient_fields.h"
#include "scenario.h"

#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace
{

// Scenarios are small files; larger inputs only slow the search down.
constexpr size_t kMaxInput = 16384;
const std::string kSource = "fuzz.toml";

[[noreturn]] void Fail(const std::string& what, const std::string& detail)
{
    std::fprintf(stderr, "fuzz_scenario: %s: %s\n", what.c_str(), detail.c_str());
    std::abort();
}

bool StartsWithFileAndLine(const std::string& error)
{
    const std::string prefix = kSource + ":";
    if (error.rfind(prefix, 0) != 0)
    {
        return false;
    }
    size_t i = prefix.size();
    const size_t digits = i;
    while (i < error.size() && std::isdigit(static_cast<unsigned char>(error[i])) != 0)
    {
        ++i;
    }
    return i > digits && error.compare(i, 2, ": ") == 0;
}

bool ClientDeclared(const ktzhost::Scenario& s, uint32_t id)
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

void CheckPlan(const ktzhost::Scenario& s)
{
    double last = 0;
    for (size_t i = 0; i < s.steps.size(); ++i)
    {
        const auto& step = s.steps[i];
        if (step.at < last)
        {
            Fail("steps out of order", std::to_string(step.line));
        }
        if (step.action == "stop" && i + 1 != s.steps.size())
        {
            Fail("a step after stop", std::to_string(step.line));
        }
        last = step.at;
    }
    if (s.end < last)
    {
        Fail("the run ends before its last step", std::to_string(s.end));
    }
    for (const auto& f : s.fans)
    {
        if (f.number < 1 || f.number > 255 || f.sensors < 1 || f.sensors > 2)
        {
            Fail("fan the module cannot read as given", std::to_string(f.number));
        }
    }
    if (s.stash.size() > 7)
    {
        Fail("more stash temperatures than the platform reports", std::to_string(s.stash.size()));
    }
    for (const auto& e : s.expectations)
    {
        const std::string at = "expectation at line " + std::to_string(e.line);
        if (e.logLine.empty() && !ClientDeclared(s, e.client))
        {
            Fail(at, "undeclared client " + std::to_string(e.client));
        }
        if ((e.after && *e.after > s.end) || (e.by && *e.by > s.end) || (e.after && e.by && *e.after > *e.by))
        {
            Fail(at, "window outside the run");
        }
        if (e.count && (e.minCount || e.maxCount))
        {
            Fail(at, "count with min_count or max_count");
        }
        if (!e.sequence.empty() && (e.type != 0 || !e.where.empty()))
        {
            Fail(at, "sequence with a message type or where");
        }
        for (const auto& [key, value] : e.where)
        {
            if (ktzclient::FindField(e.type, key) == nullptr)
            {
                Fail(at, "unknown field '" + key + "'");
            }
        }
        (void)e.Describe();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size > kMaxInput)
    {
        return -1; // not added to the corpus
    }
    const std::string text(reinterpret_cast<const char*>(data), size);
    const ktzhost::ParseResult r = ktzhost::ParseScenario(text, kSource);
    if (!r.ok)
    {
        if (!StartsWithFileAndLine(r.error))
        {
            Fail("error without file and line", r.error);
        }
        if (!r.scenario.steps.empty() || !r.scenario.expectations.empty() || !r.warnings.empty())
        {
            Fail("a refused scenario left a plan behind", r.error);
        }
        return 0;
    }
    if (!r.error.empty())
    {
        Fail("a read scenario carries an error", r.error);
    }
    for (const auto& w : r.warnings)
    {
        if (!StartsWithFileAndLine(w))
        {
            Fail("warning without file and line", w);
        }
    }
    CheckPlan(r.scenario);
    return 0;
}
