// The per-connection state machine of ktzmond without sockets: what it
// queues for the client for each kind of input, how it learns the client's
// capability answer, its bounds (queue, client frames, requests in flight),
// and how a Message that waits for a Response is completed.
#include <gtest/gtest.h>

#include <algorithm>
#include <session.h>

namespace
{

using namespace ktztransport;
using ktzmond::PendingResponse;
using ktzmond::Session;

class FakeDaemon : public ktzmond::SessionDelegate
{
  public:
    uint32_t Admit(const Hello& h, uint32_t* id, std::string* why) override
    {
        admitted += 1;
        if (refuseWith != 0)
        {
            *why = "refused";
            return refuseWith;
        }
        *id = h.requestedClientId != 0 ? h.requestedClientId : 42;
        return 0;
    }
    void Ready(uint32_t id) override { ready.push_back(id); }
    void Requested(const Request& r) override { requests.push_back(r); }
    int admitted = 0;
    uint32_t refuseWith = 0;
    std::vector<uint32_t> ready;
    std::vector<Request> requests;
};

// A version 2 hello (capabilities 0x1) unless a version 1 one is asked for.
std::vector<uint8_t> HelloBytes(uint32_t id = 0, uint16_t version = 2)
{
    std::vector<uint8_t> out;
    Encode(Hello{.maxVersion = version, .requestedClientId = id, .caps = version >= 2 ? 0x1u : 0u}, &out);
    return out;
}

// A socket that takes at most `budget` more bytes, as a full send buffer does.
class FakeSocket : public ktzmond::FrameSink
{
  public:
    size_t WriteNow(const uint8_t* data, size_t size) override
    {
        calls += 1;
        const size_t n = std::min(size, budget);
        wire.insert(wire.end(), data, data + n);
        budget -= n;
        return n;
    }
    size_t budget = 1 << 20;
    int calls = 0;
    std::vector<uint8_t> wire;
};

// What the client reads: the bytes the socket took at once (if there is
// one), then what the writer takes from the queue, decoded as one stream (a
// frame cut short fails it).
std::vector<Frame> Drain(Session& s, const FakeSocket* sock = nullptr)
{
    std::vector<uint8_t> bytes = sock != nullptr ? sock->wire : std::vector<uint8_t>{};
    const size_t direct = bytes.size();
    size_t frames = 0;
    while (s.HasOutput())
    {
        frames += s.TakeOutput(&bytes, 1 << 20);
    }
    s.Written(bytes.size() - direct, frames);
    FrameReader r;
    EXPECT_TRUE(r.Feed(bytes.data(), bytes.size()));
    std::vector<Frame> out;
    Frame f;
    while (r.Next(&f))
    {
        out.push_back(f);
    }
    EXPECT_EQ(r.Pending(), 0u) << "a frame was cut short";
    return out;
}

uint32_t GoodbyeReason(const Frame& f)
{
    Goodbye g;
    std::string e;
    return f.type == kGoodbye && Parse(f, &g, &e) ? g.reason : 0xFFFFFFFF;
}

TEST(Session, Version2HelloInSingleBytesIsWelcomedAndReadyOnce)
{
    FakeDaemon d;
    Session s(&d, {}, "test daemon");
    for (uint8_t b : HelloBytes())
    {
        s.Feed(&b, 1);
    }
    ASSERT_EQ(s.state(), Session::State::Open);
    ASSERT_EQ(d.ready, std::vector<uint32_t>{42});
    const auto out = Drain(s);
    ASSERT_EQ(out.size(), 1u);
    Welcome w;
    std::string e;
    ASSERT_TRUE(Parse(out[0], &w, &e)) << e;
    EXPECT_EQ(w.clientId, 42u);
    EXPECT_EQ(w.version, 2u);
    EXPECT_EQ(w.name, "test daemon");
    // The module's query is answered from the hello: 16 bytes, mask first.
    ASSERT_NE(s.capsAnswer(), nullptr);
    EXPECT_EQ(s.capsAnswer()->status, 0u);
    ASSERT_EQ(s.capsAnswer()->data.size(), 16u);
    EXPECT_EQ(GetLe32(s.capsAnswer()->data.data()), 0x1u);
}

// A version 1 client is asked by the session itself and is ready only once
// it answered; what it answered (a failure included) is what the module gets.
TEST(Session, Version1ClientIsAskedForItsCapsBeforeItIsReady)
{
    for (uint32_t status : {0u, 7u})
    {
        SCOPED_TRACE("answer status " + std::to_string(status));
        FakeDaemon d;
        Session s(&d, {}, "d");
        const auto h = HelloBytes(0, 1);
        s.Feed(h.data(), h.size());
        EXPECT_TRUE(s.AwaitingCapsAnswer());
        EXPECT_TRUE(d.ready.empty());
        EXPECT_EQ(s.capsAnswer(), nullptr);
        const auto out = Drain(s);
        ASSERT_EQ(out.size(), 2u);
        Welcome w;
        Message q;
        std::string e;
        ASSERT_TRUE(Parse(out[0], &w, &e)) << e;
        EXPECT_EQ(w.version, 1u);
        ASSERT_TRUE(Parse(out[1], &q, &e)) << e;
        EXPECT_EQ(q.requestType, 0x200u);
        EXPECT_EQ(q.responseSize, 16u);
        EXPECT_EQ(q.seq, s.capsQuerySeq());

        Response r{q.seq, status, std::vector<uint8_t>(status == 0 ? 16 : 0, 0)};
        if (status == 0)
        {
            r.data[0] = 3;
        }
        std::vector<uint8_t> bytes;
        Encode(r, &bytes);
        s.Feed(bytes.data(), bytes.size());
        EXPECT_EQ(d.ready, std::vector<uint32_t>{42});
        EXPECT_FALSE(s.AwaitingCapsAnswer());
        ASSERT_NE(s.capsAnswer(), nullptr);
        EXPECT_EQ(s.capsAnswer()->status, status);
        EXPECT_EQ(s.hasCaps(), status == 0);
        // The next message continues the sequence after the query.
        uint32_t seq = 0;
        ASSERT_EQ(s.QueueMessage(3, 0x100, nullptr, 0, true, 0, nullptr, &seq), Session::QueueResult::Queued);
        EXPECT_EQ(seq, q.seq + 1);
    }
}

// Inputs that break the conversation: each ends the session with a goodbye
// of the right reason, and nothing after it is acted on.
TEST(Session, BadInputEndsWithTheRightReason)
{
    struct Case
    {
        const char* what;
        std::vector<uint8_t> bytes;
        uint32_t reason;
        bool welcomedFirst;
    };
    std::vector<uint8_t> ping;
    EncodePing(7, &ping);
    std::vector<uint8_t> oversized = {0, 0, 0x20, 0, 0x01, 0, 0, 0}; // 2 MiB hello
    std::vector<uint8_t> reserved = {0, 0, 0, 0, 0x30, 0, 1, 0};
    std::vector<uint8_t> badMagic = HelloBytes();
    badMagic[8] = 'X';
    std::vector<uint8_t> helloThenGarbage = HelloBytes();
    helloThenGarbage.insert(helloThenGarbage.end(), {4, 0, 0, 0, 0x77, 0x77, 0, 0, 1, 2, 3, 4});
    std::vector<uint8_t> twoHellos = HelloBytes();
    const auto second = HelloBytes();
    twoHellos.insert(twoHellos.end(), second.begin(), second.end());
    std::vector<uint8_t> strayResponse = HelloBytes();
    Encode(Response{5, 0, {}}, &strayResponse);
    std::vector<uint8_t> bigReply = HelloBytes();
    {
        std::vector<uint8_t> body(16, 0);
        PutLe32(body.data() + 12, kMaxReplySize + 1);
        EncodeFrame(kRequest, body.data(), body.size(), &bigReply);
    }
    std::vector<uint8_t> newer;
    Encode(Hello{.minVersion = 3, .maxVersion = 4}, &newer);
    // A bad header right behind a whole frame, in the same write: noticed
    // at once, not when one more byte arrives.
    std::vector<uint8_t> helloThenBadHeader = HelloBytes();
    helloThenBadHeader.insert(helloThenBadHeader.end(), {0, 0, 0x20, 0, 0x30, 0, 0, 0});
    std::vector<uint8_t> pingThenReserved = HelloBytes();
    EncodePing(1, &pingThenReserved);
    pingThenReserved.insert(pingThenReserved.end(), {4, 0, 0, 0, 0x30, 0, 9, 0});
    // Client frames have their own small bound, a hello a smaller one.
    std::vector<uint8_t> bigRequest = HelloBytes();
    {
        std::vector<uint8_t> body(kMaxClientBodySize + 1, 0);
        PutLe32(body.data() + 12, 16);
        EncodeFrame(kRequest, body.data(), body.size(), &bigRequest);
    }
    std::vector<uint8_t> bigHello = HelloBytes();
    PutLe32(bigHello.data(), kMaxHelloBodySize + 1);
    std::vector<uint8_t> typeZero = HelloBytes();
    typeZero.insert(typeZero.end(), 8, 0);
    std::vector<uint8_t> unterminatedGoodbye = HelloBytes();
    const uint8_t byeText[5] = {0, 0, 0, 0, 'x'};
    EncodeFrame(kGoodbye, byeText, sizeof byeText, &unterminatedGoodbye);

    const std::vector<Case> cases = {
        {"a ping before the hello", ping, kByeProtocolError, false},
        {"an oversized frame", oversized, kByeProtocolError, false},
        {"a non-zero reserved field", reserved, kByeProtocolError, false},
        {"a hello without its magic", badMagic, kByeProtocolError, false},
        {"garbage after a valid hello", helloThenGarbage, kByeProtocolError, true},
        {"a second hello", twoHellos, kByeProtocolError, true},
        {"a response to no message", strayResponse, kByeProtocolError, true},
        {"a reply buffer over the limit", bigReply, kByeProtocolError, true},
        {"no common version", newer, kByeBadVersion, false},
        {"a hello and a bad header in one write", helloThenBadHeader, kByeProtocolError, true},
        {"a ping and a reserved-field header in one write", pingThenReserved, kByeProtocolError, true},
        {"a client frame over its bound", bigRequest, kByeProtocolError, true},
        {"a hello over its bound", bigHello, kByeProtocolError, false},
        {"a frame of type 0", typeZero, kByeProtocolError, true},
        {"a goodbye without its NUL", unterminatedGoodbye, kByeProtocolError, true},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.what);
        FakeDaemon d;
        Session s(&d, {}, "d");
        s.Feed(c.bytes.data(), c.bytes.size());
        EXPECT_EQ(s.state(), Session::State::Closing);
        EXPECT_EQ(s.closeReason(), c.reason);
        auto out = Drain(s);
        if (c.welcomedFirst && !out.empty() && out.size() >= 2 && out[1].type == kPong)
        {
            out.erase(out.begin() + 1);
        }
        ASSERT_EQ(out.size(), c.welcomedFirst ? 2u : 1u);
        EXPECT_EQ(out[0].type, c.welcomedFirst ? kWelcome : kGoodbye);
        EXPECT_EQ(GoodbyeReason(out.back()), c.reason);
        EXPECT_TRUE(d.requests.empty());
        // Whatever follows is ignored.
        const auto more = HelloBytes();
        s.Feed(more.data(), more.size());
        EXPECT_FALSE(s.HasOutput());
    }
}

