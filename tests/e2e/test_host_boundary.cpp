// End to end through the host boundary: the library is loaded with dlopen
// like the host service loads it, driven through KTZMON_RCESPDispatch, and
// judged by what its clients receive and what its log file holds.
#include "support/fake_host.h"
#include "support/wait.h"

#include "ktzplatform_control.h"

#include <gtest/gtest.h>

#include <dlfcn.h>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <unistd.h>

namespace
{

class HostBoundaryTest : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        ktzplat::Reset();
        dir_ = "/tmp/ktze2e-" + std::to_string(::getpid()) + "-" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name();
        std::filesystem::remove_all(dir_);
        std::filesystem::create_directories(dir_ + "/ini");
        ktzplat::SetIniDir(dir_ + "/ini");
        ktzplat::SetLogRoot(dir_ + "/log");
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
        std::filesystem::remove_all(dir_);
    }

    std::string LogFile() const
    {
        std::ifstream in(ktzplat::ResolveLogPath("/tmp/ktzmon.log"));
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }

    std::unique_ptr<ktztest::FakeHost> host_;
    void* handle_ = nullptr;
    std::string dir_;
    uint64_t base_ = 0;
};

TEST_F(HostBoundaryTest, LifecycleRunWritesTheLogFileFromStartToStop)
{
    ktzplat::SetCapWordB(0x4);
    ASSERT_EQ(host_->Load(), 0u);
    ASSERT_EQ(host_->Start(), 0u);
    uint8_t caps[16] = {};
    uint32_t len = 0;
    EXPECT_EQ(host_->Request(7, 3, 0x200, nullptr, 0, caps, sizeof caps, &len), 0u);
    EXPECT_EQ(len, 16u);
    EXPECT_EQ(ktztest::Hex(caps, 4), "03 00 00 00");
    host_->SetBehaviour(5, ktztest::ClientBehaviour{.caps = 0x3});
    EXPECT_EQ(host_->Connect(5), 0u);
    EXPECT_EQ(host_->Types(5), (std::vector<uint32_t>{0x100, 0x200}));
    const auto msgs = host_->Messages(5);
    EXPECT_EQ(ktztest::Hex(msgs[0].bytes), "00 00 00 00 00 00 00 00");
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

TEST_F(HostBoundaryTest, LogSwitchedOffInTheIniFileWritesNothing)
{
    std::ofstream(dir_ + "/ini/ktzmonst32.ini") << "[KTZ Monitor]\nlog.msgtofile = false\n";
    ASSERT_EQ(host_->Load(), 0u);
    ASSERT_EQ(host_->Start(), 0u);
    EXPECT_EQ(host_->Connect(1), 0u);
    EXPECT_EQ(host_->Stop(), 0u);
    EXPECT_EQ(host_->Unload(), 0u);
    EXPECT_EQ(LogFile(), "");
    EXPECT_TRUE(ktzplat::LoggedMessages().empty());
}

TEST_F(HostBoundaryTest, ModuleAfterUnloadRefusesAndTheLibraryUnloadsCleanly)
{
    ASSERT_EQ(host_->Load(), 0u);
    EXPECT_EQ(host_->Unload(), 0u);
    EXPECT_EQ(host_->Unload(), 17u);
    EXPECT_EQ(host_->Connect(1), 17u);
}

} // namespace
