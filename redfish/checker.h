// Password checks on a worker thread of their own. crypt(3) spends
// milliseconds to tens of milliseconds per check by design; the I/O thread
// must not, so a check is queued here and its result posted back to the I/O
// thread. At most kMaxWaiting checks wait at once; more are refused, and the
// service answers those logins with 503 and Retry-After.
//
// Lock: `mu_` guards the queue and the stop flag, and is never held while
// crypt(3) runs or while posting.
#ifndef KTZREDFISH_CHECKER_H
#define KTZREDFISH_CHECKER_H

#include "service.h"

#include <boost/asio/io_context.hpp>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

namespace ktzredfish
{

class ThreadChecker : public PasswordChecker
{
  public:
    static constexpr size_t kMaxWaiting = 16;

    explicit ThreadChecker(boost::asio::io_context& io);
    ~ThreadChecker() override; // finishes the check under way, drops the rest
    ThreadChecker(const ThreadChecker&) = delete;
    ThreadChecker& operator=(const ThreadChecker&) = delete;

    bool Check(const std::string& hash, const std::string& password, std::function<void(bool)> done) override;

  private:
    struct Job
    {
        std::string hash;
        std::string password;
        std::function<void(bool)> done;
    };
    void Run();

    boost::asio::io_context& io_;
    std::mutex mu_;
    std::condition_variable cv_;
    std::deque<Job> jobs_;
    bool stop_ = false;
    std::thread thread_;
};

} // namespace ktzredfish

#endif
