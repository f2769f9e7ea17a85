// A thread that runs jobs one at a time, in the order they were posted.
// ktzmond issues every module request on one of these, so that Load,
// Start-monitor, client connects and disconnects, client requests,
// Stop-monitor and Unload never overlap and never run on the I/O thread.
#ifndef KTZMOND_WORKER_H
#define KTZMOND_WORKER_H

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

namespace ktzmond
{

class Worker
{
  public:
    Worker() : thread_([this] { Run(); }) {}
    ~Worker() { Stop(); }
    Worker(const Worker&) = delete;
    Worker& operator=(const Worker&) = delete;

    void Post(std::function<void()> job)
    {
        {
            std::lock_guard<std::mutex> lock(mu_);
            jobs_.push_back(std::move(job));
        }
        cv_.notify_one();
    }
    // Runs the jobs already posted, then ends the thread.
    void Stop()
    {
        {
            std::lock_guard<std::mutex> lock(mu_);
            stopping_ = true;
        }
        cv_.notify_one();
        if (thread_.joinable())
        {
            thread_.join();
        }
    }
    size_t Backlog()
    {
        std::lock_guard<std::mutex> lock(mu_);
        return jobs_.size();
    }

  private:
    void Run()
    {
        std::unique_lock<std::mutex> lock(mu_);
        for (;;)
        {
            cv_.wait(lock, [this] { return stopping_ || !jobs_.empty(); });
            if (jobs_.empty())
            {
                return;
            }
            auto job = std::move(jobs_.front());
            jobs_.pop_front();
            lock.unlock();
            job();
            lock.lock();
        }
    }

    std::mutex mu_;
    std::condition_variable cv_;
    std::deque<std::function<void()>> jobs_;
    bool stopping_ = false;
    std::thread thread_;
};

} // namespace ktzmond

#endif
