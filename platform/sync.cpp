// Mutexes (error-checking, failing loudly on misuse), counting semaphores and
// auto- or manual-reset events. Semaphore and event waits go through the
// scheduler so that they follow the virtual clock and count as idle.
#include "internal.h"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <pthread.h>

namespace ktzplat
{
namespace
{
constexpr uint32_t kMutexMagic = 0x4B5A4D58u; // "KZMX"
constexpr uint32_t kSemMagic = 0x4B5A534Du;   // "KZSM"
constexpr uint32_t kEventMagic = 0x4B5A4556u; // "KZEV"
constexpr uint32_t kDeadMagic = 0xDEADDEADu;

// A per-thread id that is never 0, handed out on first use. Plain
// initial-exec TLS without a dynamic initialiser keeps the lookup to one load:
// every mutex lock and unlock asks for it. (The library is always loaded with
// the program, never opened later, so the static TLS model is available.)
__thread uint32_t t_selfId __attribute__((tls_model("initial-exec"))) = 0;

__attribute__((noinline)) uint32_t NewSelfId()
{
    static std::atomic<uint32_t> next{1};
    t_selfId = next.fetch_add(1);
    return t_selfId;
}

inline uint32_t SelfId()
{
    const uint32_t id = t_selfId;
    return id != 0 ? id : NewSelfId();
}

struct Mutex
{
    uint32_t magic = kMutexMagic;
    pthread_mutex_t m;
    std::atomic<uint32_t> owner{0};
};

Mutex* AsMutex(void* h, const char* who)
{
    auto* m = static_cast<Mutex*>(h);
    if (!m)
    {
        return nullptr;
    }
    if (m->magic != kMutexMagic)
    {
        detail::Fatal("%s(%p): not a live mutex", who, h);
    }
    return m;
}

detail::Waitable* AsWaitable(void* h, detail::Waitable::Kind kind, const char* who)
{
    auto* w = static_cast<detail::Waitable*>(h);
    if (!w)
    {
        return nullptr;
    }
    uint32_t want = kind == detail::Waitable::Kind::Semaphore ? kSemMagic : kEventMagic;
    if (w->magic != want || w->kind != kind)
    {
        detail::Fatal("%s(%p): not a live %s", who, h,
                      kind == detail::Waitable::Kind::Semaphore ? "semaphore" : "event");
    }
    return w;
}

void DestroyWaitable(void* h, detail::Waitable::Kind kind, const char* who)
{
    detail::Waitable* w = AsWaitable(h, kind, who);
    if (!w)
    {
        return;
    }
    {
        std::lock_guard<std::mutex> lk(detail::S().mu);
        if (w->waiters > 0)
        {
            detail::Fatal("%s(%p): destroyed while %d thread(s) wait on it", who, h, w->waiters);
        }
        w->magic = kDeadMagic;
    }
    delete w;
}
} // namespace

namespace detail
{
void ResetSync() {}
} // namespace detail
} // namespace ktzplat

using namespace ktzplat;

extern "C" void* SMMutexCreate(uint32_t)
{
    if (detail::FaultHit(Op::MutexCreate))
    {
        return nullptr;
    }
    return detail::NoThrow<void*>(nullptr,
                                  []
                                  {
                                      auto* m = new Mutex;
                                      pthread_mutexattr_t attr;
                                      pthread_mutexattr_init(&attr);
                                      // Misuse is caught by the owner word before
                                      // the pthread mutex is touched, so a plain
                                      // (fast) mutex is enough underneath.
                                      pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_NORMAL);
                                      int rc = pthread_mutex_init(&m->m, &attr);
                                      pthread_mutexattr_destroy(&attr);
                                      if (rc != 0)
                                      {
                                          delete m;
                                          return static_cast<void*>(nullptr);
                                      }
                                      return static_cast<void*>(m);
                                  });
}

namespace
{
// The timed wait, kept out of SMMutexLock so that the untimed lock every
// module path takes needs no stack frame of its own for it.
__attribute__((noinline)) int32_t TimedLock(Mutex* m, uint32_t self, int32_t timeoutMs)
{
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    ts.tv_sec += timeoutMs / 1000;
    ts.tv_nsec += static_cast<long>(timeoutMs % 1000) * 1000000L;
    if (ts.tv_nsec >= 1000000000L)
    {
        ts.tv_sec += 1;
        ts.tv_nsec -= 1000000000L;
    }
    const int rc = pthread_mutex_timedlock(&m->m, &ts);
    if (rc == EDEADLK)
    {
        detail::Fatal("SMMutexLock(%p): the owning thread locks it again", static_cast<void*>(m));
    }
    if (rc != 0)
    {
        return rc == ETIMEDOUT ? 1 : -1;
    }
    m->owner.store(self, std::memory_order_release);
    return 0;
}
} // namespace

