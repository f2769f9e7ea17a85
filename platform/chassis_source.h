// Chassis sources: where the thermal service, the blade-management stash, the
// power-supply and redundancy services and the platform description get
// their answers. The simulated chassis (the control API's setters) answers
// while no other source is installed; a program that serves a real machine
// installs its source once, before it loads the module.
#ifndef KTZPLATFORM_CHASSIS_SOURCE_H
#define KTZPLATFORM_CHASSIS_SOURCE_H

#include "ktzplatform_control.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace ktzplat
{

// A chassis the platform services answer from. Every getter returns 0 and
// fills its out-values, or a non-zero platform result that the service call
// returns unchanged. Getters are called from any module or platform thread,
// at the same time, so a source guards its own state.
class ChassisSource
{
  public:
    virtual ~ChassisSource() = default;

    // Fills the 256-byte platform description record once, when the source
    // is installed; the record then stays as it is while the source answers.
    virtual void Describe(unsigned char* record, size_t size) = 0;

    // Thermal service: one fan by its number (1-based), the chassis
    // temperature with the further entries the service reports after it
    // (health and reading at the same positions as the stash records).
    virtual int32_t GetFan(uint32_t fanNum, Fan* fan) = 0;
    virtual int32_t GetTemperatures(TempEntry* chassis, std::vector<TempEntry>* extra) = 0;
    // Blade-management stash: at most 7 further temperatures.
    virtual int32_t GetStash(std::vector<StashRecord>* records) = 0;

    // Power-supply service, per bay (1-based).
    virtual int32_t GetPsuPresence(uint32_t bay, uint32_t* presence) = 0;
    virtual int32_t GetPsuState(uint32_t bay, uint32_t* state) = 0;
    virtual int32_t GetPsuAlert(uint32_t bay, uint32_t* alert) = 0;
    // The bay's raw FRU data (at most 256 bytes are used; the rest is zeros).
    virtual int32_t GetPsuFru(uint32_t bay, std::vector<uint8_t>* fru) = 0;
    virtual int32_t GetRedundancy(uint32_t* config, uint32_t* state) = 0;
};

// Installs `source` (nullptr: the simulated chassis again). Call it only
// while no module thread runs, like Reset, which leaves the installed source
// in place.
void UseChassisSource(std::shared_ptr<ChassisSource> source);
std::shared_ptr<ChassisSource> CurrentChassisSource();

namespace detail
{
// The service calls' answers from an installed source; each counts and
// honours the injected faults of its operation like the simulated path.
bool ChassisSourceInstalled();
void* SourcePlatInfo();
int32_t SourceFanData(uint32_t fanNum, void* fanData);
int32_t SourceSensorData(void* entries, uint8_t* pCount, uint8_t* sensorNums);
int32_t SourceStash(void* records, uint8_t* pCount);
int32_t SourcePsuPresence(uint32_t bay, uint32_t* pPresence);
int32_t SourcePsuState(uint32_t bay, uint32_t* pState);
int32_t SourcePsuAlert(uint32_t bay, uint32_t* pAlert);
int32_t SourcePsuRawFru(uint32_t bay, uint8_t* buf, uint32_t bufSize);
int32_t SourceRedundancyConfig(uint32_t* pConfig);
int32_t SourceRedundancyState(uint32_t* pState);
} // namespace detail

} // namespace ktzplat

#endif
