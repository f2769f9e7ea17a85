// Load, Start-monitor, Stop-monitor and Unload: what each attaches, the
// order a failed Load unwinds in, and what out-of-order host calls do. Every
// failure point of Load and Start-monitor is run by the fault sweep
// (tests/reliability).
#include "cfgmon/cfgmon.h"
#include "clients/clientmgr.h"
#include "core/global.h"
#include "core/log.h"
#include "logmon/logmon.h"
#include "module/module.h"
#include "sensormon/sensormon.h"
#include "support/module_fixture.h"

namespace
{

using LifecycleTest = ktztest::ModuleTest;

// The last line logged, or a marker that cannot match one when nothing was.
std::string LastLogged()
{
    const auto lines = ktzplat::LoggedMessages();
    return lines.empty() ? std::string("<nothing logged>") : lines.back();
}

using ktztest::ExpectNothingAttached;

// Load attaches the sensor monitor when monitoring is on and the chassis log
// monitor when the chassis log proxy is supported too, and starts no thread.
TEST_F(LifecycleTest, LoadAttachesTheMonitorsTheSettingAndTheProxyBitAskFor)
{
    const struct
    {
        const char* setting;
        uint32_t capWordB;
        int32_t sensorMon, logMon;
    } cases[] = {{"0", 0x4, 0, 0}, {"1", 0, 1, 0}, {"1", 0x4, 1, 1}};
    for (const auto& c : cases)
    {
        SCOPED_TRACE(testing::Message() << "setting " << c.setting << " proxy " << c.capWordB);
        ktzplat::SetCapWordB(c.capWordB);
        SetKtzSetting(c.setting);
        ASSERT_TRUE(ktztest::WaitIdle());
        ASSERT_EQ(Host().Load(), 0u);
        EXPECT_EQ(KTZMonGlobalGetSensorMonAttached(), c.sensorMon);
        EXPECT_EQ(KTZMonGlobalGetLogMonAttached(), c.logMon);
        EXPECT_EQ(g_pKTZMonSensorMonData != nullptr, c.sensorMon == 1);
        EXPECT_EQ(g_pKTZMonLogMonData != nullptr, c.logMon == 1);
        EXPECT_EQ(ktzplat::LiveThreadCount(), 0u) << "Load starts no thread";
        ASSERT_EQ(Host().Start(), 0u);
        EXPECT_EQ(KTZMonGlobalGetSensorMonStarted(), c.sensorMon);
        EXPECT_EQ(KTZMonGlobalGetLogMonStarted(), c.logMon);
        EXPECT_EQ(Host().Stop(), 0u);
        EXPECT_EQ(KTZMonGlobalGetSensorMonStarted(), 0);
        EXPECT_EQ(KTZMonGlobalGetLogMonStarted(), 0);
        EXPECT_EQ(KTZMonGlobalGetIsModuleExiting(), 1);
        EXPECT_EQ(Host().Unload(), 0u);
        ExpectNothingAttached();
        EXPECT_EQ(LastLogged(), "KTZ Monitor stopped\n");
    }
}

// Seen from the log's last line: which subsystems are still attached when
// the diagnostic log is detached.
struct DetachSnapshot
{
    bool taken = false;
    bool cfgMonAttached = false;
    uint32_t notifyHandles = 0;
    bool globalAttached = false;
    bool hostEnvAttached = false;
};

TEST_F(LifecycleTest, RegistryFailureDetachesInReverseOrder)
{
    DetachSnapshot snap;
    ktzplat::SetLogObserver(
        [](const std::string& msg, void* ctx)
        {
            if (msg != "KTZ Monitor stopped\n")
            {
                return;
            }
            auto* s = static_cast<DetachSnapshot*>(ctx);
            s->taken = true;
            s->cfgMonAttached = g_pKTZMonCfgMonData != nullptr;
            s->notifyHandles = ktzplat::NotifyHandleCount();
            s->globalAttached = g_pKTZMonGlobalData != nullptr;
            s->hostEnvAttached = RCESPSPPMDGetSPPMDE() != nullptr;
        },
        &snap);
    // The registry's mutex is the fourth created (monitor, data, switch, registry).
    ktzplat::InjectFault(ktzplat::Op::MutexCreate, 3);
    const uint32_t status = Host().Load();
    ktzplat::SetLogObserver(nullptr, nullptr);
    EXPECT_EQ(status, 272u);
    EXPECT_EQ(ktzplat::FailCount(ktzplat::Op::MutexCreate), 1u);
    ExpectNothingAttached();
    // Configuration monitor first, then the log, then the global record and
    // last the host environment.
    ASSERT_TRUE(snap.taken) << "the log was never detached";
    EXPECT_FALSE(snap.cfgMonAttached) << "the configuration monitor outlived the log";
    EXPECT_EQ(snap.notifyHandles, 0u);
    EXPECT_TRUE(snap.globalAttached) << "the global record went before the log";
    EXPECT_TRUE(snap.hostEnvAttached) << "the host environment went before the log";
    EXPECT_EQ(LastLogged(), "KTZ Monitor stopped\n");
}

TEST_F(LifecycleTest, OutOfOrderCallsAreRefusedHarmlessly)
{
    EXPECT_EQ(Host().Unload(), 17u);
    EXPECT_EQ(Host().Stop(), 17u);
    EXPECT_EQ(Host().Start(), 17u);
    EXPECT_EQ(Host().Connect(1), 17u);
    EXPECT_EQ(Host().Disconnect(1), 17u);
    uint8_t out[16];
    uint32_t len = 0;
    EXPECT_EQ(Host().Request(7, 3, 0x200, nullptr, 0, out, 16, &len), 17u);

    ASSERT_EQ(Host().Load(), 0u);
    EXPECT_EQ(Host().Load(), 17u) << "a second Load";
    ASSERT_EQ(Host().Start(), 0u);
    EXPECT_EQ(Host().Start(), 17u);
    EXPECT_EQ(Host().Stop(), 0u);
    EXPECT_EQ(Host().Stop(), 17u) << "a second Stop-monitor";
    EXPECT_EQ(Host().Start(), 17u) << "Start-monitor after Stop-monitor";
    EXPECT_EQ(Host().Unload(), 0u);
    EXPECT_EQ(Host().Unload(), 17u);
    ExpectNothingAttached();
}

TEST_F(LifecycleTest, UnloadWhileStartedStopsFirst)
{
    SetKtzSetting("1");
    LoadAndStart();
    EXPECT_GT(ktzplat::LiveThreadCount(), 0u);
    EXPECT_EQ(Host().Unload(), 0u);
    EXPECT_EQ(ktzplat::LiveThreadCount(), 0u);
    ExpectNothingAttached();
}

TEST_F(LifecycleTest, StopWithoutStartOnlyMarksTheModuleExiting)
{
    ASSERT_EQ(Host().Load(), 0u);
    EXPECT_EQ(Host().Stop(), 0u);
    EXPECT_EQ(KTZMonGlobalGetIsModuleExiting(), 1);
    EXPECT_EQ(ktzplat::LiveThreadCount(), 0u);
    EXPECT_EQ(Host().Unload(), 0u);
}

} // namespace
