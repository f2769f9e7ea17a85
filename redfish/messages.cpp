// The table of standard messages and the error bodies built from it.
#include "messages.h"

namespace ktzredfish
{

namespace
{

using S = Severity;

// Texts and resolutions as the registries publish them.
const MessageInfo kMessages[] = {
    {Msg::Success, kBasePrefix, "Success", "The request completed successfully.", 0, S::OK, "None.", 200},
    {Msg::Created, kBasePrefix, "Created", "The resource was created successfully.", 0, S::OK, "None.", 201},
    {Msg::GeneralError, kBasePrefix, "GeneralError",
     "A general error has occurred.  See Resolution for information on how to resolve the error, or "
     "@Message.ExtendedInfo if Resolution is not provided.",
     0, S::Critical, "None.", 400},
    {Msg::InternalError, kBasePrefix, "InternalError",
     "The request failed due to an internal service error.  The service is still operational.", 0,
     S::Critical, "Resubmit the request.  If the problem persists, consider resetting the service.", 500},
    {Msg::ResourceNotFound, kBasePrefix, "ResourceNotFound",
     "The requested resource of type %1 named '%2' was not found.", 2, S::Critical,
     "Provide a valid resource identifier and resubmit the request.", 404},
    {Msg::InvalidURI, kBasePrefix, "InvalidURI", "The URI %1 was not found.", 1, S::Critical,
     "Provide a valid URI and resubmit the request.", 404},
    {Msg::NoValidSession, kBasePrefix, "NoValidSession",
     "There is no valid session established with the implementation.", 0, S::Critical,
     "Establish a session before attempting any operations.", 401},
    {Msg::ResourceAtUriUnauthorized, kBasePrefix, "ResourceAtUriUnauthorized",
     "While accessing the resource at '%1', the service received an authorization error '%2'.", 2,
     S::Critical,
     "Ensure that the appropriate access is provided for the service in order for it to access the URI.",
     401},
    {Msg::InsufficientPrivilege, kBasePrefix, "InsufficientPrivilege",
     "There are insufficient privileges for the account or credentials associated with the current session "
     "to "
     "perform the requested operation.",
     0, S::Critical,
     "Either abandon the operation or change the associated access rights and resubmit the request if the "
     "operation failed.",
     403},
    {Msg::OperationNotAllowed, kBasePrefix, "OperationNotAllowed",
     "The HTTP method is not allowed on this resource.", 0, S::Critical, "None.", 405},
    {Msg::MalformedJSON, kBasePrefix, "MalformedJSON",
     "The request body submitted was malformed JSON and could not be parsed by the receiving service.", 0,
     S::Critical, "Ensure that the request body is valid JSON and resubmit the request.", 400},
    {Msg::UnrecognizedRequestBody, kBasePrefix, "UnrecognizedRequestBody",
     "The service detected a malformed request body that it was unable to interpret.", 0, S::Warning,
     "Correct the request body and resubmit the request if it failed.", 400},
    {Msg::PropertyMissing, kBasePrefix, "PropertyMissing",
     "The property %1 is a required property and must be included in the request.", 1, S::Warning,
     "Ensure that the property is in the request body and has a valid value and resubmit the request if the "
     "operation failed.",
     400},
    {Msg::PropertyValueTypeError, kBasePrefix, "PropertyValueTypeError",
     "The value '%1' for the property %2 is not a type that the property can accept.", 2, S::Warning,
     "Correct the value for the property in the request body and resubmit the request if the operation "
     "failed.",
     400},
    {Msg::PropertyUnknown, kBasePrefix, "PropertyUnknown",
     "The property %1 is not in the list of valid properties for the resource.", 1, S::Warning,
     "Remove the unknown property from the request body and resubmit the request if the operation failed.",
     400},
    {Msg::QueryParameterUnsupported, kBasePrefix, "QueryParameterUnsupported",
     "Query parameter '%1' is not supported.", 1, S::Warning,
     "Correct or remove the query parameter and resubmit the request.", 501},
    {Msg::HeaderInvalid, kBasePrefix, "HeaderInvalid", "Header '%1' is invalid.", 1, S::Critical,
     "Resubmit the request with a valid request header.", 400},
    {Msg::PayloadTooLarge, kBasePrefix, "PayloadTooLarge",
     "The supplied payload exceeds the maximum size supported by the service.", 0, S::Critical,
     "Check that the supplied payload is correct and supported by this service.", 413},
    {Msg::SessionLimitExceeded, kBasePrefix, "SessionLimitExceeded",
     "The session establishment failed due to the number of simultaneous sessions exceeding the limit of the "
     "implementation.",
     0, S::Critical,
     "Reduce the number of other sessions before trying to establish the session or increase the limit of "
     "simultaneous sessions, if supported.",
     503},
    {Msg::EventSubscriptionLimitExceeded, kBasePrefix, "EventSubscriptionLimitExceeded",
     "The event subscription failed due to the number of simultaneous subscriptions exceeding the limit of "
     "the "
     "implementation.",
     0, S::Critical,
     "Reduce the number of other subscriptions before trying to establish the event subscription or increase "
     "the limit of simultaneous subscriptions, if supported.",
     503},
    {Msg::EventBufferExceeded, kBasePrefix, "EventBufferExceeded",
     "Undelivered events may have been lost due to exceeding the event buffer.", 0, S::Warning, "None.", 200},
    {Msg::ServiceTemporarilyUnavailable, kBasePrefix, "ServiceTemporarilyUnavailable",
     "The service is temporarily unavailable.  Retry in %1 seconds.", 1, S::Critical,
     "Wait for the indicated retry duration and retry the operation.", 503},
    {Msg::SessionTerminated, kBasePrefix, "SessionTerminated", "The session was successfully terminated.", 0,
     S::OK, "None.", 200},
    {Msg::ResourceStatusChangedOK, kResourceEventPrefix, "ResourceStatusChangedOK",
     "The health of resource '%1' has changed to %2.", 2, S::OK, "None.", 200},
    {Msg::ResourceStatusChangedWarning, kResourceEventPrefix, "ResourceStatusChangedWarning",
     "The health of resource '%1' has changed to %2.", 2, S::Warning, "None.", 200},
    {Msg::ResourceStatusChangedCritical, kResourceEventPrefix, "ResourceStatusChangedCritical",
     "The health of resource '%1' has changed to %2.", 2, S::Critical, "None.", 200},
    {Msg::ResourceStateChanged, kResourceEventPrefix, "ResourceStateChanged",
     "The state of resource '%1' has changed to %2.", 2, S::OK, "None.", 200},
};

} // namespace

const MessageInfo& Info(Msg m)
{
    for (const MessageInfo& i : kMessages)
    {
        if (i.msg == m)
        {
            return i;
        }
    }
    return kMessages[2]; // GeneralError: every Msg has a row, see messages_test
}

std::string MessageId(Msg m)
{
    const MessageInfo& i = Info(m);
    return std::string(i.registryPrefix) + "." + i.key;
}

std::string FillArgs(const std::string& text, const std::vector<std::string>& args)
{
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i)
    {
        if (text[i] == '%' && i + 1 < text.size() && text[i + 1] >= '1' && text[i + 1] <= '9')
        {
            const size_t n = static_cast<size_t>(text[i + 1] - '1');
            if (n < args.size())
            {
                out += args[n];
                ++i;
                continue;
            }
        }
        out.push_back(text[i]);
    }
    return out;
}

