// libFuzzer target for the platform service answers the sensor types read:
// the input supplies the platform description words, raw fan records,
// thermal entries and stash records (names without NULs, counts beyond the
// buffers, any reading), power-supply answers with per-bay failures and FRU
// bytes, power redundancy, and which allocation and service calls fail.
// Every sensor type is then made ready, attached, sent, checked against a
// second set of answers and detached, with one client registered. It aborts
// when a client receives a malformed record, when two sensors of one type
// share a number, or when module memory is left behind.
#include "sensormon/sensormon.h"

#include "harness.h"

#include <bitset>
#include <climits>
#include <fuzzer/FuzzedDataProvider.h>
#include <vector>

namespace
{

constexpr uint32_t kClientID = 1;
constexpr uint32_t kMaxFans = 4;
constexpr uint32_t kMaxBays = 4;

void SetUpOnce()
{
    static bool done = false;
    if (done)
    {
        return;
    }
    done = true;
    (void)ktzfuzz::SetUpPlatform("fuzz_answers", "1");
    ktzplat::SetLoggedMessageLimit(0); // every line is still formatted
    // Loaded with monitoring enabled but not started: the monitor record
    // exists and no monitor thread runs, so the per-type operations are
    // called here directly, as the thread would.
    if (ktzfuzz::Load() != 0 || g_pKTZMonSensorMonData == nullptr)
    {
        ktzfuzz::Fail("module did not load");
    }
    if (ktzfuzz::ClientRequest(KTZMON_HOST_REQ_CLIENT_CONNECTED, kClientID) != 0)
    {
        ktzfuzz::Fail("client refused");
    }
}

std::vector<uint8_t> Bytes(FuzzedDataProvider& in, size_t max)
{
    return in.ConsumeBytes<uint8_t>(in.ConsumeIntegralInRange<size_t>(0, max));
}

// One set of platform answers, read from the input.
void ApplyAnswers(FuzzedDataProvider& in)
{
    const uint32_t fans = in.ConsumeIntegralInRange<uint32_t>(0, kMaxFans);
    bool largeFan = false;
    for (uint32_t n = 1; n <= fans; ++n)
    {
        std::vector<uint8_t> rec = Bytes(in, 76);
        // Mostly a few sensors per fan. A sensor count of 240 and more stays
        // as it is on the first fan that has one, to reach the end of the
        // 8-bit sensor numbers together with the other fans' sensors; one
        // such fan is enough for that, and each costs hundreds of sensors,
        // allocations and log lines.
        if (rec.size() > 46 && (rec[46] < 240 || largeFan))
        {
            rec[46] %= 4;
        }
        largeFan = largeFan || (rec.size() > 46 && rec[46] >= 240);
        ktzplat::SetRawFanAnswer(n, rec);
    }
    if (in.ConsumeBool())
    {
        const auto count = in.ConsumeIntegral<uint8_t>();
        ktzplat::SetRawThermalAnswer(Bytes(in, 80), count, Bytes(in, 8));
    }
    if (in.ConsumeBool())
    {
        const auto count = in.ConsumeIntegral<uint8_t>();
        ktzplat::SetRawStashAnswer(Bytes(in, 7 * 24), count);
    }
    const uint32_t bays = in.ConsumeIntegralInRange<uint32_t>(0, kMaxBays);
    for (uint32_t n = 1; n <= bays; ++n)
    {
        ktzplat::PsuBay bay;
        bay.presence = in.ConsumeIntegralInRange<uint32_t>(0, 2);
        bay.state = in.ConsumeIntegralInRange<uint32_t>(0, 4);
        bay.alert = in.ConsumeIntegralInRange<uint32_t>(0, 2);
        const auto fails = in.ConsumeIntegral<uint8_t>();
        bay.presenceResult = (fails & 0x1) != 0 ? -1 : 0;
        bay.stateResult = (fails & 0x2) != 0 ? -2 : 0;
        bay.alertResult = (fails & 0x4) != 0 ? -3 : 0;
        bay.fruReadable = (fails & 0x8) != 0;
        bay.fru = Bytes(in, 16);
        ktzplat::SetPsuBay(n, bay);
    }
    ktzplat::SetRedundancy(in.ConsumeIntegral<uint32_t>(), in.ConsumeIntegral<uint32_t>());
}

// Which calls fail from here on: one allocation after a chosen number of
// successes, and one chosen service call.
void ApplyFaults(FuzzedDataProvider& in)
{
    const auto choice = in.ConsumeIntegral<uint8_t>();
    if ((choice & 0x1) != 0)
    {
        ktzplat::InjectFault(ktzplat::Op::Alloc, in.ConsumeIntegralInRange<uint32_t>(0, 63), 1);
    }
    if ((choice & 0x2) != 0)
    {
        static constexpr ktzplat::Op kServices[] = {
            ktzplat::Op::ThermalFanData, ktzplat::Op::ThermalSensorData, ktzplat::Op::StashTemp,
            ktzplat::Op::PsuPresence,    ktzplat::Op::PsuState,          ktzplat::Op::PsuAlert,
            ktzplat::Op::PsuRawFru,      ktzplat::Op::PsuRedundancy,     ktzplat::Op::PsuRedundancyState,
        };
        const auto op = kServices[in.ConsumeIntegralInRange<size_t>(0, std::size(kServices) - 1)];
        ktzplat::InjectFault(op, in.ConsumeIntegralInRange<uint32_t>(0, 15), 1,
                             in.ConsumeIntegralInRange<int32_t>(-3, 3) | 1);
    }
}

template <typename T> void CheckDistinctNumbers(SMListHead& list)
{
    std::bitset<256> seen; // sensor numbers are 8 bits wide
    for (auto* e = static_cast<SMSLListEntry*>(list.first); e != nullptr; e = e->next)
    {
        const auto* s = static_cast<const T*>(e->data);
        if (s->sensorNum == 0 || seen.test(s->sensorNum))
        {
            ktzfuzz::Fail("sensor number 0 or used twice");
        }
        seen.set(s->sensorNum);
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv)
{
    ktzfuzz::PrependFlag(argc, argv, "-entropic_scale_per_exec_time=1");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    SetUpOnce();
    FuzzedDataProvider in(data, size);
    const uint64_t liveBefore = ktzplat::GetAllocStats().liveBytes;

    // The platform description: the fan counts, bay count, platform and
    // stash words the sensor types read.
    static constexpr uint32_t kPlatforms[] = {0x10, 0x14, 0x21, 0};
    ktzplat::SetPlatformId(kPlatforms[in.ConsumeIntegralInRange<size_t>(0, 3)]);
    // Mostly small counts; now and then counts at and beyond the 8-bit
    // limits (probing 255 fan numbers or bays costs a log line each).
    const auto fanCount = in.ConsumeIntegral<uint8_t>();
    static constexpr uint32_t kLargeFanCounts[] = {255, 256, 0xFFFFFFFFu, 300};
    ktzplat::SetFanCounts(fanCount < 0xFC ? fanCount % 6 : kLargeFanCounts[fanCount - 0xFC],
                          fanCount < 0xFC ? 0 : 2);
    const auto bayCount = in.ConsumeIntegral<uint8_t>();
    static constexpr int32_t kOddBayCounts[] = {-1, INT32_MIN, 255, 300};
    ktzplat::SetPsuBayCount(bayCount < 0xFC ? bayCount % 6 : kOddBayCounts[bayCount - 0xFC]);
    const auto stash = in.ConsumeIntegral<uint8_t>();
    ktzplat::SetCapWordA((stash & 0x1) != 0 ? 0x10 : 0);
    ktzplat::SetCapWordB((stash & 0x2) != 0 ? 0x1 : 0);
    ktzplat::SetStashWord((stash & 0x4) != 0 ? 1 : 0);
    ApplyAnswers(in);
    ApplyFaults(in);
    ktzfuzz::Answers().status = in.ConsumeBool() ? 0 : 5;

    for (KTZMonSensorType& row : g_KTZMonSensorTypeTable)
    {
        if (row.Ready() == 1)
        {
            row.Attach();
            row.SendToClient(nullptr);
            row.FRUsSendToClient(nullptr);
        }
    }
    CheckDistinctNumbers<KTZMonFanSensor>(g_pKTZMonSensorMonData->fanSensors);
    CheckDistinctNumbers<KTZMonTempSensor>(g_pKTZMonSensorMonData->tempSensors);
    CheckDistinctNumbers<KTZMonPwrSupplySensor>(g_pKTZMonSensorMonData->pwrSupplySensors);

    // Later answers, compared with what was stored.
    ApplyAnswers(in);
    ApplyFaults(in);
    const auto flags = in.ConsumeIntegralInRange<uint32_t>(1, 3);
    const auto tolerance = in.ConsumeIntegral<uint32_t>();
    // The delay mode counts from the attach time; jump without waking anyone.
    ktzplat::SetClock(1000000 + in.ConsumeIntegralInRange<int64_t>(0, 60));
    for (KTZMonSensorType& row : g_KTZMonSensorTypeTable)
    {
        row.Check(flags, tolerance);
    }
    for (KTZMonSensorType& row : g_KTZMonSensorTypeTable)
    {
        row.Detach();
    }

    ktzplat::ClearFaults();
    ktzplat::ClearRawAnswers();
    for (uint32_t n = 1; n <= kMaxBays; ++n)
    {
        ktzplat::SetPsuBay(n, ktzplat::PsuBay{});
    }
    ktzfuzz::Answers().status = 0;
    ktzplat::SetClock(1000000);
    if (ktzplat::GetAllocStats().liveBytes != liveBefore)
    {
        ktzfuzz::Fail("sensor lists left module memory behind");
    }
    return 0;
}