TEST(Session, RefusedHelloGetsTheDaemonsReason)
{
    FakeDaemon d;
    d.refuseWith = kByeTooManyClients;
    Session s(&d, {}, "d");
    const auto h = HelloBytes();
    s.Feed(h.data(), h.size());
    const auto out = Drain(s);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(GoodbyeReason(out[0]), kByeTooManyClients);
    EXPECT_TRUE(d.ready.empty());
}

// Frames in the writer's hands count against the byte bound; a cut throws
// away the frames still queued, so the goodbye is all that is left.
TEST(Session, ByteBoundCountsFramesInTheWritersHands)
{
    FakeDaemon d;
    Session s(&d, {200, 100}, "d");
    const auto h = HelloBytes();
    s.Feed(h.data(), h.size());
    std::vector<uint8_t> taken;
    const size_t n = s.TakeOutput(&taken, 1 << 20); // handed to the writer, not yet written
    const std::vector<uint8_t> payload(100, 0xAB);
    EXPECT_EQ(s.QueueMessage(3, 0x101, payload.data(), 100, false, 0, nullptr, nullptr),
              Session::QueueResult::Queued);
    EXPECT_EQ(s.QueueMessage(3, 0x101, payload.data(), 100, false, 0, nullptr, nullptr),
              Session::QueueResult::Overflow);
    s.Written(taken.size(), n);
    const auto out = Drain(s);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(GoodbyeReason(out[0]), kByeTooSlow);
}

