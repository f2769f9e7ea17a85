// Small builders the resource families share: links, collections, Status.
#ifndef KTZREDFISH_RESOURCE_H
#define KTZREDFISH_RESOURCE_H

#include "schema.h"

#include <nlohmann/json.hpp>

#include <string>
#include <vector>

namespace ktzredfish
{

nlohmann::json Link(const std::string& uri);
// A resource collection with its members' links.
nlohmann::json Collection(const std::string& uri, const char* type, const char* name,
                          const std::vector<std::string>& members);
// {"State": ..., "Health": ...}; an unknown health is null. `rollup` adds
// HealthRollup with the same value.
nlohmann::json StatusJson(State state, Health health, bool rollup = false);

} // namespace ktzredfish

#endif
