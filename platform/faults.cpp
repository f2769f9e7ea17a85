// Fault injection: per-operation call and failure counters, the injected
// failure schedules (skip N successes, then fail M times or for ever), and
// the raw "odd" answers that stand in for a service's normal answer.
#include "internal.h"

#include <algorithm>
#include <cstdarg>
#include <cstring>
#include <map>

namespace ktzplat
{
namespace
{
struct FaultState
{
    bool armed = false;
    uint32_t skip = 0;
    uint32_t times = 0;
    int32_t result = -1;
    uint64_t calls = 0;
    uint64_t fails = 0;
};

constexpr unsigned kOps = static_cast<unsigned>(Op::Count_);

std::mutex& FaultMu()
{
    static std::mutex* mu = new std::mutex;
    return *mu;
}

FaultState* Faults()
{
    static FaultState* f = new FaultState[kOps];
    return f;
}

unsigned Index(Op op)
{
    auto i = static_cast<unsigned>(op);
    return i < kOps ? i : kOps;
}

struct RawAnswers
{
    std::mutex mu;
    std::map<uint32_t, std::vector<uint8_t>> fans;
    bool thermalSet = false;
    std::vector<uint8_t> thermalEntries;
    uint8_t thermalCount = 0;
    std::vector<uint8_t> thermalNums;
    bool stashSet = false;
    std::vector<uint8_t> stash;
    uint8_t stashCount = 0;
};

RawAnswers& Raw()
{
    static RawAnswers* r = new RawAnswers;
    return *r;
}

// Copies `bytes` into a buffer of `size` bytes, zero-padding the rest.
void FillFrom(const std::vector<uint8_t>& bytes, unsigned char* out, size_t size)
{
    const size_t n = std::min(bytes.size(), size);
    if (n > 0)
    {
        std::memcpy(out, bytes.data(), n);
    }
    std::memset(out + n, 0, size - n);
}
} // namespace

namespace detail
{
void Fatal(const char* fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    // About to abort: a failed write to stderr has nowhere else to go.
    (void)std::fputs("libktzplatform: FATAL: ", stderr);
    (void)std::vfprintf(stderr, fmt, ap);
    (void)std::fputc('\n', stderr);
    (void)std::fflush(stderr);
    va_end(ap);
    std::abort();
}

bool FaultHit(Op op, int32_t* result)
{
    unsigned i = Index(op);
    if (i >= kOps)
    {
        return false;
    }
    std::lock_guard<std::mutex> lk(FaultMu());
    FaultState& f = Faults()[i];
    ++f.calls;
    if (!f.armed)
    {
        return false;
    }
    if (f.skip > 0)
    {
        --f.skip;
        return false;
    }
    ++f.fails;
    if (result)
    {
        *result = f.result;
    }
    if (f.times != kForever && --f.times == 0)
    {
        f.armed = false;
    }
    return true;
}

void ResetFaultCounters()
{
    {
        std::lock_guard<std::mutex> lk(FaultMu());
        for (unsigned i = 0; i < kOps; ++i)
        {
            Faults()[i] = FaultState{};
        }
    }
    ClearRawAnswers();
}

bool RawFanAnswer(uint32_t fanNum, unsigned char* record, size_t recordSize)
{
    RawAnswers& r = Raw();
    std::lock_guard<std::mutex> lk(r.mu);
    auto it = r.fans.find(fanNum);
    if (it == r.fans.end())
    {
        return false;
    }
    FillFrom(it->second, record, recordSize);
    return true;
}

bool RawThermalAnswer(unsigned char* entries, size_t entriesSize, uint8_t* pCount, uint8_t* nums,
                      size_t numsSize)
{
    RawAnswers& r = Raw();
    std::lock_guard<std::mutex> lk(r.mu);
    if (!r.thermalSet)
    {
        return false;
    }
    FillFrom(r.thermalEntries, entries, entriesSize);
    if (nums)
    {
        FillFrom(r.thermalNums, nums, numsSize);
    }
    *pCount = r.thermalCount;
    return true;
}

bool RawStashAnswer(unsigned char* records, size_t recordsSize, uint8_t* pCount)
{
    RawAnswers& r = Raw();
    std::lock_guard<std::mutex> lk(r.mu);
    if (!r.stashSet)
    {
        return false;
    }
    FillFrom(r.stash, records, recordsSize);
    *pCount = r.stashCount;
    return true;
}
} // namespace detail

void SetRawFanAnswer(uint32_t fanNum, const std::vector<uint8_t>& record)
{
    RawAnswers& r = Raw();
    std::lock_guard<std::mutex> lk(r.mu);
    r.fans[fanNum] = record;
}

void SetRawThermalAnswer(const std::vector<uint8_t>& entries, uint8_t count, const std::vector<uint8_t>& nums)
{
    RawAnswers& r = Raw();
    std::lock_guard<std::mutex> lk(r.mu);
    r.thermalSet = true;
    r.thermalEntries = entries;
    r.thermalCount = count;
    r.thermalNums = nums;
}

void SetRawStashAnswer(const std::vector<uint8_t>& records, uint8_t count)
{
    RawAnswers& r = Raw();
    std::lock_guard<std::mutex> lk(r.mu);
    r.stashSet = true;
    r.stash = records;
    r.stashCount = count;
}

void ClearRawAnswers()
{
    RawAnswers& r = Raw();
    std::lock_guard<std::mutex> lk(r.mu);
    r.fans.clear();
    r.thermalSet = false;
    r.thermalEntries.clear();
    r.thermalNums.clear();
    r.stashSet = false;
    r.stash.clear();
}

void InjectFault(Op op, uint32_t skip, uint32_t times, int32_t result)
{
    unsigned i = Index(op);
    if (i >= kOps)
    {
        return;
    }
    std::lock_guard<std::mutex> lk(FaultMu());
    FaultState& f = Faults()[i];
    f.armed = times != 0;
    f.skip = skip;
    f.times = times;
    f.result = result;
}

void ClearFaults()
{
    std::lock_guard<std::mutex> lk(FaultMu());
    for (unsigned i = 0; i < kOps; ++i)
    {
        Faults()[i].armed = false;
    }
}

uint64_t CallCount(Op op)
{
    unsigned i = Index(op);
    if (i >= kOps)
    {
        return 0;
    }
    std::lock_guard<std::mutex> lk(FaultMu());
    return Faults()[i].calls;
}

uint64_t FailCount(Op op)
{
    unsigned i = Index(op);
    if (i >= kOps)
    {
        return 0;
    }
    std::lock_guard<std::mutex> lk(FaultMu());
    return Faults()[i].fails;
}

const char* OpName(Op op)
{
    static const char* const names[] = {
        "Alloc",          "MutexCreate",       "SemaphoreCreate", "EventCreate",        "ThreadStart",
        "IniPath",        "ListenerAdd",       "CfgGetByName",    "NotifyInit",         "NotifyRegister",
        "ThermalFanData", "ThermalSensorData", "StashTemp",       "PsuPresence",        "PsuState",
        "PsuAlert",       "PsuRawFru",         "PsuRedundancy",   "PsuRedundancyState",
    };
    static_assert(sizeof(names) / sizeof(names[0]) == kOps, "one name per operation");
    unsigned i = Index(op);
    return i < kOps ? names[i] : "?";
}

} // namespace ktzplat
