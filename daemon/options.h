// ktzmond's command line.
#ifndef KTZMOND_OPTIONS_H
#define KTZMOND_OPTIONS_H

#include <cstdint>
#include <string>
#include <vector>

namespace ktzmond
{

// The chassis the daemon serves: the platform stand-in's simulated one,
// shaped by a scenario, or the machine's own sensors.
enum class ChassisKind
{
    Simulated,
    Linux
};

struct Options
{
    std::string scenarioFile; // empty: the demonstration chassis
    ChassisKind chassis = ChassisKind::Simulated;
    std::string linuxConfig; // --chassis linux=CONFIG; empty: the source's defaults
    std::string modulePath;
    std::string socketPath;
    std::string controlPath;
    std::string listen; // HOST:PORT, empty: no TCP
    bool allowRemote = false;
    std::vector<uint32_t> allowUsers; // besides the daemon's own user and root, always allowed
    std::vector<uint32_t> allowGroups;
    uint32_t maxClients = 256;
    uint32_t maxHandshakes = 64; // connections that have not sent their hello yet
    bool allowClientIds = false;
    double speed = 1.0;
    uint32_t helloTimeoutMs = 5000;
    uint32_t responseTimeoutMs = 10000; // capped at the module's dispatch trailer
    uint32_t frameTimeoutMs = 5000;     // a frame begun after the welcome must be complete within this
    size_t queueBytes = 4u << 20;
    size_t queueFrames = 8192;
    int sendBuffer = 0;    // SO_SNDBUF of client sockets; 0: the system's default
    std::string logDir;    // the module's log file ktzmon.log goes here; empty: no file
    std::string moduleIni; // the module's INI settings; empty: $KTZPLAT_INI_DIR/ktzmonst32.ini
    bool quiet = false;    // no module log lines on stderr
    std::string name = "ktzmond";
};

// "simulated" or "linux", as the status reply names the chassis.
const char* ChassisName(ChassisKind k);
// Whether this build can serve the Linux machine's sensors.
bool LinuxChassisBuilt();

// Parses argv; on --help or an error prints and sets `exitCode` and returns false.
bool ParseOptions(int argc, char** argv, Options* o, int* exitCode);

} // namespace ktzmond

#endif
