// Fixture for the Linux chassis suite.
#include "linux_fixture.h"

#include "linux_source.h"
#include "testbed_devices.h"

#include <ktzmon/protocol.h>

#include <fstream>
#include <umockdev.h>

namespace ktztest
{

void LinuxChassisTest::SetUp()
{
    // The testbed sets UMOCKDEV_DIR, before any platform thread runs.
    testbed_ = umockdev_testbed_new();
    ASSERT_NE(testbed_, nullptr);
    ModuleTest::SetUp();
}

void LinuxChassisTest::TearDown()
{
    (void)Host().Stop();
    (void)Host().Unload();
    ktzlinux::UninstallLinuxChassis();
    ModuleTest::TearDown();
    g_object_unref(testbed_);
}

void LinuxChassisTest::AddTestbed(const std::string& file)
{
    GError* error = nullptr;
    const std::string path = std::string(KTZ_TESTBED_DIR) + "/" + file;
    ASSERT_TRUE(umockdev_testbed_add_from_file(testbed_, path.c_str(), &error))
        << path << ": " << (error ? error->message : "?");
}

void LinuxChassisTest::AddDevices(const std::string& text)
{
    GError* error = nullptr;
    ASSERT_TRUE(umockdev_testbed_add_from_string(testbed_, text.c_str(), &error))
        << (error ? error->message : "?");
}

void LinuxChassisTest::RemoveDevice(const std::string& sysPath)
{
    RemoveTestbedDevice(testbed_, sysPath);
}

void LinuxChassisTest::SetAttr(const std::string& sysPath, const std::string& name, const std::string& value)
{
    umockdev_testbed_set_attribute(testbed_, sysPath.c_str(), name.c_str(), (value + "\n").c_str());
}

void LinuxChassisTest::WriteConfig(const std::string& text)
{
    // Written aside and renamed, as editors do, so that the watcher never
    // reads half a file.
    const std::string tmp = ConfigPath() + ".tmp";
    {
        std::ofstream out(tmp);
        out << text;
    }
    ASSERT_EQ(std::rename(tmp.c_str(), ConfigPath().c_str()), 0);
}

void LinuxChassisTest::Install()
{
    ASSERT_NO_THROW(ktzlinux::InstallLinuxChassis(ConfigPath()));
    installed_ = true;
    ASSERT_TRUE(ktzplat::WaitIdle());
}

void LinuxChassisTest::StartWithClient()
{
    if (!installed_)
    {
        ASSERT_NO_FATAL_FAILURE(Install());
    }
    Host().SetBehaviour(kClient, {.caps = 0x3}); // base and chassis log events
    ASSERT_NO_FATAL_FAILURE(LoadAndStart());
    ASSERT_EQ(Host().Connect(kClient), 0u);
    Pass(7);
}

std::vector<Sensor> LinuxChassisTest::Sensors(uint8_t type)
{
    return SensorsIn(Host().Messages(kClient), type);
}

Sensor LinuxChassisTest::Last(uint8_t type, uint8_t num)
{
    Sensor last;
    for (const Sensor& s : Sensors(type))
    {
        if (s.num == num)
        {
            last = s;
        }
    }
    return last;
}

std::vector<LogEvent> LinuxChassisTest::Events()
{
    return LogEventsIn(Host().Messages(kClient));
}

std::vector<std::vector<uint8_t>> LinuxChassisTest::Frus(uint8_t bay)
{
    return FruDataIn(Host().Messages(kClient), bay);
}

std::vector<std::pair<uint32_t, uint8_t>> LinuxChassisTest::KtzSettings()
{
    return KtzSettingsIn(Host().Messages(kClient));
}

} // namespace ktztest
