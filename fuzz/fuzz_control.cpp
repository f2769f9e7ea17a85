// libFuzzer target for ktzmond's control request lines: the input is one
// line, read against the demonstration chassis (or, when its first byte is
// odd, against none, as when the Linux machine is served). It aborts when
// the reading throws, when a refusal's text or its JSON reply is not
// printable UTF-8, or when an accepted request names a fan, stash
// temperature or bay the chassis does not have, a value outside its range,
// an empty event argument, or a repeat count beyond the bound.
#include "control_request.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <text.h>

namespace
{

[[noreturn]] void Fail(const char* what)
{
    std::fprintf(stderr, "fuzz_control: %s\n", what);
    std::abort();
}

const ktzhost::Scenario& Demo()
{
    static const ktzhost::ParseResult parsed = ktzhost::ParseScenario(ktzhost::DemoScenarioText(), "demo");
    if (!parsed.ok)
    {
        Fail("the demonstration chassis does not read");
    }
    return parsed.scenario;
}

void CheckAccepted(const ktzmond::ControlRequest& r, const ktzhost::Scenario* chassis)
{
    const ktzhost::Step& st = r.step;
    if (ktzmond::ChangesSimulatedChassis(r.cmd) && chassis == nullptr)
    {
        Fail("a chassis change was accepted without a simulated chassis");
    }
    if (r.cmd == "set-fan" && std::none_of(chassis->fans.begin(), chassis->fans.end(),
                                           [&](const ktzhost::FanDef& f) { return f.number == st.target; }))
    {
        Fail("a fan the chassis does not have was accepted");
    }
    if (r.cmd == "set-stash-temp" && (st.target == 0 || st.target > chassis->stash.size()))
    {
        Fail("a stash temperature the chassis does not have was accepted");
    }
    if ((r.cmd == "pull-psu" || r.cmd == "insert-psu" || r.cmd == "set-psu") && st.target == 0)
    {
        Fail("bay 0 was accepted");
    }
    if (st.health && r.cmd == "set-fan" && (*st.health < 1 || *st.health > 3))
    {
        Fail("a fan health outside 1 to 3 was accepted");
    }
    if (r.cmd == "log-event")
    {
        if (r.repeat == 0 || r.repeat > ktzmond::kMaxRepeat || st.values.size() > 3)
        {
            Fail("a log event beyond its bounds was accepted");
        }
        for (const std::string& a : st.args)
        {
            if (a.empty() || a.find('\0') != std::string::npos)
            {
                Fail("an empty argument or one with a NUL was accepted");
            }
        }
    }
    if (r.cmd == "disconnect" && r.id == 0)
    {
        Fail("client 0 was accepted");
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const ktzhost::Scenario* chassis = size > 0 && (data[0] & 1) != 0 ? nullptr : &Demo();
    const std::string_view line(reinterpret_cast<const char*>(data), size);
    ktzmond::ControlRequest req;
    std::string error;
    bool ok = false;
    try
    {
        ok = ktzmond::ParseControlRequest(line, chassis, "linux", &req, &error);
    }
    catch (...)
    {
        Fail("reading a request threw");
    }
    if (ok)
    {
        CheckAccepted(req, chassis);
        return 0;
    }
    if (error.empty() || !ktzhost::IsUtf8(error) ||
        std::any_of(error.begin(), error.end(), [](char c) { return static_cast<unsigned char>(c) < 0x20; }))
    {
        Fail("a refusal's text is empty, not UTF-8 or holds control characters");
    }
    try
    {
        // The strict serialiser: what once ended the daemon.
        (void)nlohmann::json({{"ok", false}, {"error", error}}).dump();
    }
    catch (...)
    {
        Fail("a refusal's reply does not serialise");
    }
    return 0;
}
