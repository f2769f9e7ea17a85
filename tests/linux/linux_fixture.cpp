// Fixture for the Linux chassis suite.
#include "linux_fixture.h"

#include "linux_source.h"
#include "testbed_devices.h"

#include <ktzmon/protocol.h>

#include <fstream>
#include <umockdev.h>

namespace ktztest
{
namespace
{
uint32_t Le32(const std::vector<uint8_t>& b, size_t off)
{
    return b[off] | (b[off + 1] << 8) | (b[off + 2] << 16) | (static_cast<uint32_t>(b[off + 3]) << 24);
}

uint16_t Le16(const std::vector<uint8_t>& b, size_t off)
{
    return static_cast<uint16_t>(b[off] | (b[off + 1] << 8));
}

std::string TextAt(const std::vector<uint8_t>& b, size_t off)
{
    std::string s;
    for (size_t i = off; i < b.size() && b[i] != 0; ++i)
    {
        s.push_back(static_cast<char>(b[i]));
    }
    return s;
}
} // namespace

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

std::string LinuxChassisTest::TestbedBlocks(const std::string& file, const std::string& prefix)
{
    return ktztest::TestbedBlocks(file, prefix);
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
    ClientBehaviour b;
    b.caps = 0x3; // base and chassis log events
    Host().SetBehaviour(kClient, b);
    ASSERT_NO_FATAL_FAILURE(LoadAndStart());
    ASSERT_EQ(Host().Connect(kClient), 0u);
    Pass(7);
}

std::vector<Sensor> LinuxChassisTest::Sensors(uint8_t type)
{
    std::vector<Sensor> out;
    for (const auto& m : Host().Messages(kClient))
    {
        const auto& b = m.bytes;
        if (m.requestType != KTZMON_REQ_SENSOR_DATA || b.size() <= KTZMON_SENSOR_OFF_NAME)
        {
            continue;
        }
        if (type != 0 && b[KTZMON_SENSOR_OFF_TYPE] != type)
        {
            continue;
        }
        Sensor s;
        s.type = b[KTZMON_SENSOR_OFF_TYPE];
        s.num = b[KTZMON_SENSOR_OFF_NUM];
        s.presence = b[KTZMON_SENSOR_OFF_PRESENCE];
        s.status = b[KTZMON_SENSOR_OFF_STATUS];
        s.reading = Le32(b, KTZMON_SENSOR_OFF_READING);
        s.lnc = Le32(b, KTZMON_SENSOR_OFF_LNC);
        s.lc = Le32(b, KTZMON_SENSOR_OFF_LC);
        s.name = TextAt(b, KTZMON_SENSOR_OFF_NAME);
        out.push_back(s);
    }
    return out;
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
    std::vector<LogEvent> out;
    for (const auto& m : Host().Messages(kClient))
    {
        const auto& b = m.bytes;
        if (m.requestType != KTZMON_REQ_VQ_LOG_EVT || b.size() < KTZMON_LOG_EVT_HEADER_SIZE)
        {
            continue;
        }
        LogEvent e;
        e.value1 = Le16(b, KTZMON_LOG_EVT_OFF_VALUE1);
        e.value2 = Le16(b, KTZMON_LOG_EVT_OFF_VALUE2);
        e.value3 = Le16(b, KTZMON_LOG_EVT_OFF_VALUE3);
        e.messageId = TextAt(b, Le32(b, KTZMON_LOG_EVT_OFF_MSGID_OFF));
        size_t args = Le32(b, KTZMON_LOG_EVT_OFF_ARGS_OFF);
        size_t argsEnd = args + Le32(b, KTZMON_LOG_EVT_OFF_ARGS_LEN);
        while (args != 0 && args < argsEnd && args < b.size() && b[args] != 0)
        {
            e.args.push_back(TextAt(b, args));
            args += e.args.back().size() + 1;
        }
        if (uint32_t text = Le32(b, KTZMON_LOG_EVT_OFF_TEXT_OFF))
        {
            e.text = TextAt(b, text);
        }
        out.push_back(e);
    }
    return out;
}

std::vector<std::vector<uint8_t>> LinuxChassisTest::Frus(uint8_t bay)
{
    std::vector<std::vector<uint8_t>> out;
    for (const auto& m : Host().Messages(kClient))
    {
        if (m.requestType == KTZMON_REQ_FRU_BY_NUM && m.bytes.size() == 264 &&
            m.bytes[KTZMON_FRU_OFF_NUM] == bay)
        {
            out.emplace_back(m.bytes.begin() + KTZMON_FRU_OFF_DATA, m.bytes.end());
        }
    }
    return out;
}

std::vector<std::pair<uint32_t, uint8_t>> LinuxChassisTest::KtzSettings()
{
    std::vector<std::pair<uint32_t, uint8_t>> out;
    for (const auto& m : Host().Messages(kClient))
    {
        if (m.requestType == KTZMON_REQ_KTZ_SETTING && m.bytes.size() >= 8)
        {
            out.emplace_back(Le32(m.bytes, 0), m.bytes[4]);
        }
    }
    return out;
}

} // namespace ktztest
