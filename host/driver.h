// The host side of ktzmon-host: loads the module with dlopen, hands it a host
// environment whose function table's entry 0 is the client-dispatch function
// below, shapes the simulated chassis through the platform stand-in's control
// API and walks a scenario's timeline on the virtual clock, recording every
// host request, every message a client receives and every module log line.
#ifndef KTZHOST_DRIVER_H
#define KTZHOST_DRIVER_H

#include "scenario.h"

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

namespace ktzhost
{

// A named value an event carries beside its text (a step's action and the
// values it sets, the file a note is about).
struct Field
{
    std::string key;
    std::variant<int64_t, std::string, bool> value;
};

struct Event
{
    enum class Kind
    {
        Host,    // a host request and its status
        Step,    // a timeline step applied to the chassis
        Message, // a message a client received
        Log,     // a module log line
        Note,    // something the host says about the run
        Removed, // the module dropped a client during its connect
    };
    Kind kind = Kind::Note;
    double t = 0; // chassis seconds since Load
    std::string text;
    std::vector<Field> fields;
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
    bool ok = false;          // every host status as required and every expectation met
    bool interrupted = false; // the run was ended early; expectations were not checked
    // What went wrong with the run itself (host statuses, malformed messages,
    // leaks); unmet expectations are in `outcomes` only.
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
    // Put the platform INI directory's ktzmonst32.ini ahead of the scenario's
    // [ini] tables in a private INI directory (otherwise it is left out, and
    // a note says so).
    bool mergePlatformIni = false;
    // Called on the calling thread with every event, in order, as soon as it
    // is final (the run is streamed in steps of a few chassis seconds).
    std::function<void(const Event&)> onEvent;
    // Asked between steps of the clock: true ends the run early (Stop-monitor
    // and Unload are still issued, expectations are not checked).
    std::function<bool()> interrupted;
    // Told the chassis time reached so far and the end of the run.
    std::function<void(double now, double end)> progress;
};

enum class RunStatus
{
    Completed,       // the run went from Load to Unload (or was interrupted)
    BadSetup,        // an INI or log directory was refused; nothing was run
    ModuleNotLoaded, // dlopen or dlsym failed; nothing was run
};

// Runs one scenario from Load to Unload. Anything but Completed comes with
// `error`; the run's own problems are in the result's failures.
RunStatus RunScenario(const Scenario& s, const RunOptions& opts, RunResult* result, std::string* error);

// Chassis seconds as the transcript shows them ("12.5").
std::string Seconds(double t);

} // namespace ktzhost

#endif
