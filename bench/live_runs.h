// The runs of the live daemon benchmark, each against a fresh process: the
// daemon with N clients (change to arrival, memory), the relay floor with N
// connections, and the daemon left idle with clients connected (CPU).
#ifndef KTZBENCH_LIVE_RUNS_H
#define KTZBENCH_LIVE_RUNS_H

#include <cstdint>
#include <string>
#include <vector>

namespace ktzbench
{

struct LiveOptions
{
    std::string daemon;
    std::string module;
    std::string relay;
    std::string demo; // the demonstration scenario, whose chassis is used
    // The chassis clock's speed during the timed changes (1: the real clock,
    // as on a chassis; faster runs the module's sensor passes as much more often).
    uint32_t speed = 1;
    uint32_t changes = 200;
    uint32_t warmup = 10;
};

struct Timing
{
    std::vector<double> us; // one per measured change
    std::string error;
    double Median() const;
    double P99() const;
};

struct DaemonRun
{
    Timing timing;
    size_t payload = 0;        // of the event's Message frame
    uint64_t rssIdle = 0;      // module running, no client
    uint64_t rssConnected = 0; // the clients connected, idle after the timed changes
};

struct RelayRun
{
    Timing relay;   // control request written to the last arrival
    Timing writing; // from the relay's first write to the last arrival
};

struct IdleRun
{
    double seconds = 0;    // measured
    double cpuPercent = 0; // of one core
    std::string error;
};

// Raises this process's soft descriptor limit to `needed`, within the hard
// limit; false when it cannot reach it.
bool RaiseFdLimit(uint64_t needed);

// Change to arrival at `clients` clients of ktzmond, and its memory.
DaemonRun RunDaemon(const LiveOptions& o, uint32_t clients, bool logWritingOff);
// The same changes through the relay to as many connections, its frames of
// `payload` bytes.
RelayRun RunRelay(const LiveOptions& o, uint32_t clients, size_t payload);
// The daemon at the real clock's pace with `clients` synced clients and
// nothing changing: its CPU time over `seconds`.
IdleRun RunIdle(const LiveOptions& o, uint32_t clients, uint32_t seconds);

} // namespace ktzbench

#endif
