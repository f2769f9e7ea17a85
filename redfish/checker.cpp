// The password-check worker.
#include "checker.h"

#include "accounts.h"

#include <boost/asio/post.hpp>
#include <openssl/crypto.h>

namespace ktzredfish
{

ThreadChecker::ThreadChecker(boost::asio::io_context& io) : io_(io)
{
    thread_ = std::thread([this] { Run(); });
}

ThreadChecker::~ThreadChecker()
{
    {
        std::lock_guard<std::mutex> lock(mu_);
        stop_ = true;
    }
    cv_.notify_one();
    thread_.join();
}

bool ThreadChecker::Check(const std::string& hash, const std::string& password,
                          std::function<void(bool)> done)
{
    {
        std::lock_guard<std::mutex> lock(mu_);
        if (jobs_.size() >= kMaxWaiting)
        {
            return false;
        }
        jobs_.push_back({hash, password, std::move(done)});
    }
    cv_.notify_one();
    return true;
}

void ThreadChecker::Run()
{
    while (true)
    {
        Job job;
        {
            std::unique_lock<std::mutex> lock(mu_);
            // Waits for a job or the stop; no time limit, the destructor
            // always wakes it.
            cv_.wait(lock, [this] { return stop_ || !jobs_.empty(); });
            if (stop_)
            {
                return;
            }
            job = std::move(jobs_.front());
            jobs_.pop_front();
        }
        const bool ok = VerifyPassword(job.hash, job.password);
        OPENSSL_cleanse(job.password.data(), job.password.size());
        boost::asio::post(io_, [done = std::move(job.done), ok] { done(ok); });
    }
}

} // namespace ktzredfish
