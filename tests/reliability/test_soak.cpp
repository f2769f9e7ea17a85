// Soak under the virtual clock: a busy chassis for a day (KTZMON_SOAK_DAYS
// for more) at the default intervals. Fans and temperatures wander (seeded
// random walks) and fans fail and recover, supplies are pulled and inserted,
// supply states, alerts and redundancy change, chassis log events arrive in
// bursts, clients come and go (some of them leave or post an event in the
// middle of their own connect exchange), and the KTZ setting is switched now
// and then. The test keeps its own model of what every client must have
// received and checks, step by step and after each quiet spell:
// - every chassis log event reaches exactly the clients it should, once and
//   in order (events carry a sequence number in their message ID), and the
//   queue never holds more than its capacity;
// - every client holds the current KTZ setting;
// - after the sensors were held steady for longer than the fan delay and two
//   passes, every client's last message for every sensor agrees with the
//   platform: exactly, or within the documented tolerance band for fan and
//   temperature readings, and every present supply's FRU record has reached
//   it;
// - the module's live memory every quarter day, brought to the same client
//   and queue state, equals that of the first sample.
#include "logmon/logmon.h"
#include "sensormon/sensormon.h"
#include "support/module_fixture.h"

#include "reliability/chassis_view.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace
{

using ktzrel::SensorMap;

constexpr uint32_t kTick = 5;         // seconds: the default pass period
constexpr uint32_t kChurnTicks = 12;  // a minute of changes ...
constexpr uint32_t kSettleTicks = 8;  // ... then 40 s of quiet: the 24 s fan delay and two passes
constexpr uint32_t kFanTolerance = 5; // default reading tolerances
constexpr int8_t kTempTolerance = 1;
constexpr uint32_t kFanCount = 2;
constexpr uint32_t kBayCount = 3;
constexpr uint32_t kFirstClientId = 100;
constexpr uint32_t kClientIds = 8;
constexpr uint32_t kMaxClients = 4;
constexpr uint32_t kDay = 24 * 60 * 60;
constexpr uint32_t kSamplesPerDay = 4; // live-byte samples

// How a client behaves during its own connect exchange.
enum class Exchange
{
    Normal,
    LeaveAtCaps,   // disconnects itself when asked for its capabilities
    LeaveAtSensor, // disconnects itself at the first sensor data message
    PostAtSensor,  // a chassis log event arrives during its exchange
};

struct Client
{
    bool connected = false;
    bool capable = false;
    SensorMap view;
    std::deque<uint64_t> expectedEvents; // events owed to it, oldest first
    uint64_t lastSeq = 0;
    size_t syncs = 0;
    std::map<uint8_t, bool> fruSeen; // bay -> FRU record received since the bay became present
    int64_t setting = -1;
};

class SoakTest : public ktztest::ModuleTest
{
  protected:
    void SetUp() override
    {
        ModuleTest::SetUp();
        const char* seed = std::getenv("KTZMON_SOAK_SEED");
        rng_.seed(seed != nullptr ? std::strtoul(seed, nullptr, 0) : 20240611u);
        const char* days = std::getenv("KTZMON_SOAK_DAYS");
        days_ = days != nullptr ? std::max(1ul, std::strtoul(days, nullptr, 0)) : 1;

        shape_ = {kFanCount, kBayCount, 1, 1};
        ktzrel::BuildChassis(shape_);
        for (uint32_t bay = 1; bay <= kBayCount; ++bay)
        {
            SetBay(bay, true);
        }
        SetKtzSetting("1");
        ASSERT_TRUE(ktztest::WaitIdle());
        setting_ = 1;
        clients_.resize(kClientIds);
    }

    uint32_t Rand(uint32_t n) { return std::uniform_int_distribution<uint32_t>(0, n - 1)(rng_); }
    bool Chance(double p) { return std::bernoulli_distribution(p)(rng_); }
    static bool Enabling(uint32_t v) { return v == 1 || v == 2; }
    bool Enabled() const { return Enabling(setting_); }

    static void SetBay(uint32_t bay, bool present)
    {
        ktzplat::PsuBay p = ktzplat::GetPsuBay(bay);
        p.presence = present ? 1 : 0;
        p.state = present ? p.state : 1;
        p.fruReadable = present;
        p.fru.assign(256, static_cast<uint8_t>(0x40 + bay));
        ktzplat::SetPsuBay(bay, p);
    }

    Client& C(uint32_t id) { return clients_[id - kFirstClientId]; }

    // ---- the model of chassis log events ----------------------------------------------

    void PostEvents(uint32_t count)
    {
        for (uint32_t i = 0; i < count; ++i)
        {
            PostEventNow();
        }
        ASSERT_TRUE(ktztest::WaitIdle());
        Collect();
    }

    // Posts one event and records who is owed it. The listener handles the
    // events one at a time in posting order, so the model may decide at once.
    void PostEventNow()
    {
        const uint64_t seq = ++seq_;
        ktzplat::PostChassisLogEvent({.value1 = static_cast<uint16_t>(seq),
                                      .messageId = "SOAK-" + std::to_string(seq),
                                      .hasArgs = (seq % 3) == 0,
                                      .args = {"arg", std::to_string(seq)},
                                      .hasText = (seq % 2) == 0,
                                      .text = "soak event"});
        ModelEvent(seq);
    }

    void ModelEvent(uint64_t seq)
    {
        ++posted_;
        if (!Enabled())
        {
            return; // no listener: nobody hears of it
        }
        bool anyCapable = false;
        for (auto& c : clients_)
        {
            if (c.connected && c.capable)
            {
                c.expectedEvents.push_back(seq);
                anyCapable = true;
            }
        }
        if (!anyCapable && queue_.size() < queueMax_)
        {
            queue_.push_back(seq);
        }
    }

    // ---- clients ----------------------------------------------------------------------------

    void Connect(uint32_t id)
    {
        Client& c = C(id);
        c = Client{};
        const uint32_t caps = Chance(0.7) ? 0x3 : 0x1;
        const auto kind = static_cast<Exchange>(Rand(8) < 5 ? 0 : 1 + Rand(3));
        ktztest::ClientBehaviour b;
        b.caps = caps;
        // The hooks act during this exchange only.
        auto fired = std::make_shared<bool>(false);
        hookPosted_ = 0;
        if (kind == Exchange::LeaveAtCaps || kind == Exchange::LeaveAtSensor)
        {
            const uint32_t trigger =
                kind == Exchange::LeaveAtCaps ? KTZMON_REQ_GET_KTZ_CAPS : KTZMON_REQ_SENSOR_DATA;
            b.onMessage = [this, id, trigger, fired](const ktztest::ReceivedMsg& m)
            {
                if (!*fired && m.requestType == trigger)
                {
                    *fired = true;
                    Host().Disconnect(id);
                }
            };
        }
        else if (kind == Exchange::PostAtSensor)
        {
            b.onMessage = [this, fired](const ktztest::ReceivedMsg& m)
            {
                if (!*fired && m.requestType == KTZMON_REQ_SENSOR_DATA)
                {
                    *fired = true;
                    ++hookPosted_;
                    ktzplat::PostChassisLogEvent({.messageId = "SOAK-" + std::to_string(++seq_)});
                }
            };
        }
        Host().SetBehaviour(id, b);
        ASSERT_EQ(Host().Connect(id), 0u);
        Host().SetBehaviour(id, ktztest::ClientBehaviour{.caps = caps});
        ASSERT_TRUE(ktztest::WaitIdle());
        const bool left = *fired && kind != Exchange::PostAtSensor;
        c.connected = !left;
        c.capable = caps == 0x3 && !left;
        if (c.capable && Enabled())
        {
            // The queue is handed over at the end of the exchange.
            c.expectedEvents.assign(queue_.begin(), queue_.end());
            queue_.clear();
        }
        // A client that left during its own exchange does not take the queue
        // with it: the events stay queued for the next capable client (the
        // model's queue is compared with the module's after every step).
        // An event posted during the exchange waits for the monitor lock and
        // is handled right after it.
        for (uint32_t i = 0; i < hookPosted_; ++i)
        {
            ModelEvent(seq_ - hookPosted_ + 1 + i);
        }
        Collect(left ? id : 0);
        if (left)
        {
            c = Client{};
        }
        ++connects_;
        leftInExchange_ += left ? 1 : 0;
    }

    void Disconnect(uint32_t id)
    {
        ASSERT_EQ(Host().Disconnect(id), 0u);
        Collect();
        EXPECT_TRUE(C(id).expectedEvents.empty()) << "client " << id << " left owed events";
        C(id) = Client{};
    }

    static uint32_t QueueEntries()
    {
        return g_pKTZMonLogMonData != nullptr ? g_pKTZMonLogMonData->numLogEvtQEntries : 0;
    }

    // Takes the messages the host recorded since the last call into the
    // clients' pictures, checking the events as they come. `leaving`: a
    // client that left during its own exchange (its messages count, but it
    // is owed nothing).
    void Collect(uint32_t leaving = 0)
    {
        const auto msgs = Host().Messages();
        Host().Clear();
        for (const auto& m : msgs)
        {
            ASSERT_GE(m.clientID, kFirstClientId);
            ASSERT_LT(m.clientID, kFirstClientId + kClientIds);
            Client& c = C(m.clientID);
            ASSERT_TRUE(c.connected || m.clientID == leaving)
                << "message " << m.requestType << " to client " << m.clientID << ", which is not connected";
            switch (m.requestType)
            {
            case KTZMON_REQ_SENSOR_DATA:
                for (const auto& [key, state] : ktzrel::ClientView({m}))
                {
                    c.view[key] = state;
                }
                break;
            case KTZMON_REQ_FRU_BY_NUM: c.fruSeen[m.bytes.at(KTZMON_FRU_OFF_NUM)] = true; break;
            case KTZMON_REQ_DATA_SYNC_COMPLETE: ++c.syncs; break;
            case KTZMON_REQ_KTZ_SETTING: c.setting = ktzrel::LastSetting({m}).first; break;
            case KTZMON_REQ_VQ_LOG_EVT:
            {
                const std::string id = ktzrel::ClientEvents({m}).at(0);
                ASSERT_EQ(id.rfind("SOAK-", 0), 0u) << id;
                const uint64_t seq = std::stoull(id.substr(5));
                ASSERT_GT(seq, c.lastSeq)
                    << "client " << m.clientID << ": event delivered twice or out of order";
                c.lastSeq = seq;
                ++delivered_;
                if (m.clientID == leaving)
                {
                    break;
                }
                ASSERT_FALSE(c.expectedEvents.empty())
                    << "client " << m.clientID << " got event " << seq << " it was not owed";
                ASSERT_EQ(c.expectedEvents.front(), seq) << "client " << m.clientID;
                c.expectedEvents.pop_front();
                break;
            }
            default: break;
            }
        }
    }

    // ---- the chassis ------------------------------------------------------------------------

    void Churn()
    {
        for (uint32_t f = 1; f <= kFanCount; ++f)
        {
            ktzplat::Fan fan = ktzplat::GetFan(f);
            if (fan.health == 2)
            {
                if (Chance(0.1))
                {
                    fan.health = 1;
                    fan.reading1 = 4000 + Rand(2000);
                    fan.reading2 = 4000 + Rand(2000);
                }
            }
            else if (Chance(0.003))
            {
                fan.health = 2;
                fan.reading1 = Rand(2) == 0 ? 0 : 400;
                fan.reading2 = 300;
                ++fanFailures_;
            }
            else
            {
                auto walk = [&](uint32_t r)
                { return std::clamp<int64_t>(int64_t(r) + int64_t(Rand(41)) - 20, 1500, 9000); };
                fan.reading1 = static_cast<uint32_t>(walk(fan.reading1));
                fan.reading2 = static_cast<uint32_t>(walk(fan.reading2));
            }
            ktzplat::SetFan(f, fan);
        }
        auto tempWalk = [&](int8_t r)
        { return static_cast<int8_t>(std::clamp(r + int(Rand(5)) - 2, -20, 90)); };
        ktzplat::TempEntry chassis = ktzplat::GetChassisTemp();
        chassis.reading = tempWalk(chassis.reading);
        if (Chance(0.01))
        {
            chassis.health = Rand(6);
        }
        ktzplat::SetChassisTemp(chassis);
        auto stash = ktzplat::GetStash();
        for (auto& s : stash)
        {
            s.reading = tempWalk(s.reading);
        }
        ktzplat::SetStash(stash);

        for (uint32_t bay = 2; bay <= kBayCount; ++bay)
        {
            if (Chance(0.01))
            {
                const bool present = ktzplat::GetPsuBay(bay).presence == 0;
                SetBay(bay, present);
                if (present)
                {
                    for (auto& c : clients_)
                    {
                        c.fruSeen[static_cast<uint8_t>(bay)] = false;
                    }
                }
                ++psuSwaps_;
            }
        }
        for (uint32_t bay = 1; bay <= kBayCount; ++bay)
        {
            ktzplat::PsuBay p = ktzplat::GetPsuBay(bay);
            if (p.presence == 1 && Chance(0.01))
            {
                // States 1 and 6 only: a change to 0 or 2 is not sent by design.
                p.state = p.state == 6 ? 1 : 6;
            }
            if (p.presence == 1 && Chance(0.01))
            {
                static const uint32_t alerts[] = {0, 21810, 21813, 21811};
                p.alert = alerts[Rand(4)];
            }
            ktzplat::SetPsuBay(bay, p);
        }
        if (Chance(0.01))
        {
            shape_.redState = Rand(5);
        }
        if (Chance(0.002))
        {
            shape_.redConfig = Rand(6);
        }
        ktzplat::SetRedundancy(shape_.redConfig, shape_.redState);
    }

    void FlipSetting()
    {
        static const uint32_t enabling[] = {1, 2};
        static const uint32_t disabling[] = {0, 3};
        const uint32_t next =
            Enabled() ? (Chance(0.8) ? disabling[Rand(2)] : 3 - setting_) : enabling[Rand(2)];
        const bool wasEnabled = Enabled();
        SetKtzSetting(std::to_string(next));
        ASSERT_TRUE(ktztest::WaitIdle());
        setting_ = next;
        if (wasEnabled && !Enabled())
        {
            queue_.clear(); // the log monitor is detached with its queue
        }
        Collect();
        ++flips_;
    }

    // After a quiet spell every client agrees with the platform.
    void CheckSettled()
    {
        const SensorMap platform = ktzrel::PlatformView(shape_);
        for (uint32_t i = 0; i < kClientIds; ++i)
        {
            const Client& c = clients_[i];
            if (!c.connected)
            {
                continue;
            }
            const uint32_t id = kFirstClientId + i;
            EXPECT_EQ(c.setting, setting_) << "client " << id;
            EXPECT_TRUE(c.expectedEvents.empty()) << "client " << id;
            if (!Enabled())
            {
                continue;
            }
            EXPECT_GE(c.syncs, 1u) << "client " << id << " never got data-sync-complete";
            EXPECT_EQ(ktzrel::CompareViews(platform, c.view, true, {kFanTolerance, kTempTolerance}), "")
                << "client " << id;
            for (uint32_t bay = 1; bay <= kBayCount; ++bay)
            {
                if (ktzplat::GetPsuBay(bay).presence == 1)
                {
                    const auto it = c.fruSeen.find(static_cast<uint8_t>(bay));
                    EXPECT_TRUE(it != c.fruSeen.end() && it->second)
                        << "client " << id << " lacks the FRU record of bay " << bay;
                }
            }
        }
        ++settledChecks_;
    }

    // Brings the module to the same state as at every other sample (no
    // client, empty queue, monitoring on and settled) and reads its live bytes.
    uint64_t SampleLiveBytes()
    {
        if (!Enabled())
        {
            setting_ = 0; // force an enabling switch
            SetKtzSetting("1");
            EXPECT_TRUE(ktztest::WaitIdle());
            setting_ = 1;
            Collect();
        }
        for (uint32_t id = kFirstClientId; id < kFirstClientId + kClientIds; ++id)
        {
            if (C(id).connected)
            {
                Disconnect(id);
            }
        }
        // A capable client drains the queue.
        Host().SetBehaviour(kFirstClientId, ktztest::ClientBehaviour{.caps = 0x3});
        Client& drain = C(kFirstClientId);
        drain = Client{};
        EXPECT_EQ(Host().Connect(kFirstClientId), 0u);
        EXPECT_TRUE(ktztest::WaitIdle());
        drain.connected = true;
        drain.capable = true;
        drain.expectedEvents.assign(queue_.begin(), queue_.end());
        queue_.clear();
        Collect();
        Disconnect(kFirstClientId);
        ktzplat::AdvanceClock(kTick * kSettleTicks);
        EXPECT_TRUE(ktztest::WaitIdle());
        Collect();
        EXPECT_EQ(QueueEntries(), 0u);
        return ktzplat::GetAllocStats().liveBytes;
    }

    std::mt19937 rng_;
    unsigned long days_ = 1;
    ktzrel::ChassisShape shape_;
    uint32_t setting_ = 0;
    std::vector<Client> clients_;
    std::deque<uint64_t> queue_; // events the module should hold for the next capable client
    uint32_t queueMax_ = 16;
    uint64_t seq_ = 0;
    uint32_t hookPosted_ = 0;
    // Counters for the summary.
    uint64_t posted_ = 0, delivered_ = 0, connects_ = 0, leftInExchange_ = 0, flips_ = 0, psuSwaps_ = 0,
             fanFailures_ = 0, settledChecks_ = 0, maxQueue_ = 0;
};

TEST_F(SoakTest, DaysOfChassisTime)
{
    const auto wallStart = std::chrono::steady_clock::now();
    LoadAndStart();
    ASSERT_NE(g_pKTZMonLogMonData, nullptr);
    queueMax_ = g_pKTZMonLogMonData->maxLogEvtQEntries;

    const uint32_t ticksPerDay = kDay / kTick;
    const uint32_t cycle = kChurnTicks + kSettleTicks;
    std::vector<uint64_t> sampleBytes;
    for (unsigned long day = 0; day < days_ && !HasFailure(); ++day)
    {
        for (uint32_t tick = 0; tick < ticksPerDay && !HasFatalFailure(); ++tick)
        {
            const uint32_t phase = tick % cycle;
            if (phase < kChurnTicks)
            {
                Churn();
                if (Chance(0.06))
                {
                    ASSERT_NO_FATAL_FAILURE(PostEvents(1 + Rand(24)));
                }
                if (Chance(0.04))
                {
                    const uint32_t id = kFirstClientId + Rand(kClientIds);
                    uint32_t connected = 0;
                    for (const auto& c : clients_)
                    {
                        connected += c.connected ? 1 : 0;
                    }
                    if (C(id).connected)
                    {
                        ASSERT_NO_FATAL_FAILURE(Disconnect(id));
                    }
                    else if (connected < kMaxClients)
                    {
                        ASSERT_NO_FATAL_FAILURE(Connect(id));
                    }
                }
                if (Chance(Enabled() ? 0.002 : 0.05))
                {
                    ASSERT_NO_FATAL_FAILURE(FlipSetting());
                }
            }
            ktzplat::AdvanceClock(kTick);
            ASSERT_NO_FATAL_FAILURE(Collect());
            if (g_pKTZMonLogMonData != nullptr)
            {
                const uint32_t n = g_pKTZMonLogMonData->numLogEvtQEntries;
                ASSERT_LE(n, g_pKTZMonLogMonData->maxLogEvtQEntries) << "queue above capacity";
                ASSERT_EQ(n, queue_.size()) << "queued events";
                maxQueue_ = std::max<uint64_t>(maxQueue_, n);
            }
            if (phase == cycle - 1)
            {
                CheckSettled();
                ktzplat::ClearLoggedMessages(); // the platform keeps every line in memory
            }
            if ((tick + 1) % (ticksPerDay / kSamplesPerDay) == 0)
            {
                // Every quarter day: the same state, the same live bytes.
                sampleBytes.push_back(SampleLiveBytes());
                EXPECT_EQ(sampleBytes.back(), sampleBytes.front())
                    << "live bytes on day " << day + 1 << " after " << (tick + 1) * kTick << " s";
            }
        }
    }
    StopAndUnload();

    // Floors per day of chassis time, far below what the churn gives with the
    // default seed (about 8600 events, 16000 deliveries, 210 connects of
    // which 70 leave during their exchange, 40 setting switches, 210 supply
    // swaps, 60 fan failures a day): a change of seed or churn that stops
    // exercising any of these fails here instead of passing quietly.
    const uint64_t d = days_;
    EXPECT_GE(posted_, 2000 * d) << "chassis log events posted";
    EXPECT_GE(delivered_, 4000 * d) << "chassis log event deliveries";
    EXPECT_GE(connects_, 50 * d) << "client connects";
    EXPECT_GE(leftInExchange_, 10 * d) << "clients leaving during their connect";
    EXPECT_GE(flips_, 10 * d) << "KTZ setting switches";
    EXPECT_GE(psuSwaps_, 50 * d) << "power supplies pulled or inserted";
    EXPECT_GE(fanFailures_, 15 * d) << "fan failures";
    EXPECT_GE(settledChecks_, 800 * d) << "settled-state comparisons";
    EXPECT_EQ(maxQueue_, queueMax_) << "the queue never filled up";

    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wallStart).count();
    std::printf(
        "soak: %lu day(s) of chassis time in %.1f s: %llu events posted, %llu deliveries, "
        "%llu connects (%llu left during their exchange), %llu setting switches, %llu supply "
        "swaps, %llu fan failures, %llu settled checks, queue peak %llu, live bytes at each sample %llu\n",
        days_, wall, (unsigned long long)posted_, (unsigned long long)delivered_,
        (unsigned long long)connects_, (unsigned long long)leftInExchange_, (unsigned long long)flips_,
        (unsigned long long)psuSwaps_, (unsigned long long)fanFailures_, (unsigned long long)settledChecks_,
        (unsigned long long)maxQueue_, (unsigned long long)(sampleBytes.empty() ? 0 : sampleBytes.back()));
}

} // namespace
