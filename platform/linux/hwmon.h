// The machine's hwmon chips as libsensors sees them: a scan lists every chip
// with its features (fan, temperature, voltage, current, power channels) and
// their subfeatures, with the labels, ignores and computations of the
// sensors.conf in force; reads go through libsensors by chip and subfeature
// name, so a chip that was unloaded reads as failing instead of stale.
//
// The libsensors configuration is read once, at the start, and again only
// when Reload asks for it; every rescan re-initialises libsensors from that
// text in memory. So a sensors.conf that is being edited is never half read,
// and a new one that does not load leaves the one in force as it was.
#ifndef KTZLINUX_HWMON_H
#define KTZLINUX_HWMON_H

#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace ktzlinux
{

enum class ChannelKind
{
    Fan,
    Temp,
    Voltage,
    Current,
    Power,
    Other
};

struct Channel
{
    ChannelKind kind = ChannelKind::Other;
    std::string feature;                  // "fan1", "temp2", "in1"
    std::string label;                    // from sensors.conf, the _label file, or the feature name
    std::vector<std::string> subfeatures; // "fan1_input", "fan1_min", "fan1_alarm", ...
    bool Has(const std::string& suffix) const;
};

struct Chip
{
    std::string id;     // libsensors chip name, e.g. "nct6779-isa-0290" or "pmbus-i2c-1-58"
    std::string prefix; // driver name, e.g. "nct6779", "pmbus"
    std::string path;   // the hwmon directory
    std::vector<Channel> channels;
};

// libsensors keeps its chips in process-wide state: one Hwmon at a time.
class Hwmon
{
  public:
    // `sensorsConf`: the libsensors configuration file ("": the system's,
    // /etc/sensors3.conf and the files of /etc/sensors.d in name order, as
    // libsensors reads them). Throws std::runtime_error when it cannot be
    // read, does not load, or libsensors cannot start.
    explicit Hwmon(std::string sensorsConf);
    ~Hwmon();
    Hwmon(const Hwmon&) = delete;
    Hwmon& operator=(const Hwmon&) = delete;

    // Reads the chips again (a driver loaded or unloaded since), with the
    // configuration in force. Throws std::runtime_error when libsensors
    // cannot start.
    void Rescan();
    // Reads the configuration file `sensorsConf` again (it may name another
    // file) and rescans with it. When it cannot be read or does not load,
    // the previous configuration stays in force and std::runtime_error says
    // why.
    void Reload(const std::string& sensorsConf);
    // The configuration file in force ("": the system's).
    std::string ConfigFile() const;
    // The chips of the last scan, in scan order.
    std::vector<Chip> Chips() const;
    bool HasChip(const std::string& id) const;
    // Whether the chip was found by the last scan and its hwmon directory is
    // still there.
    bool ChipPresent(const std::string& id) const;
    // The value of one subfeature ("fan1_input") of a chip, in libsensors
    // units (RPM, degrees Celsius, volts, amperes, watts); nothing when the
    // chip or the subfeature is gone or the read fails.
    std::optional<double> Read(const std::string& chip, const std::string& subfeature) const;

  private:
    // Under mu_: libsensors started afresh from `text`; throws with the
    // reason when it does not load (libsensors is then not initialised).
    void Init(const std::string& text);
    void Scan();
    std::string conf_;
    std::string text_;      // the configuration in force
    mutable std::mutex mu_; // libsensors' global state is not thread safe
    std::vector<Chip> chips_;
    bool initialised_ = false;
};

} // namespace ktzlinux

#endif
