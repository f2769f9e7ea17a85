// The chassis feed on libktzclient's event-loop interface (see feed.h).
#include "feed.h"

#include "ktzclient_decode.h"

#include <algorithm>
#include <boost/asio/post.hpp>
#include <cstdio>
#include <ktzclient/ktzclient.h>

namespace ktzredfish
{

namespace asio = boost::asio;

std::string FeedTarget::Text() const
{
    if (host.empty())
    {
        return socketPath;
    }
    return (host.find(':') != std::string::npos ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

ChassisFeed::ChassisFeed(FeedTarget target, asio::io_context& io, Service& svc, int retryFirstMs,
                         int retryMaxMs)
    : target_(std::move(target)), svc_(svc), retryFirstMs_(retryFirstMs), retryMaxMs_(retryMaxMs),
      watched_(io), timer_(io)
{
}

ChassisFeed::~ChassisFeed()
{
    Stop();
    if (client_ != nullptr)
    {
        ktzc_free(client_);
    }
}

bool ChassisFeed::Start(std::string* error)
{
    ktzc_options o;
    ktzc_options_init(&o, sizeof o);
    // Chassis log events reach only clients that say they take them.
    o.caps = KTZC_CAP_BASE | KTZC_CAP_LOG_EVENTS;
    o.name = "ktzmon-redfish";
    o.connect_timeout_ms = 3000;
    o.reconnect = 1;
    o.retry_connect = 1;
    o.reconnect_initial_delay_ms = retryFirstMs_;
    o.reconnect_max_delay_ms = std::max(retryFirstMs_, retryMaxMs_);
    client_ = ktzc_new(&o);
    if (client_ == nullptr)
    {
        *error = "cannot make the daemon's client (out of memory or descriptors)";
        return false;
    }
    Connect();
    return true;
}

void ChassisFeed::Connect()
{
    const ktzc_error e = target_.host.empty() ? ktzc_start_unix(client_, target_.socketPath.c_str())
                                              : ktzc_start_tcp(client_, target_.host.c_str(), target_.port);
    if (e != KTZC_OK)
    {
        std::fprintf(stderr, "ktzmon-redfish: cannot reach the daemon at %s: %s\n", target_.Text().c_str(),
                     ktzc_error_text(client_));
    }
    Watch();
}

void ChassisFeed::Stop()
{
    if (stopped_)
    {
        return;
    }
    stopped_ = true;
    ++generation_;
    timer_.cancel();
    if (watched_.is_open())
    {
        watched_.cancel();
        watched_.release();
    }
    if (client_ != nullptr)
    {
        ktzc_close(client_);
    }
}

void ChassisFeed::Watch()
{
    if (stopped_)
    {
        return;
    }
    const uint64_t gen = ++generation_;
    timer_.cancel();
    const int fd = ktzc_fd(client_);
    if (fd != watchedFd_)
    {
        // The library keeps an old socket's number taken until the new
        // descriptor exists, so the one released here is still its own.
        if (watched_.is_open())
        {
            watched_.cancel();
            watched_.release();
        }
        if (fd >= 0)
        {
            watched_.assign(fd);
        }
        watchedFd_ = fd;
    }
    else if (watched_.is_open())
    {
        watched_.cancel();
    }
    if (ktzc_get_state(client_) == KTZC_STATE_IDLE)
    {
        // The retries ended for good: start over after the longest delay.
        timer_.expires_after(std::chrono::milliseconds(retryMaxMs_));
        timer_.async_wait(
            [this, gen](const boost::system::error_code& ec)
            {
                if (!ec && gen == generation_)
                {
                    Connect();
                }
            });
        return;
    }
    const int timeout = ktzc_timeout_ms(client_);
    if (timeout == 0)
    {
        asio::post(timer_.get_executor(), [this, gen] { Pump(gen); });
        return;
    }
    auto wake = [this, gen](const boost::system::error_code& ec)
    {
        if (!ec)
        {
            Pump(gen);
        }
    };
    const int events = ktzc_fd_events(client_);
    if (fd >= 0 && (events & KTZC_WANT_READ) != 0)
    {
        watched_.async_wait(asio::posix::stream_descriptor::wait_read, wake);
    }
    if (fd >= 0 && (events & KTZC_WANT_WRITE) != 0)
    {
        watched_.async_wait(asio::posix::stream_descriptor::wait_write, wake);
    }
    if (timeout > 0)
    {
        timer_.expires_after(std::chrono::milliseconds(timeout));
        timer_.async_wait(wake);
    }
}

void ChassisFeed::Pump(uint64_t generation)
{
    if (stopped_ || generation != generation_)
    {
        return; // another wakeup of the same wait came first
    }
    const ktzc_event* ev = nullptr;
    ktzc_error e;
    while ((e = ktzc_receive(client_, 0, &ev)) == KTZC_OK)
    {
        Handle(*ev);
    }
    if (e != KTZC_ERR_TIMEOUT)
    {
        std::fprintf(stderr,
                     "ktzmon-redfish: the daemon at %s refused the service: %s; trying again in %d s\n",
                     target_.Text().c_str(), ktzc_error_text(client_), retryMaxMs_ / 1000);
        ktzc_close(client_);
    }
    else if (ktzc_get_state(client_) == KTZC_STATE_WAITING && !waitingSaid_)
    {
        std::fprintf(stderr, "ktzmon-redfish: waiting for the daemon at %s: %s\n", target_.Text().c_str(),
                     ktzc_error_text(client_));
        waitingSaid_ = true;
    }
    Watch();
}

void ChassisFeed::Handle(const ktzc_event& ev)
{
    switch (ev.kind)
    {
    case KTZC_EVENT_CONNECTED:
    case KTZC_EVENT_RECONNECTED:
        std::fprintf(stderr, "ktzmon-redfish: connected to %s as client %u\n", target_.Text().c_str(),
                     ev.client_id);
        waitingSaid_ = false;
        svc_.FeedConnected();
        break;
    case KTZC_EVENT_DISCONNECTED:
        std::fprintf(stderr, "ktzmon-redfish: connection to the daemon lost: %s\n", ev.text);
        waitingSaid_ = true; // the loss says it; the library reconnects
        svc_.FeedDisconnected();
        break;
    case KTZC_EVENT_MESSAGE:
    {
        const ktzc_message& m = *ev.message;
        const auto d = ktzclient::Decode(m.request_class, m.request_type, m.raw, m.raw_size);
        if (d.ok)
        {
            svc_.FeedMessage(d.value);
        }
        else
        {
            std::fprintf(stderr, "ktzmon-redfish: ignored a message: %s\n", d.error.c_str());
            svc_.FeedDecodeFailed();
        }
        break;
    }
    case KTZC_EVENT_REPLY: break;
    }
}

} // namespace ktzredfish
