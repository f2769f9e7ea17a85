// The chassis feed: the one place that calls libktzclient. It connects to
// ktzmond as a client that takes chassis log events, decodes every module
// message and hands it to the Service on the I/O thread; a daemon that is
// not there (yet, or any more) is waited for with a doubling delay.
//
// The client library's calls block (connecting waits up to the connect
// timeout, receiving waits on the socket), and the I/O thread must never
// wait on the daemon, so the feed runs on a thread of its own and hands
// over through the I/O context's queue (boost::asio::post), which is the
// only lock between them. Messages not yet applied are bounded
// (kMaxInFlight): beyond that the feed stops reading, the daemon's queue
// for this client fills, and the daemon drops the client (too slow), which
// then reconnects and gets the whole picture again.
#ifndef KTZREDFISH_FEED_H
#define KTZREDFISH_FEED_H

#include "service.h"

#include <atomic>
#include <boost/asio/io_context.hpp>
#include <cstdint>
#include <string>
#include <thread>

namespace ktzredfish
{

struct FeedTarget
{
    std::string socketPath; // used when host is empty
    std::string host;
    uint16_t port = 0;
    std::string Text() const;
};

class ChassisFeed
{
  public:
    static constexpr int kMaxInFlight = 4096;

    ChassisFeed(FeedTarget target, boost::asio::io_context& io, Service& svc, int retryFirstMs,
                int retryMaxMs);
    ~ChassisFeed(); // Stop()
    ChassisFeed(const ChassisFeed&) = delete;
    ChassisFeed& operator=(const ChassisFeed&) = delete;

    bool Start(std::string* error);
    // Asks the thread to end and waits for it: at most about the connect
    // timeout (3 s) when it is connecting just then.
    void Stop();

  private:
    void Run();
    // Waits for the stop or `fd` readable, at most `ms` (negative: no limit);
    // true on the stop.
    bool WaitStop(int fd, int ms, bool* readable);
    void Post(std::function<void(Service&)> fn);

    FeedTarget target_;
    boost::asio::io_context& io_;
    Service& svc_;
    int retryFirstMs_;
    int retryMaxMs_;
    int stopFd_ = -1; // an eventfd
    std::atomic<int> inFlight_{0};
    std::thread thread_;
};

} // namespace ktzredfish

#endif
