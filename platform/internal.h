// Internals shared by the stand-in's sources: exception fences for the C
// entry points, fault checks, counted allocation, and the scheduler state
// (one mutex guarding semaphores, events, service queues, the virtual clock
// and the idle tracking of platform threads).
#ifndef KTZPLATFORM_INTERNAL_H
#define KTZPLATFORM_INTERNAL_H

#include "core/platform.h"

#include "ktzplatform_control.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>
#include <vector>

namespace ktzplat::detail
{

// Prints a message and aborts: used for misuse that must not go unnoticed.
[[noreturn]] void Fatal(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// Runs f and turns any exception into `err`, so that no exception leaves a C
// entry point.
template <class R, class F> R NoThrow(R err, F&& f) noexcept
{
    try
    {
        return f();
    }
    catch (...)
    {
        return err;
    }
}

// ---- faults (faults.cpp) ----
// Counts a call of `op` and reports whether it must fail; *result receives
// the injected result.
bool FaultHit(Op op, int32_t* result = nullptr);
void ResetFaultCounters();
// Raw answers set through the control API (odd answers): each fills the
// caller's buffer and returns true when one is set for the call.
bool RawFanAnswer(uint32_t fanNum, unsigned char* record, size_t recordSize);
bool RawThermalAnswer(unsigned char* entries, size_t entriesSize, uint8_t* pCount, uint8_t* nums,
                      size_t numsSize);
bool RawStashAnswer(unsigned char* records, size_t recordsSize, uint8_t* pCount);

// ---- memory (memory.cpp) ----
// Counted allocation without a fault check (the caller checked its own Op).
void* AllocCounted(uint32_t size);
// Counted allocation that `op`'s injected faults can make fail (NULL).
void* AllocWithFault(Op op, uint32_t size);
void FreeCounted(void* p, const char* who);

// ---- paths (ini.cpp / logfile.cpp) ----
void ResetPaths();

// ---- scheduler (clock.cpp) ----
struct Service;

// Something a thread can block on: a semaphore or an event.
struct Waitable
{
    enum class Kind
    {
        Semaphore,
        Event
    };
    explicit Waitable(Kind k) : kind(k) {}
    Kind kind;
    uint32_t magic = 0;
    std::condition_variable cv;
    int64_t count = 0;   // semaphore count
    bool set = false;    // event state
    bool manual = false; // manual-reset event
    int waiters = 0;
};

// One blocked call of SMSemaphoreAcquireWait or SMEventWait.
struct Waiter
{
    Waitable* obj = nullptr;
    bool timed = false;
    bool virtualDeadline = false; // deadline in virtual ms, else in steady-clock ms
    int64_t deadline = 0;
    Waiter* prev = nullptr;
    Waiter* next = nullptr;
};

// A thread whose idleness WaitIdle judges: every thread started by
// SMThreadStart and the platform's own service threads.
struct ThreadRec
{
    enum class State
    {
        Running,
        Waiting,     // in a Waiter
        ServiceIdle, // a service thread waiting for work
        Ended
    };
    State state = State::Running;
    Waiter* waiter = nullptr;
    Service* service = nullptr;
    SMThreadFunc func = nullptr;
    void* arg = nullptr;
    uint32_t magic = 0;
    std::thread th;
};

struct Sched
{
    std::mutex mu;
    std::condition_variable idleCv; // a thread became idle or ended
    std::vector<ThreadRec*> threads;
    Waiter* waiters = nullptr; // intrusive list of blocked waits
    std::atomic<bool> virt{false};
    std::atomic<int64_t> vnow{0}; // virtual ms; written under mu
};
Sched& S();
ThreadRec*& CurrentThreadRec();

// Registers a tracked thread (under S().mu).
void TrackThread(ThreadRec* rec);
void UntrackThread(ThreadRec* rec);
// Marks the calling tracked thread ended and wakes WaitIdle.
void MarkEnded(ThreadRec* rec);

// Blocks on a semaphore or event with the given timeout (ms, negative = no
// limit) following the clock in force. Returns 0 when acquired, 1 on timeout.
int32_t WaitOn(Waitable* w, int32_t timeoutMs);

int64_t RealNowMs();

// A platform service thread with a work queue (notifications, data events).
// Its queue and state live under S().mu.
struct Service
{
    virtual ~Service() = default;
    // Under S().mu: starts the thread when it is not running.
    void EnsureStarted();
    // Under S().mu: new work queued.
    void Wake() { cv.notify_all(); }
    // Not under S().mu: stops and joins the thread, dropping queued work.
    void Stop();
    bool OnServiceThread() const;
    // Under S().mu: waits while the service is calling out for `tag`, unless
    // the callout is this thread's own (a callback removing itself).
    void WaitNotCalling(std::unique_lock<std::mutex>& lk, const void* tag);

    // Under S().mu.
    virtual bool HasWork() const = 0;
    virtual void ClearWork() = 0;
    // Under S().mu; handles one piece of work, and may unlock `lk` around a
    // callback (setting `calling` for the duration).
    virtual void RunOne(std::unique_lock<std::mutex>& lk) = 0;

    // Calls fn with lk released while `calling` names tag.
    template <class F> void CallOut(std::unique_lock<std::mutex>& lk, const void* tag, F&& fn)
    {
        calling = tag;
        callingThread = std::this_thread::get_id();
        lk.unlock();
        fn();
        lk.lock();
        calling = nullptr;
        callingThread = {};
        doneCv.notify_all();
    }

    // Under S().mu: work is being done for this service, by its thread or by
    // a caller (WaitIdle does not judge the platform idle meanwhile).
    bool Busy() const { return HasWork() || calling != nullptr; }

    const void* calling = nullptr;
    std::thread::id callingThread; // the thread in the callout

  private:
    void Loop();
    ThreadRec rec;
    std::thread th;
    std::thread::id id;
    bool running = false;
    bool stopping = false;
    std::condition_variable cv;
    std::condition_variable doneCv;
};

// ---- services owned elsewhere, stopped and cleared by Reset ----
void ResetDataEvents();
void ResetConfigNotify();
void ResetSync();
void ResetLogs();
void ResetContext();
void ResetPlatInfo();
void ResetThermal();
void ResetPsu();
void ResetClock();

} // namespace ktzplat::detail

#endif
