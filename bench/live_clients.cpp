// Many connections read by one epoll thread (see live_clients.h).
#include "live_clients.h"

#include <ktzmon/protocol.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace ktzbench
{

using namespace ktztransport;

namespace
{

constexpr int kMaxEvents = 256;

std::string Errno(const char* what)
{
    return std::string(what) + ": " + std::strerror(errno);
}

bool SetNonBlocking(int fd)
{
    const int flags = ::fcntl(fd, F_GETFL);
    return flags >= 0 && ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

// Writes a small frame whole; the connection's send buffer is nearly empty
// (only a hello or a response ever goes this way), so a short write is a
// failure rather than something to wait for.
bool SendAll(int fd, const std::vector<uint8_t>& bytes, std::string* error)
{
    const ssize_t n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (n != static_cast<ssize_t>(bytes.size()))
    {
        *error = n < 0 ? Errno("send") : "short send";
        return false;
    }
    return true;
}

int MsUntil(int64_t deadlineNs)
{
    const int64_t left = deadlineNs - MonotonicNs();
    if (left <= 0)
    {
        return 0;
    }
    return static_cast<int>(std::min<int64_t>(left / 1000000 + 1, 1000));
}

} // namespace

int64_t MonotonicNs()
{
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

Receivers::Receivers() : epfd_(::epoll_create1(EPOLL_CLOEXEC)) {}

Receivers::~Receivers()
{
    CloseAll();
    if (epfd_ >= 0)
    {
        ::close(epfd_);
    }
}

void Receivers::CloseAll()
{
    for (auto& c : conns_)
    {
        if (c->fd >= 0)
        {
            ::close(c->fd);
        }
    }
    conns_.clear();
    synced_ = 0;
    reached_ = 0;
}

bool Receivers::Register(std::unique_ptr<Conn> c, std::string* error)
{
    if (epfd_ < 0)
    {
        *error = "epoll_create1 failed";
        ::close(c->fd);
        return false;
    }
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.ptr = c.get();
    if (!SetNonBlocking(c->fd) || ::epoll_ctl(epfd_, EPOLL_CTL_ADD, c->fd, &ev) != 0)
    {
        *error = Errno("epoll_ctl");
        ::close(c->fd);
        return false;
    }
    synced_ += c->synced ? 1 : 0;
    conns_.push_back(std::move(c));
    return true;
}

int Receivers::Connect(const std::string& path, std::string* error)
{
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
    {
        *error = Errno("socket");
        return -1;
    }
    // A blocking connect waits while the server's backlog is full; the send
    // timeout bounds that wait.
    timeval tv{5, 0};
    (void)::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0)
    {
        *error = Errno("connect");
        ::close(fd);
        return -1;
    }
    return fd;
}

bool Receivers::ConnectPlain(const std::string& path, std::string* error)
{
    auto c = std::make_unique<Conn>();
    c->synced = true;
    c->fd = Connect(path, error);
    return c->fd >= 0 && Register(std::move(c), error);
}

bool Receivers::ConnectClient(const std::string& path, uint32_t caps, std::string* error)
{
    auto c = std::make_unique<Conn>();
    c->caps = caps;
    c->fd = Connect(path, error);
    if (c->fd < 0)
    {
        return false;
    }
    // Version 2: the capabilities travel in the hello, so that clients
    // connecting by the thousand need not answer a query each in time.
    Hello h;
    h.name = "bench";
    h.maxVersion = kVersion2;
    h.caps = caps;
    std::vector<uint8_t> out;
    Encode(h, &out);
    if (!SendAll(c->fd, out, error))
    {
        ::close(c->fd);
        return false;
    }
    return Register(std::move(c), error);
}

bool Receivers::AddSynced(int fd, std::string* error)
{
    auto c = std::make_unique<Conn>();
    c->fd = fd;
    c->synced = true;
    return Register(std::move(c), error);
}

bool Receivers::HandleFrame(Conn& c, const Frame& f, std::string* error)
{
    switch (f.type)
    {
    case kWelcome:
    case kPing:
    case kPong: return true;
    case kGoodbye:
    {
        Goodbye g;
        std::string why;
        *error = std::string("goodbye from the daemon: ") +
                 (Parse(f, &g, &why) ? GoodbyeReasonName(g.reason) + (" " + g.text) : why);
        return false;
    }
    case kMessage: break;
    default: *error = "unexpected frame type " + std::to_string(f.type); return false;
    }
    Message m;
    if (!Parse(f, &m, error))
    {
        return false;
    }
    if (m.responseSize != 0)
    {
        // The capability query: the answer's first word is the capability set.
        Response r;
        r.seq = m.seq;
        r.data.assign(m.responseSize < 16 ? m.responseSize : 16, 0);
        if (r.data.size() >= 4)
        {
            PutLe32(r.data.data(), c.caps);
        }
        std::vector<uint8_t> out;
        Encode(r, &out);
        if (!SendAll(c.fd, out, error))
        {
            return false;
        }
    }
    if (m.requestType == KTZMON_REQ_DATA_SYNC_COMPLETE && !c.synced)
    {
        c.synced = true;
        ++synced_;
    }
    else if (m.requestType == KTZMON_REQ_VQ_LOG_EVT)
    {
        lastEventPayload_ = m.payload.size();
        if (++c.events == target_)
        {
            ++reached_;
            lastArrival_ = MonotonicNs();
        }
    }
    return true;
}

bool Receivers::ReadConn(Conn& c, std::string* error)
{
    for (int rounds = 0; rounds < 64; ++rounds)
    {
        uint8_t buf[16384];
        const ssize_t n = ::read(c.fd, buf, sizeof buf);
        if (n < 0 && (errno == EAGAIN || errno == EINTR))
        {
            return true;
        }
        if (n <= 0)
        {
            *error = n == 0 ? "the peer closed a connection" : Errno("read");
            return false;
        }
        if (!c.reader.Feed(buf, static_cast<size_t>(n)))
        {
            *error = "malformed stream: " + c.reader.Error();
            return false;
        }
        Frame f;
        while (c.reader.Next(&f))
        {
            if (!HandleFrame(c, f, error))
            {
                return false;
            }
        }
        if (static_cast<size_t>(n) < sizeof buf)
        {
            return true;
        }
    }
    return true; // more is left; epoll reports it again
}

bool Receivers::Pump(int timeoutMs, std::string* error)
{
    epoll_event evs[kMaxEvents];
    const int n = ::epoll_wait(epfd_, evs, kMaxEvents, timeoutMs);
    if (n < 0)
    {
        if (errno == EINTR)
        {
            return true;
        }
        *error = Errno("epoll_wait");
        return false;
    }
    for (int i = 0; i < n; ++i)
    {
        if (!ReadConn(*static_cast<Conn*>(evs[i].data.ptr), error))
        {
            return false;
        }
    }
    return true;
}

bool Receivers::WaitAllSynced(int64_t deadlineNs, std::string* error)
{
    while (synced_ < conns_.size())
    {
        if (MonotonicNs() >= deadlineNs)
        {
            *error = std::to_string(conns_.size() - synced_) + " of " + std::to_string(conns_.size()) +
                     " clients not synced in time";
            return false;
        }
        if (!Pump(MsUntil(deadlineNs), error))
        {
            return false;
        }
    }
    return true;
}

bool Receivers::WaitEvents(uint64_t count, int64_t deadlineNs, int64_t* lastArrivalNs, std::string* error)
{
    target_ = count;
    reached_ = 0;
    lastArrival_ = 0;
    for (const auto& c : conns_)
    {
        reached_ += c->events >= count ? 1 : 0;
    }
    while (reached_ < conns_.size())
    {
        if (MonotonicNs() >= deadlineNs)
        {
            *error = std::to_string(conns_.size() - reached_) + " of " + std::to_string(conns_.size()) +
                     " connections did not receive event " + std::to_string(count) + " in time";
            return false;
        }
        if (!Pump(MsUntil(deadlineNs), error))
        {
            return false;
        }
    }
    *lastArrivalNs = lastArrival_;
    return true;
}

bool Receivers::Drain(int64_t ns, std::string* error)
{
    const int64_t end = MonotonicNs() + ns;
    while (MonotonicNs() < end)
    {
        if (!Pump(MsUntil(end), error))
        {
            return false;
        }
    }
    return true;
}

} // namespace ktzbench
