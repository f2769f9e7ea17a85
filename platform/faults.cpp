// Fault injection: per-operation call and failure counters and the injected
// failure schedules (skip N successes, then fail M times or for ever).
#include "internal.h"

#include <cstdarg>

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
    std::lock_guard<std::mutex> lk(FaultMu());
    for (unsigned i = 0; i < kOps; ++i)
    {
        Faults()[i] = FaultState{};
    }
}
} // namespace detail

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
