// KTZ setting monitor at run time: the monitor thread following changes,
// the order of client messages and monitor switching, thread stop, and the
// race between a setting change and the module's stop.
#include "cfgmon/cfgmon.h"
#include "core/global.h"
#include "logmon/logmon.h"
#include "sensormon/sensormon.h"
#include "support/module_fixture.h"
#include "support/received.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace
{
constexpr const char* kSensorStarted = "Sensor monitoring started\n";
constexpr const char* kSensorStopped = "Sensor monitoring stopped\n";
constexpr const char* kLogStarted = "Chassis Log monitoring started\n";
constexpr const char* kLogStopped = "Chassis Log monitoring stopped\n";
constexpr uint32_t kClients[] = {1, 2};

// Runs `fn` on its own thread. A call that has not come back after two
// minutes is a hang: the test fails and the call is left behind on its
// detached thread (it owns a copy of `fn` and its result), so the other
// tests of the run still report. kHung is returned then.
constexpr uint32_t kHung = 0xDEADu;
uint32_t RunBounded(std::function<uint32_t()> fn)
{
    auto task = std::make_shared<std::packaged_task<uint32_t()>>(std::move(fn));
    auto result = task->get_future();
    std::thread([task] { (*task)(); }).detach();
    if (result.wait_for(std::chrono::seconds(120)) != std::future_status::ready)
    {
        ADD_FAILURE() << "call did not return: deadlock or a thread that never ends";
        return kHung;
    }
    return result.get();
}

size_t IndexOf(const std::vector<std::string>& log, const std::string& line)
{
    return static_cast<size_t>(std::find(log.begin(), log.end(), line) - log.begin());
}

class CfgMonChangeTest : public ktztest::ModuleTest
{
  protected:
    // Load, start and connect clients 1 and 2; each client notes how many
    // lines were logged when a setting-change message reached it.
    void StartWithClients()
    {
        LoadAndStart();
        for (uint32_t id : kClients)
        {
            ktztest::ClientBehaviour b;
            b.onMessage = [this](const ktztest::ReceivedMsg& m)
            {
                if (m.requestType == 0x100 && m.bytes.size() == 8 && m.bytes[4] == 1)
                {
                    const size_t lines = ktzplat::LoggedMessages().size();
                    std::lock_guard<std::mutex> lock(mutex_);
                    linesAtChangeMsg_.push_back(lines);
                }
            };
            Host().SetBehaviour(id, b);
            ASSERT_EQ(Host().Connect(id), 0u);
        }
        ASSERT_TRUE(ktztest::WaitIdle());
    }

    // Sets the configuration text and waits until the monitor has handled it.
    void Change(const std::string& text)
    {
        Host().Clear();
        ktzplat::ClearLoggedMessages();
        {
            std::lock_guard<std::mutex> lock(mutex_);
            linesAtChangeMsg_.clear();
        }
        SetKtzSetting(text);
        ASSERT_TRUE(ktztest::WaitIdle());
    }

    // Every client got exactly this one setting message.
    void ExpectSettingMsgToAll(uint32_t value)
    {
        for (uint32_t id : kClients)
        {
            EXPECT_EQ(ktztest::KtzSettingsIn(Host().Messages(id)),
                      (std::vector<std::pair<uint32_t, uint8_t>>{{value, 1}}))
                << "client " << id;
        }
    }

    // Lines logged when the last client got the change message.
    size_t LinesAtChangeMsg()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        EXPECT_EQ(linesAtChangeMsg_.size(), 2u);
        return linesAtChangeMsg_.empty() ? 0 : linesAtChangeMsg_.back();
    }

    void ExpectMonitors(int32_t running)
    {
        EXPECT_EQ(KTZMonGlobalGetSensorMonAttached(), running);
        EXPECT_EQ(KTZMonGlobalGetSensorMonStarted(), running);
        EXPECT_EQ(KTZMonGlobalGetLogMonAttached(), running);
        EXPECT_EQ(KTZMonGlobalGetLogMonStarted(), running);
    }

  private:
    std::mutex mutex_;
    std::vector<size_t> linesAtChangeMsg_;
};

TEST_F(CfgMonChangeTest, UnchangedValueOnlyLogsTheValue)
{
    StartWithClients();
    Change("00");
    EXPECT_EQ(Logged(), std::vector<std::string>{"KTZ setting: 0\n"});
    EXPECT_TRUE(Host().Messages().empty());
}

