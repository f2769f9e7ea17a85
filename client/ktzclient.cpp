// libktzclient: the C client of ktzmond. A handle owns one stream socket,
// a frame reader and a queue of events read but not yet handed to the
// caller. Frames are read only inside the caller's calls; the capability
// query and the daemon's pings are answered as soon as they are read, even
// while the caller waits for something else. Exceptions never cross the C
// boundary: every entry point catches them and reports an error code.
#include "ktzclient_decode.h"

#include <ktzmon/protocol.h>

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <frame.h>
#include <ktzclient/ktzclient.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <new>
#include <poll.h>
#include <random>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace kt = ktztransport;
using Clock = std::chrono::steady_clock;

namespace
{

constexpr int kDefaultConnectTimeoutMs = 5000;
constexpr int kDefaultInitialDelayMs = 100;
constexpr int kDefaultMaxDelayMs = 5000;
constexpr size_t kReadChunk = 64 * 1024;

// One event read from the connection (or produced by a loss or reconnect),
// waiting to be handed to the caller.
struct Item
{
    ktzc_event_kind kind = KTZC_EVENT_MESSAGE;
    kt::Message msg;
    uint32_t answeredCaps = 0;
    ktzc_error error = KTZC_OK;
    uint32_t goodbyeReason = 0;
    std::string text;
    uint32_t clientId = 0;
};

// Milliseconds left until `deadline`, or -1 for none; never below 0.
int Remaining(bool hasDeadline, Clock::time_point deadline)
{
    if (!hasDeadline)
    {
        return -1;
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left <= 0 ? 0 : static_cast<int>(std::min<long long>(left, 1 << 30));
}

std::string Errno(const char* what)
{
    return std::string(what) + ": " + std::strerror(errno);
}

} // namespace

struct ktzc_client
{
    ktzc_options opts{};
    std::string name;

    // Where to connect (kept for reconnects).
    bool tcp = false;
    std::string path; // Unix socket, or TCP host
    uint16_t port = 0;
    bool haveAddress = false;

    int fd = -1;
    kt::FrameReader reader;
    uint32_t clientId = 0;
    std::string daemonName;
    uint32_t lastSeq = 0;
    uint32_t nextRequestSeq = 1;
    uint32_t nextPingToken = 1;

    // What a request or a ping in progress waits for.
    bool awaitingReply = false;
    uint32_t awaitedSeq = 0;
    bool replyIn = false;
    kt::Reply reply;
    bool awaitingPong = false;
    uint32_t awaitedToken = 0;
    bool pongIn = false;

    std::deque<Item> queue;

    // Storage behind the pointers of the last event handed out.
    Item current;
    ktzclient::Message decoded;
    std::string decodeError;
    std::string text;
    std::vector<const char*> argPointers;

    ktzc_error lastError = KTZC_OK;
    ktzc_error unreportedLoss = KTZC_OK;
    std::string errorText;
    bool goodbyeSeen = false;
    uint32_t goodbyeReason = 0;
    std::string goodbyeText;

    // Reconnecting after a loss.
    bool reconnecting = false;
    Clock::time_point nextAttempt;
    int delayMs = 0;
    int attempts = 0;
    std::minstd_rand rng{std::random_device{}()};

    ktzc_error Fail(ktzc_error e, std::string why)
    {
        lastError = e;
        errorText = std::move(why);
        return e;
    }

    void CloseSocket()
    {
        if (fd >= 0)
        {
            ::close(fd);
            fd = -1;
        }
        clientId = 0;
    }

    // Writes all of `bytes`, waiting for room at most the connect timeout.
    ktzc_error WriteAll(const std::vector<uint8_t>& bytes)
    {
        size_t done = 0;
        const auto deadline = Clock::now() + std::chrono::milliseconds(opts.connect_timeout_ms);
        while (done < bytes.size())
        {
            const ssize_t n = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
            if (n > 0)
            {
                done += static_cast<size_t>(n);
                continue;
            }
            if (n < 0 && errno == EINTR)
            {
                continue;
            }
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            {
                pollfd p{fd, POLLOUT, 0};
                const int r = ::poll(&p, 1, Remaining(true, deadline));
                if (r == 0)
                {
                    return Fail(KTZC_ERR_IO, "the daemon accepts no data: send timed out");
                }
                if (r < 0 && errno != EINTR)
                {
                    return Fail(KTZC_ERR_IO, Errno("poll"));
                }
                continue;
            }
            return Fail(errno == EPIPE || errno == ECONNRESET ? KTZC_ERR_CLOSED : KTZC_ERR_IO, Errno("send"));
        }
        return KTZC_OK;
    }