nlohmann::json MessageObject(Msg m, const std::vector<std::string>& args, const char* resolution)
{
    const MessageInfo& i = Info(m);
    return {{"@odata.type", odata::kMessage},
            {"MessageId", MessageId(m)},
            {"Message", FillArgs(i.text, args)},
            {"MessageArgs", args},
            {"MessageSeverity", Name(i.severity)},
            {"Resolution", resolution != nullptr ? resolution : i.resolution}};
}

void SetError(Response& res, Msg m, const std::vector<std::string>& args, const char* resolution)
{
    SetError(res, Info(m).status, m, args, resolution);
}

void SetError(Response& res, unsigned status, Msg m, const std::vector<std::string>& args,
              const char* resolution)
{
    nlohmann::json info = MessageObject(m, args, resolution);
    nlohmann::json body = {{"error",
                            {{"code", info["MessageId"]},
                             {"message", info["Message"]},
                             {"@Message.ExtendedInfo", nlohmann::json::array({info})}}}};
    SetJson(res, body, status);
}

std::string Dump(const nlohmann::json& j)
{
    return j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

void SetJson(Response& res, const nlohmann::json& body, unsigned status)
{
    res.status = status;
    res.body = Dump(body);
    res.Set("content-type", "application/json; charset=utf-8");
    res.Set("odata-version", "4.0");
    res.Set("cache-control", "no-store");
}

} // namespace ktzredfish