TEST_F(CfgMonChangeTest, ClientsHearOfEnablingBeforeAndOfDisablingAfterSwitching)
{
    ktzplat::SetCapWordB(0x4);
    StartWithClients();

    Change("1");
    auto log = Logged();
    EXPECT_EQ(CountLogged("KTZ setting change: prev: 0 curr: 1\n"), 1u);
    ExpectSettingMsgToAll(1);
    size_t atMsg = LinesAtChangeMsg();
    EXPECT_LT(IndexOf(log, kLogStarted), log.size());
    EXPECT_GE(IndexOf(log, kLogStarted), atMsg);
    EXPECT_LT(IndexOf(log, kSensorStarted), log.size());
    EXPECT_GE(IndexOf(log, kSensorStarted), atMsg);
    ExpectMonitors(1);

    // Between two enabling values only the clients are told.
    Change("2");
    ExpectSettingMsgToAll(2);
    EXPECT_EQ(CountLogged(kSensorStarted) + CountLogged(kSensorStopped) + CountLogged(kLogStarted), 0u);
    ExpectMonitors(1);

    Change("0");
    log = Logged();
    EXPECT_EQ(CountLogged("KTZ setting change: prev: 2 curr: 0\n"), 1u);
    ExpectSettingMsgToAll(0);
    atMsg = LinesAtChangeMsg();
    EXPECT_LT(IndexOf(log, kSensorStopped), IndexOf(log, kLogStopped));
    EXPECT_LT(IndexOf(log, kLogStopped), atMsg);
    ExpectMonitors(0);

    // Between two disabling values: told, nothing switched.
    for (const char* text : {"3", "255"})
    {
        Change(text);
        ExpectSettingMsgToAll(static_cast<uint32_t>(std::strtoul(text, nullptr, 10)));
        EXPECT_EQ(CountLogged(kSensorStarted) + CountLogged(kSensorStopped) + CountLogged(kLogStopped), 0u);
        ExpectMonitors(0);
    }
}

TEST_F(CfgMonChangeTest, StopWithNothingPendingRunsNoCheck)
{
    LoadAndStart();
    ktzplat::ClearLoggedMessages();
    const size_t codes = ktzplat::NotifyCodes().size();
    EXPECT_EQ(Host().Stop(), 0u);
    EXPECT_TRUE(ktztest::WaitIdle());
    for (const auto& line : Logged())
    {
        EXPECT_NE(line.rfind("KTZ setting", 0), 0u) << line;
    }
    ASSERT_EQ(ktzplat::NotifyCodes().size(), codes + 1);
    EXPECT_EQ(ktzplat::NotifyCodes().back(), 111u);
    EXPECT_EQ(ktzplat::NotifyRegistrationCount(), 0u);
    EXPECT_EQ(Host().Unload(), 0u);
    EXPECT_EQ(ktzplat::NotifyHandleCount(), 0u);
}

TEST_F(CfgMonChangeTest, FailedModuleStartEndsTheMonitorThread)
{
    SetKtzSetting("1");
    ASSERT_TRUE(ktztest::WaitIdle());
    ASSERT_EQ(Host().Load(), 0u);
    ktzplat::ClearLoggedMessages();
    // The monitor thread starts; the sensor monitor thread does not.
    ktzplat::InjectFault(ktzplat::Op::ThreadStart, 1);
    EXPECT_EQ(RunBounded([this] { return Host().Start(); }), 0xFFFFFFFFu);
    EXPECT_EQ(ktzplat::FailCount(ktzplat::Op::ThreadStart), 1u);
    EXPECT_EQ(ktzplat::LiveThreadCount(), 0u);
    EXPECT_EQ(ktzplat::NotifyRegistrationCount(), 0u);
    EXPECT_EQ(CountLogged("KTZ setting: 1\n"), 0u) << "the stop ran a check";
}

TEST_F(CfgMonChangeTest, FailedSensorStartIsRetriedOnTheNextEnablingChange)
{
    StartWithClients();
    ktzplat::InjectFault(ktzplat::Op::ThreadStart);
    Change("1");
    EXPECT_EQ(ktzplat::FailCount(ktzplat::Op::ThreadStart), 1u);
    EXPECT_EQ(KTZMonGlobalGetKTZSetting(), 1u);
    ExpectSettingMsgToAll(1);
    EXPECT_EQ(KTZMonGlobalGetSensorMonAttached(), 0);
    EXPECT_EQ(KTZMonGlobalGetSensorMonStarted(), 0);
    EXPECT_EQ(CountLogged(kSensorStarted), 0u);

    Change("2");
    ExpectSettingMsgToAll(2);
    EXPECT_EQ(KTZMonGlobalGetSensorMonAttached(), 1);
    EXPECT_EQ(KTZMonGlobalGetSensorMonStarted(), 1);
    EXPECT_EQ(CountLogged(kSensorStarted), 1u);
}

