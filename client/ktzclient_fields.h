// The decoded fields of a module message as a JSON object, for the tools that
// print messages for programs (ktzmon-watch --json). The field names are the
// ones ktzmon-host uses in its --json output and its expectations.
#ifndef KTZCLIENT_FIELDS_H
#define KTZCLIENT_FIELDS_H

#include "ktzclient_decode.h"

#include <nlohmann/json.hpp>

namespace ktzclient
{

nlohmann::json Fields(const Message& msg);

} // namespace ktzclient

#endif
