// The decoded fields of a client message as a JSON object, shared by the
// --json output and by expectations' `where` tables, so both use one set of
// field names (listed in docs/scenarios.md).
#ifndef KTZHOST_FIELDS_H
#define KTZHOST_FIELDS_H

#include "ktzclient_decode.h"

#include <nlohmann/json.hpp>

#include <map>
#include <string>

namespace ktzhost
{

nlohmann::json Fields(const ktzclient::Message& msg);

// True when every named field has the given value (numbers compare by value,
// "status" also matches its name, booleans match 1/0 and true/false).
bool FieldsMatch(const nlohmann::json& fields, const std::map<std::string, std::string>& where);

} // namespace ktzhost

#endif
