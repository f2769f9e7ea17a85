// libktzclient's connection state machine (see connection.h): attempts and
// back-off, the socket's reading and writing, losses, and what the caller
// waits on. Nothing here waits: sockets are non-blocking, a connect in
// progress is looked at with a poll of timeout 0, and the time limits are
// compared with the clock. Complete frames go to exchange.cpp as they are
// read, so a loss is reported only after every frame that arrived before
// it, a goodbye included, has been handled.
#include "connection.h"

#include "socket_dir.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/timerfd.h>
#include <sys/un.h>
#include <unistd.h>

namespace kt = ktztransport;

namespace
{

constexpr size_t kReadChunk = 64 * 1024;
// Reading stops after this much in one call, so that a flooding daemon
// cannot hold the caller's loop; the descriptor stays readable.
constexpr size_t kReadPerCall = 1024 * 1024;
// Output waiting for the socket: a daemon that reads nothing makes requests
// fail with KTZC_ERR_BUSY, and the connection is dropped when even the
// automatic answers do not fit.
constexpr size_t kMaxOutput = 2 * 1024 * 1024 + 64;

std::string Errno(const std::string& what, int err = errno)
{
    return what + ": " + std::strerror(err);
}

} // namespace

ktzc_client::ktzc_client(const ktzc_options& o, int timer)
    : opts(o), timerFd(timer), backoff(o.reconnect_initial_delay_ms, o.reconnect_max_delay_ms),
      rng(std::random_device{}()), inBuf(kReadChunk)
{
    if (o.name != nullptr)
    {
        name.assign(o.name, strnlen(o.name, kt::kMaxNameLength));
    }
    opts.name = nullptr; // the caller's pointer is not kept
}

ktzc_client::~ktzc_client()
{
    for (int fd : {sock, retired, timerFd})
    {
        if (fd >= 0)
        {
            ::close(fd);
        }
    }
}

ktzc_error ktzc_client::Fail(ktzc_error e, std::string why)
{
    lastError = e;
    errorText = std::move(why);
    return e;
}

std::string ktzc_client::Where() const
{
    return tcp ? path + ":" + std::to_string(port) : path;
}

// ---- addresses and attempts ---------------------------------------------------------------

ktzc_error ktzc_client::SetUnixAddress(const char* p)
{
    tcp = false;
    path = p;
    addrs.clear();
    haveAddress = true;
    return KTZC_OK;
}

ktzc_error ktzc_client::SetTcpAddress(const char* host, uint16_t p)
{
    tcp = true;
    path = host;
    port = p;
    addrs.clear();
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
    addrinfo* res = nullptr;
    const std::string service = std::to_string(port);
    // A numeric address never asks the name service; only a name waits for it.
    int gr = ::getaddrinfo(host, service.c_str(), &hints, &res);
    if (gr == EAI_NONAME)
    {
        hints.ai_flags = AI_NUMERICSERV;
        gr = ::getaddrinfo(host, service.c_str(), &hints, &res);
    }
    if (gr != 0)
    {
        return Fail(KTZC_ERR_CONNECT, "resolving " + path + ": " + gai_strerror(gr));
    }
    for (addrinfo* ai = res; ai != nullptr; ai = ai->ai_next)
    {
        ktzclient::detail::SockAddr a;
        std::memcpy(&a.addr, ai->ai_addr, std::min<size_t>(ai->ai_addrlen, sizeof a.addr));
        a.len = ai->ai_addrlen;
        addrs.push_back(a);
    }
    ::freeaddrinfo(res);
    if (addrs.empty())
    {
        return Fail(KTZC_ERR_CONNECT, "no address for " + path);
    }
    haveAddress = true;
    return KTZC_OK;
}

void ktzc_client::Start(bool announceWelcome)
{
    queue.clear();
    pendingError = KTZC_OK;
    lastLoss.clear();
    announce = announceWelcome;
    welcomed = false;
    reconnecting = false;
    failedAttempts = 0;
    backoff.Reset();
    BeginAttempt();
}

