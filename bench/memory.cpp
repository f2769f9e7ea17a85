// Memory figures from the platform allocator's accounting: bytes and blocks
// a connected client and a queued chassis log event hold, and what is left
// live after many Load/Start-monitor/Stop-monitor/Unload cycles.
#include "logmon/logmon.h"

#include "chassis.h"
#include "ktzplatform_control.h"

#include <benchmark/benchmark.h>

namespace ktzbench
{

namespace
{
struct Live
{
    int64_t bytes;
    int64_t blocks;
};

Live LiveNow()
{
    const auto s = ktzplat::GetAllocStats();
    return {static_cast<int64_t>(s.liveBytes), static_cast<int64_t>(s.liveAllocs)};
}

void BM_MemoryPerClient(benchmark::State& state)
{
    Session session(false, 0, kCapsBase);
    if (!session.ok())
    {
        state.SkipWithError(session.error().c_str());
        return;
    }
    Live before{};
    Live held{};
    for (auto _ : state)
    {
        before = LiveNow();
        if (!ConnectClients(kClients, kCapsWithLogEvents))
        {
            state.SkipWithError("a client connect failed");
            return;
        }
        held = LiveNow();
        DisconnectClients(kClients);
    }
    const Live after = LiveNow();
    if (after.bytes != before.bytes || after.blocks != before.blocks)
    {
        state.SkipWithError("disconnecting the clients did not give their memory back");
        return;
    }
    state.counters["bytes"] = static_cast<double>(held.bytes - before.bytes) / kClients;
    state.counters["blocks"] = static_cast<double>(held.blocks - before.blocks) / kClients;
}

void BM_MemoryPerQueuedEvent(benchmark::State& state)
{
    // No client with the chassis-log capability: every event is queued.
    Session session(false, kClients, kCapsBase);
    if (!session.ok())
    {
        state.SkipWithError(session.error().c_str());
        return;
    }
    constexpr uint32_t kEvents = 10; // below the default queue bound of 16
    auto ev = ReferenceLogEvent();
    Live before{};
    Live held{};
    for (auto _ : state)
    {
        before = LiveNow();
        for (uint32_t i = 0; i < kEvents; ++i)
        {
            (void)KTZMonLogMonEventListener(ev.data());
        }
        held = LiveNow();
    }
    if (g_pKTZMonLogMonData == nullptr || g_pKTZMonLogMonData->numLogEvtQEntries != kEvents)
    {
        state.SkipWithError("the events were not queued");
        return;
    }
    state.counters["bytes"] = static_cast<double>(held.bytes - before.bytes) / kEvents;
    state.counters["blocks"] = static_cast<double>(held.blocks - before.blocks) / kEvents;
}

// Each cycle: Load, Start-monitor, the settling delay (every sensor type
// attaches and is sent), a capable client connects, a chassis log event is
// forwarded, a second one queued after the client left, Stop-monitor, Unload.
void BM_MemoryLoadCycles(benchmark::State& state)
{
    constexpr uint32_t kCycles = 1000;
    SetUpPlatform(false);
    auto ev = ReferenceLogEvent();
    const Live before = LiveNow();
    uint32_t cycles = 0;
    std::string why;
    for (auto _ : state)
    {
        for (; cycles < kCycles; ++cycles)
        {
            if (!LoadStartAttach(&why))
            {
                break;
            }
            SetClientCaps(kFirstClientID, kCapsWithLogEvents);
            (void)Connect(kFirstClientID);
            (void)KTZMonLogMonEventListener(ev.data());
            (void)Disconnect(kFirstClientID);
            (void)KTZMonLogMonEventListener(ev.data());
            if (!StopUnload())
            {
                why = "Stop-monitor or Unload failed";
                break;
            }
        }
    }
    (void)ktzplat::WaitIdle();
    const Live after = LiveNow();
    const uint32_t threads = ktzplat::LiveThreadCount();
    TearDownPlatform();
    if (cycles != kCycles)
    {
        state.SkipWithError(("cycle " + std::to_string(cycles) + " failed: " + why).c_str());
        return;
    }
    if (threads != 0)
    {
        state.SkipWithError("a module thread was left running");
        return;
    }
    state.counters["cycles"] = cycles;
    state.counters["leaked_bytes"] = static_cast<double>(after.bytes - before.bytes);
    state.counters["leaked_blocks"] = static_cast<double>(after.blocks - before.blocks);
}
} // namespace

BENCHMARK(BM_MemoryPerClient)->Name("memory_per_client")->Iterations(1);
BENCHMARK(BM_MemoryPerQueuedEvent)->Name("memory_per_queued_event")->Iterations(1);
BENCHMARK(BM_MemoryLoadCycles)->Name("memory_load_cycles")->Iterations(1)->Unit(benchmark::kMillisecond);

} // namespace ktzbench