// A disabling change that lands while Start-monitor is between starting the
// monitor thread and starting the log and sensor monitors finds them attached
// but not started and leaves them so. The next enabling change must start
// those monitors, not attach new ones over them (which leaked the first).
TEST_F(CfgMonChangeTest, EnablingChangeStartsMonitorsLeftAttached)
{
    ktzplat::SetCapWordB(0x4);
    SetKtzSetting("1");
    ASSERT_TRUE(ktztest::WaitIdle());
    ASSERT_EQ(Host().Load(), 0u);
    // The checks run here on the test thread, as the monitor thread runs
    // them in that window.
    SetKtzSetting("0");
    KTZMonCfgMonCheckKTZSetting();
    ASSERT_EQ(KTZMonGlobalGetLogMonAttached(), 1);
    ASSERT_EQ(KTZMonGlobalGetSensorMonAttached(), 1);
    ASSERT_EQ(KTZMonGlobalGetSensorMonStarted(), 0);
    KTZMonLogMonData* const logMon = g_pKTZMonLogMonData;
    KTZMonSensorMonData* const sensorMon = g_pKTZMonSensorMonData;

    SetKtzSetting("2");
    KTZMonCfgMonCheckKTZSetting();
    ExpectMonitors(1);
    EXPECT_EQ(g_pKTZMonLogMonData, logMon);
    EXPECT_EQ(g_pKTZMonSensorMonData, sensorMon);

    // The module was never started, so its stop leaves these monitors alone.
    KTZMonCfgMonStopSensorMonitoring();
    KTZMonCfgMonStopLogMonitoring();
    EXPECT_EQ(Host().Stop(), 0u);
    EXPECT_EQ(Host().Unload(), 0u);
}

// The host stops the module while a disabling change is about to stop the
// same monitors: the check has passed its exiting test when the stop raises
// the flag, so both would stop and detach them unless serialised.
TEST_F(CfgMonChangeTest, StopDuringADisablingChangeStopsEachMonitorOnce)
{
    ktzplat::SetCapWordB(0x4);
    SetKtzSetting("1");
    ASSERT_TRUE(ktztest::WaitIdle());
    StartWithClients();
    ExpectMonitors(1);

    struct Race
    {
        ktztest::FakeHost* host;
        std::thread stopper;
        std::atomic<bool> stopping{false};
        std::atomic<uint32_t> stopStatus{0xBAD};
    } race{&Host(), {}, {}, {}};
    // Runs on the monitor thread right after it logs the change line.
    ktzplat::SetLogObserver(
        [](const std::string& msg, void* ctx)
        {
            auto* r = static_cast<Race*>(ctx);
            if (msg != "KTZ setting change: prev: 1 curr: 0\n")
            {
                return;
            }
            r->stopper = std::thread([r] { r->stopStatus = r->host->Stop(); });
            r->stopping = true;
            while (KTZMonGlobalGetIsModuleExiting() != 1)
            {
                std::this_thread::yield();
            }
        },
        &race);
    ktzplat::ClearLoggedMessages();
    SetKtzSetting("0");
    RunBounded(
        [&]
        {
            while (!race.stopping)
            {
                std::this_thread::yield();
            }
            race.stopper.join();
            return 0u;
        });
    ktzplat::SetLogObserver(nullptr, nullptr);
    ASSERT_TRUE(ktztest::WaitIdle());
    EXPECT_EQ(race.stopStatus.load(), 0u);
    EXPECT_EQ(CountLogged(kSensorStopped), 1u);
    EXPECT_EQ(CountLogged(kLogStopped), 1u);
    ExpectMonitors(0);
    EXPECT_EQ(Host().Unload(), 0u);
}

// The setting flips on the notification thread while the host stops the
// module: every monitor start is matched by exactly one stop, nothing leaks,
// nothing hangs.
TEST_F(CfgMonChangeTest, SettingChangesRacingModuleStop)
{
    ktzplat::SetCapWordB(0x4);
    constexpr int kRounds = 12;
    constexpr int kFlips = 30;
    for (int round = 0; round < kRounds; ++round)
    {
        const auto base = ktzplat::GetAllocStats();
        ktzplat::ClearLoggedMessages();
        SetKtzSetting(round % 2 == 0 ? "0" : "1");
        ASSERT_TRUE(ktztest::WaitIdle());
        ASSERT_EQ(Host().Load(), 0u);
        ASSERT_EQ(Host().Start(), 0u);
        ASSERT_EQ(Host().Connect(1), 0u);

        std::atomic<int> flips{0};
        std::thread flipper(
            [&]
            {
                for (int i = 1; i <= kFlips; ++i)
                {
                    SetKtzSetting((i + round) % 2 == 0 ? "0" : "1");
                    flips.store(i);
                }
            });
        // Stop at a different point of the flipping in each round.
        while (flips.load() < round * kFlips / kRounds)
        {
            std::this_thread::yield();
        }
        EXPECT_EQ(RunBounded([this] { return Host().Stop(); }), 0u);
        flipper.join();
        ASSERT_TRUE(ktztest::WaitIdle());
        EXPECT_EQ(KTZMonGlobalGetSensorMonStarted(), 0);
        EXPECT_EQ(KTZMonGlobalGetLogMonStarted(), 0);
        EXPECT_EQ(KTZMonGlobalGetLogMonAttached(), KTZMonGlobalGetSensorMonAttached());
        EXPECT_EQ(CountLogged(kSensorStarted), CountLogged(kSensorStopped)) << "round " << round;
        EXPECT_EQ(CountLogged(kLogStarted), CountLogged(kLogStopped)) << "round " << round;
        EXPECT_EQ(Host().Unload(), 0u);
        EXPECT_EQ(ktzplat::LiveThreadCount(), 0u);
        EXPECT_EQ(ktzplat::GetAllocStats().liveAllocs, base.liveAllocs) << "round " << round;
    }
}

} // namespace