    // Ends the connection after a fault of the daemon: a goodbye with the
    // reason "protocol error" and the text, then close.
    ktzc_error ProtocolError(const std::string& why)
    {
        std::vector<uint8_t> out;
        kt::Encode(kt::Goodbye{kt::kByeProtocolError, why.substr(0, 200)}, &out);
        (void)WriteAll(out);
        return Lost(KTZC_ERR_PROTOCOL, "protocol error from the daemon: " + why);
    }

    // The connection is gone. With the reconnect option an established
    // connection turns into a DISCONNECTED event and a reconnect schedule.
    ktzc_error Lost(ktzc_error e, std::string why)
    {
        CloseSocket();
        awaitingReply = false;
        awaitingPong = false;
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
            attempts = 0;
            delayMs = opts.reconnect_initial_delay_ms;
            ScheduleAttempt();
        }
        else
        {
            unreportedLoss = e; // receive reports it once the events before it are handed out
        }
        return e;
    }

    void ScheduleAttempt()
    {
        // A random part of at most a quarter of the delay comes off it.
        const int quarter = delayMs / 4;
        const int jitter = quarter > 0 ? static_cast<int>(rng() % static_cast<unsigned>(quarter + 1)) : 0;
        nextAttempt = Clock::now() + std::chrono::milliseconds(delayMs - jitter);
    }

    ktzc_error Send(const std::vector<uint8_t>& out)
    {
        const ktzc_error e = WriteAll(out);
        if (e != KTZC_OK)
        {
            return Lost(e, errorText);
        }
        return KTZC_OK;
    }

    ktzc_error HandleMessage(const kt::Frame& f)
    {
        kt::Message m;
        std::string why;
        if (!kt::Parse(f, &m, &why))
        {
            return ProtocolError(why);
        }
        if (m.seq != lastSeq + 1)
        {
            return ProtocolError("message sequence number " + std::to_string(m.seq) + " after " +
                                 std::to_string(lastSeq));
        }
        lastSeq = m.seq;
        Item it;
        if (m.responseSize != 0)
        {
            // The module waits for this answer: send it now, whatever the
            // caller is doing. Only the capability query asks for data.
            kt::Response r;
            r.seq = m.seq;
            if (m.requestClass == KTZMON_REQ_CLASS && m.requestType == KTZMON_REQ_GET_KTZ_CAPS)
            {
                r.data.assign(KTZMON_CAPS_RSP_SIZE, 0);
                kt::PutLe32(r.data.data() + KTZMON_CAPS_RSP_OFF_CAPS, opts.caps);
                r.data.resize(std::min<size_t>(r.data.size(), m.responseSize));
                it.answeredCaps = opts.caps;
            }
            else
            {
                r.status = 1; // not served by this client
            }
            std::vector<uint8_t> out;
            kt::Encode(r, &out);
            const ktzc_error e = Send(out);
            if (e != KTZC_OK)
            {
                return e;
            }
        }
        it.kind = KTZC_EVENT_MESSAGE;
        it.msg = std::move(m);
        queue.push_back(std::move(it));
        return KTZC_OK;
    }

    ktzc_error HandleFrame(const kt::Frame& f)
    {
        std::string why;
        switch (f.type)
        {
        case kt::kMessage: return HandleMessage(f);
        case kt::kReply:
        {
            kt::Reply r;
            if (!kt::Parse(f, &r, &why))
            {
                return ProtocolError(why);
            }
            if (awaitingReply && r.seq == awaitedSeq)
            {
                reply = std::move(r);
                replyIn = true;
                awaitingReply = false;
                return KTZC_OK;
            }
            if (r.seq != 0 && r.seq < nextRequestSeq)
            {
                return KTZC_OK; // the late reply of a request that timed out
            }
            return ProtocolError("reply with sequence number " + std::to_string(r.seq) +
                                 " to no request of this client");
        }
        case kt::kPing:
        case kt::kPong:
        {
            kt::Ping p;
            if (!kt::Parse(f, &p, &why))
            {
                return ProtocolError(why);
            }
            if (f.type == kt::kPing)
            {
                std::vector<uint8_t> out;
                kt::EncodePong(p.token, &out);
                return Send(out);
            }
            if (awaitingPong && p.token == awaitedToken)
            {
                pongIn = true;
                awaitingPong = false;
            }
            return KTZC_OK; // a late pong of a ping that timed out
        }
        case kt::kGoodbye:
        {
            kt::Goodbye g;
            if (!kt::Parse(f, &g, &why))
            {
                return ProtocolError(why);
            }
            goodbyeSeen = true;
            goodbyeReason = g.reason;
            goodbyeText = g.text;
            return Lost(KTZC_ERR_GOODBYE,
                        "the daemon said goodbye: " + std::string(kt::GoodbyeReasonName(g.reason)) +
                            " (reason " + std::to_string(g.reason) + ")" +
                            (g.text.empty() ? "" : ": " + g.text));
        }
        default:
            return ProtocolError("unexpected frame of type 0x" +
                                 [&]
                                 {
                                     char b[8];
                                     std::snprintf(b, sizeof b, "%04x", f.type);
                                     return std::string(b);
                                 }() +
                                 " after the welcome");
        }
    }

