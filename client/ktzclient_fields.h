// The decoded fields of a client message as a JSON object, shared by the
// --json output and by expectations' `where` tables. One table per message
// type names every field, its kind and its range; both the JSON objects and
// the scenario reader's checks of `where` come from it, so the two cannot
// disagree (the list is also in docs/scenarios.md).
#ifndef KTZCLIENT_FIELDS_H
#define KTZCLIENT_FIELDS_H

#include "ktzclient_decode.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace ktzclient
{

enum class FieldKind
{
    Number, // an integer between lo and hi
    Flag,   // true or false
    Text,   // a string; when `values` is given, one of them
    List,   // a list of strings, matched as one string joined with commas
    Status, // a sensor status: its number (lo..hi) or one of `values`
};

struct FieldDef
{
    const char* name = "";
    FieldKind kind = FieldKind::Number;
    int64_t lo = 0;
    int64_t hi = 0;
    std::vector<std::string> values; // the allowed texts (Text, Status); empty: any text
    bool always = true;              // false: present only in some messages of the type
};

// The fields the decoder produces for a message type, in output order
// (empty for types without fields and for unknown types).
const std::vector<FieldDef>& FieldsOf(uint32_t requestType);

// The field of that name of a message type (0: of any type), or null.
const FieldDef* FindField(uint32_t requestType, const std::string& name);

// "value, changed": the field names of a type (0: of every type), for messages.
std::string FieldNames(uint32_t requestType);

nlohmann::json Fields(const ktzclient::Message& msg);

// True when every named field has the given value (numbers compare by value,
// "status" also matches its name, booleans match 1/0 and true/false).
bool FieldsMatch(const nlohmann::json& fields, const std::map<std::string, std::string>& where);

} // namespace ktzclient

#endif
