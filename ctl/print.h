// ktzmonctl's text output of the daemon's replies.
#ifndef KTZMONCTL_PRINT_H
#define KTZMONCTL_PRINT_H

#include <nlohmann/json.hpp>

#include <string>

namespace ktzmonctl
{

// The status reply as aligned "name  value" lines.
void PrintStatus(const nlohmann::json& s);
// The clients reply as a table.
void PrintClients(const nlohmann::json& r);
// "3 fans, 6 temperatures, 2 power supplies, power redundancy" from the
// status reply's sensor counts.
std::string SensorsText(const nlohmann::json& sensors);

} // namespace ktzmonctl

#endif
