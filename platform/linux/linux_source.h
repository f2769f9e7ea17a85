// The Linux machine as a chassis source: its hwmon fans, temperatures and
// power supplies, read through libsensors, answer the platform's thermal,
// stash, power-supply and redundancy services.
//
// Numbering is fixed when the source is made, because the module numbers its
// fans, temperatures and bays once when it attaches: every fan input found
// then is fan 1..N (chip order, then channel order), the chassis temperature
// and up to 7 further ones are sensors 1..8, and the bays are the configured
// supplies followed by the power-supply chips found. A sensor that goes away
// keeps its number and reads as failing; when its chip comes back under the
// same libsensors name it reads again. Sensors that appear later are not
// added until the source is made again.
#ifndef KTZLINUX_LINUX_SOURCE_H
#define KTZLINUX_LINUX_SOURCE_H

#include "alarms.h"
#include "chassis_source.h"
#include "config.h"
#include "hwmon.h"

#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace ktzlinux
{

// Platform identifier the source describes: not one of the multi-sensor
// platforms, so every fan is one sensor.
inline constexpr uint32_t kLinuxPlatformId = 0x4C;
// Temperature health of a sensor that cannot be read (clients: status unknown).
inline constexpr uint32_t kTempUnreadable = 0xFF;
// Power-supply states and alerts the source reports.
inline constexpr uint32_t kPsuStateOk = 1;
inline constexpr uint32_t kPsuStateFailed = 6;
inline constexpr uint32_t kPsuAlertInputLost = 21810;
inline constexpr uint32_t kPsuAlertInputRange = 21812;

class LinuxSource : public ktzplat::ChassisSource
{
  public:
    // Scans the machine and fixes the numbering. Throws std::runtime_error
    // when libsensors cannot start.
    explicit LinuxSource(const LinuxConfig& config);

    void Describe(unsigned char* record, size_t size) override;
    int32_t GetFan(uint32_t fanNum, ktzplat::Fan* fan) override;
    int32_t GetTemperatures(ktzplat::TempEntry* chassis, std::vector<ktzplat::TempEntry>* extra) override;
    int32_t GetStash(std::vector<ktzplat::StashRecord>* records) override;
    int32_t GetPsuPresence(uint32_t bay, uint32_t* presence) override;
    int32_t GetPsuState(uint32_t bay, uint32_t* state) override;
    int32_t GetPsuAlert(uint32_t bay, uint32_t* alert) override;
    int32_t GetPsuFru(uint32_t bay, std::vector<uint8_t>* fru) override;
    int32_t GetRedundancy(uint32_t* config, uint32_t* state) override;

    // One poll: rescans hwmon (drivers loaded or unloaded) and returns the
    // chassis log events for every alarm that asserted or cleared and every
    // supply removed or inserted since the previous poll.
    std::vector<ktzplat::ChassisLogEvent> Poll();

    // What the numbering found, for logs and tests: "fan 1: nct6779-isa-0290/fan1 'CPU Fan'".
    std::vector<std::string> Inventory() const;

  private:
    struct Slot
    {
        std::string chip;
        std::string feature;
        std::string label;
    };
    struct Bay
    {
        SupplyConfig config;
        std::string name; // "PS-1"
    };

    ktzplat::TempEntry ReadTemp(const Slot& s) const;
    bool Present(const Bay& b) const;
    uint32_t State(const Bay& b) const;
    uint32_t Alert(const Bay& b) const;
    void Alarms(std::map<std::string, AlarmState>* out) const;
    std::optional<double> Value(const Slot& s, const char* suffix) const;

    LinuxConfig config_;
    Hwmon hwmon_;
    std::vector<Slot> fans_;
    std::vector<Slot> temps_; // [0] is the chassis temperature
    std::vector<Bay> bays_;
    std::mutex pollMu_;
    AlarmTracker tracker_;
};

// Installs the Linux machine as the platform's chassis source: reads the
// configuration file (`configPath` "" uses the defaults), scans hwmon, applies
// the file's KTZ setting and starts the source's poll thread, which rescans
// hwmon, posts chassis log events and follows the configuration file's KTZ
// setting. Call it before the module is loaded, while no module thread runs.
// Throws std::runtime_error (with the reason) when the file is malformed or
// libsensors cannot start; nothing is installed then.
void InstallLinuxChassis(const std::string& configPath);
// Stops the poll thread and puts the simulated chassis back. Call it after
// the module is unloaded. Harmless when nothing is installed.
void UninstallLinuxChassis();

} // namespace ktzlinux

#endif
