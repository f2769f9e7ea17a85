// The chassis log registry and the rendering of events through it.
#include "registry.h"

#include "messages.h"

#include <string_view>

namespace ktzredfish
{

namespace
{

struct ChassisMessage
{
    const char* key; // the chassis's own message ID
    const char* description;
    const char* text;
    int args;
    Severity severity;
    const char* resolution;
};

constexpr const char* kGenericKey = "ChassisEvent";

const ChassisMessage kChassisMessages[] = {
    {"FAN0004", "A fan's speed fell below its lower threshold.",
     "Fan %1 is running below its lower threshold of %2 RPM.", 2, Severity::Warning,
     "Check the fan and the air flow through the chassis; replace the fan if it does not recover."},
    {"PSU0100", "A power supply bay holds no power supply.", "Power supply bay %1 is empty.", 1,
     Severity::Warning, "Insert a power supply into the bay if the chassis needs it for redundancy."},
    {"CHS0210", "The chassis management firmware was updated.", "Chassis management firmware updated.", 0,
     Severity::OK, "None."},
    {"KTZ0001", "A test event posted to the chassis log.", "Test event posted to the chassis log.", 0,
     Severity::OK, "None."},
    {kGenericKey, "A chassis log event whose message ID this registry does not name.",
     "Chassis log event %1: %2", 2, Severity::Warning,
     "See the chassis documentation for the message ID given as the first argument."},
};

const ChassisMessage* Find(std::string_view key)
{
    for (const ChassisMessage& m : kChassisMessages)
    {
        if (key == m.key)
        {
            return &m;
        }
    }
    return nullptr;
}

std::string Joined(const std::vector<std::string>& args)
{
    std::string out;
    for (const std::string& a : args)
    {
        out += out.empty() ? "" : ", ";
        out += a;
    }
    return out;
}

} // namespace

RenderedMessage Render(const LogRecord& r)
{
    RenderedMessage out;
    const ChassisMessage* m = Find(r.messageId);
    if (m != nullptr && m->key != std::string_view(kGenericKey) &&
        static_cast<size_t>(m->args) == r.args.size())
    {
        out.args = r.args;
    }
    else
    {
        // An ID the registry does not name, or one whose arguments do not
        // fit its message: the generic message keeps everything the event had.
        m = Find(kGenericKey);
        std::string detail = r.hasText ? r.text : Joined(r.args);
        if (r.hasText && !r.args.empty())
        {
            detail += " (" + Joined(r.args) + ")";
        }
        out.args = {r.messageId, detail.empty() ? std::string("no details") : detail};
    }
    out.messageId = std::string(kChassisMessagePrefix) + "." + m->key;
    out.message = FillArgs(m->text, out.args);
    out.severity = m->severity;
    return out;
}

nlohmann::json ChassisRegistry(const std::string& odataId)
{
    nlohmann::json messages = nlohmann::json::object();
    for (const ChassisMessage& m : kChassisMessages)
    {
        messages[m.key] = {{"Description", m.description},
                           {"Message", m.text},
                           {"Severity", Name(m.severity)},
                           {"MessageSeverity", Name(m.severity)},
                           {"NumberOfArgs", m.args},
                           {"ParamTypes", std::vector<std::string>(static_cast<size_t>(m.args), "string")},
                           {"Resolution", m.resolution}};
    }
    return {{"@odata.id", odataId},
            {"@odata.type", odata::kMessageRegistry},
            {"Id", kChassisRegistryId},
            {"Name", "KTZ Monitor chassis log message registry"},
            {"Description", "The messages of the chassis log events that ktzmon-redfish reports."},
            {"Language", "en"},
            {"RegistryPrefix", kChassisRegistryPrefix},
            {"RegistryVersion", kChassisRegistryVersion},
            {"OwningEntity", "KTZ Monitor"},
            {"Messages", messages}};
}

} // namespace ktzredfish
