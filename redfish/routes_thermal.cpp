// Fans and temperatures: ThermalSubsystem with its Fans collection, and the
// older Thermal resource (Fans and Temperatures arrays) that many clients
// still read.
#include "messages.h"
#include "resource.h"
#include "service.h"

namespace ktzredfish
{

namespace
{

std::string NameOf(const Sensor& s)
{
    return s.name.empty() ? Service::SensorId(s.kind, s.number) : s.name;
}

void GetThermalSubsystem(Service& svc, const ExchangePtr& ex)
{
    if (!svc.ChassisMatches(ex))
    {
        return;
    }
    const Picture& p = svc.picture();
    const std::string uri = svc.ChassisUri() + "/ThermalSubsystem";
    SetJson(ex->res, {{"@odata.id", uri},
                      {"@odata.type", odata::kThermalSubsystem},
                      {"Id", "ThermalSubsystem"},
                      {"Name", "Thermal Subsystem"},
                      {"Status",
                       StatusJson(p.ChassisState(),
                                  Worse(p.Rollup(SensorKind::Fan), p.Rollup(SensorKind::Temperature)), true)},
                      {"Fans", Link(uri + "/Fans")}});
}

void GetFans(Service& svc, const ExchangePtr& ex)
{
    if (!svc.ChassisMatches(ex))
    {
        return;
    }
    const std::string uri = svc.ChassisUri() + "/ThermalSubsystem/Fans";
    std::vector<std::string> members;
    for (const auto& [key, s] : svc.picture().sensors())
    {
        if (key.first == SensorKind::Fan)
        {
            members.push_back(uri + "/" + Service::SensorId(key.first, key.second));
        }
    }
    SetJson(ex->res, Collection(uri, odata::kFanCollection, "Fan Collection", members));
}

void GetFan(Service& svc, const ExchangePtr& ex)
{
    if (!svc.ChassisMatches(ex))
    {
        return;
    }
    SensorKind kind{};
    uint8_t number = 0;
    const Sensor* s = nullptr;
    if (Service::ParseSensorId(ex->params[1], &kind, &number) && kind == SensorKind::Fan)
    {
        s = svc.picture().Find(kind, number);
    }
    if (s == nullptr)
    {
        SetError(ex->res, Msg::ResourceNotFound, {"Fan", ex->params[1]});
        return;
    }
    SetJson(ex->res,
            {{"@odata.id", svc.ChassisUri() + "/ThermalSubsystem/Fans/" + ex->params[1]},
             {"@odata.type", odata::kFan},
             {"Id", ex->params[1]},
             {"Name", NameOf(*s)},
             {"Status", StatusJson(SensorState(*s), SensorHealth(*s))},
             {"SpeedPercent", {{"SpeedRPM", s->reading}, {"DataSourceUri", svc.SensorUri(kind, number)}}}});
}

void GetThermal(Service& svc, const ExchangePtr& ex)
{
    if (!svc.ChassisMatches(ex))
    {
        return;
    }
    const std::string uri = svc.ChassisUri() + "/Thermal";
    nlohmann::json fans = nlohmann::json::array();
    nlohmann::json temps = nlohmann::json::array();
    for (const auto& [key, s] : svc.picture().sensors())
    {
        if (key.first == SensorKind::Fan)
        {
            const std::string index = std::to_string(fans.size());
            nlohmann::json f = {{"@odata.id", uri + "#/Fans/" + index},
                                {"MemberId", index},
                                {"Name", NameOf(s)},
                                {"SensorNumber", s.number},
                                {"Reading", s.reading},
                                {"ReadingUnits", "RPM"},
                                {"PhysicalContext", "Fan"},
                                {"Status", StatusJson(SensorState(s), SensorHealth(s))}};
            if (s.hasThresholds)
            {
                f["LowerThresholdNonCritical"] = s.lnc;
                f["LowerThresholdCritical"] = s.lc;
            }
            fans.push_back(std::move(f));
        }
        else if (key.first == SensorKind::Temperature)
        {
            const std::string index = std::to_string(temps.size());
            temps.push_back({{"@odata.id", uri + "#/Temperatures/" + index},
                             {"MemberId", index},
                             {"Name", NameOf(s)},
                             {"SensorNumber", s.number},
                             {"ReadingCelsius", s.reading},
                             {"PhysicalContext", "Chassis"},
                             {"Status", StatusJson(SensorState(s), SensorHealth(s))}});
        }
    }
    SetJson(ex->res, {{"@odata.id", uri},
                      {"@odata.type", odata::kThermal},
                      {"Id", "Thermal"},
                      {"Name", "Thermal"},
                      {"Fans@odata.count", fans.size()},
                      {"Fans", fans},
                      {"Temperatures@odata.count", temps.size()},
                      {"Temperatures", temps}});
}

} // namespace

void RegisterThermalRoutes(Router& r)
{
    r.Add(Method::Get, "/redfish/v1/Chassis/{}/ThermalSubsystem", Privilege::Login, GetThermalSubsystem,
          kFromPicture);
    r.Add(Method::Get, "/redfish/v1/Chassis/{}/ThermalSubsystem/Fans", Privilege::Login, GetFans,
          kFromPicture);
    r.Add(Method::Get, "/redfish/v1/Chassis/{}/ThermalSubsystem/Fans/{}", Privilege::Login, GetFan,
          kFromPicture);
    r.Add(Method::Get, "/redfish/v1/Chassis/{}/Thermal", Privilege::Login, GetThermal, kFromPicture);
}

} // namespace ktzredfish