    // Reads what the socket has, waiting at most `timeoutMs` (-1: no limit)
    // for the first byte, and handles every complete frame. KTZC_OK when
    // something was read.
    ktzc_error ReadSome(int timeoutMs)
    {
        pollfd p{fd, POLLIN, 0};
        const int r = ::poll(&p, 1, timeoutMs);
        if (r == 0)
        {
            return KTZC_ERR_TIMEOUT;
        }
        if (r < 0)
        {
            return errno == EINTR ? KTZC_ERR_TIMEOUT : Lost(KTZC_ERR_IO, Errno("poll"));
        }
        uint8_t buf[kReadChunk];
        const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n == 0)
        {
            return Lost(KTZC_ERR_CLOSED, reader.Pending() != 0
                                             ? "the daemon closed the connection in the middle of a frame"
                                             : "the daemon closed the connection without a goodbye");
        }
        if (n < 0)
        {
            if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)
            {
                return KTZC_OK;
            }
            return Lost(errno == ECONNRESET ? KTZC_ERR_CLOSED : KTZC_ERR_IO, Errno("recv"));
        }
        (void)reader.Feed(buf, static_cast<size_t>(n)); // a refused header shows in Drain
        return Drain();
    }

    // Connects to the stored address and performs the hello exchange.
    ktzc_error Connect()
    {
        CloseSocket();
        goodbyeSeen = false;
        goodbyeReason = 0;
        goodbyeText.clear();
        reader = kt::FrameReader();
        lastSeq = 0;
        const auto deadline = Clock::now() + std::chrono::milliseconds(opts.connect_timeout_ms);

        ktzc_error e = tcp ? OpenTcp(deadline) : OpenUnix(deadline);
        if (e != KTZC_OK)
        {
            CloseSocket();
            return e;
        }
        // Version 2 states the capability answer in the hello: the daemon
        // then answers the module's capability query without asking.
        kt::Hello h;
        h.maxVersion = kt::kHighestVersion;
        h.caps = opts.caps;
        h.requestedClientId = opts.client_id;
        h.name = name;
        std::vector<uint8_t> out;
        kt::Encode(h, &out);
        if (WriteAll(out) != KTZC_OK)
        {
            CloseSocket();
            return Fail(KTZC_ERR_CONNECT, "sending the hello: " + errorText);
        }
        while (true)
        {
            kt::Frame f;
            if (reader.Next(&f))
            {
                return Welcomed(f);
            }
            if (reader.Failed())
            {
                return ConnectFailed(KTZC_ERR_PROTOCOL, "answer to the hello: " + reader.Error());
            }
            pollfd p{fd, POLLIN, 0};
            const int r = ::poll(&p, 1, Remaining(true, deadline));
            if (r == 0)
            {
                return ConnectFailed(KTZC_ERR_CONNECT, "no welcome from the daemon within " +
                                                           std::to_string(opts.connect_timeout_ms) + " ms");
            }
            if (r < 0)
            {
                if (errno == EINTR)
                {
                    continue;
                }
                return ConnectFailed(KTZC_ERR_IO, Errno("poll"));
            }
            uint8_t buf[4096];
            const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
            if (n == 0)
            {
                return ConnectFailed(KTZC_ERR_CONNECT, "the daemon closed the connection before its welcome");
            }
            if (n < 0)
            {
                if (errno == EAGAIN || errno == EINTR)
                {
                    continue;
                }
                return ConnectFailed(KTZC_ERR_CONNECT, Errno("recv"));
            }
            (void)reader.Feed(buf, static_cast<size_t>(n));
        }
    }

    ktzc_error ConnectFailed(ktzc_error e, std::string why)
    {
        if (e == KTZC_ERR_PROTOCOL)
        {
            std::vector<uint8_t> out;
            kt::Encode(kt::Goodbye{kt::kByeProtocolError, why.substr(0, 200)}, &out);
            (void)WriteAll(out);
        }
        CloseSocket();
        return Fail(e, std::move(why));
    }

    // The daemon's first frame: a welcome, or a goodbye that refuses us.
    ktzc_error Welcomed(const kt::Frame& f)
    {
        std::string why;
        if (f.type == kt::kGoodbye)
        {
            kt::Goodbye g;
            if (!kt::Parse(f, &g, &why))
            {
                return ConnectFailed(KTZC_ERR_PROTOCOL, "answer to the hello: " + why);
            }
            goodbyeSeen = true;
            goodbyeReason = g.reason;
            goodbyeText = g.text;
            CloseSocket();
            return Fail(KTZC_ERR_GOODBYE,
                        "the daemon refused the connection: " + std::string(kt::GoodbyeReasonName(g.reason)) +
                            " (reason " + std::to_string(g.reason) + ")" +
                            (g.text.empty() ? "" : ": " + g.text));
        }
        kt::Welcome w;
        if (!kt::Parse(f, &w, &why))
        {
            return ConnectFailed(KTZC_ERR_PROTOCOL, "answer to the hello: " + why);
        }
        if (w.version < kt::kVersion || w.version > kt::kHighestVersion)
        {
            return ConnectFailed(KTZC_ERR_PROTOCOL, "the daemon chose protocol version " +
                                                        std::to_string(w.version) + ", this client speaks " +
                                                        std::to_string(kt::kVersion) + " to " +
                                                        std::to_string(kt::kHighestVersion));
        }
        clientId = w.clientId;
        daemonName = w.name;
        reader.SetMaxBodySize(std::min(w.maxBodySize, kt::kMaxBodySize));
        // Frames that came right behind the welcome stay in the reader and
        // are handled by the next call that reads.
        lastError = KTZC_OK;
        errorText.clear();
        return KTZC_OK;
    }

    // A non-blocking socket connected to `addr`, waiting until the deadline.
    ktzc_error OpenSocket(int family, const sockaddr* addr, socklen_t len, Clock::time_point deadline,
                          const std::string& where)
    {
        fd = ::socket(family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (fd < 0)
        {
            return Fail(KTZC_ERR_IO, Errno("socket"));
        }
        if (::connect(fd, addr, len) == 0)
        {
            return KTZC_OK;
        }
        if (errno != EINPROGRESS && errno != EINTR)
        {
            return Fail(KTZC_ERR_CONNECT, Errno(("connecting to " + where).c_str()));
        }
        pollfd p{fd, POLLOUT, 0};
        int r;
        do
        {
            r = ::poll(&p, 1, Remaining(true, deadline));
        } while (r < 0 && errno == EINTR);
        if (r <= 0)
        {
            return Fail(KTZC_ERR_CONNECT, "connecting to " + where + ": timed out");
        }
        int err = 0;
        socklen_t el = sizeof err;
        if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &el) != 0 || err != 0)
        {
            errno = err;
            return Fail(KTZC_ERR_CONNECT, Errno(("connecting to " + where).c_str()));
        }
        return KTZC_OK;
    }

    ktzc_error OpenUnix(Clock::time_point deadline)
    {
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        std::memcpy(a.sun_path, path.data(), path.size());
        return OpenSocket(AF_UNIX, reinterpret_cast<const sockaddr*>(&a), sizeof a, deadline, path);
    }

    ktzc_error OpenTcp(Clock::time_point deadline)
    {
        addrinfo hints{};
        hints.ai_family = AF_UNSPEC;
        hints.ai_socktype = SOCK_STREAM;
        addrinfo* res = nullptr;
        const std::string service = std::to_string(port);
        const int gr = ::getaddrinfo(path.c_str(), service.c_str(), &hints, &res);
        if (gr != 0)
        {
            return Fail(KTZC_ERR_CONNECT, "resolving " + path + ": " + gai_strerror(gr));
        }
        ktzc_error e = Fail(KTZC_ERR_CONNECT, "no address for " + path);
        for (addrinfo* ai = res; ai != nullptr; ai = ai->ai_next)
        {
            e = OpenSocket(ai->ai_family, ai->ai_addr, ai->ai_addrlen, deadline, path + ":" + service);
            if (e == KTZC_OK)
            {
                break;
            }
            CloseSocket();
        }
        ::freeaddrinfo(res);
        if (e == KTZC_OK)
        {
            const int one = 1;
            (void)::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        }
        return e;
    }

    // One reconnect attempt; on failure the next one is scheduled, or the
    // retries end with the attempt's error.
    ktzc_error TryReconnect()
    {
        const ktzc_error e = Connect();
        if (e == KTZC_OK)
        {
            reconnecting = false;
            Item it;
            it.kind = KTZC_EVENT_RECONNECTED;
            it.clientId = clientId;
            queue.push_back(std::move(it));
            return KTZC_OK;
        }
        attempts += 1;
        // A daemon that refuses this client for its version or its
        // credentials will refuse it again.
        const bool refused = e == KTZC_ERR_GOODBYE &&
                             (goodbyeReason == kt::kByeBadVersion || goodbyeReason == kt::kByeNotPermitted);
        if (refused || (opts.reconnect_max_attempts > 0 && attempts >= opts.reconnect_max_attempts))
        {
            reconnecting = false;
            return Fail(e, errorText +
                               (refused ? std::string()
                                        : " (after " + std::to_string(attempts) + " reconnect attempts)"));
        }
        delayMs = std::min(delayMs * 2, opts.reconnect_max_delay_ms);
        ScheduleAttempt();
        return KTZC_OK;
    }

    // Handles every complete frame already in the reader.
    ktzc_error Drain()
    {
        kt::Frame f;
        while (fd >= 0 && reader.Next(&f))
        {
            const ktzc_error e = HandleFrame(f);
            if (e != KTZC_OK)
            {
                return e;
            }
        }
        if (fd >= 0 && reader.Failed())
        {
            return ProtocolError(reader.Error());
        }
        return KTZC_OK;
    }

    // Reads until `done` holds, the connection is lost or `timeoutMs` passed
    // (-1: no limit).
    template <typename Done> ktzc_error WaitFor(Done done, int timeoutMs, const char* what)
    {
        const bool limited = timeoutMs >= 0;
        const auto deadline = Clock::now() + std::chrono::milliseconds(limited ? timeoutMs : 0);
        while (true)
        {
            ktzc_error e = Drain();
            if (e != KTZC_OK)
            {
                return e;
            }
            if (done())
            {
                return KTZC_OK;
            }
            if (fd < 0)
            {
                return Fail(KTZC_ERR_NOT_CONNECTED, "not connected");
            }
            const int left = Remaining(limited, deadline);
            e = ReadSome(left);
            if (e == KTZC_ERR_TIMEOUT)
            {
                if (left == 0)
                {
                    return Fail(KTZC_ERR_TIMEOUT,
                                std::string(what) + " within " + std::to_string(timeoutMs) + " ms");
                }
                continue;
            }
            if (e != KTZC_OK)
            {
                return e;
            }
        }
    }

    ktzc_error Receive(int timeoutMs, ktzc_event* ev)
    {
        const bool limited = timeoutMs >= 0;
        const auto deadline = Clock::now() + std::chrono::milliseconds(limited ? timeoutMs : 0);
        while (true)
        {
            if (!queue.empty())
            {
                Hand(ev);
                return KTZC_OK;
            }
            if (fd >= 0)
            {
                const ktzc_error e =
                    WaitFor([this] { return !queue.empty(); }, Remaining(limited, deadline), "no message");
                if (e != KTZC_OK && queue.empty())
                {
                    unreportedLoss = KTZC_OK;
                    return e;
                }
                continue;
            }
            if (unreportedLoss != KTZC_OK)
            {
                const ktzc_error e = unreportedLoss;
                unreportedLoss = KTZC_OK;
                lastError = e;
                return e;
            }
            if (!reconnecting)
            {
                return Fail(KTZC_ERR_NOT_CONNECTED,
                            "not connected" + (errorText.empty() ? std::string() : " (" + errorText + ")"));
            }
            const auto wait =
                std::chrono::duration_cast<std::chrono::milliseconds>(nextAttempt - Clock::now());
            if (wait.count() > 0)
            {
                const int left = Remaining(limited, deadline);
                if (left == 0)
                {
                    return Fail(KTZC_ERR_TIMEOUT,
                                "reconnecting: next attempt in " + std::to_string(wait.count()) + " ms");
                }
                std::this_thread::sleep_for(left < 0 ? wait
                                                     : std::min(wait, std::chrono::milliseconds(left)));
                continue;
            }
            const ktzc_error e = TryReconnect();
            if (e != KTZC_OK)
            {
                return e;
            }
        }
    }

    // Hands the first queued event to the caller; its texts and bytes live
    // in this handle until the next call.
    void Hand(ktzc_event* ev)
    {
        current = std::move(queue.front());
        queue.pop_front();
        *ev = ktzc_event{};
        ev->kind = current.kind;
        ev->client_id = current.kind == KTZC_EVENT_RECONNECTED ? current.clientId : clientId;
        ev->error = current.error;
        ev->goodbye_reason = current.goodbyeReason;
        ev->text = current.text.c_str();
        if (current.kind == KTZC_EVENT_MESSAGE)
        {
            FillMessage(&ev->message);
        }
    }

    void FillMessage(ktzc_message* m)
    {
        const kt::Message& w = current.msg;
        m->seq = w.seq;
        m->request_class = w.requestClass;
        m->request_type = w.requestType;
        m->response_size = w.responseSize;
        m->flags = w.flags;
        m->raw = w.payload.empty() ? nullptr : w.payload.data();
        m->raw_size = w.payload.size();
        m->type_name = ktzclient::RequestTypeName(w.requestType);
        m->answered_caps = current.answeredCaps;
        auto d = ktzclient::Decode(w.requestClass, w.requestType, m->raw, m->raw_size);
        argPointers.clear();
        if (!d.ok)
        {
            decoded = ktzclient::Message{};
            decodeError = d.error;
            text = std::string(m->type_name) + " MALFORMED: " + d.error;
            m->decoded = 0;
            m->decode_error = decodeError.c_str();
            m->text = text.c_str();
            return;
        }
        decoded = std::move(d.value);
        decodeError.clear();
        text = ktzclient::Describe(decoded);
        m->decoded = 1;
        m->decode_error = nullptr;
        m->text = text.c_str();
        if (const auto* k = std::get_if<ktzclient::KtzSetting>(&decoded.body))
        {
            m->u.ktz_setting.value = k->value;
            m->u.ktz_setting.changed = k->changed ? 1 : 0;
        }
        else if (const auto* s = std::get_if<ktzclient::SensorData>(&decoded.body))
        {
            ktzc_sensor_data& o = m->u.sensor;
            o.type = s->type;
            o.presence = s->presence;
            o.status = s->status;
            o.number = s->number;
            o.sensor_class = s->sensorClass;
            o.threshold_flags = s->thresholdFlags;
            o.raw_reading = s->rawReading;
            o.reading = s->Reading();
            o.has_thresholds = s->hasThresholds ? 1 : 0;
            o.lnc = s->lncThreshold;
            o.lc = s->lcThreshold;
            o.name = s->name.c_str();
        }
        else if (const auto* f = std::get_if<ktzclient::FruByNumber>(&decoded.body))
        {
            ktzc_fru& o = m->u.fru;
            o.kind = f->kind;
            o.bay = f->bay;
            o.data_offset = f->dataOffset;
            const size_t n = std::min(f->data.size(), sizeof o.data);
            o.data_length = static_cast<uint16_t>(n);
            std::memcpy(o.data, f->data.data(), n);
        }
        else if (const auto* e = std::get_if<ktzclient::LogEvent>(&decoded.body))
        {
            ktzc_log_event& o = m->u.log_event;
            std::copy(std::begin(e->values), std::end(e->values), o.values);
            o.message_id = e->messageId.c_str();
            o.has_args = e->hasArgs ? 1 : 0;
            for (const auto& a : e->args)
            {
                argPointers.push_back(a.c_str());
            }
            o.arg_count = argPointers.size();
            o.args = argPointers.empty() ? nullptr : argPointers.data();
            o.text = e->hasText ? e->text.c_str() : nullptr;
        }
    }
};

