// libktzclient's C interface: options, handles, and the calls that wait.
// Every wait polls the handle's own descriptor with the events and the time
// limit the state machine names (connection.cpp), so a waiting call and an
// event loop see the same thing. Exceptions never cross the C boundary:
// every entry point catches them and reports an error code.
#include "connection.h"

#include <ktzmon/protocol.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>
#include <poll.h>
#include <sys/timerfd.h>
#include <sys/un.h>
#include <unistd.h>

namespace kt = ktztransport;
using Clock = ktzclient::detail::Clock;

static_assert(KTZC_WANT_READ == POLLIN && KTZC_WANT_WRITE == POLLOUT, "the wait events are poll's");
static_assert(KTZC_CAP_BASE == KTZMON_CAP_BASE && KTZC_CAP_LOG_EVENTS == KTZMON_CAP_VQ_LOG_EVT);
static_assert(KTZC_REQUEST_CLASS == KTZMON_REQ_CLASS && KTZC_MSG_KTZ_SETTING == KTZMON_REQ_KTZ_SETTING &&
              KTZC_MSG_SENSOR_DATA == KTZMON_REQ_SENSOR_DATA && KTZC_MSG_FRU == KTZMON_REQ_FRU_BY_NUM &&
              KTZC_MSG_DATA_SYNC_COMPLETE == KTZMON_REQ_DATA_SYNC_COMPLETE &&
              KTZC_MSG_LOG_EVENT == KTZMON_REQ_VQ_LOG_EVT && KTZC_MSG_CAPS_QUERY == KTZMON_REQ_GET_KTZ_CAPS);

