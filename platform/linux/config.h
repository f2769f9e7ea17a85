// The Linux chassis source's configuration: a small TOML file in which every
// key has a default, so that an ordinary machine needs no file at all.
#ifndef KTZLINUX_CONFIG_H
#define KTZLINUX_CONFIG_H

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace ktzlinux
{

struct SupplyConfig
{
    std::string chip;     // libsensors chip name, e.g. "pmbus-i2c-1-58"
    std::string eeprom;   // file holding the supply's FRU record ("": none)
    std::string presence; // file reading 1 while the supply is seated ("": its chip is found)
};

enum class RedundancyPolicy
{
    None, // no redundancy sensor (configuration 0)
    NPlus1,
    NPlusN
};

struct LinuxConfig
{
    // KTZ setting written to the platform configuration; unset leaves it to
    // whoever else sets it.
    std::optional<uint32_t> ktzSetting;
    // libsensors configuration file; "" uses the system's (sensors.conf and
    // sensors.d).
    std::string sensorsConf;
    // How often the source rescans hwmon, looks for alarms and reads the
    // configuration file's changes.
    uint32_t pollIntervalMs = 1000;

    // Lower non-critical threshold of a fan: its minimum plus this percentage.
    uint32_t fanLncMarginPercent = 20;
    // Fans (chip name, "chip/fanN" or label) left out.
    std::vector<std::string> fanIgnore;

    // The chassis temperature (label, chip name or "chip/tempN"); "": the
    // first temperature found.
    std::string chassisTemp;
    // Further temperatures, at most 7; empty: the next temperatures found.
    std::vector<std::string> extraTemps;
    bool extraTempsSet = false;

    // Power supplies named here come first, in this order; PMBus devices
    // found and not named follow in chip name order.
    std::vector<SupplyConfig> supplies;
    // hwmon driver names that count as power supplies.
    std::vector<std::string> supplyDrivers = {"pmbus",    "bel_pfe", "ibm_cffps", "inspur_ipsps1",
                                              "dps920ab", "fsp3y",   "crps",      "acbel_fsg032"};
    // Number of bays; 0: the number of supplies found at start.
    uint32_t bays = 0;
    RedundancyPolicy redundancy = RedundancyPolicy::NPlus1;
    // Supplies the load needs.
    uint32_t suppliesNeeded = 1;
};

// Reads a configuration file ("": the defaults). Throws
// std::runtime_error naming the file, line and key on a malformed file or a
// value out of range.
LinuxConfig LoadConfig(const std::string& path);
// Parses configuration text (the file name is used in error messages only).
LinuxConfig ParseConfig(const std::string& text, const std::string& source = "config");

} // namespace ktzlinux

#endif
