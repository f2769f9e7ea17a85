// The message registry of the chassis log ("KtzmonChassis"), which the
// service publishes under /redfish/v1/Registries: one message per chassis
// message ID this project's chassis sources post, and ChassisEvent for any
// other ID (its arguments: the chassis's ID and the event's text or
// arguments). A log entry's MessageId, Message, MessageArgs and severity
// come from here.
#ifndef KTZREDFISH_REGISTRY_H
#define KTZREDFISH_REGISTRY_H

#include "picture.h"
#include "schema.h"

#include <nlohmann/json.hpp>

#include <string>
#include <vector>

namespace ktzredfish
{

inline constexpr const char* kChassisRegistryPrefix = "KtzmonChassis";
inline constexpr const char* kChassisRegistryVersion = "1.0.0";
inline constexpr const char* kChassisRegistryId = "KtzmonChassis.1.0.0";
inline constexpr const char* kChassisMessagePrefix = "KtzmonChassis.1.0";

struct RenderedMessage
{
    std::string messageId; // "KtzmonChassis.1.0.FAN0004"
    std::string message;
    std::vector<std::string> args;
    Severity severity = Severity::OK;
};

// A chassis log event as a registry message.
RenderedMessage Render(const LogRecord& r);

// The registry itself, as served at `odataId`.
nlohmann::json ChassisRegistry(const std::string& odataId);

} // namespace ktzredfish

#endif