// The answer to a Message completes its waiter and, for the capability
// query, records the client's caps; an answer over the size asked for or the
// end of the session fails the waiter instead.
TEST(Session, ResponseCompletesOrFailsItsWaiter)
{
    enum class End
    {
        Answered,
        Oversized,
        PeerClosed
    };
    for (const End end : {End::Answered, End::Oversized, End::PeerClosed})
    {
        SCOPED_TRACE(static_cast<int>(end));
        FakeDaemon d;
        Session s(&d, {}, "d");
        const auto h = HelloBytes();
        s.Feed(h.data(), h.size());
        (void)Drain(s);
        PendingResponse p;
        uint32_t seq = 0;
        ASSERT_EQ(s.QueueMessage(3, 0x200, nullptr, 0, true, 16, &p, &seq), Session::QueueResult::Queued);
        EXPECT_EQ(seq, 1u);
        const auto out = Drain(s);
        ASSERT_EQ(out.size(), 1u);
        Message m;
        std::string e;
        ASSERT_TRUE(Parse(out[0], &m, &e)) << e;
        EXPECT_EQ(m.responseSize, 16u);
        EXPECT_EQ(m.flags, kMessageNullPayload);

        Response r{seq, 0, std::vector<uint8_t>(end == End::Oversized ? 17 : 16, 0)};
        r.data[0] = 3;
        std::vector<uint8_t> bytes;
        Encode(r, &bytes);
        if (end == End::PeerClosed)
        {
            s.PeerClosed();
        }
        else
        {
            s.Feed(bytes.data(), bytes.size());
        }
        EXPECT_TRUE(p.done);
        EXPECT_EQ(p.answered, end == End::Answered);
        EXPECT_EQ(s.caps(), end == End::Answered ? 3u : 0x1u); // else still the hello's
        if (end == End::Answered)
        {
            EXPECT_EQ(p.data.size(), 16u);
            EXPECT_TRUE(s.hasCaps());
            // The same answer again matches nothing any more.
            s.Feed(bytes.data(), bytes.size());
            EXPECT_EQ(s.closeReason(), kByeProtocolError);
        }
    }
}

