// The chassis feed on libktzclient (see feed.h).
#include "feed.h"

#include "ktzclient_decode.h"

#include <ktzmon/protocol.h>

#include <boost/asio/post.hpp>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ktzclient/ktzclient.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

namespace ktzredfish
{

std::string FeedTarget::Text() const
{
    if (host.empty())
    {
        return socketPath;
    }
    return (host.find(':') != std::string::npos ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

ChassisFeed::ChassisFeed(FeedTarget target, boost::asio::io_context& io, Service& svc, int retryFirstMs,
                         int retryMaxMs)
    : target_(std::move(target)), io_(io), svc_(svc), retryFirstMs_(retryFirstMs), retryMaxMs_(retryMaxMs)
{
}

ChassisFeed::~ChassisFeed()
{
    Stop();
}

bool ChassisFeed::Start(std::string* error)
{
    stopFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (stopFd_ < 0)
    {
        *error = std::string("eventfd: ") + std::strerror(errno);
        return false;
    }
    thread_ = std::thread([this] { Run(); });
    return true;
}

void ChassisFeed::Stop()
{
    if (thread_.joinable())
    {
        const uint64_t one = 1;
        (void)!::write(stopFd_, &one, sizeof one);
        thread_.join();
    }
    if (stopFd_ >= 0)
    {
        ::close(stopFd_);
        stopFd_ = -1;
    }
}

bool ChassisFeed::WaitStop(int fd, int ms, bool* readable)
{
    pollfd p[2] = {{stopFd_, POLLIN, 0}, {fd, POLLIN, 0}};
    const int n = ::poll(p, fd >= 0 ? 2 : 1, ms);
    if (readable != nullptr)
    {
        *readable = n > 0 && fd >= 0 && p[1].revents != 0;
    }
    return n > 0 && p[0].revents != 0;
}

void ChassisFeed::Post(std::function<void(Service&)> fn)
{
    inFlight_.fetch_add(1);
    boost::asio::post(io_,
                      [this, fn = std::move(fn)]
                      {
                          fn(svc_);
                          inFlight_.fetch_sub(1);
                      });
}

void ChassisFeed::Run()
{
    ktzc_options o;
    ktzc_options_init(&o);
    // Chassis log events reach only clients that say they take them.
    o.caps = KTZMON_CAP_BASE | KTZMON_CAP_VQ_LOG_EVT;
    o.name = "ktzmon-redfish";
    o.connect_timeout_ms = 3000;
    ktzc_client* c = ktzc_new(&o);
    if (c == nullptr)
    {
        std::fprintf(stderr, "ktzmon-redfish: out of memory for the daemon's client\n");
        return;
    }
    int delay = retryFirstMs_;
    bool waitingSaid = false;
    bool stop = false;
    while (!stop)
    {
        const ktzc_error e = target_.host.empty() ? ktzc_connect_unix(c, target_.socketPath.c_str())
                                                  : ktzc_connect_tcp(c, target_.host.c_str(), target_.port);
        if (e != KTZC_OK)
        {
            if (!waitingSaid)
            {
                std::fprintf(stderr, "ktzmon-redfish: waiting for the daemon at %s: %s\n",
                             target_.Text().c_str(), ktzc_error_text(c));
                waitingSaid = true;
            }
            stop = WaitStop(-1, delay, nullptr);
            delay = delay >= retryMaxMs_ / 2 ? retryMaxMs_ : delay * 2;
            continue;
        }
        std::fprintf(stderr, "ktzmon-redfish: connected to %s as client %u\n", target_.Text().c_str(),
                     ktzc_client_id(c));
        waitingSaid = false;
        delay = retryFirstMs_;
        Post([](Service& s) { s.FeedConnected(); });
        while (!stop)
        {
            // Back-pressure: let the I/O thread catch up first (the daemon
            // keeps what this client has not read, within its bound).
            while (inFlight_.load() > kMaxInFlight && !stop)
            {
                stop = WaitStop(-1, 1, nullptr);
            }
            if (ktzc_pending(c) == 0)
            {
                bool readable = false;
                stop = WaitStop(ktzc_fd(c), -1, &readable);
                if (stop || !readable)
                {
                    continue;
                }
            }
            ktzc_event ev;
            const ktzc_error r = ktzc_receive(c, 0, &ev);
            if (r == KTZC_ERR_TIMEOUT)
            {
                continue;
            }
            if (r != KTZC_OK)
            {
                std::fprintf(stderr, "ktzmon-redfish: connection to the daemon lost: %s\n",
                             ktzc_error_text(c));
                break;
            }
            if (ev.kind != KTZC_EVENT_MESSAGE)
            {
                continue; // the library's own reconnecting is off
            }
            const ktzc_message& m = ev.message;
            auto d = ktzclient::Decode(m.request_class, m.request_type, m.raw, m.raw_size);
            if (d.ok)
            {
                Post([msg = std::move(d.value)](Service& s) { s.FeedMessage(msg); });
            }
            else
            {
                std::fprintf(stderr, "ktzmon-redfish: ignored a message: %s\n", d.error.c_str());
                Post([](Service& s) { s.FeedDecodeFailed(); });
            }
        }
        Post([](Service& s) { s.FeedDisconnected(); });
        ktzc_close(c);
        if (!stop)
        {
            stop = WaitStop(-1, delay, nullptr);
        }
    }
    ktzc_free(c);
}

} // namespace ktzredfish
