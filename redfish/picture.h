// The chassis as the service knows it from ktzmond's messages: the latest
// data of every sensor, the FRU record of every bay, the KTZ setting, and
// the chassis log events seen (the newest kLogCapacity, oldest evicted).
// Applying a message reports what happened that events are made of: a
// sensor's health or state that changed, a chassis log event. A sensor seen
// for the first time changes nothing; the last health and state of every
// sensor are remembered across a lost connection and monitoring switched
// off, so a change that happened meanwhile is still reported once the
// sensor is back.
//
// Texts from the module are bounded here: names and message IDs to 64 bytes,
// at most 16 arguments of 256 bytes, event texts to 1024 bytes.
//
// Used on the service's I/O thread only; not locked.
#ifndef KTZREDFISH_PICTURE_H
#define KTZREDFISH_PICTURE_H

#include "fru.h"
#include "ktzclient_decode.h"
#include "schema.h"

#include <cstdint>
#include <deque>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace ktzredfish
{

inline constexpr size_t kLogCapacity = 1000;
inline constexpr size_t kMaxNameBytes = 64;
inline constexpr size_t kMaxArgs = 16;
inline constexpr size_t kMaxArgBytes = 256;
inline constexpr size_t kMaxTextBytes = 1024;

enum class SensorKind : uint8_t
{
    Fan = 1,
    Temperature = 2,
    PowerSupply = 3,
    Redundancy = 4,
};

struct Sensor
{
    SensorKind kind = SensorKind::Fan;
    uint8_t number = 0; // within its kind; a supply's bay
    uint8_t presence = 0;
    uint8_t status = 0; // 0 unknown, 1 normal, 2 non-critical, 3 critical
    uint32_t raw = 0;   // the reading word (a bit set for supplies and redundancy)
    int64_t reading = 0;
    bool hasThresholds = false;
    uint32_t lnc = 0;
    uint32_t lc = 0;
    std::string name;
};

using SensorKey = std::pair<SensorKind, uint8_t>;

// Health from the module's status: normal OK, non-critical Warning, critical
// Critical, unknown (and anything absent) Unknown.
Health SensorHealth(const Sensor& s);
// Fans and temperatures Enabled; supplies Enabled or Absent (empty bay);
// redundancy Enabled (configured), Disabled (not configured) or
// UnavailableOffline (configuration unknown).
State SensorState(const Sensor& s);

struct LogRecord
{
    uint64_t id = 0;    // from 1, one more for each event seen in this run
    int64_t wallMs = 0; // when the service received it
    uint16_t values[3] = {0, 0, 0};
    std::string messageId;
    std::vector<std::string> args;
    bool hasText = false;
    std::string text;
};

struct Change
{
    enum class Kind
    {
        Health,
        State,
        LogEvent,
    };
    Kind kind = Kind::Health;
    SensorKey sensor{};
    Health health = Health::Unknown; // Health: the new health
    State state = State::Enabled;    // State: the new state
    uint64_t logId = 0;              // LogEvent: the record
};

class Picture
{
  public:
    void Connected();
    // The connection to the daemon is gone: the sensors and FRU records go.
    void Disconnected();
    void Apply(const ktzclient::Message& msg, int64_t wallMs, std::vector<Change>* changes);
    // A message that did not decode (counted).
    void DecodeFailed() { ++decodeErrors_; }

    // One more whenever anything here changed.
    uint64_t version() const { return version_; }
    bool connected() const { return connected_; }
    bool hasSetting() const { return hasSetting_; }
    bool monitoring() const { return hasSetting_ && (setting_ == 1 || setting_ == 2); }
    bool synced() const { return synced_; }
    uint32_t setting() const { return setting_; }
    uint64_t decodeErrors() const { return decodeErrors_; }

    const std::map<SensorKey, Sensor>& sensors() const { return sensors_; }
    const Sensor* Find(SensorKind kind, uint8_t number) const;
    const ktzfru::FruRecord* Fru(uint8_t bay) const;
    const std::deque<LogRecord>& log() const { return log_; }
    const LogRecord* FindLog(uint64_t id) const;

    // The chassis as a whole: UnavailableOffline while not connected,
    // Disabled while the KTZ setting switches monitoring off, else Enabled;
    // its health the worst of every sensor's.
    State ChassisState() const;
    Health Rollup() const;
    Health Rollup(SensorKind kind) const;

  private:
    void ApplySensor(const ktzclient::SensorData& d, std::vector<Change>* changes);
    void ApplyLogEvent(const ktzclient::LogEvent& e, int64_t wallMs, std::vector<Change>* changes);
    void ClearSensors();

    uint64_t version_ = 0;
    bool connected_ = false;
    bool hasSetting_ = false;
    uint32_t setting_ = 0;
    bool synced_ = false;
    uint64_t decodeErrors_ = 0;
    std::map<SensorKey, Sensor> sensors_;
    std::map<uint8_t, ktzfru::FruRecord> frus_;
    std::map<SensorKey, std::pair<Health, State>> last_;
    std::deque<LogRecord> log_;
    uint64_t nextLogId_ = 1;
};

} // namespace ktzredfish

#endif