extern "C" int32_t SMMutexLock(void* mutex, int32_t timeoutMs)
{
    Mutex* m = AsMutex(mutex, "SMMutexLock");
    if (!m)
    {
        return -1;
    }
    const uint32_t self = SelfId();
    if (m->owner.load(std::memory_order_relaxed) == self)
    {
        detail::Fatal("SMMutexLock(%p): the owning thread locks it again", mutex);
    }
    if (timeoutMs >= 0)
    {
        return TimedLock(m, self, timeoutMs);
    }
    const int rc = pthread_mutex_lock(&m->m);
    if (rc != 0)
    {
        return -1;
    }
    m->owner.store(self, std::memory_order_release);
    return 0;
}

extern "C" int32_t SMMutexUnLock(void* mutex)
{
    Mutex* m = AsMutex(mutex, "SMMutexUnLock");
    if (!m)
    {
        return -1;
    }
    if (m->owner.load(std::memory_order_relaxed) != SelfId())
    {
        detail::Fatal("SMMutexUnLock(%p): unlocked by a thread that does not hold it", mutex);
    }
    m->owner.store(0, std::memory_order_release);
    int rc = pthread_mutex_unlock(&m->m);
    if (rc != 0)
    {
        detail::Fatal("SMMutexUnLock(%p): %s", mutex, std::strerror(rc));
    }
    return 0;
}

extern "C" void SMMutexDestroy(void* mutex)
{
    Mutex* m = AsMutex(mutex, "SMMutexDestroy");
    if (!m)
    {
        return;
    }
    if (m->owner.load() != 0)
    {
        detail::Fatal("SMMutexDestroy(%p): destroyed while held", mutex);
    }
    int rc = pthread_mutex_destroy(&m->m);
    if (rc != 0)
    {
        detail::Fatal("SMMutexDestroy(%p): %s", mutex, std::strerror(rc));
    }
    m->magic = kDeadMagic;
    delete m;
}

extern "C" void* SMSemaphoreCreate(uint32_t initialCount, uint32_t)
{
    if (detail::FaultHit(Op::SemaphoreCreate))
    {
        return nullptr;
    }
    return detail::NoThrow<void*>(nullptr,
                                  [&]
                                  {
                                      auto* w = new detail::Waitable(detail::Waitable::Kind::Semaphore);
                                      w->magic = kSemMagic;
                                      w->count = initialCount;
                                      return static_cast<void*>(w);
                                  });
}

extern "C" int32_t SMSemaphoreAcquireWait(void* sem, int32_t timeoutMs)
{
    detail::Waitable* w = AsWaitable(sem, detail::Waitable::Kind::Semaphore, "SMSemaphoreAcquireWait");
    if (!w)
    {
        return -1;
    }
    return detail::WaitOn(w, timeoutMs);
}

extern "C" int32_t SMSemaphoreRelease(void* sem, int32_t count, int32_t* pPrevCount)
{
    detail::Waitable* w = AsWaitable(sem, detail::Waitable::Kind::Semaphore, "SMSemaphoreRelease");
    if (!w || count <= 0)
    {
        return -1;
    }
    std::lock_guard<std::mutex> lk(detail::S().mu);
    if (pPrevCount)
    {
        *pPrevCount = static_cast<int32_t>(w->count);
    }
    w->count += count;
    w->cv.notify_all();
    return 0;
}

extern "C" void SMSemaphoreDestroy(void* sem)
{
    DestroyWaitable(sem, detail::Waitable::Kind::Semaphore, "SMSemaphoreDestroy");
}

extern "C" void* SMEventCreate(uint32_t manualReset, uint32_t initialState, uint32_t)
{
    if (detail::FaultHit(Op::EventCreate))
    {
        return nullptr;
    }
    return detail::NoThrow<void*>(nullptr,
                                  [&]
                                  {
                                      auto* w = new detail::Waitable(detail::Waitable::Kind::Event);
                                      w->magic = kEventMagic;
                                      w->manual = manualReset != 0;
                                      w->set = initialState != 0;
                                      return static_cast<void*>(w);
                                  });
}

extern "C" int32_t SMEventWait(void* event, int32_t timeoutMs)
{
    detail::Waitable* w = AsWaitable(event, detail::Waitable::Kind::Event, "SMEventWait");
    if (!w)
    {
        return -1;
    }
    return detail::WaitOn(w, timeoutMs);
}

extern "C" int32_t SMEventSet(void* event)
{
    detail::Waitable* w = AsWaitable(event, detail::Waitable::Kind::Event, "SMEventSet");
    if (!w)
    {
        return -1;
    }
    std::lock_guard<std::mutex> lk(detail::S().mu);
    w->set = true;
    w->cv.notify_all();
    return 0;
}

extern "C" void SMEventDestroy(void* event)
{
    DestroyWaitable(event, detail::Waitable::Kind::Event, "SMEventDestroy");
}
