// libFuzzer target for ktzmond's per-connection protocol state machine. The
// input is a script: each byte picks an action (feed the next bytes as if
// received from the client, queue a module message, queue one that waits
// for a response, drain what the writer would send), with the bytes after
// it as the action's data. It aborts when the session sends a frame that
// does not parse, loses count of what it has queued, or leaves a waiter
// neither answered nor released once the connection is closing.
#include "session.h"

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

namespace
{

using namespace ktztransport;

[[noreturn]] void Fail(const char* what)
{
    std::fprintf(stderr, "fuzz_session: %s\n", what);
    std::abort();
}

class Daemon : public ktzmond::SessionDelegate
{
  public:
    uint32_t Admit(const Hello& h, uint32_t* id, std::string* why) override
    {
        if (h.requestedClientId == 13)
        {
            *why = "unlucky";
            return kByeClientIdRefused;
        }
        *id = 1;
        return 0;
    }
    void Ready(uint32_t) override { ready += 1; }
    void Requested(const Request& r) override
    {
        if (r.replySize > kMaxReplySize)
        {
            Fail("a request with a reply buffer over the limit reached the daemon");
        }
    }
    int ready = 0;
};

// Takes everything queued, as the writer would, and checks each frame.
void Drain(ktzmond::Session& s)
{
    std::vector<uint8_t> out;
    size_t frames = 0;
    while (s.HasOutput())
    {
        frames += s.TakeOutput(&out, 4096);
    }
    FrameReader r;
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
        bool ok = false;
        switch (f.type)
        {
        case kWelcome:
        {
            Welcome v;
            ok = Parse(f, &v, &e);
            break;
        }
        case kGoodbye:
        {
            Goodbye v;
            ok = Parse(f, &v, &e);
            break;
        }
        case kMessage:
        {
            Message v;
            ok = Parse(f, &v, &e);
            break;
        }
        case kReply:
        {
            Reply v;
            ok = Parse(f, &v, &e);
            break;
        }
        case kPong:
        {
            Ping v;
            ok = Parse(f, &v, &e);
            break;
        }
        default: break;
        }
        if (!ok)
        {
            Fail("the session wrote a frame that does not parse");
        }
    }
    if (n != frames || r.Pending() != 0)
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
    Daemon d;
    ktzmond::Session s(&d, {2048, 16}, "fuzz");
    std::vector<std::unique_ptr<ktzmond::PendingResponse>> pending;
    size_t i = 0;
    while (i < size)
    {
        const uint8_t op = data[i++];
        const size_t len = std::min<size_t>(op >> 2, size - i);
        switch (op & 3)
        {
        case 0: s.Feed(data + i, len); break;
        case 1:
            (void)s.QueueMessage(3, 0x101, data + i, static_cast<uint32_t>(len), len == 0, 0, nullptr,
                                 nullptr);
            break;
        case 2:
        {
            auto p = std::make_unique<ktzmond::PendingResponse>();
            if (s.QueueMessage(3, 0x200, nullptr, 0, true, 16, p.get(), nullptr) ==
                ktzmond::Session::QueueResult::Queued)
            {
                pending.push_back(std::move(p));
            }
            break;
        }
        default: Drain(s); break;
        }
        i += len;
    }
    Drain(s);
    const bool ending =
        s.state() == ktzmond::Session::State::Closing || s.state() == ktzmond::Session::State::Closed;
    for (const auto& p : pending)
    {
        if (ending && !p->done)
        {
            Fail("a waiter is left waiting on a closing session");
        }
        if (p->answered && p->data.size() > p->responseSize)
        {
            Fail("a response longer than offered was accepted");
        }
    }
    if (d.ready > 1)
    {
        Fail("readied twice");
    }
    return 0;
}
