// End to end through the host boundary: the library is loaded with dlopen
// like the host service loads it, driven through KTZMON_RCESPDispatch, and
// judged by what its clients receive and what its log file holds.
#include "support/fake_host.h"
#include "support/files.h"
#include "support/temp_dir.h"
#include "support/wait.h"

#include "ktzplatform_control.h"

#include <gtest/gtest.h>

#include <dlfcn.h>

namespace
{

class HostBoundaryTest : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        ktzplat::Reset();
        ASSERT_FALSE(dir_.path().empty());
        ktzplat::SetIniDir(dir_.path());
        ktzplat::SetLogRoot(dir_.File("log"));
        ktzplat::UseVirtualClock(2000000);
        ktzplat::ConfigSet("ZNB_KelvanorMode", "0");
        handle_ = dlopen(KTZMON_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(handle_, nullptr) << dlerror();
        auto fn = reinterpret_cast<KTZMonDispatchFn>(dlsym(handle_, "KTZMON_RCESPDispatch"));
        ASSERT_NE(fn, nullptr);
        host_ = std::make_unique<ktztest::FakeHost>(fn);
        base_ = ktzplat::GetAllocStats().liveBytes;
    }

    void TearDown() override
    {
        host_.reset();
        if (handle_ != nullptr)
        {
            dlclose(handle_);
        }
        EXPECT_TRUE(ktztest::WaitIdle());
        EXPECT_EQ(ktzplat::LiveThreadCount(), 0u);
        EXPECT_EQ(ktzplat::GetAllocStats().liveBytes, base_);
        ktzplat::Reset();
    }

    std::string LogFile() const { return ktztest::ReadFile(ktzplat::ResolveLogPath("/tmp/ktzmon.log")); }

    std::unique_ptr<ktztest::FakeHost> host_;
    void* handle_ = nullptr;
    ktztest::TempDir dir_;
    uint64_t base_ = 0;
};

TEST_F(HostBoundaryTest, LifecycleRunWritesTheLogFileFromStartToStop)
{
    ktzplat::SetCapWordB(0x4);
    ASSERT_EQ(host_->Load(), 0u);
    ASSERT_EQ(host_->Start(), 0u);
    host_->SetBehaviour(5, ktztest::ClientBehaviour{.caps = 0x3});
    EXPECT_EQ(host_->Connect(5), 0u);
    EXPECT_EQ(host_->Types(5), (std::vector<uint32_t>{0x100, 0x200}));
    const auto msgs = host_->Messages(5);
    ASSERT_EQ(msgs.size(), 2u);
    EXPECT_TRUE(msgs[1].nullData);
    EXPECT_EQ(msgs[1].rspBufSize, 16u);
    EXPECT_EQ(host_->Stop(), 0u);
    EXPECT_EQ(host_->Unload(), 0u);

    const std::string log = LogFile();
    EXPECT_EQ(log.rfind("KTZ Monitor started\n", 0), 0u) << log;
    EXPECT_NE(log.find("KTZ setting: 0\n"), std::string::npos);
    EXPECT_NE(log.find("KTZ client connected: clientID: 5 ktzCaps: 0x3\n"), std::string::npos);
    const std::string last = "KTZ Monitor stopped\n";
    ASSERT_GE(log.size(), last.size());
    EXPECT_EQ(log.substr(log.size() - last.size()), last);
}

// What a client receives through the loaded library, byte for byte: the
// setting, a fan's and a temperature's sensor record and a chassis log
// event, every multi-byte field little-endian whatever the host's order.
// The values are chosen so that no field reads the same in both orders.
TEST_F(HostBoundaryTest, ClientPayloadsAreLittleEndianOnTheWire)
{
    ktzplat::SetCapWordB(0x4);
    ktzplat::SetPlatformId(0x14);
    ktzplat::SetFanCounts(1, 0);
    ktzplat::SetFan(
        1, {.name1 = "Fan1", .reading1 = 0x01020304, .lncThreshold = 0x0A0B, .lcThreshold = 0x0C0D0E});
    ktzplat::SetChassisTemp({"T", 0, -2});
    ktzplat::ConfigSet("ZNB_KelvanorMode", "2");
    ASSERT_TRUE(ktztest::WaitIdle());
    host_->SetBehaviour(5, ktztest::ClientBehaviour{.caps = 0x3});
    ASSERT_EQ(host_->Load(), 0u);
    ASSERT_EQ(host_->Start(), 0u);
    ASSERT_EQ(host_->Connect(5), 0u);
    ktzplat::AdvanceClock(30);

    // The argument block is "x", its NUL and the closing NUL.
    ktzplat::PostChassisLogEvent({.value1 = 0x0102,
                                  .value2 = 0x0304,
                                  .value3 = 0x0506,
                                  .messageId = "ID1",
                                  .hasArgs = true,
                                  .args = {"x"}});
    ASSERT_TRUE(ktztest::WaitIdle());

    std::vector<std::string> got;
    for (const auto& m : host_->Messages(5))
    {
        if (m.requestType != 0x200 && m.requestType != 0x103)
        {
            got.push_back(ktztest::Hex(m.bytes));
        }
    }
    EXPECT_EQ(got, (std::vector<std::string>{
                       "02 00 00 00 00 00 00 00",
                       "01 01 01 01 01 00 03 00 04 03 02 01 28 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 "
                       "0B 0A 00 00 0E 0D 0C 00 00 00 00 00 46 61 6E 31 00",
                       "02 01 01 01 02 00 00 00 FE FF FF FF 28 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 "
                       "00 00 00 00 00 00 00 00 00 00 00 00 54 00",
                       "02 01 04 03 06 05 00 00 18 00 00 00 1C 00 00 00 03 00 00 00 00 00 00 00 "
                       "49 44 31 00 78 00 00",
                   }));
    EXPECT_EQ(host_->Stop(), 0u);
    EXPECT_EQ(host_->Unload(), 0u);
}

TEST_F(HostBoundaryTest, ModuleAfterUnloadRefusesAndTheLibraryUnloadsCleanly)
{
    ASSERT_EQ(host_->Load(), 0u);
    EXPECT_EQ(host_->Unload(), 0u);
    EXPECT_EQ(host_->Unload(), 17u);
    EXPECT_EQ(host_->Connect(1), 17u);
}

} // namespace