// A ping is answered with its token and requests reach the daemon; those
// beyond the bound in flight stay unread until the module answers one, none
// lost and none early.
TEST(Session, PingIsAnsweredAndRequestsInFlightAreBounded)
{
    FakeDaemon d;
    Session s(&d, {1 << 20, 1000, 3}, "d");
    auto bytes = HelloBytes();
    EncodePing(0xCAFEF00D, &bytes);
    for (uint32_t i = 1; i <= 5; ++i)
    {
        Encode(Request{i, 3, 0x200, 16, {}}, &bytes);
    }
    s.Feed(bytes.data(), bytes.size());
    const auto out = Drain(s);
    ASSERT_EQ(out.size(), 2u);
    Ping pong;
    std::string e;
    ASSERT_EQ(out[1].type, kPong);
    ASSERT_TRUE(Parse(out[1], &pong, &e));
    EXPECT_EQ(pong.token, 0xCAFEF00Du);
    ASSERT_EQ(d.requests.size(), 3u);
    EXPECT_EQ(d.requests[0].seq, 1u);
    EXPECT_EQ(d.requests[0].replySize, 16u);
    EXPECT_TRUE(s.ReadPaused());
    s.Resume(); // nothing answered yet: nothing more taken
    EXPECT_EQ(d.requests.size(), 3u);
    (void)s.QueueReply(Reply{1, 0, {}});
    EXPECT_FALSE(s.ReadPaused());
    s.Resume();
    EXPECT_EQ(d.requests.size(), 4u);
    EXPECT_TRUE(s.ReadPaused());
    (void)s.QueueReply(Reply{2, 0, {}});
    s.Resume();
    ASSERT_EQ(d.requests.size(), 5u);
    EXPECT_EQ(d.requests.back().seq, 5u);
    EXPECT_FALSE(s.HoldsPartialFrame());
    EXPECT_EQ(s.state(), Session::State::Open);
}

