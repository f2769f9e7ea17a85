// Power supplies and their redundancy: PowerSubsystem with its
// PowerSupplies collection, and the older Power resource (PowerSupplies and
// Redundancy arrays). Manufacturer, model, part and serial number come from
// a supply's FRU record when it is in the IPMI layout.
#include "messages.h"
#include "resource.h"
#include "service.h"

namespace ktzredfish
{

namespace
{

constexpr uint32_t kPsuInputLost = 0x08;
constexpr uint32_t kPsuInputOutOfRange = 0x20;

std::string NameOf(const Sensor& s)
{
    return s.name.empty() ? Service::SensorId(s.kind, s.number) : s.name;
}

void AddFru(const Service& svc, const Sensor& s, nlohmann::json& j, bool withText)
{
    const ktzfru::FruRecord* f = svc.picture().Fru(s.number);
    if (f == nullptr)
    {
        return;
    }
    const std::pair<const char*, const std::string*> fields[] = {{"Manufacturer", &f->manufacturer},
                                                                 {"Model", &f->product},
                                                                 {"PartNumber", &f->partNumber},
                                                                 {"SerialNumber", &f->serialNumber}};
    for (const auto& [name, value] : fields)
    {
        if (!value->empty())
        {
            j[name] = *value;
        }
    }
    if (withText && !f->text.empty())
    {
        j["Description"] = "FRU data: " + f->text;
    }
}

const char* LineStatus(const Sensor& s)
{
    return (s.raw & kPsuInputLost) != 0         ? "LossOfInput"
           : (s.raw & kPsuInputOutOfRange) != 0 ? "OutOfRange"
                                                : "Normal";
}

std::vector<const Sensor*> OfKind(const Service& svc, SensorKind kind)
{
    std::vector<const Sensor*> out;
    for (const auto& [key, s] : svc.picture().sensors())
    {
        if (key.first == kind)
        {
            out.push_back(&s);
        }
    }
    return out;
}

void GetPowerSubsystem(Service& svc, const ExchangePtr& ex)
{
    if (!svc.ChassisMatches(ex))
    {
        return;
    }
    const Picture& p = svc.picture();
    const std::string uri = svc.ChassisUri() + "/PowerSubsystem";
    nlohmann::json group = nlohmann::json::array();
    for (const Sensor* s : OfKind(svc, SensorKind::PowerSupply))
    {
        if (SensorState(*s) == State::Enabled)
        {
            group.push_back(Link(svc.SensorUri(s->kind, s->number)));
        }
    }
    nlohmann::json redundancy = nlohmann::json::array();
    for (const Sensor* r : OfKind(svc, SensorKind::Redundancy))
    {
        redundancy.push_back({{"RedundancyType", "NPlusM"},
                              {"MinNeededInGroup", nullptr},
                              {"RedundancyGroup@odata.count", group.size()},
                              {"RedundancyGroup", group},
                              {"Status", StatusJson(SensorState(*r), SensorHealth(*r))}});
    }
    SetJson(ex->res,
            {{"@odata.id", uri},
             {"@odata.type", odata::kPowerSubsystem},
             {"Id", "PowerSubsystem"},
             {"Name", "Power Subsystem"},
             {"Status",
              StatusJson(p.ChassisState(),
                         Worse(p.Rollup(SensorKind::PowerSupply), p.Rollup(SensorKind::Redundancy)), true)},
             {"PowerSupplies", Link(uri + "/PowerSupplies")},
             {"PowerSupplyRedundancy", redundancy}});
}

void GetPowerSupplies(Service& svc, const ExchangePtr& ex)
{
    if (!svc.ChassisMatches(ex))
    {
        return;
    }
    std::vector<std::string> members;
    for (const Sensor* s : OfKind(svc, SensorKind::PowerSupply))
    {
        members.push_back(svc.SensorUri(s->kind, s->number));
    }
    SetJson(ex->res, Collection(svc.ChassisUri() + "/PowerSubsystem/PowerSupplies",
                                odata::kPowerSupplyCollection, "Power Supply Collection", members));
}

void GetPowerSupply(Service& svc, const ExchangePtr& ex)
{
    if (!svc.ChassisMatches(ex))
    {
        return;
    }
    SensorKind kind{};
    uint8_t number = 0;
    const Sensor* s = nullptr;
    if (Service::ParseSensorId(ex->params[1], &kind, &number) && kind == SensorKind::PowerSupply)
    {
        s = svc.picture().Find(kind, number);
    }
    if (s == nullptr)
    {
        SetError(ex->res, Msg::ResourceNotFound, {"PowerSupply", ex->params[1]});
        return;
    }
    nlohmann::json j = {{"@odata.id", svc.SensorUri(kind, number)},
                        {"@odata.type", odata::kPowerSupply},
                        {"Id", ex->params[1]},
                        {"Name", NameOf(*s)},
                        {"Status", StatusJson(SensorState(*s), SensorHealth(*s))},
                        {"Location",
                         {{"PartLocation",
                           {{"ServiceLabel", "Power supply bay " + std::to_string(number)},
                            {"LocationType", "Bay"},
                            {"LocationOrdinalValue", number}}}}}};
    if (SensorState(*s) == State::Enabled)
    {
        j["LineInputStatus"] = LineStatus(*s);
    }
    AddFru(svc, *s, j, true);
    SetJson(ex->res, j);
}

void GetPower(Service& svc, const ExchangePtr& ex)
{
    if (!svc.ChassisMatches(ex))
    {
        return;
    }
    const std::string uri = svc.ChassisUri() + "/Power";
    nlohmann::json supplies = nlohmann::json::array();
    nlohmann::json set = nlohmann::json::array();
    const std::vector<const Sensor*> psus = OfKind(svc, SensorKind::PowerSupply);
    for (const Sensor* s : psus)
    {
        const std::string index = std::to_string(supplies.size());
        nlohmann::json j = {{"@odata.id", uri + "#/PowerSupplies/" + index},
                            {"MemberId", index},
                            {"Name", NameOf(*s)},
                            {"Status", StatusJson(SensorState(*s), SensorHealth(*s))}};
        AddFru(svc, *s, j, false);
        if (SensorState(*s) == State::Enabled)
        {
            set.push_back(Link(uri + "#/PowerSupplies/" + index));
        }
        supplies.push_back(std::move(j));
    }
    nlohmann::json redundancy = nlohmann::json::array();
    for (const Sensor* r : OfKind(svc, SensorKind::Redundancy))
    {
        const std::string index = std::to_string(redundancy.size());
        redundancy.push_back({{"@odata.id", uri + "#/Redundancy/" + index},
                              {"MemberId", index},
                              {"Name", NameOf(*r)},
                              {"Mode", "N+m"},
                              {"MinNumNeeded", nullptr},
                              {"MaxNumSupported", psus.size()},
                              {"RedundancySet@odata.count", set.size()},
                              {"RedundancySet", set},
                              {"Status", StatusJson(SensorState(*r), SensorHealth(*r))}});
    }
    SetJson(ex->res, {{"@odata.id", uri},
                      {"@odata.type", odata::kPower},
                      {"Id", "Power"},
                      {"Name", "Power"},
                      {"PowerSupplies@odata.count", supplies.size()},
                      {"PowerSupplies", supplies},
                      {"Redundancy@odata.count", redundancy.size()},
                      {"Redundancy", redundancy}});
}

} // namespace

void RegisterPowerRoutes(Router& r)
{
    r.Add(Method::Get, "/redfish/v1/Chassis/{}/PowerSubsystem", Privilege::Login, GetPowerSubsystem,
          kFromPicture);
    r.Add(Method::Get, "/redfish/v1/Chassis/{}/PowerSubsystem/PowerSupplies", Privilege::Login,
          GetPowerSupplies);
    r.Add(Method::Get, "/redfish/v1/Chassis/{}/PowerSubsystem/PowerSupplies/{}", Privilege::Login,
          GetPowerSupply);
    r.Add(Method::Get, "/redfish/v1/Chassis/{}/Power", Privilege::Login, GetPower, kFromPicture);
}

} // namespace ktzredfish
