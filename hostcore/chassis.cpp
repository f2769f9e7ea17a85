// The simulated chassis of the platform stand-in: its set-up from a
// scenario and the application of one timeline step.
#include "chassis.h"

#include <algorithm>
#include <ktzplatform_control.h>
#include <optional>

namespace ktzhost
{
namespace
{

const char* const kKtzSettingKey = "ZNB_KelvanorMode";

ktzplat::PsuBay PsuFrom(const PsuDef& p)
{
    ktzplat::PsuBay b;
    b.presence = p.presence;
    b.state = p.state;
    b.alert = p.alert;
    b.fruReadable = p.fruReadable && p.presence == 1;
    b.fru = p.fru;
    b.fru.resize(256, 0);
    return b;
}

const PsuDef* ScenarioPsu(const Scenario& s, uint32_t bay)
{
    for (const auto& p : s.psus)
    {
        if (p.bay == bay)
        {
            return &p;
        }
    }
    return nullptr;
}

} // namespace

void SetUpChassis(const Scenario& s, Chassis* c)
{
    ktzplat::SetPlatformId(s.platformId);
    ktzplat::SetCapWordA(s.capWordA);
    ktzplat::SetCapWordB(s.capWordB);
    ktzplat::SetStashWord(s.stashWord);
    uint32_t maxFan = 0;
    for (const auto& f : s.fans)
    {
        maxFan = std::max(maxFan, f.number);
        ktzplat::Fan pf;
        pf.name1 = f.names[0];
        pf.name2 = f.names[1];
        pf.presence = f.presence;
        pf.health = f.health;
        pf.deriveHealth = !f.healthGiven;
        pf.pwm = f.pwm;
        pf.sensorCount = f.sensors;
        pf.reading1 = f.readings[0];
        pf.reading2 = f.readings[1];
        pf.lncThreshold = f.lnc;
        pf.lcThreshold = f.lc;
        ktzplat::SetFan(f.number, pf);
    }
    for (uint32_t n = 1; n <= maxFan; ++n)
    {
        bool defined = false;
        for (const auto& f : s.fans)
        {
            defined = defined || f.number == n;
        }
        if (!defined)
        {
            ktzplat::RemoveFan(n); // a gap in the fan numbers: that fan cannot be read
        }
    }
    if (s.fanCountA != 0 || s.fanCountB != 0)
    {
        ktzplat::SetFanCounts(s.fanCountA, s.fanCountB);
    }
    else
    {
        ktzplat::SetFanCounts(maxFan, 0);
    }
    if (s.chassisTemp)
    {
        ktzplat::SetChassisTemp({s.chassisTemp->name, s.chassisTemp->health, s.chassisTemp->reading});
    }
    std::vector<ktzplat::StashRecord> stash;
    for (const auto& st : s.stash)
    {
        stash.push_back({st.a, st.b, st.reading, st.name});
    }
    ktzplat::SetStash(stash);
    uint32_t maxBay = 0;
    for (const auto& p : s.psus)
    {
        maxBay = std::max(maxBay, p.bay);
        ktzplat::SetPsuBay(p.bay, PsuFrom(p));
    }
    c->bays = s.psuBays >= 0 ? s.psuBays : static_cast<int32_t>(maxBay);
    ktzplat::SetPsuBayCount(c->bays);
    c->redConfig = s.redundancyConfig;
    c->redState = s.redundancyState;
    ktzplat::SetRedundancy(c->redConfig, c->redState);
    ktzplat::ConfigSet(kKtzSettingKey, s.ktzSetting);
}

namespace
{

std::string Opt(const char* name, const std::optional<uint32_t>& v)
{
    return v ? std::string(" ") + name + "=" + std::to_string(*v) : "";
}

} // namespace

std::string ApplyChassisStep(const Scenario& s, const Step& st, Chassis* c)
{
    const std::string& a = st.action;
    if (a == "set-fan")
    {
        ktzplat::Fan f = ktzplat::GetFan(st.target);
        f.reading1 = st.reading1.value_or(f.reading1);
        f.reading2 = st.reading2.value_or(f.reading2);
        f.presence = st.presence.value_or(f.presence);
        if (st.health)
        {
            f.health = *st.health; // given health holds from now on
            f.deriveHealth = false;
        }
        f.lncThreshold = st.lnc.value_or(f.lncThreshold);
        f.lcThreshold = st.lc.value_or(f.lcThreshold);
        ktzplat::SetFan(st.target, f);
        return "fan " + std::to_string(st.target) + Opt("reading", st.reading1) +
               Opt("reading2", st.reading2) + Opt("presence", st.presence) + Opt("health", st.health) +
               Opt("lnc", st.lnc) + Opt("lc", st.lc);
    }
    if (a == "set-temp")
    {
        auto t = ktzplat::GetChassisTemp();
        t.reading = st.temp.value_or(t.reading);
        t.health = st.health.value_or(t.health);
        ktzplat::SetChassisTemp(t);
        return "chassis temperature reading=" + std::to_string(t.reading) +
               " health=" + std::to_string(t.health);
    }
    if (a == "set-stash-temp")
    {
        auto stash = ktzplat::GetStash();
        auto& r = stash.at(st.target - 1);
        r.reading = st.temp.value_or(r.reading);
        ktzplat::SetStash(stash);
        return "stash temperature " + std::to_string(st.target) + " '" + r.name +
               "' reading=" + std::to_string(r.reading);
    }
    if (a == "pull-psu")
    {
        auto b = ktzplat::GetPsuBay(st.target);
        b.presence = 0;
        b.state = st.state.value_or(b.state);
        b.alert = st.alert.value_or(b.alert);
        b.fruReadable = false;
        ktzplat::SetPsuBay(st.target, b);
        return "power supply pulled from bay " + std::to_string(st.target) + Opt("state", st.state) +
               Opt("alert", st.alert);
    }
    if (a == "insert-psu")
    {
        auto b = ktzplat::GetPsuBay(st.target);
        const PsuDef* def = ScenarioPsu(s, st.target);
        b.presence = 1;
        b.state = st.state.value_or(b.state == 0 ? 1 : b.state);
        b.alert = st.alert.value_or(b.alert);
        if (st.fru)
        {
            b.fru = *st.fru;
        }
        else if (def != nullptr && b.fru.empty())
        {
            b.fru = def->fru;
        }
        b.fru.resize(256, 0);
        b.fruReadable = st.fruReadable.value_or(true);
        ktzplat::SetPsuBay(st.target, b);
        return "power supply inserted into bay " + std::to_string(st.target) +
               " state=" + std::to_string(b.state) + " alert=" + std::to_string(b.alert) +
               (b.fruReadable ? " FRU readable" : " FRU not readable");
    }
    if (a == "set-psu")
    {
        auto b = ktzplat::GetPsuBay(st.target);
        b.presence = st.presence.value_or(b.presence);
        b.state = st.state.value_or(b.state);
        b.alert = st.alert.value_or(b.alert);
        b.fruReadable = st.fruReadable.value_or(b.fruReadable);
        if (st.fru)
        {
            b.fru = *st.fru;
            b.fru.resize(256, 0);
        }
        ktzplat::SetPsuBay(st.target, b);
        return "power supply bay " + std::to_string(st.target) + Opt("presence", st.presence) +
               Opt("state", st.state) + Opt("alert", st.alert) +
               (st.fruReadable ? (*st.fruReadable ? " FRU readable" : " FRU not readable") : "");
    }
    if (a == "set-redundancy")
    {
        c->redConfig = st.config.value_or(c->redConfig);
        c->redState = st.state.value_or(c->redState);
        ktzplat::SetRedundancy(c->redConfig, c->redState);
        return "power redundancy config=" + std::to_string(c->redConfig) +
               " state=" + std::to_string(c->redState);
    }
    if (a == "log-event")
    {
        ktzplat::ChassisLogEvent ev;
        ev.value1 = st.values.size() > 0 ? st.values[0] : 0;
        ev.value2 = st.values.size() > 1 ? st.values[1] : 0;
        ev.value3 = st.values.size() > 2 ? st.values[2] : 0;
        ev.flags = st.flags;
        ev.messageId = st.text;
        ev.hasArgs = st.hasArgs;
        ev.args = st.args;
        ev.hasText = st.eventText.has_value();
        ev.text = st.eventText.value_or("");
        ktzplat::PostChassisLogEvent(ev);
        return "chassis log event " + st.text + " posted";
    }
    if (a == "set-ktz")
    {
        ktzplat::ConfigSet(kKtzSettingKey, st.text);
        return "KTZ setting set to " + st.text;
    }
    return "";
}

} // namespace ktzhost
