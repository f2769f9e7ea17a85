// How ktzmon-watch prints what it receives: transcript lines (seconds since
// start, who, what) like ktzmon-host's, or one JSON object per line.
#ifndef KTZWATCH_OUTPUT_H
#define KTZWATCH_OUTPUT_H

#include <ktzclient/ktzclient.h>
#include <ostream>
#include <string>

namespace ktzwatch
{

struct OutputOptions
{
    bool json = false;
    bool hex = false; // the payload's wire bytes (and the capability answer)
};

// One message as it arrived, `t` seconds after the start.
void PrintMessage(std::ostream& out, const OutputOptions& o, double t, uint32_t clientId,
                  const ktzc_message& m);
// A line about the connection: kind is "connected", "disconnected" or
// "reconnected"; `text` says what happened.
void PrintNote(std::ostream& out, const OutputOptions& o, double t, const char* kind, uint32_t clientId,
               const std::string& text);

} // namespace ktzwatch

#endif
