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
//
// A machine without fans, temperatures or power supplies in hwmon still
// gives the module a complete answer (see GetFan, GetTemperatures and
// supplies.cpp), so that clients get the whole picture and data-sync-complete.
#ifndef KTZLINUX_LINUX_SOURCE_H
#define KTZLINUX_LINUX_SOURCE_H

#include "alarms.h"
#include "chassis_source.h"
#include "config.h"
#include "hwmon.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
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
// The chassis temperature's name on a machine without temperatures.
inline constexpr const char* kNoTemperatureName = "No temperature";

// What the numbering found, by type.
struct SensorCounts
{
    size_t fans = 0;
    size_t temperatures = 0;
    size_t supplies = 0;        // bays, empty ones included
    bool impliedSupply = false; // no supply: the machine's power input stands in
    bool redundancy = false;    // a redundancy sensor is reported
};

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
    SensorCounts Counts() const;
    // No supply named, found or counted: bay 1 stands for the machine's own
    // power input.
    bool ImpliedSupply() const { return bays_.empty() && config_.bays == 0; }

    // Applies a re-read configuration while the module runs: the libsensors
    // configuration, the fans' lower non-critical margin and the redundancy
    // policy. Keys that fix the numbering (ignored fans, the temperatures,
    // the supplies, drivers and bay count) take effect at the next start;
    // each such change is named in `notes`. Throws std::runtime_error when
    // the libsensors configuration does not load; nothing is changed then.
    void Reconfigure(const LinuxConfig& next, std::vector<std::string>* notes);

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

    LinuxConfig config_; // as at the start; the live settings are below
    Hwmon hwmon_;
    std::atomic<uint32_t> lncMarginPercent_;
    mutable std::mutex policyMu_; // the redundancy policy and N, changed by Reconfigure
    RedundancyPolicy redundancy_;
    uint32_t suppliesNeeded_;
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
// Reads the installed source's configuration file again and applies what
// can change while the module runs (see LinuxSource::Reconfigure), the poll
// interval, and the file's KTZ setting. Returns what was applied or needs a
// restart, one line each. Throws std::runtime_error, with nothing changed,
// when the file is malformed or the libsensors configuration does not load.
std::vector<std::string> ReloadLinuxChassis();

// What the installed source serves; nothing when none is installed.
struct LinuxChassisSummary
{
    SensorCounts counts;
    std::vector<std::string> inventory;
};
std::optional<LinuxChassisSummary> InstalledLinuxChassis();

// Stops the poll thread and puts the simulated chassis back. Call it after
// the module is unloaded. Harmless when nothing is installed.
void UninstallLinuxChassis();

} // namespace ktzlinux

#endif
