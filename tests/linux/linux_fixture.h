// Fixture for the Linux chassis suite: a umockdev testbed loaded from one of
// the machine descriptions in testbeds/, a configuration file in the test's
// directory, the Linux source installed over it, and helpers that read what
// the client received.
#ifndef KTZTEST_LINUX_FIXTURE_H
#define KTZTEST_LINUX_FIXTURE_H

#include "support/module_fixture.h"
#include "support/received.h"

#include <cstdint>
#include <string>
#include <vector>

typedef struct _UMockdevTestbed UMockdevTestbed;

namespace ktztest
{

class LinuxChassisTest : public ModuleTest
{
  protected:
    static constexpr uint32_t kClient = 3;

    void SetUp() override;
    void TearDown() override;

    // Loads a testbed file of testbeds/ into the testbed.
    void AddTestbed(const std::string& file);
    void AddDevices(const std::string& text);
    void RemoveDevice(const std::string& sysPath);
    // Writes a sysfs attribute the way the kernel shows it (with a newline).
    void SetAttr(const std::string& sysPath, const std::string& name, const std::string& value);

    std::string ConfigPath() const { return TestDir() + "/linux.toml"; }
    void WriteConfig(const std::string& text);
    // Installs the Linux source over the testbed with the configuration written.
    void Install();
    // Installed if not yet, monitoring on (from the configuration), module
    // loaded and started, one client with chassis log events, and the sensor
    // types' first passes.
    void StartWithClient();

    std::vector<Sensor> Sensors(uint8_t type = 0);
    // The last message received for each sensor of a type, by sensor number.
    Sensor Last(uint8_t type, uint8_t num);
    std::vector<LogEvent> Events();
    std::vector<std::vector<uint8_t>> Frus(uint8_t bay);
    // KTZ setting messages: {value, changed}.
    std::vector<std::pair<uint32_t, uint8_t>> KtzSettings();
    static void Pass(int passes = 1) { ktzplat::AdvanceClock(5 * static_cast<int64_t>(passes)); }

    UMockdevTestbed* testbed_ = nullptr;
    bool installed_ = false;
};

} // namespace ktztest

#endif