void ktzc_client::BeginAttempt()
{
    DisarmTimer();
    RetireSocket();
    reader = kt::FrameReader();
    out.clear();
    outPos = 0;
    writeBroken = false;
    writeError.clear();
    lastSeq = 0;
    clientId = 0;
    daemonName.clear();
    goodbyeSeen = false;
    goodbyeReason = 0;
    goodbyeText.clear();
    state = KTZC_STATE_CONNECTING;
    attemptDeadline = Clock::now() + std::chrono::milliseconds(opts.connect_timeout_ms);
    (void)Enqueue(BuildHello()); // sent once the connect completes

    if (tcp)
    {
        addrIndex = 0;
        TryTcpCandidate();
        return;
    }
    std::string why;
    if (!ktzclient::SocketDirTrusted(path, ::geteuid(), &why))
    {
        AttemptFailed(KTZC_ERR_UNSAFE_PATH, why);
        return;
    }
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::memcpy(a.sun_path, path.data(), std::min(path.size(), sizeof a.sun_path - 1));
    if (OpenSocket(AF_UNIX, reinterpret_cast<const sockaddr*>(&a), sizeof a, path))
    {
        ConnectCompleted();
    }
    else if (sock < 0)
    {
        AttemptFailed(KTZC_ERR_CONNECT, errorText);
    }
}

// Tries the TCP addresses from addrIndex on until one connects or is in
// progress; the attempt fails when none is left.
void ktzc_client::TryTcpCandidate()
{
    while (addrIndex < addrs.size())
    {
        const auto& a = addrs[addrIndex];
        if (OpenSocket(a.addr.ss_family, reinterpret_cast<const sockaddr*>(&a.addr), a.len, Where()))
        {
            ConnectCompleted();
            return;
        }
        if (sock >= 0)
        {
            return; // in progress: Advance looks at it
        }
        addrIndex += 1;
    }
    AttemptFailed(KTZC_ERR_CONNECT, errorText.empty() ? "no address for " + path : errorText);
}

