// The standard messages this service answers with, in one table: each Base
// registry message it uses with its text, severity, resolution and the HTTP
// status it goes with. Error bodies are built only from this table, and so
// are the messages inside events that come from the standard registries.
#ifndef KTZREDFISH_MESSAGES_H
#define KTZREDFISH_MESSAGES_H

#include "http.h"
#include "schema.h"

#include <nlohmann/json.hpp>

#include <string>
#include <vector>

namespace ktzredfish
{

// The registries whose messages appear in responses and events, with the
// versions their message IDs carry.
inline constexpr const char* kBaseRegistry = "Base.1.22.0";
inline constexpr const char* kBasePrefix = "Base.1.22";
inline constexpr const char* kResourceEventRegistry = "ResourceEvent.1.4.3";
inline constexpr const char* kResourceEventPrefix = "ResourceEvent.1.4";

enum class Msg
{
    // Base
    Success,
    Created,
    GeneralError,
    InternalError,
    ResourceNotFound, // type, name
    InvalidURI,       // uri
    NoValidSession,
    ResourceAtUriUnauthorized, // uri, error
    InsufficientPrivilege,
    OperationNotAllowed,
    MalformedJSON,
    UnrecognizedRequestBody,
    PropertyMissing,           // property
    PropertyValueTypeError,    // value, property
    PropertyUnknown,           // property
    QueryParameterUnsupported, // parameter
    HeaderInvalid,             // header
    PayloadTooLarge,
    SessionLimitExceeded,
    EventSubscriptionLimitExceeded,
    EventBufferExceeded,
    ServiceTemporarilyUnavailable, // seconds
    SessionTerminated,
    // ResourceEvent
    ResourceStatusChangedOK,       // resource, health
    ResourceStatusChangedWarning,  // resource, health
    ResourceStatusChangedCritical, // resource, health
    ResourceStateChanged,          // resource, state
};

struct MessageInfo
{
    Msg msg;
    const char* registryPrefix; // kBasePrefix or kResourceEventPrefix
    const char* key;            // "ResourceNotFound"
    const char* text;           // with %1, %2 for the arguments
    int args;
    Severity severity;
    const char* resolution;
    unsigned status; // the HTTP status an error with this message has
};

const MessageInfo& Info(Msg m);
// "Base.1.22.ResourceNotFound"
std::string MessageId(Msg m);
// `text` with %1..%9 replaced by the arguments (missing ones left as they are).
std::string FillArgs(const std::string& text, const std::vector<std::string>& args);

// One entry of @Message.ExtendedInfo (a Message object).
nlohmann::json MessageObject(Msg m, const std::vector<std::string>& args = {},
                             const char* resolution = nullptr);

// Makes `res` an error response: the message's status and a Redfish error
// body with it as the only extended info. `resolution` replaces the
// registry's resolution (GeneralError wants one).
void SetError(Response& res, Msg m, const std::vector<std::string>& args = {},
              const char* resolution = nullptr);
// The same with another status than the table's.
void SetError(Response& res, unsigned status, Msg m, const std::vector<std::string>& args = {},
              const char* resolution = nullptr);

// JSON as text; invalid UTF-8 from outside becomes U+FFFD instead of an error.
std::string Dump(const nlohmann::json& j);
// Makes `res` a JSON response with the Redfish headers.
void SetJson(Response& res, const nlohmann::json& body, unsigned status = 200);

} // namespace ktzredfish

#endif
