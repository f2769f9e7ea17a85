// A chassis scenario for ktzmon-host: the simulated chassis, the clients, the
// INI settings, a timeline of steps at chassis seconds and the expectations
// the run is checked against. Parsed from TOML (the format is described in
// docs/scenarios.md); every error names the line it was found on.
#ifndef KTZHOST_SCENARIO_H
#define KTZHOST_SCENARIO_H

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace ktzhost
{

struct FanDef
{
    uint32_t number = 0;
    uint8_t sensors = 1;
    std::string names[2];
    uint32_t readings[2] = {0, 0};
    uint32_t lnc = 0;
    uint32_t lc = 0;
    uint32_t presence = 1;
    uint32_t health = 1;
    bool healthGiven = false; // false: the platform derives health from the readings
    uint8_t pwm = 0;
};

struct TempDef
{
    std::string name;
    uint32_t health = 0;
    int8_t reading = 0;
};

struct StashDef
{
    std::string name;
    uint8_t a = 2;
    uint8_t b = 1;
    int8_t reading = 0;
};

struct PsuDef
{
    uint32_t bay = 0;
    uint32_t presence = 0;
    uint32_t state = 0;
    uint32_t alert = 0;
    bool fruReadable = true;
    std::vector<uint8_t> fru;
};

struct ClientDef
{
    uint32_t id = 0;
    uint32_t caps = 0x1;
    uint32_t capsResponseLength = 16;
    uint32_t status = 0;                       // answered to every message ...
    std::map<uint32_t, uint32_t> statusByType; // ... unless given per type
    std::map<uint32_t, uint32_t> answerData;   // response bytes claimed per type
    uint32_t disconnectOn = 0;                 // type that makes it disconnect during its connect
};

// One timeline step. Optional fields change only what they name.
struct Step
{
    int line = 0;
    double at = 0;
    std::string action;
    uint32_t target = 0; // fan number, bay, client ID or stash index (by action)
    std::optional<uint32_t> reading1, reading2, presence, health, lnc, lc, state, alert, config;
    std::optional<int8_t> temp;
    std::optional<bool> fruReadable;
    std::optional<std::vector<uint8_t>> fru;
    std::string text;             // KTZ setting value, message ID
    std::vector<uint16_t> values; // log event values
    bool hasArgs = false;
    std::vector<std::string> args; // log event arguments
    std::optional<std::string> eventText;
    uint32_t flags = 0x800;
};

// One expectation on what clients received.
struct Expectation
{
    int line = 0;
    uint32_t client = 0;
    uint32_t type = 0;               // 0: any message
    std::optional<double> after, by; // time window (chassis seconds)
    std::optional<uint32_t> count, minCount, maxCount;
    std::map<std::string, std::string> where; // decoded field name -> value text
    std::vector<uint32_t> sequence;           // types in this order (a subsequence)
    std::string logLine;                      // a module log line (instead of a client message)
    std::string Describe() const;
};

struct Scenario
{
    std::string title;
    std::string description;
    uint32_t platformId = 0x10;
    uint32_t capWordA = 0;
    uint32_t capWordB = 0;
    uint32_t stashWord = 0;
    uint32_t fanCountA = 0; // 0: the number of fans given
    uint32_t fanCountB = 0;
    std::vector<FanDef> fans;
    std::optional<TempDef> chassisTemp;
    std::vector<StashDef> stash;
    int32_t psuBays = -1; // -1: the highest bay given
    std::vector<PsuDef> psus;
    uint32_t redundancyConfig = 0;
    uint32_t redundancyState = 0;
    std::string ktzSetting = "1";
    std::vector<ClientDef> clients;
    std::map<std::string, std::map<std::string, std::string>> ini;
    std::vector<Step> steps;
    std::vector<Expectation> expectations;
    double end = 0; // chassis seconds at which the run stops (0: last step + 10)
};

struct ParseResult
{
    bool ok = false;
    std::string error; // "file:line: message"
    Scenario scenario;
    // What the run will do differently from what the scenario seems to say,
    // where a real chassis would do the same ("file:line: warning: message").
    std::vector<std::string> warnings;
};

ParseResult ParseScenario(const std::string& text, const std::string& sourceName);

// The built-in demonstration chassis as TOML text.
const char* DemoScenarioText();

} // namespace ktzhost

#endif