uint32_t SeqOf(const Frame& f)
{
    Message m;
    std::string e;
    return f.type == kMessage && Parse(f, &m, &e) ? m.seq : 0;
}

// Frames go to the socket at once while nothing waits before them; once the
// socket takes a frame only in part, its rest and every later frame queue
// behind it, and the client reads them all in order. A cut then drops what
// was queued but keeps the rest of the frame begun, so that the goodbye
// starts where a frame starts.
TEST(Session, DirectWritesKeepOrderAndTheQueueBound)
{
    for (const bool overflow : {false, true})
    {
        SCOPED_TRACE(overflow ? "cut after a partial write" : "partial write drained");
        FakeDaemon d;
        FakeSocket sock;
        Session s(&d, {1 << 20, 3}, "d", &sock);
        const auto h = HelloBytes();
        s.Feed(h.data(), h.size());
        EXPECT_FALSE(s.HasOutput()); // the welcome went out at once
        const uint8_t payload[40] = {7};
        ASSERT_EQ(s.QueueMessage(3, 0x104, payload, 40, false, 0, nullptr, nullptr),
                  Session::QueueResult::Queued);
        EXPECT_EQ(s.queuedFrames(), 0u);
        sock.budget = 30; // the next frame (68 bytes) goes out in part
        ASSERT_EQ(s.QueueMessage(3, 0x104, payload, 40, false, 0, nullptr, nullptr),
                  Session::QueueResult::Queued);
        EXPECT_EQ(s.queuedFrames(), 1u);
        EXPECT_EQ(s.queuedBytes(), 38u);
        sock.budget = 1 << 20; // room again, but the queue comes first
        const int callsBefore = sock.calls;
        ASSERT_EQ(s.QueueMessage(3, 0x104, payload, 40, false, 0, nullptr, nullptr),
                  Session::QueueResult::Queued);
        EXPECT_EQ(sock.calls, callsBefore);
        if (overflow)
        {
            ASSERT_EQ(s.QueueMessage(3, 0x104, payload, 40, false, 0, nullptr, nullptr),
                      Session::QueueResult::Queued);
            ASSERT_EQ(s.QueueMessage(3, 0x104, payload, 40, false, 0, nullptr, nullptr),
                      Session::QueueResult::Overflow);
            EXPECT_EQ(s.QueueMessage(3, 0x104, payload, 40, false, 0, nullptr, nullptr),
                      Session::QueueResult::Gone);
        }
        const auto out = Drain(s, &sock);
        ASSERT_EQ(out.size(), 4u); // the welcome, 1, 2, and 3 or the goodbye
        EXPECT_EQ(out[0].type, kWelcome);
        EXPECT_EQ(SeqOf(out[1]), 1u);
        EXPECT_EQ(SeqOf(out[2]), 2u);
        if (overflow)
        {
            EXPECT_EQ(GoodbyeReason(out[3]), kByeTooSlow);
        }
        else
        {
            EXPECT_EQ(SeqOf(out[3]), 3u);
        }
        EXPECT_EQ(s.queuedFrames(), 0u);
        EXPECT_EQ(s.queuedBytes(), 0u);
    }
}

// The bounds hold for a frame the socket would take whole: a frame over the
// byte bound cuts the client and never reaches its socket.
TEST(Session, BoundIsCheckedBeforeTheDirectWrite)
{
    FakeDaemon d;
    FakeSocket sock;
    Session s(&d, {100, 100}, "d", &sock);
    const auto h = HelloBytes();
    s.Feed(h.data(), h.size());
    const size_t welcome = sock.wire.size();
    const std::vector<uint8_t> payload(200, 1);
    EXPECT_EQ(s.QueueMessage(3, 0x104, payload.data(), 200, false, 0, nullptr, nullptr),
              Session::QueueResult::Overflow);
    const auto out = Drain(s, &sock);
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(GoodbyeReason(out[1]), kByeTooSlow);
    EXPECT_LT(sock.wire.size() - welcome, 200u);
}

} // namespace
