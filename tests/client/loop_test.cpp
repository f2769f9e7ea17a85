// libktzclient inside an event loop, against the scripted fake daemon: no
// call waits when asked not to (connecting, the hello, reconnecting), the
// descriptor, events and deadline a loop waits on, losses delivered after
// everything that came before them, requests that end as events, the socket
// folder check, and structures that can grow.
#include "backoff.h"
#include "client_fixture.h"
#include "socket_dir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <ktzclient/ktzclient.h>
#include <poll.h>
#include <pthread.h>
#include <string>
#include <sys/stat.h>
#include <vector>

using namespace ktzclient_test;

namespace
{

// The loop of the header: wait on the descriptor for what it asks, at most
// its deadline, then take every event. `pendingForm` is the other documented
// way: wait only while ktzc_pending says nothing is ready, one event per turn.
struct Loop
{
    int wakeups = 0;           // turns of the loop
    int64_t longestCallMs = 0; // the slowest ktzc_receive(c, 0, ...)
    std::vector<std::string> seen;
    std::vector<int> fds;     // every descriptor handed out, in order, without repeats
    ktzc_error end = KTZC_OK; // the error that ended the loop, if any
};

std::string Describe(const ktzc_event* ev)
{
    switch (ev->kind)
    {
    case KTZC_EVENT_MESSAGE: return "message " + std::to_string(ev->message->request_type);
    case KTZC_EVENT_CONNECTED: return "connected " + std::to_string(ev->client_id);
    case KTZC_EVENT_RECONNECTED: return "reconnected " + std::to_string(ev->client_id);
    case KTZC_EVENT_DISCONNECTED:
        return std::string("disconnected ") + ktzc_error_name(ev->error) + " " +
               std::to_string(ev->goodbye_reason);
    case KTZC_EVENT_REPLY:
        return "reply " + std::to_string(ev->reply->seq) + " " + ktzc_error_name(ev->reply->error);
    }
    return "?";
}

// Runs the loop for at most `ms` or until `done` says so after an event.
template <typename Done> Loop RunLoop(ktzc_client* c, int ms, Done done, bool pendingForm = false)
{
    Loop l;
    const int64_t end = NowMs() + ms;
    while (NowMs() < end && l.end == KTZC_OK)
    {
        const int left = static_cast<int>(end - NowMs());
        if (left <= 0)
        {
            break;
        }
        l.wakeups += 1;
        if (l.fds.empty() || l.fds.back() != ktzc_fd(c))
        {
            l.fds.push_back(ktzc_fd(c));
        }
        if (!pendingForm || ktzc_pending(c) == 0)
        {
            const int t = ktzc_timeout_ms(c);
            pollfd p{ktzc_fd(c), static_cast<short>(ktzc_fd_events(c)), 0};
            (void)::poll(&p, 1, t < 0 ? left : std::min(t, left));
        }
        ktzc_error e;
        do
        {
            const ktzc_event* ev = nullptr;
            const int64_t t0 = NowMs();
            e = ktzc_receive(c, 0, &ev);
            l.longestCallMs = std::max(l.longestCallMs, NowMs() - t0);
            if (e == KTZC_OK)
            {
                l.seen.push_back(Describe(ev));
                if (done(ev))
                {
                    return l;
                }
            }
        } while (e == KTZC_OK && !pendingForm);
        if (e != KTZC_OK && e != KTZC_ERR_TIMEOUT)
        {
            l.end = e;
            l.seen.push_back(std::string("error ") + ktzc_error_name(e));
        }
    }
    return l;
}

std::string Join(const std::vector<std::string>& v)
{
    std::string s;
    for (const auto& x : v)
    {
        s += (s.empty() ? "" : ", ") + x;
    }
    return s;
}

ktzc_client* NewRetrying(int connectTimeoutMs, int initialMs, int maxMs)
{
    ktzc_options o;
    ktzc_options_init(&o, sizeof o);
    o.connect_timeout_ms = connectTimeoutMs;
    o.reconnect = 1;
    o.retry_connect = 1;
    o.reconnect_initial_delay_ms = initialMs;
    o.reconnect_max_delay_ms = maxMs;
    return ktzc_new(&o);
}

} // namespace

