// Shared resource builders.
#include "resource.h"

namespace ktzredfish
{

nlohmann::json Link(const std::string& uri)
{
    return {{"@odata.id", uri}};
}

nlohmann::json Collection(const std::string& uri, const char* type, const char* name,
                          const std::vector<std::string>& members)
{
    nlohmann::json links = nlohmann::json::array();
    for (const std::string& m : members)
    {
        links.push_back(Link(m));
    }
    return {{"@odata.id", uri},
            {"@odata.type", type},
            {"Name", name},
            {"Members@odata.count", members.size()},
            {"Members", links}};
}

nlohmann::json StatusJson(State state, Health health, bool rollup)
{
    nlohmann::json s = {{"State", Name(state)}};
    s["Health"] = health == Health::Unknown ? nlohmann::json(nullptr) : nlohmann::json(Name(health));
    if (rollup)
    {
        s["HealthRollup"] = s["Health"];
    }
    return s;
}

} // namespace ktzredfish
