// The host side of ktzmon-host: loads the module with dlopen, hands it a host
// environment whose function table's entry 0 is the client-dispatch function
// below, shapes the simulated chassis through the platform stand-in's control
// API and walks a scenario's timeline on the virtual clock, recording every
// host request, every message a client receives and every module log line.
#ifndef KTZHOST_DRIVER_H
#define KTZHOST_DRIVER_H

#include "scenario.h"

#include <cstdint>
#include <string>
#include <vector>

namespace ktzhost
{

struct Event
{
    enum class Kind
    {
        Host,    // a host request and its status
        Step,    // a timeline step applied to the chassis
        Message, // a message a client received
        Log,     // a module log line
        Note,    // something the host says about the run
    };
    Kind kind = Kind::Note;
    double t = 0; // chassis seconds since Load
    std::string text;
    // Host requests
    uint32_t status = 0;
    bool ok = true;
    // Messages
    uint32_t client = 0;
    uint32_t requestClass = 0;
    uint32_t requestType = 0;
    std::vector<uint8_t> bytes;
    bool nullData = false;
    uint32_t rspBufSize = 0;
    uint32_t rspLen = 0;
    std::vector<uint8_t> response; // what the client wrote into the response buffer
    uint32_t trailer = 0;
};

// One value the simulated chassis holds for a sensor from time t on (used for
// the timeline picture).
struct ChassisSample
{
    double t = 0;
    uint8_t sensorType = 0;
    std::string name;
    int64_t value = 0;
};

struct ExpectOutcome
{
    Expectation expectation;
    bool ok = false;
    std::string detail;
};

struct RunResult
{
    bool ok = false; // every host status as required and every expectation met
    std::vector<std::string> failures;
    std::vector<Event> events; // in the order they happened
    std::vector<ChassisSample> samples;
    std::vector<ExpectOutcome> outcomes;
    double end = 0;
    std::string iniDir, logRoot, logFile;
};

struct RunOptions
{
    std::string modulePath;
    std::string iniDir;  // empty: a private temporary directory
    std::string logRoot; // empty: a private temporary directory
    bool keepTemp = false;
};

// Runs one scenario from Load to Unload. Returns false with `error` when the
// module cannot be loaded or the run cannot begin; the run's own problems are
// in the result's failures.
bool RunScenario(const Scenario& s, const RunOptions& opts, RunResult* result, std::string* error);

} // namespace ktzhost

#endif
