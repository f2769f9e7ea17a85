// Load, Start-monitor, Stop-monitor and Unload: what each attaches, how a
// failure unwinds, and what out-of-order host calls do.
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

TEST_F(LifecycleTest, LoadWithMonitoringDisabledAttachesNoMonitor)
{
    ktzplat::SetCapWordB(0x4);
    ASSERT_EQ(Host().Load(), 0u);
    EXPECT_EQ(KTZMonGlobalGetLogMonAttached(), 0);
    EXPECT_EQ(KTZMonGlobalGetSensorMonAttached(), 0);
    EXPECT_EQ(g_pKTZMonLogMonData, nullptr);
    EXPECT_EQ(g_pKTZMonSensorMonData, nullptr);
    EXPECT_EQ(ktzplat::LiveThreadCount(), 0u) << "Load starts no thread";
    StopAndUnload();
    ExpectNothingAttached();
}

TEST_F(LifecycleTest, LoadWithMonitoringEnabledFollowsTheProxyBit)
{
    SetKtzSetting("1");
    ASSERT_EQ(Host().Load(), 0u);
    EXPECT_EQ(KTZMonGlobalGetSensorMonAttached(), 1);
    EXPECT_EQ(KTZMonGlobalGetLogMonAttached(), 0);
    EXPECT_EQ(Host().Unload(), 0u);

    ktzplat::SetCapWordB(0x4);
    ASSERT_EQ(Host().Load(), 0u);
    EXPECT_EQ(KTZMonGlobalGetSensorMonAttached(), 1);
    EXPECT_EQ(KTZMonGlobalGetLogMonAttached(), 1);
    ASSERT_EQ(Host().Start(), 0u);
    EXPECT_EQ(KTZMonGlobalGetSensorMonStarted(), 1);
    EXPECT_EQ(KTZMonGlobalGetLogMonStarted(), 1);
    EXPECT_EQ(Host().Stop(), 0u);
    EXPECT_EQ(KTZMonGlobalGetSensorMonStarted(), 0);
    EXPECT_EQ(KTZMonGlobalGetLogMonStarted(), 0);
    EXPECT_EQ(KTZMonGlobalGetIsModuleExiting(), 1);
    EXPECT_EQ(Host().Unload(), 0u);
    ExpectNothingAttached();
    EXPECT_EQ(LastLogged(), "KTZ Monitor stopped\n");
}

// Every allocation, mutex, semaphore and event creation of Load fails in
// turn: each failure is reported with the failing subsystem's status,
// unwound completely, and the next Load with no fault succeeds.
TEST_F(LifecycleTest, LoadUnwindsEveryFailureCompletely)
{
    SetKtzSetting("1");
    ktzplat::SetCapWordB(0x4);
    // A clean Load logs these lines; an allocation that only loses one of them
    // is the one failure Load may survive.
    ktzplat::ClearLoggedMessages();
    ASSERT_EQ(Host().Load(), 0u);
    const size_t cleanLines = Logged().size();
    ASSERT_EQ(Host().Unload(), 0u);

    struct Case
    {
        ktzplat::Op op;
        uint32_t status; // what a failing Load must return
    };
    const Case cases[] = {
        {ktzplat::Op::Alloc, 272u},
        {ktzplat::Op::MutexCreate, 272u},
        {ktzplat::Op::SemaphoreCreate, 0xFFFFFFFFu},
        {ktzplat::Op::EventCreate, 0xFFFFFFFFu},
        {ktzplat::Op::NotifyInit, 0xFFFFFFFFu},
        {ktzplat::Op::CfgGetByName, 0xFFFFFFFFu},
    };
    uint32_t points = 0;
    uint32_t lostLines = 0;
    for (const Case& c : cases)
    {
        SCOPED_TRACE(ktzplat::OpName(c.op));
        uint32_t failedLoads = 0;
        for (uint32_t skip = 0;; ++skip)
        {
            SCOPED_TRACE("skip " + std::to_string(skip));
            const auto before = ktzplat::GetAllocStats();
            ktzplat::ClearFaults();
            ktzplat::ClearLoggedMessages();
            ktzplat::InjectFault(c.op, skip);
            const uint64_t failsBefore = ktzplat::FailCount(c.op);
            const uint32_t status = Host().Load();
            const bool injected = ktzplat::FailCount(c.op) != failsBefore;
            const size_t lines = Logged().size();
            ktzplat::ClearFaults();
            if (!injected)
            {
                ASSERT_EQ(status, 0u);
                ASSERT_EQ(Host().Unload(), 0u);
                break;
            }
            ++points;
            if (status == 0u && c.op == ktzplat::Op::Alloc && lines + 1 == cleanLines)
            {
                // The allocation was a diagnostic line's buffer: that line is
                // lost, the module is fully loaded.
                ++lostLines;
                ASSERT_EQ(Host().Unload(), 0u);
                ExpectNothingAttached();
                EXPECT_EQ(ktzplat::GetAllocStats().liveBytes, before.liveBytes);
                continue;
            }
            ++failedLoads;
            EXPECT_EQ(status, c.status) << "lines logged " << lines << " of " << cleanLines;
            ExpectNothingAttached();
            const auto after = ktzplat::GetAllocStats();
            EXPECT_EQ(after.liveBytes, before.liveBytes);
            EXPECT_EQ(Host().Unload(), 17u) << "Unload after a failed Load";
            ASSERT_LT(skip, 200u);
        }
        EXPECT_GT(failedLoads, 0u) << "no injected failure failed Load";
    }
    EXPECT_GT(points, 8u);
    EXPECT_GT(lostLines, 0u) << "no diagnostic line's allocation was reached";
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

TEST_F(LifecycleTest, SensorMonitorFailureDetachesTheLogMonitorAgain)
{
    SetKtzSetting("1");
    ktzplat::SetCapWordB(0x4);
    ktzplat::InjectFault(ktzplat::Op::EventCreate);
    EXPECT_EQ(Host().Load(), 0xFFFFFFFFu);
    ExpectNothingAttached();
}

// The chassis log listener cannot be registered: Start-monitor returns the
// platform's status and leaves nothing started.
TEST_F(LifecycleTest, FailedStartLeavesNothingStartedAndUnloadStillWorks)
{
    SetKtzSetting("1");
    ktzplat::SetCapWordB(0x4);
    ASSERT_EQ(Host().Load(), 0u);
    ktzplat::InjectFault(ktzplat::Op::ListenerAdd, 0, 1, 5);
    EXPECT_EQ(Host().Start(), 5u);
    ASSERT_TRUE(ktztest::WaitIdle());
    EXPECT_EQ(ktzplat::ListenerCount(), 0u);
    EXPECT_EQ(ktzplat::LiveThreadCount(), 0u);
    EXPECT_EQ(KTZMonGlobalGetLogMonStarted(), 0);
    EXPECT_EQ(KTZMonGlobalGetSensorMonStarted(), 0);
    EXPECT_FALSE(Logged("Chassis Log monitoring started\n"));
    EXPECT_FALSE(Logged("Sensor monitoring started\n"));
    EXPECT_EQ(Host().Unload(), 0u);
    ExpectNothingAttached();
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