// A new non-blocking socket connecting to `addr`. True when connected at
// once; false with sock >= 0 while in progress, with sock == -1 (and the
// error text) when it failed.
bool ktzc_client::OpenSocket(int family, const sockaddr* addr, socklen_t len, const std::string& where)
{
    const int fd = ::socket(family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
    {
        Fail(KTZC_ERR_IO, Errno("socket"));
        return false;
    }
    // The new socket exists: the old one's number can be given back now
    // without the new one taking it (see ktzc_fd in the header).
    if (retired >= 0)
    {
        ::close(retired);
        retired = -1;
    }
    sock = fd;
    sockConnected = false;
    if (::connect(fd, addr, len) == 0)
    {
        return true;
    }
    if (errno == EINPROGRESS || errno == EINTR)
    {
        return false;
    }
    Fail(KTZC_ERR_CONNECT, Errno("connecting to " + where));
    RetireSocket();
    return false;
}

void ktzc_client::ConnectCompleted()
{
    sockConnected = true;
    if (tcp)
    {
        const int one = 1;
        (void)::setsockopt(sock, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    }
    Flush();
}

void ktzc_client::AttemptFailed(ktzc_error e, std::string why)
{
    if (e == KTZC_ERR_PROTOCOL && sock >= 0)
    {
        std::vector<uint8_t> bye;
        kt::Encode(kt::Goodbye{kt::kByeProtocolError, why.substr(0, 200)}, &bye);
        (void)Enqueue(bye);
    }
    RetireSocket();
    failedAttempts += 1;
    // A daemon that refuses this client for its version or its credentials
    // will refuse it again; an unsafe folder stays unsafe.
    const bool refused = (e == KTZC_ERR_GOODBYE &&
                          (goodbyeReason == kt::kByeBadVersion || goodbyeReason == kt::kByeNotPermitted)) ||
                         e == KTZC_ERR_UNSAFE_PATH;
    const bool retrying = reconnecting || opts.retry_connect != 0;
    const bool limit = opts.reconnect_max_attempts > 0 && failedAttempts >= opts.reconnect_max_attempts;
    if (retrying && !refused && !limit)
    {
        Fail(e, std::move(why));
        EnterWaiting(backoff.Next(static_cast<uint32_t>(rng())));
        return;
    }
    if (retrying && limit && !refused)
    {
        why += " (after " + std::to_string(failedAttempts) + (reconnecting ? " reconnect" : " connect") +
               " attempts)";
    }
    state = KTZC_STATE_IDLE;
    reconnecting = false;
    lastLoss = why;
    Fail(e, std::move(why));
    if (!blockingConnect)
    {
        pendingError = e;
    }
}

// An established connection is gone.
void ktzc_client::Lost(ktzc_error e, std::string why)
{
    RetireSocket();
    EndRequests(e);
    awaitedToken = 0;
    lastLoss = why;
    Fail(e, why);
    if (opts.reconnect != 0 && haveAddress)
    {
        Item it;
        it.kind = KTZC_EVENT_DISCONNECTED;
        it.error = e;
        it.goodbyeReason = e == KTZC_ERR_GOODBYE ? goodbyeReason : 0;
        it.text = std::move(why);
        queue.push_back(std::move(it));
        reconnecting = true;
        announce = false;
        failedAttempts = 0;
        backoff.Reset();
        EnterWaiting(backoff.Next(static_cast<uint32_t>(rng())));
        return;
    }
    state = KTZC_STATE_IDLE;
    pendingError = e;
}

// Ends the connection after a fault of the daemon: a goodbye with the
// reason "protocol error" and the text, then close.
void ktzc_client::ProtocolError(const std::string& why)
{
    if (state == KTZC_STATE_CONNECTING)
    {
        AttemptFailed(KTZC_ERR_PROTOCOL, "answer to the hello: " + why);
        return;
    }
    std::vector<uint8_t> bye;
    kt::Encode(kt::Goodbye{kt::kByeProtocolError, why.substr(0, 200)}, &bye);
    (void)Enqueue(bye);
    Lost(KTZC_ERR_PROTOCOL, "protocol error from the daemon: " + why);
}

void ktzc_client::EnterWaiting(int delayMs)
{
    state = KTZC_STATE_WAITING;
    nextAttempt = Clock::now() + std::chrono::milliseconds(delayMs);
    itimerspec its{};
    its.it_value.tv_sec = delayMs / 1000;
    its.it_value.tv_nsec = static_cast<long>(delayMs % 1000) * 1000000L + 1; // never 0: that disarms
    (void)::timerfd_settime(timerFd, 0, &its, nullptr);
}

void ktzc_client::DisarmTimer()
{
    const itimerspec off{};
    (void)::timerfd_settime(timerFd, 0, &off, nullptr);
    uint64_t expirations = 0;
    (void)::read(timerFd, &expirations, sizeof expirations); // non-blocking: clears a due expiry
}

// The socket is shut down (the daemon sees the end of the connection) but
// its number stays taken until the next socket exists.
void ktzc_client::RetireSocket()
{
    if (sock < 0)
    {
        return;
    }
    Flush(); // a goodbye queued last goes out if the socket takes it now
    if (retired >= 0)
    {
        ::close(retired);
    }
    ::shutdown(sock, SHUT_RDWR);
    retired = sock;
    sock = -1;
    sockConnected = false;
    clientId = 0;
}

// ---- the work of one call -----------------------------------------------------------------

void ktzc_client::Advance()
{
    // A loss in this call leaves the state WAITING, never CONNECTING: the
    // caller sees the timer descriptor before the next socket.
    auto now = Clock::now();
    if (state == KTZC_STATE_WAITING && now >= nextAttempt)
    {
        BeginAttempt();
    }
    if (state == KTZC_STATE_CONNECTING && sock >= 0 && !sockConnected)
    {
        pollfd p{sock, POLLOUT, 0};
        if (::poll(&p, 1, 0) > 0)
        {
            int err = 0;
            socklen_t el = sizeof err;
            if (::getsockopt(sock, SOL_SOCKET, SO_ERROR, &err, &el) != 0)
            {
                err = errno;
            }
            if (err == 0)
            {
                ConnectCompleted();
            }
            else if (tcp)
            {
                Fail(KTZC_ERR_CONNECT, Errno("connecting to " + Where(), err));
                RetireSocket();
                addrIndex += 1;
                TryTcpCandidate();
            }
            else
            {
                AttemptFailed(KTZC_ERR_CONNECT, Errno("connecting to " + Where(), err));
            }
        }
    }
    if (sock >= 0 && sockConnected)
    {
        Flush();
        ReadAvailable();
    }
    now = Clock::now();
    if (state == KTZC_STATE_CONNECTING && now >= attemptDeadline)
    {
        AttemptFailed(KTZC_ERR_CONNECT, sockConnected ? "no welcome from the daemon within " +
                                                            std::to_string(opts.connect_timeout_ms) + " ms"
                                                      : "connecting to " + Where() + ": timed out");
    }
    if (state == KTZC_STATE_CONNECTED)
    {
        ExpireRequests(now);
    }
}

void ktzc_client::Flush()
{
    if (sock < 0 || !sockConnected)
    {
        return;
    }
    while (outPos < out.size() && !writeBroken)
    {
        const ssize_t n = ::send(sock, out.data() + outPos, out.size() - outPos, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0)
        {
            outPos += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
        {
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
        {
            return;
        }
        // The daemon is gone or going: what it sent before it went may still
        // be in the socket (a goodbye that says why), so reading goes on and
        // the end of the stream reports the loss.
        writeBroken = true;
        writeError = Errno("send");
    }
    out.clear();
    outPos = 0;
}

bool ktzc_client::Enqueue(const std::vector<uint8_t>& frame)
{
    if (writeBroken)
    {
        return true; // dropped: the read side will report why
    }
    if (out.size() - outPos + frame.size() > kMaxOutput)
    {
        return false;
    }
    out.insert(out.end(), frame.begin(), frame.end());
    Flush();
    return true;
}

void ktzc_client::ReadAvailable()
{
    size_t total = 0;
    while (sock >= 0 && total < kReadPerCall)
    {
        const ssize_t n = ::recv(sock, inBuf.data(), inBuf.size(), MSG_DONTWAIT);
        if (n > 0)
        {
            total += static_cast<size_t>(n);
            (void)reader.Feed(inBuf.data(), static_cast<size_t>(n)); // a refused header shows in DrainFrames
            DrainFrames();
            continue;
        }
        if (n < 0 && errno == EINTR)
        {
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
        {
            return;
        }
        const int err = n < 0 ? errno : 0;
        std::string why =
            n < 0 && err != ECONNRESET       ? Errno("recv", err)
            : reader.Pending() != 0          ? "the daemon closed the connection in the middle of a frame"
            : state == KTZC_STATE_CONNECTING ? "the daemon closed the connection before its welcome"
                                             : "the daemon closed the connection without a goodbye";
        if (!writeError.empty())
        {
            why += " (" + writeError + ")";
        }
        if (state == KTZC_STATE_CONNECTING)
        {
            AttemptFailed(KTZC_ERR_CONNECT, why);
        }
        else
        {
            Lost(n < 0 && err != ECONNRESET ? KTZC_ERR_IO : KTZC_ERR_CLOSED, why);
        }
        return;
    }
}

void ktzc_client::DrainFrames()
{
    kt::Frame f;
    while (sock >= 0 && reader.Next(&f))
    {
        if (state == KTZC_STATE_CONNECTING)
        {
            HandleWelcome(f);
        }
        else
        {
            HandleFrame(f);
        }
    }
    if (sock >= 0 && reader.Failed())
    {
        ProtocolError(reader.Error());
    }
}

// ---- what the caller waits for ------------------------------------------------------------

void ktzc_client::Close()
{
    if (sock >= 0 && state == KTZC_STATE_CONNECTED)
    {
        std::vector<uint8_t> bye;
        kt::Encode(kt::Goodbye{kt::kByeNormal, "client closes"}, &bye);
        (void)Enqueue(bye);
    }
    RetireSocket();
    DisarmTimer();
    state = KTZC_STATE_IDLE;
    haveAddress = false;
    reconnecting = false;
    outstanding.clear();
    awaitedToken = 0;
    queue.clear();
    pendingError = KTZC_OK;
}

int ktzc_client::Fd() const
{
    switch (state)
    {
    case KTZC_STATE_WAITING: return timerFd;
    case KTZC_STATE_CONNECTING:
    case KTZC_STATE_CONNECTED: return sock;
    case KTZC_STATE_IDLE: break;
    }
    return -1;
}

int ktzc_client::FdEvents() const
{
    if (state == KTZC_STATE_WAITING)
    {
        return KTZC_WANT_READ;
    }
    if (sock < 0)
    {
        return 0;
    }
    if (!sockConnected)
    {
        return KTZC_WANT_WRITE; // the connect's completion
    }
    return KTZC_WANT_READ | (outPos < out.size() && !writeBroken ? KTZC_WANT_WRITE : 0);
}

int ktzc_client::InternalTimeoutMs() const
{
    Clock::time_point due;
    switch (state)
    {
    case KTZC_STATE_IDLE: return -1;
    case KTZC_STATE_WAITING: due = nextAttempt; break;
    case KTZC_STATE_CONNECTING: due = attemptDeadline; break;
    case KTZC_STATE_CONNECTED:
    {
        bool any = false;
        for (const auto& [seq, o] : outstanding)
        {
            if (o.async && (!any || o.deadline < due))
            {
                due = o.deadline;
                any = true;
            }
        }
        if (!any)
        {
            return -1;
        }
        break;
    }
    }
    // Rounded up, so that a loop never wakes just before the time and spins.
    const auto us = std::chrono::duration_cast<std::chrono::microseconds>(due - Clock::now()).count();
    if (us <= 0)
    {
        return 0;
    }
    return static_cast<int>(std::min<long long>((us + 999) / 1000, 1 << 30));
}
