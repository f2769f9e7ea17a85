// Chassis log events for the alarms of the Linux machine: each poll hands
// the tracker the state of every alarm it could read, and the tracker turns
// each alarm that asserted or cleared since the previous poll, and each
// supply that was removed or inserted, into one chassis log event.
#ifndef KTZLINUX_ALARMS_H
#define KTZLINUX_ALARMS_H

#include "ktzplatform_control.h"

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace ktzlinux
{

// Message IDs of the events the Linux source posts.
inline constexpr const char* kMsgAlarmAsserted = "LNX0001";
inline constexpr const char* kMsgAlarmCleared = "LNX0002";
inline constexpr const char* kMsgSupplyRemoved = "LNX0003";
inline constexpr const char* kMsgSupplyInserted = "LNX0004";

// First event value: what kind of sensor the event is about.
enum class AlarmCategory : uint16_t
{
    Fan = 1,
    Temperature = 2,
    Supply = 3
};

struct AlarmState
{
    AlarmCategory category = AlarmCategory::Fan;
    uint16_t index = 0;    // fan number, temperature sensor number or bay
    bool critical = false; // crit, lcrit, fault and fan alarms; the rest are warnings
    std::string label;     // the sensor's name as clients see it
    std::string chip;      // libsensors chip name
    std::string attribute; // "fan2_alarm", "temp1_crit_alarm", "presence"
    bool asserted = false;
};

class AlarmTracker
{
  public:
    // `current` holds every alarm read in this poll, keyed by chip and
    // attribute; alarms that could not be read are left out and keep their
    // previous state. Returns the events for the changes, in key order.
    std::vector<ktzplat::ChassisLogEvent> Update(const std::map<std::string, AlarmState>& current);

  private:
    std::map<std::string, bool> asserted_;
};

} // namespace ktzlinux

#endif