// Connecting, the held-back welcome, the loss and a reconnect to a daemon
// that never welcomes: every ktzc_receive(c, 0, ...) returns at once, the
// loop wakes only when there is something to do, and the socket after the
// loss never has the number of the one before (an epoll loop re-registers
// when the number changes).
TEST_F(ClientTest, NothingWaitsInsideTheLoop)
{
    Child d;
    StartDaemon(&d, {"accept", "hello", "sleep 300", "welcome 3", "msg 0x100 0100000000000000", "sleep 200",
                     "close", "accept", "hello", "sleep 1500", "close"});
    Handle h{NewRetrying(500, 50, 100)};
    const int64_t t0 = NowMs();
    ASSERT_EQ(ktzc_start_unix(h.c, sock_.c_str()), KTZC_OK) << ktzc_error_text(h.c);
    EXPECT_LT(NowMs() - t0, 50);
    EXPECT_EQ(ktzc_get_state(h.c), KTZC_STATE_CONNECTING);
    EXPECT_GE(ktzc_fd(h.c), 0);
    EXPECT_NE(ktzc_fd_events(h.c) & KTZC_WANT_READ, 0);
    EXPECT_GT(ktzc_timeout_ms(h.c), 0);
    EXPECT_LE(ktzc_timeout_ms(h.c), 500);
    const int firstSocket = ktzc_fd(h.c);

    const Loop l = RunLoop(h.c, 1400, [](const ktzc_event*) { return false; });
    const std::string seen = Join(l.seen);
    EXPECT_EQ(seen.rfind("connected 3, message 256, disconnected connection closed 0", 0), 0u) << seen;
    EXPECT_LT(l.longestCallMs, 50) << seen;
    // Welcome, message, loss, attempts every 50 to 100 ms or so: tens of
    // wake-ups, not the thousands of a loop that spins.
    EXPECT_LT(l.wakeups, 100);
    EXPECT_TRUE(ktzc_get_state(h.c) == KTZC_STATE_CONNECTING || ktzc_get_state(h.c) == KTZC_STATE_WAITING);
    ASSERT_GE(l.fds.size(), 3u);
    EXPECT_EQ(l.fds[0], firstSocket);
    EXPECT_NE(l.fds[1], firstSocket) << "the timer while waiting";
    EXPECT_NE(l.fds[2], firstSocket) << "the next socket";
    EXPECT_EQ(std::count(l.fds.begin(), l.fds.end(), -1), 0);
}

