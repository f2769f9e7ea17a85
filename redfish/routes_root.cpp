// The entry points every client reads first, all without authentication:
// the version document /redfish, the service root, the OData service
// document and the metadata document naming the schemas used.
#include "messages.h"
#include "resource.h"
#include "service.h"

#include <set>

namespace ktzredfish
{

namespace
{

void GetVersions(Service&, const ExchangePtr& ex)
{
    SetJson(ex->res, {{"v1", "/redfish/v1/"}});
}

void GetServiceRoot(Service& svc, const ExchangePtr& ex)
{
    const nlohmann::json expand = {
        {"ExpandAll", false}, {"Levels", false}, {"Links", false}, {"NoLinks", false}};
    SetJson(ex->res, {{"@odata.id", "/redfish/v1"},
                      {"@odata.type", odata::kServiceRoot},
                      {"Id", "RootService"},
                      {"Name", "KTZ Monitor Redfish Service"},
                      {"RedfishVersion", kRedfishVersion},
                      {"UUID", svc.config().uuid},
                      {"Vendor", "KTZ Monitor"},
                      {"Product", "ktzmon-redfish"},
                      {"Chassis", Link("/redfish/v1/Chassis")},
                      {"SessionService", Link("/redfish/v1/SessionService")},
                      {"AccountService", Link("/redfish/v1/AccountService")},
                      {"EventService", Link("/redfish/v1/EventService")},
                      {"Registries", Link("/redfish/v1/Registries")},
                      {"Links", {{"Sessions", Link("/redfish/v1/SessionService/Sessions")}}},
                      {"ProtocolFeaturesSupported",
                       {{"ExpandQuery", expand},
                        {"SelectQuery", false},
                        {"FilterQuery", false},
                        {"OnlyMemberQuery", false},
                        {"ExcerptQuery", false}}}});
}

void GetOdata(Service&, const ExchangePtr& ex)
{
    nlohmann::json value = nlohmann::json::array();
    for (const auto& [name, url] : {std::pair{"Service", "/redfish/v1"},
                                    {"Chassis", "/redfish/v1/Chassis"},
                                    {"SessionService", "/redfish/v1/SessionService"},
                                    {"AccountService", "/redfish/v1/AccountService"},
                                    {"EventService", "/redfish/v1/EventService"},
                                    {"Registries", "/redfish/v1/Registries"},
                                    {"Sessions", "/redfish/v1/SessionService/Sessions"}})
    {
        value.push_back({{"name", name}, {"kind", "Singleton"}, {"url", url}});
    }
    SetJson(ex->res, {{"@odata.context", "/redfish/v1/$metadata"}, {"value", value}});
}

// The CSDL document: one reference per schema whose types the resources
// carry, each naming the unversioned and the versioned namespace.
void GetMetadata(Service&, const ExchangePtr& ex)
{
    const char* types[] = {
        odata::kServiceRoot,
        odata::kChassisCollection,
        odata::kChassis,
        odata::kSensorCollection,
        odata::kSensor,
        odata::kThermalSubsystem,
        odata::kFanCollection,
        odata::kFan,
        odata::kPowerSubsystem,
        odata::kPowerSupplyCollection,
        odata::kPowerSupply,
        odata::kThermal,
        odata::kPower,
        odata::kLogServiceCollection,
        odata::kLogService,
        odata::kLogEntryCollection,
        odata::kLogEntry,
        odata::kMessageRegistryFileCollection,
        odata::kMessageRegistryFile,
        odata::kMessageRegistry,
        odata::kSessionService,
        odata::kSessionCollection,
        odata::kSession,
        odata::kAccountService,
        odata::kAccountCollection,
        odata::kAccount,
        odata::kRoleCollection,
        odata::kRole,
        odata::kEventService,
        odata::kEventDestinationCollection,
        odata::kEvent,
        odata::kMessage,
    };
    std::set<std::string> seen;
    std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                      "<edmx:Edmx xmlns:edmx=\"http://docs.oasis-open.org/odata/ns/edmx\" Version=\"4.0\">\n";
    for (const char* t : types)
    {
        // "#Chassis.v1_28_0.Chassis": namespace "Chassis", version "Chassis.v1_28_0".
        const std::string type = t + 1;
        const std::string ns = type.substr(0, type.find('.'));
        const size_t last = type.rfind('.');
        const std::string versioned = type.substr(0, last);
        if (!seen.insert(ns).second)
        {
            continue;
        }
        xml += "  <edmx:Reference Uri=\"http://redfish.dmtf.org/schemas/v1/" + ns + "_v1.xml\">\n";
        xml += "    <edmx:Include Namespace=\"" + ns + "\"/>\n";
        if (versioned != ns)
        {
            xml += "    <edmx:Include Namespace=\"" + versioned + "\"/>\n";
        }
        xml += "  </edmx:Reference>\n";
    }
    xml += "  <edmx:DataServices>\n"
           "    <Schema xmlns=\"http://docs.oasis-open.org/odata/ns/edm\" Namespace=\"Service\">\n"
           "      <EntityContainer Name=\"Service\" Extends=\"ServiceRoot.v1_20_0.ServiceContainer\"/>\n"
           "    </Schema>\n"
           "  </edmx:DataServices>\n"
           "</edmx:Edmx>\n";
    ex->res.body = std::move(xml);
    ex->res.Set("content-type", "application/xml; charset=utf-8");
    ex->res.Set("odata-version", "4.0");
}

} // namespace

void RegisterRootRoutes(Router& r)
{
    r.Add(Method::Get, "/redfish", Privilege::None, GetVersions);
    r.Add(Method::Get, "/redfish/v1", Privilege::None, GetServiceRoot);
    r.Add(Method::Get, "/redfish/v1/odata", Privilege::None, GetOdata);
    r.Add(Method::Get, "/redfish/v1/$metadata", Privilege::None, GetMetadata);
}

} // namespace ktzredfish
