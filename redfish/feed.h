// The chassis feed: the one place that calls libktzclient. It keeps a
// connection to ktzmond as a client that takes chassis log events, on the
// service's I/O thread, without ever waiting there: the library's
// descriptor (its socket, or its timer while it waits to reconnect) and its
// time limit are watched by Asio, and the library is asked for its events
// only when one of them says so. The library connects, waits for a daemon
// that is not there and reconnects after a loss with the back-off of
// --retry-first and --retry-max; a daemon that refuses the service for good
// (its version, its credentials, an unsafe socket folder) is tried again
// after the longest delay. Every module message is decoded and handed to
// the Service.
//
// A daemon given by a host name (--connect NAME:PORT) is resolved once, when
// the feed starts; a numeric address needs no name service.
#ifndef KTZREDFISH_FEED_H
#define KTZREDFISH_FEED_H

#include "service.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/posix/stream_descriptor.hpp>
#include <boost/asio/steady_timer.hpp>
#include <cstdint>
#include <string>

struct ktzc_client;
struct ktzc_event;

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
    ChassisFeed(FeedTarget target, boost::asio::io_context& io, Service& svc, int retryFirstMs,
                int retryMaxMs);
    ~ChassisFeed(); // Stop()
    ChassisFeed(const ChassisFeed&) = delete;
    ChassisFeed& operator=(const ChassisFeed&) = delete;

    bool Start(std::string* error);
    // Says goodbye to the daemon and stops watching (nothing waits).
    void Stop();

  private:
    void Connect();
    // Watches what the library asks for next; a stale wakeup is told apart
    // by its generation.
    void Watch();
    // Takes every event the library has ready, then watches again.
    void Pump(uint64_t generation);
    void Handle(const ktzc_event& ev);

    FeedTarget target_;
    Service& svc_;
    int retryFirstMs_;
    int retryMaxMs_;
    ktzc_client* client_ = nullptr;
    // The library's descriptor, watched but not owned (released, never
    // closed, when it changes).
    boost::asio::posix::stream_descriptor watched_;
    int watchedFd_ = -1;
    boost::asio::steady_timer timer_;
    uint64_t generation_ = 0;
    bool stopped_ = false;
    bool waitingSaid_ = false;
};

} // namespace ktzredfish

#endif