// The first connect retries by option with the reconnect back-off; while it
// waits the descriptor is the handle's timer, which a loop that watches
// only the descriptor sees becoming readable when the attempt is due.
// Without the option the failure is reported once by receive.
TEST_F(ClientTest, AnAbsentDaemonIsWaitedForOnTheTimerDescriptor)
{
    {
        Handle once{New()};
        ASSERT_EQ(ktzc_start_unix(once.c, sock_.c_str()), KTZC_OK);
        const ktzc_event* ev = nullptr;
        EXPECT_EQ(ktzc_pending(once.c), 1);
        EXPECT_EQ(ktzc_timeout_ms(once.c), 0);
        EXPECT_EQ(ktzc_receive(once.c, 0, &ev), KTZC_ERR_CONNECT);
        EXPECT_EQ(ktzc_receive(once.c, 0, &ev), KTZC_ERR_NOT_CONNECTED);
        EXPECT_EQ(ktzc_fd(once.c), -1);
    }

    Handle h{NewRetrying(1000, 150, 300)};
    ASSERT_EQ(ktzc_start_unix(h.c, sock_.c_str()), KTZC_OK);
    EXPECT_EQ(ktzc_get_state(h.c), KTZC_STATE_WAITING);
    EXPECT_NE(std::string(ktzc_error_text(h.c)).find(sock_), std::string::npos) << ktzc_error_text(h.c);
    const int timer = ktzc_fd(h.c);
    ASSERT_GE(timer, 0);
    EXPECT_EQ(ktzc_fd_events(h.c), KTZC_WANT_READ);
    const int due = ktzc_timeout_ms(h.c);
    EXPECT_GT(due, 100); // 150 less at most a quarter
    EXPECT_LE(due, 150);
    pollfd p{timer, POLLIN, 0};
    const int64_t t0 = NowMs();
    ASSERT_EQ(::poll(&p, 1, 3000), 1);
    EXPECT_GE(NowMs() - t0, due - 5);
    const ktzc_event* ev = nullptr;
    EXPECT_EQ(ktzc_receive(h.c, 0, &ev), KTZC_ERR_TIMEOUT); // the attempt failed again
    EXPECT_EQ(ktzc_get_state(h.c), KTZC_STATE_WAITING);
    EXPECT_EQ(ktzc_fd(h.c), timer);
    EXPECT_EQ(::poll(&p, 1, 0), 0) << "the expiry was taken";

    Child d;
    StartDaemon(&d, {"accept", "hello", "welcome 5", "expect-eof"});
    const Loop l = RunLoop(h.c, kLineMs, [](const ktzc_event* e) { return e->kind == KTZC_EVENT_CONNECTED; });
    EXPECT_EQ(Join(l.seen), "connected 5");
}

// A client that was busy past the daemon's response limit finds, behind the
// capability query it never answered, the daemon's goodbye: the loop is
// handed the query, then the goodbye with its reason 8, whether the handle
// then stays disconnected or reconnects.
TEST_F(ClientTest, AGoodbyeBehindAnUnansweredQueryIsDelivered)
{
    for (const bool reconnect : {false, true})
    {
        SCOPED_TRACE(reconnect ? "reconnecting" : "not reconnecting");
        Child d;
        StartDaemon(&d, {"accept", "hello", "welcome 1", "sleep 100", "msg 0x200 - rsp=16 flags=1",
                         "bye 8 no response in time", "close", "sleep 3000"});
        Handle h{New(1, reconnect)};
        ASSERT_EQ(ktzc_connect_unix(h.c, sock_.c_str()), KTZC_OK) << ktzc_error_text(h.c);
        ASSERT_TRUE(d.WaitFor("closed", nullptr, kLineMs));
        const Loop l = RunLoop(
            h.c, 3000, [](const ktzc_event* e) { return e->kind == KTZC_EVENT_DISCONNECTED; }, true);
        EXPECT_EQ(Join(l.seen),
                  reconnect ? "message 512, disconnected goodbye 8" : "message 512, error goodbye");
        EXPECT_LT(l.wakeups, 10);
        const ktzc_event* ev = nullptr;
        EXPECT_EQ(ktzc_receive(h.c, 0, &ev), reconnect ? KTZC_ERR_TIMEOUT : KTZC_ERR_NOT_CONNECTED);
        uint32_t reason = 0;
        ASSERT_EQ(ktzc_goodbye(h.c, &reason, nullptr), 1);
        EXPECT_EQ(reason, KTZC_BYE_RESPONSE_TIMEOUT);
    }
}

