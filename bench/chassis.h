// The reference chassis the benchmarks run on, and the minimal host that
// drives the module in-process: 12 two-sensor fans on platform 0x10, the
// chassis temperature and 7 stash temperatures, 6 power-supply bays with
// readable FRU data, power redundancy and the chassis log proxy (the scale
// benchmarks use the largest chassis instead). The host's
// client callback answers the capability query and otherwise does nothing,
// unless recording is on, when it notes each message's type and sizes.
#ifndef KTZBENCH_CHASSIS_H
#define KTZBENCH_CHASSIS_H

#include <ktzmon/ktzmon.h>

#include <cstdint>
#include <string>
#include <vector>

namespace ktzbench
{

inline constexpr uint32_t kFans = 12;
inline constexpr uint32_t kFanSensors = kFans * 2;
inline constexpr uint32_t kStashTemps = 7;
inline constexpr uint32_t kBays = 6;
inline constexpr uint32_t kClients = 8;
inline constexpr uint32_t kFirstClientID = 100;
inline constexpr uint32_t kCapsBase = 0x1;
inline constexpr uint32_t kCapsWithLogEvents = 0x3;

// The chassis a session runs on: every fan with the same sensors, every bay
// present with readable FRU data, every reading inside its thresholds.
struct ChassisShape
{
    uint32_t fans;         // fan numbers 1..fans
    uint8_t sensorsPerFan; // on platform 0x10, which reads the count from the fan record
    uint32_t stashTemps;   // stash temperatures beside the chassis sensor (at most 7)
    uint32_t bays;         // power-supply bays 1..bays
    uint32_t FanSensors() const { return fans * sensorsPerFan; }
    // Every sensor of the four types, as a connecting client receives them.
    uint32_t Sensors() const { return FanSensors() + 1 + stashTemps + bays + 1; }
};
inline constexpr ChassisShape kReferenceChassis{kFans, 2, kStashTemps, kBays};
// The largest chassis the module takes in whole: 255 fan numbers with one
// sensor each (sensor numbers 1..255), every temperature, 255 bays.
inline constexpr ChassisShape kLargestChassis{255, 1, 7, 255};

struct SentMsg
{
    uint32_t clientID;
    uint32_t requestType;
    uint32_t size;       // request data bytes
    uint32_t rspBufSize; // response buffer the module offered
};

// Platform reset, per-run INI directory and log root, virtual clock, the
// reference chassis and KTZ setting "1". With logToFile false the INI file
// turns the diagnostic log's writing off.
void SetUpPlatform(bool logToFile, const ChassisShape& shape = kReferenceChassis);
// The shape SetUpPlatform last set up.
const ChassisShape& CurrentShape();
// Removes the run's directory and resets the platform.
void TearDownPlatform();

// Load and Start-monitor, then moves the virtual clock past the settling
// delay so that every sensor type attaches. False (with `why`) on failure.
bool LoadStartAttach(std::string* why);
// Stop-monitor and Unload; false when either did not return 0.
bool StopUnload();

uint32_t Dispatch(uint32_t code, uint32_t clientID);
uint32_t Load();
uint32_t Start();
uint32_t Stop();
uint32_t Unload();
uint32_t Connect(uint32_t clientID);
uint32_t Disconnect(uint32_t clientID);

// The capability mask the host answers for a client (base only by default).
void SetClientCaps(uint32_t clientID, uint32_t caps);
// Connects clients kFirstClientID .. kFirstClientID + count - 1 with `caps`.
bool ConnectClients(uint32_t count, uint32_t caps);
void DisconnectClients(uint32_t count);

// The host callback, as the module finds it in entry 0 of the function table.
KTZMonHostClientDispatchFn HostCallback();
void StartRecording();
std::vector<SentMsg> StopRecording();

// One benchmark's module: platform, Load, Start-monitor, sensor types
// attached, `clients` clients connected with `caps`. The destructor
// disconnects them, stops and unloads the module and resets the platform.
class Session
{
  public:
    Session(bool logToFile, uint32_t clients, uint32_t caps, const ChassisShape& shape = kReferenceChassis);
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    bool ok() const { return error_.empty(); }
    const std::string& error() const { return error_; }

  private:
    uint32_t clients_ = 0;
    bool loaded_ = false;
    std::string error_;
};

// The chassis log data event the event benchmarks deliver.
std::vector<uint8_t> ReferenceLogEvent();

} // namespace ktzbench

#endif
