// libFuzzer target for what a welcomed client sends ktzmond: the input's
// first byte picks the hello (version 1 answering the daemon's capability
// query or not, or version 2), the rest is a script of actions (feed the
// next bytes as received, have the module answer the oldest request in
// flight, queue a module message, drain what the writer would send). It
// aborts when a request beyond the in-flight bound or over the client frame
// bound reaches the daemon, a request arrives once the session is closing,
// the session writes a frame that does not parse, loses count of its queue,
// or readies the client twice (or never, when its capabilities are known).
#include "session.h"

#include <cstdio>
#include <cstdlib>
#include <deque>
#include <vector>

namespace
{

using namespace ktztransport;

constexpr size_t kInFlight = 3;

[[noreturn]] void Fail(const char* what)
{
    std::fprintf(stderr, "fuzz_inbound: %s\n", what);
    std::abort();
}

class Daemon : public ktzmond::SessionDelegate
{
  public:
    uint32_t Admit(const Hello&, uint32_t* id, std::string*) override
    {
        *id = 7;
        return 0;
    }
    void Ready(uint32_t) override { ready += 1; }
    void Requested(const Request& r) override
    {
        if (session == nullptr)
        {
            return;
        }
        if (session->state() != ktzmond::Session::State::Open)
        {
            Fail("a request reached the daemon from a session that is not open");
        }
        if (r.replySize > kMaxReplySize || r.data.size() + 16 > kMaxClientBodySize)
        {
            Fail("a request over its bounds reached the daemon");
        }
        inFlight.push_back(r.seq);
        if (inFlight.size() > kInFlight)
        {
            Fail("more requests in flight than the bound");
        }
    }
    ktzmond::Session* session = nullptr;
    std::deque<uint32_t> inFlight;
    int ready = 0;
};

void Drain(ktzmond::Session& s)
{
    std::vector<uint8_t> out;
    size_t frames = 0;
    while (s.HasOutput())
    {
        frames += s.TakeOutput(&out, 4096);
    }
    FrameReader r(kMaxBodySize);
    if (!r.Feed(out.data(), out.size()))
    {
        Fail("the session wrote an unreadable stream");
    }
    Frame f;
    size_t n = 0;
    std::string e;
    while (r.Next(&f))
    {
        n += 1;
        bool ok = true;
        if (f.type == kGoodbye)
        {
            Goodbye g;
            ok = Parse(f, &g, &e);
        }
        else if (f.type == kMessage)
        {
            Message m;
            ok = Parse(f, &m, &e);
        }
        else if (f.type == kReply)
        {
            Reply v;
            ok = Parse(f, &v, &e);
        }
        else if (f.type == kPong)
        {
            Ping v;
            ok = Parse(f, &v, &e);
        }
        else if (f.type != kWelcome)
        {
            ok = false;
        }
        if (!ok)
        {
            Fail("the session wrote a frame that does not parse");
        }
    }
    if (n != frames || r.Pending() != 0 || r.Failed())
    {
        Fail("frames handed to the writer and frames written differ");
    }
    s.Written(out.size(), frames);
    if (s.queuedFrames() != 0 || s.queuedBytes() != 0)
    {
        Fail("the queue counts do not return to zero");
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0)
    {
        return 0;
    }
    Daemon d;
    ktzmond::Session s(&d, {1 << 16, 64, kInFlight}, "fuzz");
    const uint8_t mode = data[0] % 3;
    Hello h;
    if (mode == 2)
    {
        h.maxVersion = kVersion2;
        h.caps = 3;
    }
    std::vector<uint8_t> bytes;
    Encode(h, &bytes);
    s.Feed(bytes.data(), bytes.size());
    if (mode == 1)
    {
        bytes.clear();
        Encode(Response{s.capsQuerySeq(), 0, std::vector<uint8_t>(16, 3)}, &bytes);
        s.Feed(bytes.data(), bytes.size());
    }
    if (s.state() != ktzmond::Session::State::Open || s.AwaitingCapsAnswer() != (mode == 0))
    {
        Fail("a valid hello did not open the session");
    }
    Drain(s);
    d.session = &s;

    size_t i = 1;
    while (i < size)
    {
        const uint8_t op = data[i++];
        const size_t len = std::min<size_t>(op >> 2, size - i);
        switch (op & 3)
        {
        case 0:
            if (!s.ReadPaused())
            {
                s.Feed(data + i, len); // the connection reads only while not paused
            }
            break;
        case 1:
            if (!d.inFlight.empty())
            {
                Reply r{d.inFlight.front(), 0, std::vector<uint8_t>(len % 17, 0)};
                d.inFlight.pop_front();
                (void)s.QueueReply(r);
                s.Resume();
            }
            break;
        case 2:
            (void)s.QueueMessage(3, 0x101, data + i, static_cast<uint32_t>(len), len == 0, 0, nullptr,
                                 nullptr);
            break;
        default: Drain(s); break;
        }
        i += len;
    }
    Drain(s);
    if (d.ready > 1)
    {
        Fail("the client was readied twice");
    }
    if (mode != 0 && d.ready != 1)
    {
        Fail("a client whose capabilities are known was not readied");
    }
    return 0;
}