// A frame that arrives in two parts with a pause between them: ktzc_pending
// stays false for the half that is in, so both documented loops sleep in
// poll() until the rest comes instead of spinning.
TEST_F(ClientTest, AFrameArrivingInPartsDoesNotWakeTheLoop)
{
    for (const bool pendingForm : {true, false})
    {
        SCOPED_TRACE(pendingForm ? "pending form" : "drain form");
        Child d;
        StartDaemon(&d, {"accept", "hello", "welcome 1", "raw 1c000000 1000 0000 01000000 03000000",
                         "sleep 600", "raw 00010000 00000000 00000000 0100000000000000", "expect-eof"});
        Handle h{New()};
        ASSERT_EQ(ktzc_connect_unix(h.c, sock_.c_str()), KTZC_OK) << ktzc_error_text(h.c);
        const int64_t t0 = NowMs();
        const Loop l = RunLoop(
            h.c, 3000, [](const ktzc_event* e) { return e->kind == KTZC_EVENT_MESSAGE; }, pendingForm);
        EXPECT_EQ(Join(l.seen), "message 256");
        EXPECT_GE(NowMs() - t0, 500);
        EXPECT_LT(l.wakeups, 10);
        EXPECT_LT(l.longestCallMs, 50);
    }
}

// The error text of a handle asked again and again stays the same text.
TEST(ClientApi, TheErrorTextDoesNotGrow)
{
    ktzc_client* c = ktzc_new(nullptr);
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(ktzc_connect_unix(c, "/nonexistent/ktzmond.sock"), KTZC_ERR_CONNECT);
    const ktzc_event* ev = nullptr;
    EXPECT_EQ(ktzc_receive(c, 0, &ev), KTZC_ERR_NOT_CONNECTED);
    const std::string first = ktzc_error_text(c);
    for (int i = 0; i < 1000; ++i)
    {
        (void)ktzc_receive(c, 0, &ev);
    }
    EXPECT_EQ(ktzc_error_text(c), first);
    EXPECT_LT(first.size(), 200u) << first;
    EXPECT_NE(first.find("/nonexistent/ktzmond.sock"), std::string::npos) << first;
    ktzc_free(c);
}

// Requests from a loop end as events: the reply, the time limit, or the
// loss of the connection (before the loss itself is reported).
TEST_F(ClientTest, RequestsFromALoopEndAsEvents)
{
    Child d;
    StartDaemon(&d, {"accept", "hello", "welcome 1", "request", "reply 0 03000000000000000000000000000000",
                     "request", "request", "sleep 400", "close", "sleep 3000"});
    Handle h{New(1, true)};
    ASSERT_EQ(ktzc_connect_unix(h.c, sock_.c_str()), KTZC_OK) << ktzc_error_text(h.c);
    uint32_t first = 0;
    ASSERT_EQ(ktzc_send_request(h.c, KTZC_REQUEST_CLASS, KTZC_MSG_CAPS_QUERY, nullptr, 0, 16, 5000, &first),
              KTZC_OK);
    Loop l = RunLoop(h.c, kLineMs, [](const ktzc_event* e) { return e->kind == KTZC_EVENT_REPLY; });
    ASSERT_EQ(Join(l.seen), "reply " + std::to_string(first) + " ok");

    uint32_t late = 0;
    uint32_t lost = 0;
    ASSERT_EQ(ktzc_send_request(h.c, KTZC_REQUEST_CLASS, KTZC_MSG_CAPS_QUERY, nullptr, 0, 16, 150, &late),
              KTZC_OK);
    ASSERT_EQ(ktzc_send_request(h.c, KTZC_REQUEST_CLASS, KTZC_MSG_CAPS_QUERY, nullptr, 0, 16, 5000, &lost),
              KTZC_OK);
    EXPECT_GT(ktzc_timeout_ms(h.c), 100);
    EXPECT_LE(ktzc_timeout_ms(h.c), 150);
    const int64_t t0 = NowMs();
    l = RunLoop(h.c, kLineMs, [](const ktzc_event* e) { return e->kind == KTZC_EVENT_DISCONNECTED; });
    EXPECT_EQ(Join(l.seen), "reply " + std::to_string(late) + " timeout, reply " + std::to_string(lost) +
                                " connection closed, disconnected connection closed 0");
    EXPECT_GE(NowMs() - t0, 350);
    EXPECT_EQ(ktzc_send_request(h.c, KTZC_REQUEST_CLASS, KTZC_MSG_CAPS_QUERY, nullptr, 0, 16, 100, nullptr),
              KTZC_ERR_NOT_CONNECTED);
    EXPECT_EQ(ktzc_send_request(h.c, KTZC_REQUEST_CLASS, KTZC_MSG_CAPS_QUERY, nullptr, 0, 16, 0, nullptr),
              KTZC_ERR_INVALID_ARGUMENT);
}

