// Scheduler core: the virtual clock and the `time` interposition, blocking
// waits on semaphores and events that follow the clock in force, tracking of
// platform threads for WaitIdle, and AdvanceClockMs/SetClock.
#include "internal.h"

#include <algorithm>
#include <chrono>
#include <ctime>

namespace ktzplat
{
namespace detail
{
Sched& S()
{
    // Never destroyed: threads may still use it while the process exits.
    static Sched* s = new Sched;
    return *s;
}

ThreadRec*& CurrentThreadRec()
{
    thread_local ThreadRec* rec = nullptr;
    return rec;
}

int64_t RealNowMs()
{
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

namespace
{
int64_t MonoNowMs()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

bool Ready(const Waitable* w)
{
    return w->kind == Waitable::Kind::Semaphore ? w->count > 0 : w->set;
}

void Consume(Waitable* w)
{
    if (w->kind == Waitable::Kind::Semaphore)
    {
        --w->count;
    }
    else if (!w->manual)
    {
        w->set = false;
    }
}

void Link(Sched& s, Waiter* w)
{
    w->prev = nullptr;
    w->next = s.waiters;
    if (s.waiters)
    {
        s.waiters->prev = w;
    }
    s.waiters = w;
}

void Unlink(Sched& s, Waiter* w)
{
    if (w->prev)
    {
        w->prev->next = w->next;
    }
    else
    {
        s.waiters = w->next;
    }
    if (w->next)
    {
        w->next->prev = w->prev;
    }
    w->prev = w->next = nullptr;
}

// A waiter that cannot return without outside action.
bool WaiterIdle(const Sched& s, const Waiter* w)
{
    if (Ready(w->obj))
    {
        return false;
    }
    if (!w->timed || !w->virtualDeadline)
    {
        return true;
    }
    return w->deadline > s.vnow.load(std::memory_order_relaxed);
}

bool AllIdle(const Sched& s, const ThreadRec* self)
{
    for (const ThreadRec* t : s.threads)
    {
        if (t == self)
        {
            continue;
        }
        switch (t->state)
        {
        case ThreadRec::State::Ended: break;
        case ThreadRec::State::Running: return false;
        case ThreadRec::State::Waiting:
            if (!WaiterIdle(s, t->waiter))
            {
                return false;
            }
            break;
        case ThreadRec::State::ServiceIdle:
            if (t->service && t->service->Busy())
            {
                return false;
            }
            break;
        }
    }
    return true;
}

// Wakes every virtual timed waiter whose deadline has come.
void WakeDue(Sched& s)
{
    int64_t now = s.vnow.load(std::memory_order_relaxed);
    for (Waiter* w = s.waiters; w; w = w->next)
    {
        if (w->timed && w->virtualDeadline && w->deadline <= now)
        {
            w->obj->cv.notify_all();
        }
    }
}

// Moves the virtual clock to `ms`, keeping each timed wait's remaining time.
void JumpVirtual(Sched& s, int64_t ms)
{
    int64_t now = s.vnow.load(std::memory_order_relaxed);
    for (Waiter* w = s.waiters; w; w = w->next)
    {
        if (w->timed && w->virtualDeadline)
        {
            w->deadline = ms + std::max<int64_t>(0, w->deadline - now);
        }
    }
    s.vnow.store(ms);
}

void SwitchToVirtual(Sched& s, int64_t ms)
{
    if (s.virt.load())
    {
        JumpVirtual(s, ms);
        return;
    }
    int64_t mono = MonoNowMs();
    for (Waiter* w = s.waiters; w; w = w->next)
    {
        if (!w->timed)
        {
            continue;
        }
        w->deadline = ms + std::max<int64_t>(0, w->deadline - mono);
        w->virtualDeadline = true;
        w->obj->cv.notify_all(); // leave the timed real wait for an untimed one
    }
    s.vnow.store(ms);
    s.virt.store(true);
}
} // namespace

void TrackThread(ThreadRec* rec)
{
    S().threads.push_back(rec);
}

void UntrackThread(ThreadRec* rec)
{
    Sched& s = S();
    s.threads.erase(std::remove(s.threads.begin(), s.threads.end(), rec), s.threads.end());
    s.idleCv.notify_all();
}

void MarkEnded(ThreadRec* rec)
{
    Sched& s = S();
    std::lock_guard<std::mutex> lk(s.mu);
    rec->state = ThreadRec::State::Ended;
    rec->waiter = nullptr;
    s.idleCv.notify_all();
}

int32_t WaitOn(Waitable* obj, int32_t timeoutMs)
{
    Sched& s = S();
    std::unique_lock<std::mutex> lk(s.mu);
    if (Ready(obj))
    {
        Consume(obj);
        s.idleCv.notify_all();
        return 0;
    }
    if (timeoutMs == 0)
    {
        return 1;
    }

    Waiter me;
    me.obj = obj;
    me.timed = timeoutMs > 0;
    if (me.timed)
    {
        me.virtualDeadline = s.virt.load();
        me.deadline = (me.virtualDeadline ? s.vnow.load() : MonoNowMs()) + timeoutMs;
    }
    Link(s, &me);
    ++obj->waiters;
    ThreadRec* self = CurrentThreadRec();
    ThreadRec::State prevState = ThreadRec::State::Running;
    Waiter* prevWaiter = nullptr;
    if (self)
    {
        prevState = self->state;
        prevWaiter = self->waiter;
        self->state = ThreadRec::State::Waiting;
        self->waiter = &me;
        s.idleCv.notify_all();
    }

    int32_t rc;
    for (;;)
    {
        if (Ready(obj))
        {
            Consume(obj);
            rc = 0;
            break;
        }
        if (!me.timed)
        {
            obj->cv.wait(lk);
        }
        else if (me.virtualDeadline)
        {
            if (s.vnow.load() >= me.deadline)
            {
                rc = 1;
                break;
            }
            obj->cv.wait(lk);
        }
        else
        {
            int64_t now = MonoNowMs();
            if (now >= me.deadline)
            {
                rc = 1;
                break;
            }
            obj->cv.wait_for(lk, std::chrono::milliseconds(me.deadline - now));
        }
    }

    Unlink(s, &me);
    --obj->waiters;
    if (self)
    {
        self->state = prevState;
        self->waiter = prevWaiter;
    }
    // Another waiter on the same object may have become idle by this consume.
    s.idleCv.notify_all();
    return rc;
}

void ResetClock()
{
    UseRealClock();
}
} // namespace detail

using namespace detail;

void UseVirtualClock(int64_t startSeconds)
{
    Sched& s = S();
    std::lock_guard<std::mutex> lk(s.mu);
    SwitchToVirtual(s, startSeconds * 1000);
    s.idleCv.notify_all();
}

void UseRealClock()
{
    Sched& s = S();
    std::lock_guard<std::mutex> lk(s.mu);
    if (!s.virt.load())
    {
        return;
    }
    int64_t mono = MonoNowMs();
    int64_t now = s.vnow.load();
    for (Waiter* w = s.waiters; w; w = w->next)
    {
        if (!w->timed)
        {
            continue;
        }
        w->deadline = mono + std::max<int64_t>(0, w->deadline - now);
        w->virtualDeadline = false;
        w->obj->cv.notify_all();
    }
    s.virt.store(false);
    s.idleCv.notify_all();
}

bool IsVirtualClock()
{
    return S().virt.load();
}

int64_t NowMs()
{
    Sched& s = S();
    return s.virt.load() ? s.vnow.load() : RealNowMs();
}

void SetClock(int64_t seconds)
{
    Sched& s = S();
    std::lock_guard<std::mutex> lk(s.mu);
    SwitchToVirtual(s, seconds * 1000);
}

bool WaitIdle(uint32_t timeoutMs)
{
    Sched& s = S();
    std::unique_lock<std::mutex> lk(s.mu);
    const ThreadRec* self = CurrentThreadRec();
    return s.idleCv.wait_for(lk, std::chrono::milliseconds(timeoutMs), [&] { return AllIdle(s, self); });
}

void AdvanceClockMs(int64_t ms)
{
    // Each step waits until the platform threads are idle. A build under a
    // sanitizer or an emulator on a loaded machine can take many seconds to
    // get there, and moving the clock on before it does would wake threads
    // out of order, so the wait goes on well past the point where a warning
    // is printed; only a real hang reaches the limit.
    constexpr uint32_t kIdleWarnMs = 10000;
    constexpr uint32_t kIdleLimitMs = 240000;
    Sched& s = S();
    if (!s.virt.load())
    {
        (void)std::fputs("libktzplatform: AdvanceClockMs ignored: the virtual clock is off\n", stderr);
        return;
    }
    int64_t target;
    {
        std::lock_guard<std::mutex> lk(s.mu);
        target = s.vnow.load() + std::max<int64_t>(0, ms);
    }
    auto idle = [&]
    {
        if (WaitIdle(kIdleWarnMs))
        {
            return;
        }
        (void)std::fputs(
            "libktzplatform: AdvanceClockMs: platform threads not idle after 10 s, still waiting\n", stderr);
        if (!WaitIdle(kIdleLimitMs - kIdleWarnMs))
        {
            (void)std::fputs("libktzplatform: AdvanceClockMs: platform threads did not become idle\n",
                             stderr);
        }
    };
    for (;;)
    {
        idle();
        std::lock_guard<std::mutex> lk(s.mu);
        if (!s.virt.load())
        {
            return;
        }
        WakeDue(s);
        int64_t now = s.vnow.load();
        bool found = false;
        int64_t next = 0;
        for (Waiter* w = s.waiters; w; w = w->next)
        {
            if (w->timed && w->virtualDeadline && w->deadline > now && (!found || w->deadline < next))
            {
                next = w->deadline;
                found = true;
            }
        }
        if (!found || next > target)
        {
            break;
        }
        s.vnow.store(next);
        WakeDue(s);
    }
    {
        std::lock_guard<std::mutex> lk(s.mu);
        if (s.vnow.load() < target)
        {
            s.vnow.store(target);
        }
        WakeDue(s);
    }
    idle();
}

} // namespace ktzplat

// Wall-clock seconds for every caller in the process: the virtual clock when
// it is on, else the real clock.
extern "C" time_t time(time_t* t) noexcept
{
    using namespace ktzplat::detail;
    Sched& s = S();
    int64_t ms = s.virt.load() ? s.vnow.load() : RealNowMs();
    int64_t sec = ms >= 0 ? ms / 1000 : -((-ms + 999) / 1000);
    auto r = static_cast<time_t>(sec);
    if (t)
    {
        *t = r;
    }
    return r;
}
