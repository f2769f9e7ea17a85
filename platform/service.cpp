// Platform service threads (notification service, data-event delivery): a
// lazily started thread that drains a queue kept under the scheduler mutex,
// reports itself idle while the queue is empty, and lets callers wait until
// a callback in progress has returned.
#include "internal.h"

namespace ktzplat::detail
{

void Service::EnsureStarted()
{
    if (running)
    {
        return;
    }
    stopping = false;
    rec.state = ThreadRec::State::Running;
    rec.waiter = nullptr;
    rec.service = this;
    TrackThread(&rec);
    try
    {
        th = std::thread([this] { Loop(); });
    }
    catch (...)
    {
        UntrackThread(&rec);
        throw;
    }
    running = true;
}

bool Service::OnServiceThread() const
{
    return CurrentThreadRec() == &rec;
}

void Service::WaitNotCalling(std::unique_lock<std::mutex>& lk, const void* tag)
{
    if (!tag || OnServiceThread() || (calling == tag && callingThread == std::this_thread::get_id()))
    {
        return;
    }
    doneCv.wait(lk, [&] { return calling != tag; });
}

void Service::Loop()
{
    CurrentThreadRec() = &rec;
    Sched& s = S();
    std::unique_lock<std::mutex> lk(s.mu);
    for (;;)
    {
        if (stopping)
        {
            break;
        }
        if (HasWork())
        {
            rec.state = ThreadRec::State::Running;
            RunOne(lk);
            continue;
        }
        rec.state = ThreadRec::State::ServiceIdle;
        s.idleCv.notify_all();
        cv.wait(lk);
    }
    rec.state = ThreadRec::State::Ended;
    s.idleCv.notify_all();
}

void Service::Stop()
{
    Sched& s = S();
    {
        std::lock_guard<std::mutex> lk(s.mu);
        if (!running)
        {
            ClearWork();
            return;
        }
        if (OnServiceThread())
        {
            Fatal("a platform service was stopped from its own thread");
        }
        stopping = true;
        cv.notify_all();
    }
    th.join();
    std::lock_guard<std::mutex> lk(s.mu);
    UntrackThread(&rec);
    running = false;
    stopping = false;
    ClearWork();
}

} // namespace ktzplat::detail