// A socket folder that other users may write is refused before connecting,
// and the refusal ends the retries at once.
TEST_F(ClientTest, AnUnsafeSocketFolderIsRefused)
{
    ASSERT_EQ(::chmod(dir_.c_str(), 0777), 0);
    Handle h{NewRetrying(1000, 50, 100)};
    EXPECT_EQ(ktzc_connect_unix(h.c, sock_.c_str()), KTZC_ERR_UNSAFE_PATH);
    const std::string why = ktzc_error_text(h.c);
    EXPECT_NE(why.find("refusing the socket folder " + dir_ +
                       ": users other than its owner may write it (mode 0777)"),
              std::string::npos)
        << why;
    ASSERT_EQ(ktzc_start_unix(h.c, sock_.c_str()), KTZC_OK);
    const ktzc_event* ev = nullptr;
    EXPECT_EQ(ktzc_receive(h.c, 0, &ev), KTZC_ERR_UNSAFE_PATH);
    EXPECT_EQ(ktzc_get_state(h.c), KTZC_STATE_IDLE);
    ASSERT_EQ(::chmod(dir_.c_str(), 0700), 0);
}

// The rule itself, for users other than the one running the test.
TEST_F(ClientTest, TheSocketFolderRule)
{
    const uid_t me = ::geteuid();
    const uid_t other = me == 0 ? 1 : me + 1;
    struct Case
    {
        const char* what;
        std::string path;
        uid_t uid;
        mode_t mode;
        bool trusted;
    };
    const std::vector<Case> cases = {
        {"own folder", sock_, me, 0700, true},
        {"own folder, group may write", sock_, me, 0770, false},
        {"own folder, everyone may write", sock_, me, 0777, false},
        {"everyone may write, sticky", sock_, me, 01777, false},
        {"another user's folder in a folder others may write", sock_, other, 0700, me == 0},
        {"root's folder", "/ktzmond.sock", other, 0, true},
        {"no such folder", dir_ + "/missing/d.sock", other, 0700, true},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.what);
        ASSERT_EQ(::chmod(dir_.c_str(), c.mode == 0 ? 0700 : c.mode), 0);
        std::string why;
        EXPECT_EQ(ktzclient::SocketDirTrusted(c.path, c.uid, &why), c.trusted) << why;
        EXPECT_EQ(why.empty(), c.trusted) << why;
    }
    ASSERT_EQ(::chmod(dir_.c_str(), 0700), 0);
}

TEST(ClientBackoff, DoublesToTheCeilingWithoutOverflow)
{
    ktzclient::Backoff b(100, 1000);
    for (const int e : {100, 200, 400, 800, 1000, 1000})
    {
        EXPECT_EQ(b.Next(0), e);
    }
    b.Reset();
    EXPECT_EQ(b.Next(25), 75);  // shortened by at most a quarter
    EXPECT_EQ(b.Next(51), 200); // 51 modulo 51: nothing off
    ktzclient::Backoff big(1 << 30, INT_MAX);
    EXPECT_EQ(big.Next(0), 1 << 30);
    EXPECT_EQ(big.Next(0), INT_MAX);
    EXPECT_EQ(big.Next(0), INT_MAX);
    ktzclient::Backoff flat(800, 100); // a ceiling below the first delay is raised to it
    EXPECT_EQ(flat.Next(0), 800);
    EXPECT_EQ(flat.Next(0), 800);
}

