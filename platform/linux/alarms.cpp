// Alarm transitions to chassis log events.
#include "alarms.h"

namespace ktzlinux
{
namespace
{
ktzplat::ChassisLogEvent MakeEvent(const AlarmState& a)
{
    ktzplat::ChassisLogEvent ev;
    ev.type = 18;
    ev.flags = 0x800;
    ev.value1 = static_cast<uint16_t>(a.category);
    ev.value2 = a.index;
    ev.value3 = a.critical ? 2 : 1;
    ev.hasArgs = true;
    ev.hasText = true;
    if (a.attribute == "presence")
    {
        ev.messageId = a.asserted ? kMsgSupplyInserted : kMsgSupplyRemoved;
        ev.args = {a.label, a.chip};
        ev.text = a.label + " (" + a.chip + ") " + (a.asserted ? "inserted" : "removed");
        return ev;
    }
    ev.messageId = a.asserted ? kMsgAlarmAsserted : kMsgAlarmCleared;
    ev.args = {a.label, a.chip, a.attribute};
    ev.text = a.label + " (" + a.chip + "): " + a.attribute + (a.asserted ? " asserted" : " cleared");
    return ev;
}
} // namespace

std::vector<ktzplat::ChassisLogEvent> AlarmTracker::Update(const std::map<std::string, AlarmState>& current)
{
    std::vector<ktzplat::ChassisLogEvent> events;
    for (const auto& [key, a] : current)
    {
        auto it = asserted_.find(key);
        // A supply's presence is known from the first poll on: only its
        // changes are events. Any other alarm starts cleared, so one already
        // asserted at the first poll is reported.
        if (it == asserted_.end())
        {
            asserted_[key] = a.attribute == "presence" ? a.asserted : false;
            it = asserted_.find(key);
        }
        if (it->second != a.asserted)
        {
            it->second = a.asserted;
            events.push_back(MakeEvent(a));
        }
    }
    return events;
}

} // namespace ktzlinux
