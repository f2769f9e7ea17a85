// The chassis log (LogServices/Log and its entries, oldest first, the newest
// kLogCapacity kept) and the message registries its entries and the events
// name: the chassis log registry served here, the standard ones by their
// published location.
#include "messages.h"
#include "registry.h"
#include "resource.h"
#include "service.h"

#include <charconv>

namespace ktzredfish
{

namespace
{

struct RegistryFile
{
    const char* id;
    const char* registry;
    const char* name;
};

const RegistryFile kRegistryFiles[] = {
    {kChassisRegistryPrefix, kChassisRegistryId, "KTZ Monitor chassis log message registry file"},
    {"Base", kBaseRegistry, "Base message registry file"},
    {"ResourceEvent", kResourceEventRegistry, "Resource event message registry file"},
};

nlohmann::json EntryJson(const Service& svc, const LogRecord& r)
{
    const RenderedMessage m = Render(r);
    const std::string id = std::to_string(r.id);
    return {{"@odata.id", svc.ChassisUri() + "/LogServices/Log/Entries/" + id},
            {"@odata.type", odata::kLogEntry},
            {"Id", id},
            {"Name", "Chassis log entry " + id},
            {"EntryType", "Event"},
            {"Created", IsoTime(r.wallMs)},
            {"MessageId", m.messageId},
            {"Message", m.message},
            {"MessageArgs", m.args},
            {"Severity", Name(m.severity)}};
}

void GetLogServices(Service& svc, const ExchangePtr& ex)
{
    if (!svc.ChassisMatches(ex))
    {
        return;
    }
    SetJson(ex->res, Collection(svc.ChassisUri() + "/LogServices", odata::kLogServiceCollection,
                                "Log Service Collection", {svc.ChassisUri() + "/LogServices/Log"}));
}

void GetLogService(Service& svc, const ExchangePtr& ex)
{
    if (!svc.ChassisMatches(ex))
    {
        return;
    }
    const std::string uri = svc.ChassisUri() + "/LogServices/Log";
    SetJson(ex->res, {{"@odata.id", uri},
                      {"@odata.type", odata::kLogService},
                      {"Id", "Log"},
                      {"Name", "Chassis Log"},
                      {"Description", "The chassis log events this service has received, oldest first"},
                      {"LogEntryType", "Event"},
                      {"MaxNumberOfRecords", kLogCapacity},
                      {"OverWritePolicy", "WrapsWhenFull"},
                      {"ServiceEnabled", true},
                      {"DateTime", IsoTime(svc.WallMs())},
                      {"Status", StatusJson(State::Enabled, Health::OK)},
                      {"Entries", Link(uri + "/Entries")}});
}

void GetEntries(Service& svc, const ExchangePtr& ex)
{
    if (!svc.ChassisMatches(ex))
    {
        return;
    }
    // The entries themselves, not links: a log is read whole.
    nlohmann::json members = nlohmann::json::array();
    for (const LogRecord& r : svc.picture().log())
    {
        members.push_back(EntryJson(svc, r));
    }
    SetJson(ex->res, {{"@odata.id", svc.ChassisUri() + "/LogServices/Log/Entries"},
                      {"@odata.type", odata::kLogEntryCollection},
                      {"Name", "Chassis Log Entries"},
                      {"Members@odata.count", members.size()},
                      {"Members", members}});
}

void GetEntry(Service& svc, const ExchangePtr& ex)
{
    if (!svc.ChassisMatches(ex))
    {
        return;
    }
    const std::string& text = ex->params[1];
    uint64_t id = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), id);
    const LogRecord* r = ec == std::errc() && end == text.data() + text.size() && text[0] != '0'
                             ? svc.picture().FindLog(id)
                             : nullptr;
    if (r == nullptr)
    {
        SetError(ex->res, Msg::ResourceNotFound, {"LogEntry", text});
        return;
    }
    SetJson(ex->res, EntryJson(svc, *r));
}

void GetRegistries(Service&, const ExchangePtr& ex)
{
    std::vector<std::string> members;
    for (const RegistryFile& f : kRegistryFiles)
    {
        members.push_back(std::string("/redfish/v1/Registries/") + f.id);
    }
    SetJson(ex->res, Collection("/redfish/v1/Registries", odata::kMessageRegistryFileCollection,
                                "Registry File Collection", members));
}

void GetRegistryFile(Service&, const ExchangePtr& ex)
{
    for (const RegistryFile& f : kRegistryFiles)
    {
        if (ex->params[0] != f.id)
        {
            continue;
        }
        const std::string uri = std::string("/redfish/v1/Registries/") + f.id;
        nlohmann::json location = {{"Language", "en"}};
        if (f.id == std::string(kChassisRegistryPrefix))
        {
            location["Uri"] = uri + "/" + f.id;
        }
        else
        {
            location["PublicationUri"] =
                std::string("https://redfish.dmtf.org/registries/") + f.registry + ".json";
        }
        SetJson(ex->res, {{"@odata.id", uri},
                          {"@odata.type", odata::kMessageRegistryFile},
                          {"Id", f.id},
                          {"Name", f.name},
                          {"Languages", {"en"}},
                          {"Registry", f.registry},
                          {"Location", nlohmann::json::array({location})}});
        return;
    }
    SetError(ex->res, Msg::ResourceNotFound, {"MessageRegistryFile", ex->params[0]});
}

void GetChassisRegistry(Service&, const ExchangePtr& ex)
{
    const std::string uri =
        std::string("/redfish/v1/Registries/") + kChassisRegistryPrefix + "/" + kChassisRegistryPrefix;
    SetJson(ex->res, ChassisRegistry(uri));
}

} // namespace

void RegisterLogRoutes(Router& r)
{
    r.Add(Method::Get, "/redfish/v1/Chassis/{}/LogServices", Privilege::Login, GetLogServices, kFromPicture);
    r.Add(Method::Get, "/redfish/v1/Chassis/{}/LogServices/Log", Privilege::Login, GetLogService);
    r.Add(Method::Get, "/redfish/v1/Chassis/{}/LogServices/Log/Entries", Privilege::Login, GetEntries,
          kFromPicture);
    r.Add(Method::Get, "/redfish/v1/Chassis/{}/LogServices/Log/Entries/{}", Privilege::Login, GetEntry,
          kFromPicture);
    r.Add(Method::Get, "/redfish/v1/Registries", Privilege::Login, GetRegistries);
    r.Add(Method::Get, "/redfish/v1/Registries/{}", Privilege::Login, GetRegistryFile);
    r.Add(Method::Get, "/redfish/v1/Registries/KtzmonChassis/KtzmonChassis", Privilege::Login,
          GetChassisRegistry);
}

} // namespace ktzredfish