namespace
{

struct SmallStackRun
{
    std::string sock;
    ktzc_error connect = KTZC_ERR_IO;
    ktzc_error receive = KTZC_ERR_IO;
};

void* ConnectAndReceive(void* arg)
{
    auto* r = static_cast<SmallStackRun*>(arg);
    ktzc_client* c = ktzc_new(nullptr);
    r->connect = ktzc_connect_unix(c, r->sock.c_str());
    const ktzc_event* ev = nullptr;
    r->receive = ktzc_receive(c, kLineMs, &ev);
    ktzc_free(c);
    return nullptr;
}

} // namespace

// A client thread with a 64 KiB stack, as small embedded services give
// their threads, connects and receives (the message comes after the
// welcome, so that receiving reads the socket).
TEST_F(ClientTest, ReceivesOnASmallThreadStack)
{
    Child d;
    StartDaemon(&d,
                {"accept", "hello", "welcome 1", "sleep 100", "msg 0x100 0100000000000000", "expect-eof"});
    SmallStackRun run{sock_};
    pthread_attr_t attr;
    ASSERT_EQ(pthread_attr_init(&attr), 0);
    ASSERT_EQ(pthread_attr_setstacksize(&attr, 64 * 1024), 0);
    // A frame too large for the stack lands in this guard instead of
    // silently in whatever lies below.
    ASSERT_EQ(pthread_attr_setguardsize(&attr, 256 * 1024), 0);
    pthread_t t;
    ASSERT_EQ(pthread_create(&t, &attr, ConnectAndReceive, &run), 0);
    ASSERT_EQ(pthread_join(t, nullptr), 0);
    pthread_attr_destroy(&attr);
    EXPECT_EQ(run.connect, KTZC_OK);
    EXPECT_EQ(run.receive, KTZC_OK);
}

// Options and events carry their size: a caller built against another
// version of the header gets what its own structures hold.
TEST(ClientApi, StructuresCarryTheirSize)
{
    EXPECT_EQ(ktzc_version(), static_cast<uint32_t>(KTZC_VERSION));
    EXPECT_EQ(KTZC_VERSION, (KTZC_VERSION_MAJOR << 16) | (KTZC_VERSION_MINOR << 8) | KTZC_VERSION_PATCH);

    // Initialising an older, shorter structure writes nothing past its end.
    unsigned char bytes[sizeof(ktzc_options) + 16];
    std::memset(bytes, 0xaa, sizeof bytes);
    const size_t older = offsetof(ktzc_options, reconnect_max_attempts);
    ktzc_options_init(reinterpret_cast<ktzc_options*>(bytes), older);
    EXPECT_EQ(reinterpret_cast<ktzc_options*>(bytes)->struct_size, older);
    EXPECT_EQ(bytes[older], 0xaa);
    EXPECT_EQ(bytes[sizeof bytes - 1], 0xaa);

    // No header ever had fewer fields than the first version; a newer
    // caller's larger structure is taken, its unknown tail ignored.
    ktzc_options o;
    ktzc_options_init(&o, sizeof o);
    o.struct_size = offsetof(ktzc_options, retry_connect);
    EXPECT_EQ(ktzc_new(&o), nullptr);
    struct Newer
    {
        ktzc_options known;
        int future;
    } newer{};
    ktzc_options_init(&newer.known, sizeof newer);
    newer.known.connect_timeout_ms = 0; // still checked
    EXPECT_EQ(ktzc_new(&newer.known), nullptr);
    newer.known.connect_timeout_ms = 100;
    newer.future = 12345;
    ktzc_client* c = ktzc_new(&newer.known);
    ASSERT_NE(c, nullptr);
    ktzc_free(c);

    ktzc_event ev{};
    ev.struct_size = offsetof(ktzc_event, message);
    EXPECT_TRUE(KTZC_HAS_FIELD(&ev, ktzc_event, text));
    EXPECT_FALSE(KTZC_HAS_FIELD(&ev, ktzc_event, message));
    EXPECT_FALSE(KTZC_HAS_FIELD(static_cast<ktzc_event*>(nullptr), ktzc_event, kind));
}