namespace
{

// Runs `f`, turning an escaping exception into an error code on the handle.
template <typename F> ktzc_error Guard(ktzc_client* c, F f)
{
    try
    {
        return f();
    }
    catch (const std::bad_alloc&)
    {
        return c->Fail(KTZC_ERR_NO_MEMORY, "out of memory");
    }
    catch (const std::exception& e)
    {
        return c->Fail(KTZC_ERR_IO, std::string("internal error: ") + e.what());
    }
    catch (...)
    {
        return c->Fail(KTZC_ERR_IO, "internal error");
    }
}

} // namespace

extern "C"
{

    void ktzc_options_init(ktzc_options* o)
    {
        if (o == nullptr)
        {
            return;
        }
        *o = ktzc_options{};
        o->caps = KTZMON_CAP_BASE;
        o->client_id = 0;
        o->name = nullptr;
        o->connect_timeout_ms = kDefaultConnectTimeoutMs;
        o->reconnect = 0;
        o->reconnect_initial_delay_ms = kDefaultInitialDelayMs;
        o->reconnect_max_delay_ms = kDefaultMaxDelayMs;
        o->reconnect_max_attempts = 0;
    }

    ktzc_client* ktzc_new(const ktzc_options* o)
    {
        ktzc_options opts;
        ktzc_options_init(&opts);
        if (o != nullptr)
        {
            opts = *o;
        }
        if (opts.connect_timeout_ms <= 0 || opts.reconnect_initial_delay_ms <= 0 ||
            opts.reconnect_max_delay_ms < opts.reconnect_initial_delay_ms || opts.reconnect_max_attempts < 0)
        {
            return nullptr;
        }
        try
        {
            auto* c = new ktzc_client;
            c->opts = opts;
            if (opts.name != nullptr)
            {
                c->name.assign(opts.name, strnlen(opts.name, kt::kMaxNameLength));
            }
            c->opts.name = nullptr; // the caller's pointer is not kept
            return c;
        }
        catch (...)
        {
            return nullptr;
        }
    }

    void ktzc_free(ktzc_client* c)
    {
        if (c == nullptr)
        {
            return;
        }
        ktzc_close(c);
        delete c;
    }

    ktzc_error ktzc_connect_unix(ktzc_client* c, const char* path)
    {
        if (c == nullptr)
        {
            return KTZC_ERR_INVALID_ARGUMENT;
        }
        return Guard(
            c,
            [&]
            {
                if (path == nullptr || path[0] == '\0' || std::strlen(path) >= sizeof(sockaddr_un{}.sun_path))
                {
                    return c->Fail(KTZC_ERR_INVALID_ARGUMENT,
                                   "socket path missing or longer than " +
                                       std::to_string(sizeof(sockaddr_un{}.sun_path) - 1) + " bytes");
                }
                if (c->fd >= 0)
                {
                    return c->Fail(KTZC_ERR_BUSY, "already connected");
                }
                c->queue.clear();
                c->unreportedLoss = KTZC_OK;
                c->reconnecting = false;
                c->tcp = false;
                c->path = path;
                const ktzc_error e = c->Connect();
                c->haveAddress = e == KTZC_OK;
                return e;
            });
    }

    ktzc_error ktzc_connect_tcp(ktzc_client* c, const char* host, uint16_t port)
    {
        if (c == nullptr)
        {
            return KTZC_ERR_INVALID_ARGUMENT;
        }
        return Guard(c,
                     [&]
                     {
                         if (host == nullptr || host[0] == '\0' || port == 0)
                         {
                             return c->Fail(KTZC_ERR_INVALID_ARGUMENT,
                                            "TCP address without a host or a port");
                         }
                         if (c->fd >= 0)
                         {
                             return c->Fail(KTZC_ERR_BUSY, "already connected");
                         }
                         c->queue.clear();
                         c->unreportedLoss = KTZC_OK;
                         c->reconnecting = false;
                         c->tcp = true;
                         c->path = host;
                         c->port = port;
                         const ktzc_error e = c->Connect();
                         c->haveAddress = e == KTZC_OK;
                         return e;
                     });
    }

    void ktzc_close(ktzc_client* c)
    {
        if (c == nullptr)
        {
            return;
        }
        (void)Guard(c,
                    [&]
                    {
                        if (c->fd >= 0)
                        {
                            std::vector<uint8_t> out;
                            kt::Encode(kt::Goodbye{kt::kByeNormal, "client closes"}, &out);
                            (void)c->WriteAll(out);
                        }
                        c->CloseSocket();
                        c->haveAddress = false;
                        c->reconnecting = false;
                        c->queue.clear();
                        c->unreportedLoss = KTZC_OK;
                        return KTZC_OK;
                    });
    }

    int ktzc_fd(const ktzc_client* c)
    {
        return c == nullptr ? -1 : c->fd;
    }

    int ktzc_pending(const ktzc_client* c)
    {
        return c != nullptr && (!c->queue.empty() || c->reader.Pending() != 0) ? 1 : 0;
    }

    uint32_t ktzc_client_id(const ktzc_client* c)
    {
        return c == nullptr ? 0 : c->clientId;
    }

    const char* ktzc_daemon_name(const ktzc_client* c)
    {
        return c == nullptr ? "" : c->daemonName.c_str();
    }

    ktzc_error ktzc_receive(ktzc_client* c, int timeout_ms, ktzc_event* ev)
    {
        if (c == nullptr)
        {
            return KTZC_ERR_INVALID_ARGUMENT;
        }
        if (ev == nullptr)
        {
            return c->Fail(KTZC_ERR_INVALID_ARGUMENT, "no event to fill");
        }
        return Guard(c, [&] { return c->Receive(timeout_ms, ev); });
    }

    ktzc_error ktzc_request(ktzc_client* c, uint32_t request_class, uint32_t request_type, const void* data,
                            size_t size, uint32_t reply_size, int timeout_ms, uint32_t* status, void* reply,
                            size_t* reply_len)
    {
        if (c == nullptr)
        {
            return KTZC_ERR_INVALID_ARGUMENT;
        }
        return Guard(c,
                     [&]
                     {
                         if (reply_size > kt::kMaxReplySize || (data == nullptr && size != 0) ||
                             size > kt::kMaxBodySize - 16 || (reply == nullptr && reply_size != 0))
                         {
                             return c->Fail(KTZC_ERR_INVALID_ARGUMENT,
                                            "request data or reply buffer out of range");
                         }
                         if (c->fd < 0)
                         {
                             return c->Fail(KTZC_ERR_NOT_CONNECTED, "not connected");
                         }
                         kt::Request r;
                         r.seq = c->nextRequestSeq++;
                         r.requestClass = request_class;
                         r.requestType = request_type;
                         r.replySize = reply_size;
                         if (size != 0)
                         {
                             const auto* p = static_cast<const uint8_t*>(data);
                             r.data.assign(p, p + size);
                         }
                         std::vector<uint8_t> out;
                         kt::Encode(r, &out);
                         c->replyIn = false;
                         c->awaitingReply = true;
                         c->awaitedSeq = r.seq;
                         ktzc_error e = c->Send(out);
                         if (e == KTZC_OK)
                         {
                             e = c->WaitFor([c] { return c->replyIn; }, timeout_ms, "no reply");
                         }
                         c->awaitingReply = false;
                         if (e != KTZC_OK)
                         {
                             return e;
                         }
                         const size_t n = std::min<size_t>(c->reply.data.size(), reply_size);
                         if (n != 0)
                         {
                             std::memcpy(reply, c->reply.data.data(), n);
                         }
                         if (status != nullptr)
                         {
                             *status = c->reply.status;
                         }
                         if (reply_len != nullptr)
                         {
                             *reply_len = n;
                         }
                         return KTZC_OK;
                     });
    }

    ktzc_error ktzc_request_caps(ktzc_client* c, int timeout_ms, uint32_t* status, uint32_t* caps)
    {
        uint8_t buf[KTZMON_CAPS_RSP_SIZE] = {};
        size_t len = 0;
        uint32_t st = 0;
        const ktzc_error e = ktzc_request(c, KTZMON_REQ_CLASS, KTZMON_REQ_GET_KTZ_CAPS, nullptr, 0,
                                          KTZMON_CAPS_RSP_SIZE, timeout_ms, &st, buf, &len);
        if (e != KTZC_OK)
        {
            return e;
        }
        if (status != nullptr)
        {
            *status = st;
        }
        if (st == 0 && len >= 4 && caps != nullptr)
        {
            *caps = kt::GetLe32(buf + KTZMON_CAPS_RSP_OFF_CAPS);
        }
        return KTZC_OK;
    }

    ktzc_error ktzc_ping(ktzc_client* c, int timeout_ms, uint32_t* rtt_us)
    {
        if (c == nullptr)
        {
            return KTZC_ERR_INVALID_ARGUMENT;
        }
        return Guard(
            c,
            [&]
            {
                if (c->fd < 0)
                {
                    return c->Fail(KTZC_ERR_NOT_CONNECTED, "not connected");
                }
                const uint32_t token = c->nextPingToken++;
                std::vector<uint8_t> out;
                kt::EncodePing(token, &out);
                const auto t0 = Clock::now();
                c->pongIn = false;
                c->awaitingPong = true;
                c->awaitedToken = token;
                ktzc_error e = c->Send(out);
                if (e == KTZC_OK)
                {
                    e = c->WaitFor([c] { return c->pongIn; }, timeout_ms, "no pong");
                }
                c->awaitingPong = false;
                if (e == KTZC_OK && rtt_us != nullptr)
                {
                    *rtt_us = static_cast<uint32_t>(
                        std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - t0).count());
                }
                return e;
            });
    }

    ktzc_error ktzc_last_error(const ktzc_client* c)
    {
        return c == nullptr ? KTZC_ERR_INVALID_ARGUMENT : c->lastError;
    }

    const char* ktzc_error_text(const ktzc_client* c)
    {
        return c == nullptr ? "no client handle" : c->errorText.c_str();
    }

    int ktzc_goodbye(const ktzc_client* c, uint32_t* reason, const char** text)
    {
        if (c == nullptr || !c->goodbyeSeen)
        {
            return 0;
        }
        if (reason != nullptr)
        {
            *reason = c->goodbyeReason;
        }
        if (text != nullptr)
        {
            *text = c->goodbyeText.c_str();
        }
        return 1;
    }

    const char* ktzc_error_name(ktzc_error e)
    {
        switch (e)
        {
        case KTZC_OK: return "ok";
        case KTZC_ERR_INVALID_ARGUMENT: return "invalid argument";
        case KTZC_ERR_CONNECT: return "cannot connect";
        case KTZC_ERR_TIMEOUT: return "timeout";
        case KTZC_ERR_GOODBYE: return "goodbye";
        case KTZC_ERR_CLOSED: return "connection closed";
        case KTZC_ERR_PROTOCOL: return "protocol error";
        case KTZC_ERR_NOT_CONNECTED: return "not connected";
        case KTZC_ERR_NO_MEMORY: return "out of memory";
        case KTZC_ERR_IO: return "input/output error";
        case KTZC_ERR_BUSY: return "already connected";
        }
        return "unknown error";
    }

    const char* ktzc_goodbye_reason_name(uint32_t reason)
    {
        return kt::GoodbyeReasonName(reason);
    }

} // extern "C"
