// Timed benchmarks, each beside its floor: the floor makes the calls or does
// the work the measured operation cannot avoid (the same platform calls, the
// same allocations, copies and client callbacks), in the same run, on the
// same chassis, so that the ratio shows what the module adds.
#include "core/global.h"
#include "core/log.h"
#include "core/platform.h"
#include "logmon/logmon.h"
#include "sensormon/sensormon.h"

#include "chassis.h"
#include "ktzplatform_control.h"
#include "noop_export.h"

#include <benchmark/benchmark.h>

#include <array>
#include <cstdio>
#include <cstring>
#include <pthread.h>

namespace ktzbench
{

namespace
{
using ktzplat::Op;

constexpr std::array<Op, 9> kIdleOps = {Op::ThermalFanData, Op::ThermalSensorData,  Op::StashTemp,
                                        Op::PsuState,       Op::PsuPresence,        Op::PsuAlert,
                                        Op::PsuRedundancy,  Op::PsuRedundancyState, Op::PsuRawFru};
// Calls per idle pass of each op above: one fan read per fan sensor, one
// temperature collection (thermal entries and stash), three PSU reads per
// bay, both redundancy reads, and no FRU read (every FRU was already sent).
std::array<uint64_t, 9> IdleCallsPerPass(const ChassisShape& shape)
{
    return {shape.FanSensors(), 1, 1, shape.bays, shape.bays, shape.bays, 1, 1, 0};
}

std::array<uint64_t, 9> IdleCallCounts()
{
    std::array<uint64_t, 9> n{};
    for (size_t i = 0; i < kIdleOps.size(); ++i)
    {
        n[i] = ktzplat::CallCount(kIdleOps[i]);
    }
    return n;
}

// Checks that the timed loop made exactly the expected platform calls per
// iteration, so that module and floor do the same platform work.
bool SamePlatformWork(benchmark::State& state, const std::array<uint64_t, 9>& before)
{
    const auto after = IdleCallCounts();
    const auto perPass = IdleCallsPerPass(CurrentShape());
    const auto iterations = static_cast<uint64_t>(state.iterations());
    for (size_t i = 0; i < kIdleOps.size(); ++i)
    {
        if (after[i] - before[i] != perPass[i] * iterations)
        {
            state.SkipWithError(
                (std::string("unexpected number of calls of ") + ktzplat::OpName(kIdleOps[i])).c_str());
            return false;
        }
    }
    return true;
}

// Every row due for both checks at the next pass.
void MakeBothChecksDue()
{
    for (KTZMonSensorType& row : g_KTZMonSensorTypeTable)
    {
        row.lastHealthCheck = 0;
        row.lastReadingCheck = 0;
    }
}

void BM_IdleCheckPass(benchmark::State& state, ChassisShape shape)
{
    Session session(false, kClients, kCapsBase, shape);
    if (!session.ok())
    {
        state.SkipWithError(session.error().c_str());
        return;
    }
    // Power rows have no reading check by default; give every row one so
    // that each pass hands every type both flags.
    for (KTZMonSensorType& row : g_KTZMonSensorTypeTable)
    {
        row.healthCheck = row.healthCheck == 0 ? 1 : row.healthCheck;
        row.readingCheck = row.readingCheck == 0 ? 1 : row.readingCheck;
    }
    const auto before = IdleCallCounts();
    StartRecording();
    KTZMonGlobalMonLock();
    for (auto _ : state)
    {
        MakeBothChecksDue();
        KTZMonSensorMonSensorsCheck();
    }
    KTZMonGlobalMonUnlock();
    if (!StopRecording().empty())
    {
        state.SkipWithError("the pass sent messages: the chassis was not idle");
        return;
    }
    (void)SamePlatformWork(state, before);
}

void BM_IdleCheckPassFloor(benchmark::State& state, ChassisShape shape)
{
    Session session(false, kClients, kCapsBase, shape);
    if (!session.ok())
    {
        state.SkipWithError(session.error().c_str());
        return;
    }
    const auto before = IdleCallCounts();
    for (auto _ : state)
    {
        for (uint32_t fan = 1; fan <= shape.fans; ++fan)
        {
            for (uint32_t sensor = 0; sensor < shape.sensorsPerFan; ++sensor)
            {
                uint8_t fanData[76];
                benchmark::DoNotOptimize(ThermalGetFanData(fan, fanData));
                benchmark::DoNotOptimize(fanData);
            }
        }
        uint8_t entries[KTZMON_TEMP_MAX_ENTRIES * KTZMON_TEMP_ENTRY_SIZE];
        uint8_t count = 0;
        uint8_t nums[KTZMON_TEMP_MAX_ENTRIES];
        benchmark::DoNotOptimize(ThermalGetSensorData(entries, &count, nums));
        uint8_t stash[KTZMON_STASH_MAX_RECORDS * KTZMON_STASH_RECORD_SIZE];
        uint8_t stashCount = 0;
        benchmark::DoNotOptimize(bm_get_stash_temp_sensor_data(stash, &stashCount));
        for (uint32_t bay = 1; bay <= shape.bays; ++bay)
        {
            uint32_t value = 0;
            benchmark::DoNotOptimize(mms_psu_state_get(bay, &value));
            benchmark::DoNotOptimize(mms_psu_presence_get(bay, &value));
            benchmark::DoNotOptimize(mms_psu_health_alert_state_get(bay, &value));
        }
        uint32_t config = 0;
        uint32_t red = 0;
        benchmark::DoNotOptimize(mms_psu_redundancy_get(&config));
        benchmark::DoNotOptimize(psu_redundancy_state_get(&red));
        benchmark::ClobberMemory();
    }
    (void)SamePlatformWork(state, before);
}

// Delivers the reference event once with recording on and returns the size
// of the message each client received (0 when not 8 equal messages).
uint32_t CalibrateLogEvent(std::vector<uint8_t>& ev)
{
    StartRecording();
    (void)KTZMonLogMonEventListener(ev.data());
    const auto sent = StopRecording();
    if (sent.size() != kClients)
    {
        return 0;
    }
    for (const SentMsg& m : sent)
    {
        if (m.requestType != KTZMON_REQ_VQ_LOG_EVT || m.size != sent[0].size)
        {
            return 0;
        }
    }
    return sent[0].size;
}

void LogEventToClients(benchmark::State& state, bool logToFile)
{
    Session session(logToFile, kClients, kCapsWithLogEvents);
    if (!session.ok())
    {
        state.SkipWithError(session.error().c_str());
        return;
    }
    auto ev = ReferenceLogEvent();
    if (CalibrateLogEvent(ev) == 0)
    {
        state.SkipWithError("the event did not reach the 8 clients");
        return;
    }
    for (auto _ : state)
    {
        benchmark::DoNotOptimize(KTZMonLogMonEventListener(ev.data()));
    }
    ktzplat::ClearLoggedMessages();
}

// The work the listener cannot avoid: one allocation for the message (it is
// built once and owned until sent or queued), one copy of its bytes, one
// callback per client; with the log on, also the one line it must write.
void LogEventToClientsFloor(benchmark::State& state, bool logToFile)
{
    Session session(logToFile, kClients, kCapsWithLogEvents);
    if (!session.ok())
    {
        state.SkipWithError(session.error().c_str());
        return;
    }
    auto ev = ReferenceLogEvent();
    const uint32_t msgLen = CalibrateLogEvent(ev);
    if (msgLen == 0 || msgLen > ev.size())
    {
        state.SkipWithError("the event did not reach the 8 clients");
        return;
    }
    KTZMonHostClientDispatchFn volatile callback = HostCallback();
    char logLine[KTZMON_LOG_MSG_MAX];
    std::snprintf(logLine, sizeof logLine, "Forwarding Chassis Log event: messageID: %s\n", "PSU0100");
    for (auto _ : state)
    {
        void* msg = SMAllocMem(msgLen);
        std::memcpy(msg, ev.data(), msgLen);
        benchmark::DoNotOptimize(msg);
        for (uint32_t i = 0; i < kClients; ++i)
        {
            uint32_t rspLen = 0;
            benchmark::DoNotOptimize(callback(kFirstClientID + i, KTZMON_REQ_CLASS, KTZMON_REQ_VQ_LOG_EVT,
                                              msg, msgLen, nullptr, 0, &rspLen, KTZMON_DISPATCH_TRAILER));
        }
        if (logToFile)
        {
            benchmark::DoNotOptimize(SMFileLogMsgToRotatedLog(logLine, g_pKTZMonLogPFName, 65536, 1, 1));
        }
        SMFreeMem(msg);
    }
    ktzplat::ClearLoggedMessages();
}

void BM_LogEvent(benchmark::State& state)
{
    LogEventToClients(state, false);
}
void BM_LogEventFloor(benchmark::State& state)
{
    LogEventToClientsFloor(state, false);
}
void BM_LogEventLogged(benchmark::State& state)
{
    LogEventToClients(state, true);
}
void BM_LogEventLoggedFloor(benchmark::State& state)
{
    LogEventToClientsFloor(state, true);
}

// Scale: chassis log events to `clients` capable clients against the same
// number of deliveries made as events to 8 clients, so that the ratio is the
// cost per client at that count over the cost per client at 8. Each
// iteration makes `deliveries` deliveries (a multiple of both counts).
void LogEventToManyClients(benchmark::State& state, uint32_t clients, uint32_t deliveries)
{
    Session session(false, clients, kCapsWithLogEvents);
    if (!session.ok())
    {
        state.SkipWithError(session.error().c_str());
        return;
    }
    auto ev = ReferenceLogEvent();
    StartRecording();
    (void)KTZMonLogMonEventListener(ev.data());
    if (StopRecording().size() != clients)
    {
        state.SkipWithError("the event did not reach every client");
        return;
    }
    const uint32_t events = deliveries / clients;
    for (auto _ : state)
    {
        for (uint32_t i = 0; i < events; ++i)
        {
            benchmark::DoNotOptimize(KTZMonLogMonEventListener(ev.data()));
        }
    }
    state.counters["deliveries"] = deliveries;
}

void BM_LogEventTo100(benchmark::State& state)
{
    LogEventToManyClients(state, 100, 200);
}
void BM_LogEventTo100Floor(benchmark::State& state)
{
    LogEventToManyClients(state, kClients, 200);
}
void BM_LogEventTo1000(benchmark::State& state)
{
    LogEventToManyClients(state, 1000, 1000);
}
void BM_LogEventTo1000Floor(benchmark::State& state)
{
    LogEventToManyClients(state, kClients, 1000);
}

constexpr uint32_t kConnectingClient = 200;

// One connect and disconnect with recording on; empty when the exchange was
// not the full one (setting, capabilities, every sensor, every FRU record,
// data-sync-complete).
std::vector<SentMsg> CalibrateConnect()
{
    SetClientCaps(kConnectingClient, kCapsWithLogEvents);
    StartRecording();
    const uint32_t rcConnect = Connect(kConnectingClient);
    const uint32_t rcDisconnect = Disconnect(kConnectingClient);
    auto sent = StopRecording();
    uint32_t byType[0x201] = {};
    for (const SentMsg& m : sent)
    {
        if (m.clientID != kConnectingClient || m.requestType > 0x200)
        {
            return {};
        }
        ++byType[m.requestType];
    }
    const ChassisShape& shape = CurrentShape();
    if (rcConnect != 0 || rcDisconnect != 0 || byType[KTZMON_REQ_KTZ_SETTING] != 1 ||
        byType[KTZMON_REQ_GET_KTZ_CAPS] != 1 || byType[KTZMON_REQ_SENSOR_DATA] != shape.Sensors() ||
        byType[KTZMON_REQ_FRU_BY_NUM] != shape.bays || byType[KTZMON_REQ_DATA_SYNC_COMPLETE] != 1)
    {
        return {};
    }
    return sent;
}

void BM_ConnectExchange(benchmark::State& state, ChassisShape shape)
{
    Session session(false, kClients, kCapsWithLogEvents, shape);
    if (!session.ok())
    {
        state.SkipWithError(session.error().c_str());
        return;
    }
    const auto sent = CalibrateConnect();
    if (sent.empty())
    {
        state.SkipWithError("the connect exchange was not the full one");
        return;
    }
    for (auto _ : state)
    {
        benchmark::DoNotOptimize(Connect(kConnectingClient));
        benchmark::DoNotOptimize(Disconnect(kConnectingClient));
    }
    state.counters["messages"] = static_cast<double>(sent.size());
}

// Builds (allocates and zero-fills) and dispatches the same messages, one
// by one, with the same sizes and response buffers, then frees each.
void BM_ConnectExchangeFloor(benchmark::State& state, ChassisShape shape)
{
    Session session(false, kClients, kCapsWithLogEvents, shape);
    if (!session.ok())
    {
        state.SkipWithError(session.error().c_str());
        return;
    }
    const auto sent = CalibrateConnect();
    if (sent.empty())
    {
        state.SkipWithError("the connect exchange was not the full one");
        return;
    }
    KTZMonHostClientDispatchFn volatile callback = HostCallback();
    for (auto _ : state)
    {
        for (const SentMsg& m : sent)
        {
            void* msg = nullptr;
            if (m.size != 0)
            {
                msg = SMAllocMem(m.size);
                std::memset(msg, 0, m.size);
            }
            uint8_t rsp[KTZMON_KTZ_CAPS_RSP_SIZE];
            uint32_t rspLen = 0;
            benchmark::DoNotOptimize(callback(m.clientID, KTZMON_REQ_CLASS, m.requestType, msg, m.size,
                                              m.rspBufSize != 0 ? rsp : nullptr, m.rspBufSize, &rspLen,
                                              KTZMON_DISPATCH_TRAILER));
            if (msg != nullptr)
            {
                SMFreeMem(msg);
            }
        }
    }
    state.counters["messages"] = static_cast<double>(sent.size());
}

constexpr const char* kFanChangeFormat =
    "Fan sensor reading change: name: '%s' prev: %u curr: %u diff: %+d\n";

// Sixteen calls per iteration, so that the benchmark loop's own cost does
// not dilute a difference of a few instructions.
void SixteenCalls(void (*volatile& logMsg)(const char*, ...))
{
    for (int i = 0; i < 16; ++i)
    {
        logMsg(kFanChangeFormat, "Fan1A", 5400u, 5300u, -100);
    }
}

void BM_LogMsgWritingOff(benchmark::State& state)
{
    Session session(false, 0, kCapsBase);
    if (!session.ok())
    {
        state.SkipWithError(session.error().c_str());
        return;
    }
    void (*volatile logMsg)(const char*, ...) = &KTZMonLogMsg;
    const size_t loggedBefore = ktzplat::LoggedMessages().size();
    for (auto _ : state)
    {
        SixteenCalls(logMsg);
    }
    if (ktzplat::LoggedMessages().size() != loggedBefore)
    {
        state.SkipWithError("a message was written with writing off");
    }
}

void BM_LogMsgWritingOffFloor(benchmark::State& state)
{
    Session session(false, 0, kCapsBase);
    if (!session.ok())
    {
        state.SkipWithError(session.error().c_str());
        return;
    }
    void (*volatile logMsg)(const char*, ...) = &KTZBenchNoopLogMsg;
    for (auto _ : state)
    {
        SixteenCalls(logMsg);
    }
}
// For scale: one lock and unlock of a platform mutex (the stand-in's is an
// error-checking one with owner tracking) against a plain pthread mutex.
void BM_PlatformMutexPair(benchmark::State& state)
{
    void* mutex = SMMutexCreate(0);
    if (mutex == nullptr)
    {
        state.SkipWithError("SMMutexCreate failed");
        return;
    }
    for (auto _ : state)
    {
        benchmark::DoNotOptimize(SMMutexLock(mutex, -1));
        benchmark::DoNotOptimize(SMMutexUnLock(mutex));
    }
    SMMutexDestroy(mutex);
}

void BM_PlatformMutexPairFloor(benchmark::State& state)
{
    pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
    for (auto _ : state)
    {
        benchmark::DoNotOptimize(pthread_mutex_lock(&mutex));
        benchmark::DoNotOptimize(pthread_mutex_unlock(&mutex));
    }
}
} // namespace

BENCHMARK_CAPTURE(BM_IdleCheckPass, ref, kReferenceChassis)
    ->Name("idle_check_pass")
    ->Unit(benchmark::kNanosecond);
BENCHMARK_CAPTURE(BM_IdleCheckPassFloor, ref, kReferenceChassis)
    ->Name("idle_check_pass.floor")
    ->Unit(benchmark::kNanosecond);
BENCHMARK_CAPTURE(BM_IdleCheckPass, largest, kLargestChassis)
    ->Name("idle_check_pass_largest")
    ->Unit(benchmark::kNanosecond);
BENCHMARK_CAPTURE(BM_IdleCheckPassFloor, largest, kLargestChassis)
    ->Name("idle_check_pass_largest.floor")
    ->Unit(benchmark::kNanosecond);
BENCHMARK(BM_LogEvent)->Name("log_event_to_8_clients")->Unit(benchmark::kNanosecond);
BENCHMARK(BM_LogEventFloor)->Name("log_event_to_8_clients.floor")->Unit(benchmark::kNanosecond);
// Every written line is also kept in memory by the platform stand-in, so the
// logged variants run a bounded number of iterations.
BENCHMARK(BM_LogEventLogged)
    ->Name("log_event_to_8_clients_logged")
    ->Unit(benchmark::kNanosecond)
    ->Iterations(20000);
BENCHMARK(BM_LogEventLoggedFloor)
    ->Name("log_event_to_8_clients_logged.floor")
    ->Unit(benchmark::kNanosecond)
    ->Iterations(20000);
BENCHMARK_CAPTURE(BM_ConnectExchange, ref, kReferenceChassis)
    ->Name("connect_exchange")
    ->Unit(benchmark::kNanosecond);
BENCHMARK_CAPTURE(BM_ConnectExchangeFloor, ref, kReferenceChassis)
    ->Name("connect_exchange.floor")
    ->Unit(benchmark::kNanosecond);
BENCHMARK_CAPTURE(BM_ConnectExchange, largest, kLargestChassis)
    ->Name("connect_exchange_largest")
    ->Unit(benchmark::kNanosecond);
BENCHMARK_CAPTURE(BM_ConnectExchangeFloor, largest, kLargestChassis)
    ->Name("connect_exchange_largest.floor")
    ->Unit(benchmark::kNanosecond);
BENCHMARK(BM_LogEventTo100)->Name("log_event_to_100_clients")->Unit(benchmark::kNanosecond);
BENCHMARK(BM_LogEventTo100Floor)->Name("log_event_to_100_clients.floor")->Unit(benchmark::kNanosecond);
BENCHMARK(BM_LogEventTo1000)->Name("log_event_to_1000_clients")->Unit(benchmark::kNanosecond);
BENCHMARK(BM_LogEventTo1000Floor)->Name("log_event_to_1000_clients.floor")->Unit(benchmark::kNanosecond);
BENCHMARK(BM_LogMsgWritingOff)->Name("log_msg_writing_off")->Unit(benchmark::kNanosecond);
BENCHMARK(BM_LogMsgWritingOffFloor)->Name("log_msg_writing_off.floor")->Unit(benchmark::kNanosecond);
BENCHMARK(BM_PlatformMutexPair)->Name("platform_mutex_pair")->Unit(benchmark::kNanosecond);
BENCHMARK(BM_PlatformMutexPairFloor)->Name("platform_mutex_pair.floor")->Unit(benchmark::kNanosecond);

} // namespace ktzbench
