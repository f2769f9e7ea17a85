// One control request line, read and checked without touching anything:
// JSON of at most kMaxControlLine bytes, a known command, every field of the
// right type, within its documented range and naming what the chassis has
// (a declared fan, a stash temperature, a bay), no unknown field. The
// control socket carries out only what passed; the fuzz target feeds it
// anything.
#ifndef KTZMOND_CONTROL_REQUEST_H
#define KTZMOND_CONTROL_REQUEST_H

#include <cstddef>
#include <cstdint>
#include <scenario.h>
#include <string>
#include <string_view>

namespace ktzmond
{

// Longest request line, without its newline.
constexpr size_t kMaxControlLine = 64 * 1024;
// Most times one log-event request posts its event.
constexpr uint32_t kMaxRepeat = 100000;
// Longest message ID and KTZ setting value, in bytes.
constexpr size_t kMaxMessageId = 64;
constexpr size_t kMaxKtzValue = 64;
// Most arguments of one chassis log event.
constexpr size_t kMaxEventArgs = 64;

struct ControlRequest
{
    std::string cmd;
    uint32_t id = 0;    // disconnect: the client
    ktzhost::Step step; // a chassis change (its action is `cmd`)
    uint32_t repeat = 1;
};

// Whether the command changes the simulated chassis (and so needs one).
bool ChangesSimulatedChassis(std::string_view cmd);

// Reads `line`. `chassis`: the simulated chassis served, nullptr when the
// daemon serves another (named `chassisName`), which refuses chassis
// changes. False with `error`, a text fit for the reply and the log (outside
// text in it is escaped and cut).
bool ParseControlRequest(std::string_view line, const ktzhost::Scenario* chassis,
                         std::string_view chassisName, ControlRequest* out, std::string* error);

} // namespace ktzmond

#endif
