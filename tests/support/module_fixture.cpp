// Fixture for suites that link the module's objects.
#include "support/module_fixture.h"

#include "cfgmon/cfgmon.h"
#include "clients/clientmgr.h"
#include "core/global.h"
#include "core/log.h"
#include "logmon/logmon.h"
#include "module/module.h"
#include "sensormon/sensormon.h"

#include <ktzmon/ktzmon.h>

#include <array>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <unistd.h>

namespace ktztest
{

namespace
{
// The sensor type table as the module starts with it. Its settings live as
// long as the module (a run-time attach leaves its ready delay at 0 for the
// next one), so every test starts again from these.
const std::array<KTZMonSensorType, KTZMON_SENSOR_TYPE_COUNT> kBuiltInTypeTable = []
{
    std::array<KTZMonSensorType, KTZMON_SENSOR_TYPE_COUNT> t{};
    for (uint32_t i = 0; i < KTZMON_SENSOR_TYPE_COUNT; ++i)
    {
        t[i] = g_KTZMonSensorTypeTable[i];
    }
    return t;
}();
} // namespace

void RestoreSensorTypeTable()
{
    for (uint32_t i = 0; i < KTZMON_SENSOR_TYPE_COUNT; ++i)
    {
        g_KTZMonSensorTypeTable[i] = kBuiltInTypeTable[i];
    }
}

void ExpectNothingAttached()
{
    EXPECT_EQ(RCESPSPPMDGetSPPMDE(), nullptr);
    EXPECT_EQ(g_pKTZMonGlobalData, nullptr);
    EXPECT_EQ(g_pKTZMonGlobalMonLock, nullptr);
    EXPECT_EQ(g_pKTZMonLogData, nullptr);
    EXPECT_EQ(g_pKTZMonCfgMonData, nullptr);
    EXPECT_EQ(g_pKTZMonClientMgrData, nullptr);
    EXPECT_EQ(g_pKTZMonLogMonData, nullptr);
    EXPECT_EQ(g_pKTZMonSensorMonData, nullptr);
}

void ModuleTest::SetUp()
{
    ktzplat::Reset();
    RestoreSensorTypeTable();
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = std::string(info->test_suite_name()) + "." + info->name();
    for (char& c : name)
    {
        if (c == '/')
        {
            c = '_';
        }
    }
    const char* base = std::getenv("TMPDIR");
    dir_ =
        std::string(base != nullptr ? base : "/tmp") + "/ktztest-" + std::to_string(::getpid()) + "-" + name;
    std::filesystem::remove_all(dir_);
    std::filesystem::create_directories(dir_ + "/ini");
    std::filesystem::create_directories(dir_ + "/log");
    ktzplat::SetIniDir(dir_ + "/ini");
    ktzplat::SetLogRoot(dir_ + "/log");
    ktzplat::UseVirtualClock(kStartTime);
    ktzplat::ConfigSet(kKtzSettingKey, "0");
    ASSERT_TRUE(ktztest::WaitIdle());
    host_ = std::make_unique<FakeHost>(&KTZMON_RCESPDispatch);
    const auto stats = ktzplat::GetAllocStats();
    baseLiveBytes_ = stats.liveBytes;
    baseLiveAllocs_ = stats.liveAllocs;
}

void ModuleTest::TearDown()
{
    // Harmless when the test already stopped or unloaded: the module refuses
    // out-of-order requests with a status.
    ktzplat::ClearFaults();
    (void)host_->Stop();
    (void)host_->Unload();
    EXPECT_TRUE(ktztest::WaitIdle());
    EXPECT_EQ(ktzplat::LiveThreadCount(), 0u) << "a module thread was left running";
    if (checkLeaks_)
    {
        const auto stats = ktzplat::GetAllocStats();
        EXPECT_EQ(stats.liveBytes, baseLiveBytes_) << "bytes leaked";
        EXPECT_EQ(stats.liveAllocs, baseLiveAllocs_) << "blocks leaked";
    }
    host_.reset();
    ktzplat::Reset();
    if (!HasFailure())
    {
        std::filesystem::remove_all(dir_);
    }
}

void ModuleTest::WriteIni(const std::string& content)
{
    std::ofstream(dir_ + "/ini/ktzmonst32.ini") << content;
}

void ModuleTest::LoadAndStart()
{
    ASSERT_EQ(host_->Load(), 0u);
    ASSERT_EQ(host_->Start(), 0u);
    ASSERT_TRUE(ktztest::WaitIdle());
}

void ModuleTest::StopAndUnload()
{
    EXPECT_EQ(host_->Stop(), 0u);
    EXPECT_EQ(host_->Unload(), 0u);
}

bool ModuleTest::Logged(const std::string& line) const
{
    return CountLogged(line) > 0;
}

size_t ModuleTest::CountLogged(const std::string& line) const
{
    size_t n = 0;
    for (const auto& m : ktzplat::LoggedMessages())
    {
        n += (m == line) ? 1 : 0;
    }
    return n;
}

std::string ModuleTest::LogFileText() const
{
    std::ifstream in(ktzplat::ResolveLogPath("/tmp/ktzmon.log"));
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

} // namespace ktztest