namespace
{

constexpr int kDefaultConnectTimeoutMs = 5000;
constexpr int kDefaultInitialDelayMs = 100;
constexpr int kDefaultMaxDelayMs = 5000;
// The options of the first version of the structure end with retry_connect:
// a smaller struct_size comes from no header that ever existed.
constexpr size_t kMinOptionsSize = offsetof(ktzc_options, retry_connect) + sizeof(int);

ktzc_options Defaults()
{
    ktzc_options o{};
    o.struct_size = sizeof o;
    o.caps = KTZMON_CAP_BASE;
    o.connect_timeout_ms = kDefaultConnectTimeoutMs;
    o.reconnect_initial_delay_ms = kDefaultInitialDelayMs;
    o.reconnect_max_delay_ms = kDefaultMaxDelayMs;
    return o;
}

// Milliseconds left until `deadline`, or -1 for none; never below 0.
int Remaining(bool limited, Clock::time_point deadline)
{
    if (!limited)
    {
        return -1;
    }
    const auto us = std::chrono::duration_cast<std::chrono::microseconds>(deadline - Clock::now()).count();
    return us <= 0 ? 0 : static_cast<int>(std::min<long long>((us + 999) / 1000, 1 << 30));
}

// The shorter of two waits, -1 being none.
int Shorter(int a, int b)
{
    return a < 0 ? b : b < 0 ? a : std::min(a, b);
}

// Waits on the handle's descriptor at most `ms` (-1: no limit). False when a
// signal handler ran.
bool WaitOnce(ktzc_client* c, int ms)
{
    pollfd p{c->Fd(), static_cast<short>(c->FdEvents()), 0};
    const int r = ::poll(&p, 1, ms);
    return !(r < 0 && errno == EINTR);
}

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

ktzc_error Interrupted(ktzc_client* c)
{
    return c->Fail(KTZC_ERR_INTERRUPTED, "interrupted by a signal");
}

// Carries the connection on until `done` holds, the connection ends or
// `timeoutMs` passes (-1: no limit). For calls that need a connection.
template <typename Done> ktzc_error WaitConnected(ktzc_client* c, Done done, int timeoutMs, const char* what)
{
    const bool limited = timeoutMs >= 0;
    const auto deadline = Clock::now() + std::chrono::milliseconds(limited ? timeoutMs : 0);
    while (true)
    {
        c->Advance();
        if (done())
        {
            return KTZC_OK;
        }
        if (c->state != KTZC_STATE_CONNECTED)
        {
            return c->lastError != KTZC_OK ? c->lastError : c->Fail(KTZC_ERR_NOT_CONNECTED, "not connected");
        }
        const int left = Remaining(limited, deadline);
        if (left == 0)
        {
            return c->Fail(KTZC_ERR_TIMEOUT,
                           std::string(what) + " within " + std::to_string(timeoutMs) + " ms");
        }
        if (!WaitOnce(c, Shorter(left, c->InternalTimeoutMs())))
        {
            return Interrupted(c);
        }
    }
}

// A blocking connect: the first attempt, and with retry_connect the ones
// after it, until connected or given up.
ktzc_error ConnectAndWait(ktzc_client* c)
{
    c->blockingConnect = true;
    c->Start(false);
    while (true)
    {
        // Welcomed, even if the connection ended right behind the welcome:
        // that loss is reported by ktzc_receive after what came before it.
        if (c->welcomed)
        {
            c->blockingConnect = false;
            return KTZC_OK;
        }
        if (c->state == KTZC_STATE_IDLE)
        {
            c->blockingConnect = false;
            return c->lastError;
        }
        if (!WaitOnce(c, c->InternalTimeoutMs()))
        {
            // The attempts go on from the caller's next calls; their end is
            // reported by ktzc_receive, a welcome as KTZC_EVENT_CONNECTED.
            c->blockingConnect = false;
            c->announce = true;
            return Interrupted(c);
        }
        c->Advance();
    }
}

ktzc_error CheckUnixPath(ktzc_client* c, const char* path)
{
    if (path == nullptr || path[0] == '\0' || std::strlen(path) >= sizeof(sockaddr_un{}.sun_path))
    {
        return c->Fail(KTZC_ERR_INVALID_ARGUMENT, "socket path missing or longer than " +
                                                      std::to_string(sizeof(sockaddr_un{}.sun_path) - 1) +
                                                      " bytes");
    }
    if (c->state != KTZC_STATE_IDLE)
    {
        return c->Fail(KTZC_ERR_BUSY, "already connected or connecting");
    }
    return c->SetUnixAddress(path);
}

ktzc_error CheckTcpAddress(ktzc_client* c, const char* host, uint16_t port)
{
    if (host == nullptr || host[0] == '\0' || port == 0)
    {
        return c->Fail(KTZC_ERR_INVALID_ARGUMENT, "TCP address without a host or a port");
    }
    if (c->state != KTZC_STATE_IDLE)
    {
        return c->Fail(KTZC_ERR_BUSY, "already connected or connecting");
    }
    return c->SetTcpAddress(host, port);
}

ktzc_error Receive(ktzc_client* c, int timeoutMs, const ktzc_event** ev)
{
    const bool limited = timeoutMs >= 0;
    const auto deadline = Clock::now() + std::chrono::milliseconds(limited ? timeoutMs : 0);
    while (true)
    {
        if (!c->queue.empty())
        {
            *ev = c->Hand();
            return KTZC_OK;
        }
        if (c->pendingError != KTZC_OK)
        {
            const ktzc_error e = c->pendingError;
            c->pendingError = KTZC_OK;
            c->Fail(e, c->lastLoss);
            return e;
        }
        c->Advance();
        if (c->Pending())
        {
            continue;
        }
        if (c->state == KTZC_STATE_IDLE)
        {
            // The same text however often it is asked.
            return c->Fail(KTZC_ERR_NOT_CONNECTED,
                           c->lastLoss.empty() ? "not connected" : "not connected (" + c->lastLoss + ")");
        }
        const int left = Remaining(limited, deadline);
        if (left == 0)
        {
            // Nothing now: not an error of the handle, whose text keeps
            // saying why it waits (the last failed attempt, say).
            return KTZC_ERR_TIMEOUT;
        }
        if (!WaitOnce(c, Shorter(left, c->InternalTimeoutMs())))
        {
            return Interrupted(c);
        }
    }
}

} // namespace

