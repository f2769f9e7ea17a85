// The chassis and its Sensors: one Sensor per fan sensor (RPM, with the
// fan's lower thresholds), per temperature (degrees Celsius) and per power
// supply bay (its state only).
#include "messages.h"
#include "resource.h"
#include "service.h"

namespace ktzredfish
{

namespace
{

std::string SensorName(const Sensor& s)
{
    if (!s.name.empty())
    {
        return s.name;
    }
    return Service::SensorId(s.kind, s.number);
}

bool InSensors(SensorKind k)
{
    return k == SensorKind::Fan || k == SensorKind::Temperature || k == SensorKind::PowerSupply;
}

nlohmann::json SensorJson(const Service& svc, const Sensor& s)
{
    nlohmann::json j = {{"@odata.id", svc.SensorUri(s.kind, s.number)},
                        {"@odata.type", odata::kSensor},
                        {"Id", Service::SensorId(s.kind, s.number)},
                        {"Name", SensorName(s)},
                        {"Status", StatusJson(SensorState(s), SensorHealth(s))}};
    switch (s.kind)
    {
    case SensorKind::Fan:
        j["ReadingType"] = "Rotational";
        j["ReadingUnits"] = "RPM";
        j["Reading"] = s.reading;
        j["SpeedRPM"] = s.reading;
        j["PhysicalContext"] = "Fan";
        if (s.hasThresholds)
        {
            j["Thresholds"] = {{"LowerCaution", {{"Reading", s.lnc}}},
                               {"LowerCritical", {{"Reading", s.lc}}}};
        }
        break;
    case SensorKind::Temperature:
        j["ReadingType"] = "Temperature";
        j["ReadingUnits"] = "Cel";
        j["Reading"] = s.reading;
        j["PhysicalContext"] = "Chassis";
        break;
    default:
        j["@odata.id"] = svc.ChassisUri() + "/Sensors/" + Service::SensorId(s.kind, s.number);
        j["PhysicalContext"] = "PowerSupply";
        j["Description"] = "Power supply bay " + std::to_string(s.number) + ": " +
                           ktzclient::BitNames(static_cast<uint8_t>(s.kind), s.raw);
        j["RelatedItem"] = nlohmann::json::array({Link(svc.SensorUri(s.kind, s.number))});
        break;
    }
    return j;
}

void GetChassisCollection(Service& svc, const ExchangePtr& ex)
{
    SetJson(ex->res, Collection("/redfish/v1/Chassis", odata::kChassisCollection, "Chassis Collection",
                                {svc.ChassisUri()}));
}

void GetChassis(Service& svc, const ExchangePtr& ex)
{
    if (!svc.ChassisMatches(ex))
    {
        return;
    }
    const ServiceConfig& c = svc.config();
    const std::string uri = svc.ChassisUri();
    nlohmann::json j = {{"@odata.id", uri},
                        {"@odata.type", odata::kChassis},
                        {"Id", c.chassisId},
                        {"Name", "KTZ chassis"},
                        {"Description", c.chassisDescription},
                        {"ChassisType", "Enclosure"},
                        {"UUID", c.uuid},
                        {"Status", StatusJson(svc.picture().ChassisState(), svc.picture().Rollup(), true)},
                        {"Sensors", Link(uri + "/Sensors")},
                        {"ThermalSubsystem", Link(uri + "/ThermalSubsystem")},
                        {"PowerSubsystem", Link(uri + "/PowerSubsystem")},
                        {"Thermal", Link(uri + "/Thermal")},
                        {"Power", Link(uri + "/Power")},
                        {"LogServices", Link(uri + "/LogServices")}};
    if (!c.platformId.empty())
    {
        j["Model"] = c.platformId;
    }
    // What the Status alone cannot tell apart: whether the service reaches
    // ktzmond, whether the module's whole first picture has arrived (its
    // data-sync-complete), and the KTZ setting (null until the module has told it).
    const Picture& p = svc.picture();
    j["Oem"] = {{"KtzMonitor",
                 {{"DaemonConnected", p.connected()},
                  {"PictureComplete", p.synced()},
                  {"MonitoringEnabled", p.hasSetting() ? nlohmann::json(p.monitoring()) : nlohmann::json()},
                  {"KtzSetting", p.hasSetting() ? nlohmann::json(p.setting()) : nlohmann::json()}}}};
    SetJson(ex->res, j);
}

void GetSensors(Service& svc, const ExchangePtr& ex)
{
    if (!svc.ChassisMatches(ex))
    {
        return;
    }
    std::vector<std::string> members;
    for (const auto& [key, s] : svc.picture().sensors())
    {
        if (InSensors(key.first))
        {
            members.push_back(svc.ChassisUri() + "/Sensors/" + Service::SensorId(key.first, key.second));
        }
    }
    SetJson(ex->res, Collection(svc.ChassisUri() + "/Sensors", odata::kSensorCollection, "Sensors", members));
}

void GetSensor(Service& svc, const ExchangePtr& ex)
{
    if (!svc.ChassisMatches(ex))
    {
        return;
    }
    SensorKind kind{};
    uint8_t number = 0;
    const Sensor* s = nullptr;
    if (Service::ParseSensorId(ex->params[1], &kind, &number) && InSensors(kind))
    {
        s = svc.picture().Find(kind, number);
    }
    if (s == nullptr)
    {
        SetError(ex->res, Msg::ResourceNotFound, {"Sensor", ex->params[1]});
        return;
    }
    SetJson(ex->res, SensorJson(svc, *s));
}

} // namespace

void RegisterChassisRoutes(Router& r)
{
    r.Add(Method::Get, "/redfish/v1/Chassis", Privilege::Login, GetChassisCollection, kFromPicture);
    r.Add(Method::Get, "/redfish/v1/Chassis/{}", Privilege::Login, GetChassis, kFromPicture);
    r.Add(Method::Get, "/redfish/v1/Chassis/{}/Sensors", Privilege::Login, GetSensors, kFromPicture);
    r.Add(Method::Get, "/redfish/v1/Chassis/{}/Sensors/{}", Privilege::Login, GetSensor, kFromPicture);
}

} // namespace ktzredfish
