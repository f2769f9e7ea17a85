// Threads: SMThreadStart/SMThreadStop on std::thread, each tracked by the
// scheduler from before it starts until it is stopped.
#include "internal.h"

#include <algorithm>

namespace ktzplat
{
namespace
{
constexpr uint32_t kThreadMagic = 0x4B5A5448u; // "KZTH"

void Trampoline(detail::ThreadRec* rec)
{
    detail::CurrentThreadRec() = rec;
    try
    {
        rec->func(rec->arg);
    }
    catch (...)
    {
        detail::Fatal("an exception left a thread started with SMThreadStart");
    }
    detail::MarkEnded(rec);
    detail::CurrentThreadRec() = nullptr;
}
} // namespace

uint32_t LiveThreadCount()
{
    detail::Sched& s = detail::S();
    std::lock_guard<std::mutex> lk(s.mu);
    return static_cast<uint32_t>(std::count_if(s.threads.begin(), s.threads.end(),
                                               [](const detail::ThreadRec* t) { return !t->service; }));
}

} // namespace ktzplat

using namespace ktzplat;

extern "C" void* SMThreadStart(SMThreadFunc func, void* arg)
{
    if (detail::FaultHit(Op::ThreadStart) || !func)
    {
        return nullptr;
    }
    return detail::NoThrow<void*>(nullptr,
                                  [&]() -> void*
                                  {
                                      auto* rec = new detail::ThreadRec;
                                      rec->magic = kThreadMagic;
                                      rec->func = func;
                                      rec->arg = arg;
                                      detail::Sched& s = detail::S();
                                      std::lock_guard<std::mutex> lk(s.mu);
                                      try
                                      {
                                          detail::TrackThread(rec);
                                          rec->th = std::thread(Trampoline, rec);
                                      }
                                      catch (...)
                                      {
                                          detail::UntrackThread(rec);
                                          delete rec;
                                          return nullptr;
                                      }
                                      return rec;
                                  });
}

extern "C" int32_t SMThreadStop(void* thread)
{
    auto* rec = static_cast<detail::ThreadRec*>(thread);
    if (!rec)
    {
        return -1;
    }
    detail::Sched& s = detail::S();
    {
        std::lock_guard<std::mutex> lk(s.mu);
        if (std::find(s.threads.begin(), s.threads.end(), rec) == s.threads.end() ||
            rec->magic != kThreadMagic)
        {
            (void)std::fprintf(stderr, "libktzplatform: SMThreadStop(%p): not a running thread handle\n",
                               thread);
            return -1;
        }
        if (detail::CurrentThreadRec() == rec)
        {
            (void)std::fprintf(stderr, "libktzplatform: SMThreadStop(%p): a thread cannot stop itself\n",
                               thread);
            return -1;
        }
    }
    rec->th.join();
    {
        std::lock_guard<std::mutex> lk(s.mu);
        detail::UntrackThread(rec);
        rec->magic = 0;
    }
    delete rec;
    return 0;
}
