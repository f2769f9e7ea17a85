// Fault sweep: one scripted life of the module (load, start, a client
// connect, the pass that attaches every sensor type, a pass with changes on
// every type, a chassis log event forwarded and one queued, a second client
// that collects the queue, the KTZ setting switched off and on, stop,
// unload), run again and again with the 1st, 2nd, ... call of one platform
// operation failing, until a run makes no call that fails. Each failure
// point must leave no crash, no leak and no thread behind, give the status
// its step documents, and leave a module that goes on working: a failed load
// is followed by a good one, a refused client by a good reconnect, a pass
// that missed a change by a pass that sends it, a failed switch by a switch
// that succeeds, and in every case the client finally holds the platform's
// picture of every sensor.
// The module's headers come first: the protocol header's macros would
// otherwise rewrite names the sensor monitor header declares.
#include "logmon/logmon.h"
#include "sensormon/sensormon.h"
#include "support/module_fixture.h"

#include "reliability/chassis_view.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace
{

using ktzplat::Op;
using ktzrel::ClientEvents;
using ktzrel::ClientView;
using ktzrel::CompareViews;
using ktzrel::CountType;
using ktzrel::LastSetting;
using ktzrel::PlatformView;

constexpr uint32_t kClientA = 1;
constexpr uint32_t kClientB = 2;
constexpr int32_t kListenerFault = 0x2345; // the listener registration's failure status
constexpr uint32_t kSetupFailed = 0xFFFFFFFFu;
constexpr uint32_t kSensorMonNoMemory = 0x110;

const Op kOps[] = {Op::Alloc,       Op::MutexCreate,    Op::SemaphoreCreate,   Op::EventCreate,
                   Op::ThreadStart, Op::IniPath,        Op::ListenerAdd,       Op::CfgGetByName,
                   Op::NotifyInit,  Op::NotifyRegister, Op::ThermalFanData,    Op::ThermalSensorData,
                   Op::StashTemp,   Op::PsuPresence,    Op::PsuState,          Op::PsuAlert,
                   Op::PsuRawFru,   Op::PsuRedundancy,  Op::PsuRedundancyState};

class FaultSweep : public ktztest::ModuleTest, public ::testing::WithParamInterface<Op>
{
  protected:
    // Puts the platform back to the starting chassis for one run.
    void PrepareRun()
    {
        ktzplat::Reset();
        ktztest::RestoreSensorTypeTable();
        ktzplat::SetIniDir(TestDir() + "/ini");
        ktzplat::SetLogRoot(TestDir() + "/log");
        ktzplat::UseVirtualClock(ktztest::kStartTime);
        ktzplat::ClearLoggedMessages();
        ASSERT_TRUE(ktztest::WaitIdle());

        shape_ = {2, 2, 1, 1};
        ktzrel::BuildChassis(shape_);
        ktzplat::SetPsuBay(
            1, {.presence = 1, .state = 1, .fruReadable = true, .fru = std::vector<uint8_t>(256, 0x5A)});
        SetKtzSetting("1");
        ASSERT_TRUE(ktztest::WaitIdle());
        Host().Clear();
        Host().SetBehaviour(kClientA, {.caps = 0x3});
        Host().SetBehaviour(kClientB, {.caps = 0x3});
    }

    // A change on every sensor type, all readings staying above the fans'
    // lower non-critical threshold so that no change is held back.
    void ApplyChanges()
    {
        auto fan1 = ktzplat::GetFan(1);
        fan1.reading1 = 6000;
        ktzplat::SetFan(1, fan1);
        auto fan2 = ktzplat::GetFan(2);
        fan2.health = 2;
        ktzplat::SetFan(2, fan2);
        ktzplat::SetChassisTemp({"Chassis", 1, 30});
        ktzplat::SetStash({{2, 2, 45, "Stash1"}, {3, 1, 35, "Stash2"}});
        auto bay1 = ktzplat::GetPsuBay(1);
        bay1.state = 6;
        bay1.alert = 21810;
        ktzplat::SetPsuBay(1, bay1);
        ktzplat::SetPsuBay(
            2, {.presence = 1, .state = 1, .fruReadable = true, .fru = std::vector<uint8_t>(256, 0xA5)});
        shape_.redState = 2;
        ktzplat::SetRedundancy(shape_.redConfig, shape_.redState);
    }

    std::string ViewDiff(uint32_t client, bool full)
    {
        return CompareViews(PlatformView(shape_), ClientView(Host().Messages(client)), full);
    }

    static void PostEvent(const std::string& id)
    {
        ktzplat::PostChassisLogEvent({.value1 = 1, .messageId = id, .hasText = true, .text = "event " + id});
        ASSERT_TRUE(ktztest::WaitIdle());
    }

    // The step in which the injected failure happened (empty: none yet).
    // Called after each step; true when it happened in that step.
    bool FiredIn(const char* step)
    {
        if (firedIn_.empty() && ktzplat::FailCount(op_) > 0)
        {
            firedIn_ = step;
        }
        return firedIn_ == step;
    }

    // Load status when the failure hit Load (0: the failure is tolerated).
    uint32_t ExpectedLoadStatus() const
    {
        switch (op_)
        {
        case Op::Alloc:
            // The sensor monitor's record is the one allocation after the
            // chassis log monitor logged its capacity.
            return Logged("Log Monitor: maxLogEvtQEntries: 16\n") ? kSensorMonNoMemory : STATUS_NO_RESOURCES_;
        case Op::MutexCreate: return STATUS_NO_RESOURCES_;
        case Op::SemaphoreCreate:
        case Op::EventCreate:
        case Op::NotifyInit:
        case Op::CfgGetByName: return kSetupFailed;
        default: return 0;
        }
    }

    uint32_t ExpectedStartStatus() const
    {
        switch (op_)
        {
        case Op::ThreadStart: return kSetupFailed;
        case Op::ListenerAdd: return static_cast<uint32_t>(kListenerFault);
        default: return 0;
        }
    }

    void ExpectNothingLeft(uint64_t baseBytes, const char* when)
    {
        EXPECT_TRUE(ktztest::WaitIdle());
        EXPECT_EQ(ktzplat::LiveThreadCount(), 0u) << when;
        EXPECT_EQ(ktzplat::GetAllocStats().liveBytes, baseBytes) << when << ": bytes leaked";
        EXPECT_EQ(ktzplat::ListenerCount(), 0u) << when;
        EXPECT_EQ(ktzplat::NotifyHandleCount(), 0u) << when;
        EXPECT_EQ(ktzplat::NotifyRegistrationCount(), 0u) << when;
    }

    // A client connect; a connect the failure hit is followed by a
    // disconnect and a connect that must succeed.
    void ConnectClient(uint32_t id, const char* step)
    {
        EXPECT_EQ(Host().Connect(id), 0u) << "connect is always 0 to the host";
        if (FiredIn(step))
        {
            EXPECT_EQ(Host().Disconnect(id), 0u);
            EXPECT_EQ(Host().Connect(id), 0u);
        }
        const std::string line = "KTZ client connected: clientID: " + std::to_string(id) + " ktzCaps: 0x3\n";
        EXPECT_TRUE(Logged(line)) << "client " << id << " registered with the chassis log capability";
        const auto setting = LastSetting(Host().Messages(id));
        EXPECT_EQ(setting.first, 1) << "client " << id << " was told the KTZ setting";
    }

    // One whole scripted run with the (skip+1)th call of the operation
    // failing. Returns whether that call happened.
    bool RunScript(uint32_t skip);

    static constexpr uint32_t STATUS_NO_RESOURCES_ = 272;
    Op op_ = Op::Alloc;
    std::string firedIn_;
    ktzrel::ChassisShape shape_;
};

bool FaultSweep::RunScript(uint32_t skip)
{
    firedIn_.clear();
    PrepareRun();
    if (HasFatalFailure())
    {
        return false;
    }
    const uint64_t baseBytes = ktzplat::GetAllocStats().liveBytes;
    ktzplat::InjectFault(op_, skip, 1, op_ == Op::ListenerAdd ? kListenerFault : -1);

    // Load.
    uint32_t status = Host().Load();
    if (FiredIn("Load"))
    {
        const uint32_t expected = ExpectedLoadStatus();
        if (op_ == Op::Alloc && status == 0)
        {
            // A diagnostic message that found no buffer is dropped.
        }
        else
        {
            EXPECT_EQ(status, expected) << "Load";
        }
        if (status != 0)
        {
            ktztest::ExpectNothingAttached();
            ExpectNothingLeft(baseBytes, "after the failed Load");
            EXPECT_EQ(Host().Load(), 0u) << "a Load after the failed one";
        }
    }
    else
    {
        EXPECT_EQ(status, 0u) << "Load";
    }

    // Start-monitor.
    status = Host().Start();
    EXPECT_TRUE(ktztest::WaitIdle());
    bool followsSetting = true;
    if (FiredIn("Start"))
    {
        EXPECT_EQ(status, ExpectedStartStatus()) << "Start-monitor";
        if (status != 0)
        {
            EXPECT_EQ(ktzplat::LiveThreadCount(), 0u) << "a failed start leaves nothing started";
            EXPECT_EQ(ktzplat::ListenerCount(), 0u) << "a failed start leaves nothing started";
            EXPECT_EQ(Host().Start(), 0u) << "a start after the failed one";
            EXPECT_TRUE(ktztest::WaitIdle());
        }
        // The configuration monitor thread that could not register for the
        // key ends; the module keeps the setting read at load.
        followsSetting = op_ != Op::NotifyRegister;
    }
    else
    {
        EXPECT_EQ(status, 0u) << "Start-monitor";
    }

    // The first client, with the chassis log capability.
    ConnectClient(kClientA, "Connect A");

    // The pass that attaches all four types (ready delay 0 in the INI file;
    // a load that could not build the INI path keeps the built-in 30 s).
    const bool iniMissed = firedIn_ == "Load" && op_ == Op::IniPath;
    ktzplat::AdvanceClock(iniMissed ? 30 : 5);
    bool degraded = false; // the sensor lists may lack sensors until the next attach
    if (FiredIn("Attach pass"))
    {
        // A type that was not ready is asked again at the next pass; a
        // sensor its attach could not read stays out until the next attach.
        ktzplat::AdvanceClock(5);
        degraded = true;
        EXPECT_EQ(ViewDiff(kClientA, false), "") << "after the attach pass";
    }
    else
    {
        EXPECT_EQ(ViewDiff(kClientA, true), "") << "after the attach pass";
        EXPECT_EQ(ktztest::FruDataIn(Host().Messages(kClientA), 1).size(), 1u) << "bay 1 FRU record";
    }
    EXPECT_EQ(CountType(Host().Messages(kClientA), KTZMON_REQ_DATA_SYNC_COMPLETE), 1u)
        << "data-sync-complete";

    // A pass with a change on every type.
    ApplyChanges();
    ktzplat::AdvanceClock(5);
    if (FiredIn("Change pass"))
    {
        // A platform call that failed is made again at the next pass. A
        // message whose record found no memory is lost: the sensor already
        // stored its new values.
        // The FRU record of the inserted bay is read twice: by the readiness
        // test, which is repeated until it succeeds, and by the send, which
        // is not repeated once the bay counts as ready.
        const bool fruReadyLogged = Logged("Power supply FRU ready change: name: 'PS-2' prev: 0 curr: 1\n");
        ktzplat::AdvanceClock(5);
        if (op_ != Op::Alloc)
        {
            EXPECT_EQ(ViewDiff(kClientA, !degraded), "") << "the pass after the failed one";
            const size_t frus = ktztest::FruDataIn(Host().Messages(kClientA), 2).size();
            EXPECT_EQ(frus, op_ == Op::PsuRawFru && fruReadyLogged ? 0u : 1u) << "bay 2 FRU record";
        }
    }
    else
    {
        EXPECT_EQ(ViewDiff(kClientA, !degraded), "") << "after the change pass";
        if (!degraded)
        {
            EXPECT_EQ(ktztest::FruDataIn(Host().Messages(kClientA), 2).size(), 1u) << "bay 2 FRU record";
        }
    }

    // A chassis log event forwarded to the capable client.
    PostEvent("EVT-1");
    // Without memory for the message the event is dropped without a line;
    // any other allocation here is a diagnostic line, and the event goes out.
    const bool evt1Lost =
        FiredIn("Event forwarded") && op_ == Op::Alloc && ClientEvents(Host().Messages(kClientA)).empty();
    if (evt1Lost)
    {
        EXPECT_FALSE(Logged("Forwarding Chassis Log event: messageID: EVT-1\n")) << "logged but not sent";
    }
    EXPECT_EQ(ClientEvents(Host().Messages(kClientA)),
              evt1Lost ? std::vector<std::string>{} : std::vector<std::string>{"EVT-1"});

    // The client leaves; the next event is queued.
    EXPECT_EQ(Host().Disconnect(kClientA), 0u);
    (void)FiredIn("Disconnect A");
    PostEvent("EVT-2");
    if (g_pKTZMonLogMonData == nullptr)
    {
        ADD_FAILURE() << "the chassis log monitor is gone";
        return true;
    }
    const bool evt2Lost =
        FiredIn("Event queued") && op_ == Op::Alloc && g_pKTZMonLogMonData->numLogEvtQEntries == 0;
    if (evt2Lost)
    {
        EXPECT_FALSE(Logged("Chassis Log event queued: messageID: EVT-2\n")) << "logged but not queued";
    }
    EXPECT_EQ(g_pKTZMonLogMonData->numLogEvtQEntries, evt2Lost ? 0u : 1u);

    // A second capable client collects the queue and the whole picture.
    ConnectClient(kClientB, "Connect B");
    EXPECT_EQ(ClientEvents(Host().Messages(kClientB)),
              evt2Lost ? std::vector<std::string>{} : std::vector<std::string>{"EVT-2"});
    EXPECT_EQ(g_pKTZMonLogMonData->numLogEvtQEntries, 0u);
    EXPECT_EQ(ViewDiff(kClientB, !degraded), "") << "second client's initial picture";
    EXPECT_EQ(ClientEvents(Host().Messages(kClientA)).size(), evt1Lost ? 0u : 1u)
        << "nothing after disconnect";

    // The setting switched off ...
    const size_t settingsBefore = CountType(Host().Messages(kClientB), KTZMON_REQ_KTZ_SETTING);
    SetKtzSetting("0");
    EXPECT_TRUE(ktztest::WaitIdle());
    if (FiredIn("Setting 0") && op_ == Op::CfgGetByName)
    {
        // The check could not read the value; the next notification does.
        SetKtzSetting("0");
        EXPECT_TRUE(ktztest::WaitIdle());
    }
    if (followsSetting)
    {
        EXPECT_EQ(LastSetting(Host().Messages(kClientB)), (std::pair<int64_t, int>{0, 1}));
        EXPECT_EQ(ktzplat::LiveThreadCount(), 1u) << "only the configuration monitor thread runs";
        EXPECT_EQ(ktzplat::ListenerCount(), 0u);
        EXPECT_EQ(g_pKTZMonSensorMonData, nullptr);
        EXPECT_EQ(g_pKTZMonLogMonData, nullptr);
    }
    else
    {
        EXPECT_EQ(CountType(Host().Messages(kClientB), KTZMON_REQ_KTZ_SETTING), settingsBefore)
            << "a module that could not register follows no change";
        EXPECT_NE(g_pKTZMonSensorMonData, nullptr);
    }

    // ... and on again: the monitors attach anew and every type is ready at
    // the first pass.
    const size_t syncsBefore = CountType(Host().Messages(kClientB), KTZMON_REQ_DATA_SYNC_COMPLETE);
    SetKtzSetting("1");
    EXPECT_TRUE(ktztest::WaitIdle());
    ktzplat::AdvanceClock(5);
    if (FiredIn("Setting 1") && followsSetting)
    {
        // A monitor that could not be attached or started, a check that
        // could not read the value, or an attach pass that missed a sensor:
        // the next enabling change tries again.
        SetKtzSetting("0");
        EXPECT_TRUE(ktztest::WaitIdle());
        SetKtzSetting("1");
        EXPECT_TRUE(ktztest::WaitIdle());
        ktzplat::AdvanceClock(5);
    }
    if (followsSetting)
    {
        EXPECT_EQ(LastSetting(Host().Messages(kClientB)), (std::pair<int64_t, int>{1, 1}));
        EXPECT_EQ(ViewDiff(kClientB, true), "") << "after the setting enabled monitoring again";
        EXPECT_GT(CountType(Host().Messages(kClientB), KTZMON_REQ_DATA_SYNC_COMPLETE), syncsBefore);
        EXPECT_EQ(ktzplat::LiveThreadCount(), 2u);
        EXPECT_EQ(ktzplat::ListenerCount(), 1u);
        PostEvent("EVT-3");
        const auto eventsB = ClientEvents(Host().Messages(kClientB));
        const bool evt3Lost = FiredIn("Event after restart") && op_ == Op::Alloc &&
                              (eventsB.empty() || eventsB.back() != "EVT-3");
        if (evt3Lost)
        {
            EXPECT_FALSE(Logged("Forwarding Chassis Log event: messageID: EVT-3\n")) << "logged but not sent";
        }
        auto expectedB = evt2Lost ? std::vector<std::string>{} : std::vector<std::string>{"EVT-2"};
        if (!evt3Lost)
        {
            expectedB.push_back("EVT-3");
        }
        EXPECT_EQ(eventsB, expectedB);
    }

    EXPECT_EQ(Host().Stop(), 0u);
    EXPECT_EQ(Host().Unload(), 0u);
    (void)FiredIn("Stop and Unload");
    ExpectNothingLeft(baseBytes, "after Unload");
    return ktzplat::FailCount(op_) > 0;
}

TEST_P(FaultSweep, EveryFailurePoint)
{
    op_ = GetParam();
    WriteIni("[Fan Sensor]\nreadycheckinterval.secs=0\n"
             "[Temperature Sensor]\nreadycheckinterval.secs=0\n"
             "[Power Supply Sensor]\nreadycheckinterval.secs=0\n"
             "[Power Redundancy Sensor]\nreadycheckinterval.secs=0\n");
    constexpr uint32_t kMaxPoints = 5000; // far beyond any run's calls
    uint32_t points = 0;
    std::map<std::string, uint32_t> bySteps; // failure points per step of the script
    for (; points < kMaxPoints; ++points)
    {
        SCOPED_TRACE(std::string(ktzplat::OpName(op_)) + " call " + std::to_string(points + 1) + " fails");
        const bool fired = RunScript(points);
        if (HasFailure())
        {
            ADD_FAILURE() << "stopping the sweep of " << ktzplat::OpName(op_) << " at failure point "
                          << points + 1 << " (step: " << (firedIn_.empty() ? "none" : firedIn_) << ")";
            break;
        }
        if (!fired)
        {
            break;
        }
        ++bySteps[firedIn_];
    }
    EXPECT_LT(points, kMaxPoints);
    std::string steps;
    for (const auto& [step, n] : bySteps)
    {
        steps += (steps.empty() ? "" : ", ") + step + " " + std::to_string(n);
    }
    std::printf("fault sweep: %s: %u failure points (%s)\n", ktzplat::OpName(op_), points, steps.c_str());
}

INSTANTIATE_TEST_SUITE_P(Ops, FaultSweep, ::testing::ValuesIn(kOps),
                         [](const ::testing::TestParamInfo<Op>& info)
                         { return std::string(ktzplat::OpName(info.param)); });

} // namespace