extern "C"
{

    uint32_t ktzc_version(void)
    {
        return KTZC_VERSION;
    }

    void ktzc_options_init(ktzc_options* o, size_t struct_size)
    {
        if (o == nullptr || struct_size < sizeof(size_t))
        {
            return;
        }
        const ktzc_options d = Defaults();
        std::memcpy(o, &d, std::min(struct_size, sizeof d));
        o->struct_size = struct_size;
    }

    ktzc_client* ktzc_new(const ktzc_options* o)
    {
        ktzc_options opts = Defaults();
        if (o != nullptr)
        {
            if (o->struct_size < kMinOptionsSize)
            {
                return nullptr;
            }
            // Fields a newer header added past ours are not known here.
            std::memcpy(&opts, o, std::min(o->struct_size, sizeof opts));
            opts.struct_size = sizeof opts;
        }
        if (opts.connect_timeout_ms <= 0 || opts.reconnect_initial_delay_ms <= 0 ||
            opts.reconnect_max_delay_ms < opts.reconnect_initial_delay_ms || opts.reconnect_max_attempts < 0)
        {
            return nullptr;
        }
        const int timer = ::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
        if (timer < 0)
        {
            return nullptr;
        }
        try
        {
            return new ktzc_client(opts, timer);
        }
        catch (...)
        {
            ::close(timer);
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
        return Guard(c,
                     [&]
                     {
                         const ktzc_error e = CheckUnixPath(c, path);
                         return e != KTZC_OK ? e : ConnectAndWait(c);
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
                         const ktzc_error e = CheckTcpAddress(c, host, port);
                         return e != KTZC_OK ? e : ConnectAndWait(c);
                     });
    }

    ktzc_error ktzc_start_unix(ktzc_client* c, const char* path)
    {
        if (c == nullptr)
        {
            return KTZC_ERR_INVALID_ARGUMENT;
        }
        return Guard(c,
                     [&]
                     {
                         const ktzc_error e = CheckUnixPath(c, path);
                         if (e == KTZC_OK)
                         {
                             c->blockingConnect = false;
                             c->Start(true);
                         }
                         return e;
                     });
    }

    ktzc_error ktzc_start_tcp(ktzc_client* c, const char* host, uint16_t port)
    {
        if (c == nullptr)
        {
            return KTZC_ERR_INVALID_ARGUMENT;
        }
        return Guard(c,
                     [&]
                     {
                         const ktzc_error e = CheckTcpAddress(c, host, port);
                         if (e == KTZC_OK)
                         {
                             c->blockingConnect = false;
                             c->Start(true);
                         }
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
                        c->Close();
                        return KTZC_OK;
                    });
    }

    ktzc_state ktzc_get_state(const ktzc_client* c)
    {
        return c == nullptr ? KTZC_STATE_IDLE : c->state;
    }

    int ktzc_fd(const ktzc_client* c)
    {
        return c == nullptr ? -1 : c->Fd();
    }

    int ktzc_fd_events(const ktzc_client* c)
    {
        return c == nullptr ? 0 : c->FdEvents();
    }

    int ktzc_timeout_ms(const ktzc_client* c)
    {
        if (c == nullptr)
        {
            return -1;
        }
        return c->Pending() ? 0 : c->InternalTimeoutMs();
    }

    int ktzc_pending(const ktzc_client* c)
    {
        return c != nullptr && c->Pending() ? 1 : 0;
    }

    uint32_t ktzc_client_id(const ktzc_client* c)
    {
        return c == nullptr ? 0 : c->clientId;
    }

    const char* ktzc_daemon_name(const ktzc_client* c)
    {
        return c == nullptr ? "" : c->daemonName.c_str();
    }

    ktzc_error ktzc_receive(ktzc_client* c, int timeout_ms, const ktzc_event** ev)
    {
        if (c == nullptr)
        {
            return KTZC_ERR_INVALID_ARGUMENT;
        }
        if (ev == nullptr)
        {
            return c->Fail(KTZC_ERR_INVALID_ARGUMENT, "no event pointer to fill");
        }
        *ev = nullptr;
        return Guard(c, [&] { return Receive(c, timeout_ms, ev); });
    }

    ktzc_error ktzc_send_request(ktzc_client* c, uint32_t request_class, uint32_t request_type,
                                 const void* data, size_t size, uint32_t reply_size, int timeout_ms,
                                 uint32_t* seq)
    {
        if (c == nullptr)
        {
            return KTZC_ERR_INVALID_ARGUMENT;
        }
        return Guard(c,
                     [&]
                     {
                         if (reply_size > kt::kMaxReplySize || (data == nullptr && size != 0) ||
                             size > kt::kMaxBodySize - 16 || timeout_ms < 1)
                         {
                             return c->Fail(KTZC_ERR_INVALID_ARGUMENT,
                                            "request data, reply size or time limit out of range");
                         }
                         return c->SendRequest(request_class, request_type, data, size, reply_size, true,
                                               timeout_ms, seq);
                     });
    }

    ktzc_error ktzc_request(ktzc_client* c, uint32_t request_class, uint32_t request_type, const void* data,
                            size_t size, uint32_t reply_size, int timeout_ms, uint32_t* status, void* reply,
                            size_t* reply_len)
    {
        if (c == nullptr)
        {
            return KTZC_ERR_INVALID_ARGUMENT;
        }
        return Guard(
            c,
            [&]
            {
                if (reply_size > kt::kMaxReplySize || (data == nullptr && size != 0) ||
                    size > kt::kMaxBodySize - 16 || (reply == nullptr && reply_size != 0))
                {
                    return c->Fail(KTZC_ERR_INVALID_ARGUMENT, "request data or reply buffer out of range");
                }
                uint32_t seq = 0;
                ktzc_error e =
                    c->SendRequest(request_class, request_type, data, size, reply_size, false, 0, &seq);
                if (e != KTZC_OK)
                {
                    return e;
                }
                auto answered = [c, seq]
                {
                    const auto it = c->outstanding.find(seq);
                    return it != c->outstanding.end() && it->second.answered;
                };
                e = WaitConnected(c, answered, timeout_ms, "no reply");
                const auto it = c->outstanding.find(seq);
                if (e != KTZC_OK || it == c->outstanding.end())
                {
                    if (it != c->outstanding.end())
                    {
                        c->outstanding.erase(it); // a late reply is dropped quietly
                    }
                    return e;
                }
                const auto done = std::move(it->second);
                c->outstanding.erase(it);
                const size_t n = std::min<size_t>(done.data.size(), reply_size);
                if (n != 0)
                {
                    std::memcpy(reply, done.data.data(), n);
                }
                if (status != nullptr)
                {
                    *status = done.status;
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
                const auto t0 = Clock::now();
                ktzc_error e = c->SendPing(c->nextPingToken++);
                if (e == KTZC_OK)
                {
                    e = WaitConnected(
                        c, [c] { return c->pongIn; }, timeout_ms, "no pong");
                }
                c->awaitedToken = 0;
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
        case KTZC_ERR_BUSY: return "busy";
        case KTZC_ERR_INTERRUPTED: return "interrupted";
        case KTZC_ERR_UNSAFE_PATH: return "unsafe socket folder";
        }
        return "unknown error";
    }

    const char* ktzc_goodbye_reason_name(uint32_t reason)
    {
        return kt::GoodbyeReasonName(reason);
    }

} // extern "C"
