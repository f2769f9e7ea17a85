// The per-connection protocol state machine of ktzmond.
#include "session.h"

#include <ktzmon/protocol.h>

#include <algorithm>
#include <cstdio>
#include <text.h>
#include <utility>

namespace ktzmond
{

using namespace ktztransport;

Session::Session(SessionDelegate* delegate, const SessionLimits& limits, std::string daemonName,
                 FrameSink* sink)
    : delegate_(delegate), sink_(sink), limits_(limits), daemonName_(std::move(daemonName))
{
}

void Session::Feed(const uint8_t* data, size_t size)
{
    if (state_ == State::Closing || state_ == State::Closed)
    {
        return; // after a goodbye nothing the peer sends matters
    }
    if (!reader_.Feed(data, size))
    {
        ProtocolError(reader_.Error());
        return;
    }
    TakeFrames();
    reader_.Release(); // an idle connection keeps no read buffer
}

void Session::Resume()
{
    if (state_ == State::AwaitHello || state_ == State::Open)
    {
        TakeFrames();
    }
}

bool Session::ReadPaused() const
{
    return state_ == State::Open && requestsInFlight_ >= limits_.maxRequestsInFlight;
}

void Session::TakeFrames()
{
    Frame f;
    while ((state_ == State::AwaitHello || state_ == State::Open) && !ReadPaused() && reader_.Next(&f))
    {
        framesRead_ += 1;
        Handle(f);
    }
    // A bad header right behind the last whole frame: say so now, not when
    // (if ever) the peer sends another byte.
    if ((state_ == State::AwaitHello || state_ == State::Open) && reader_.Failed())
    {
        ProtocolError(reader_.Error());
    }
}

void Session::PeerClosed()
{
    if (state_ == State::Closed)
    {
        return;
    }
    if (state_ != State::Closing)
    {
        closeReason_ = kByeNormal;
        closeText_ =
            reader_.Pending() != 0 ? "connection closed in the middle of a frame" : "connection closed";
    }
    state_ = State::Closed;
    FailPending();
}

void Session::Close(uint32_t reason, const std::string& text, bool dropQueued)
{
    if (state_ == State::Closing || state_ == State::Closed)
    {
        return;
    }
    state_ = State::Closing;
    closeReason_ = reason;
    closeText_ = text;
    FailPending();
    if (dropQueued)
    {
        // The rest of a frame already begun on the socket stays: the goodbye
        // must start where a frame starts.
        const size_t keep = frontPartial_ ? 1 : 0;
        while (queue_.size() > keep)
        {
            bytes_ -= queue_.back().size();
            frames_ -= 1;
            queue_.pop_back();
        }
    }
    std::vector<uint8_t> bye;
    Encode(Goodbye{reason, text}, &bye);
    Deliver(bye); // past the bounds: it is the last frame
}

void Session::ProtocolError(const std::string& why)
{
    Close(kByeProtocolError, why);
}

void Session::Handle(const Frame& f)
{
    std::string error;
    if (state_ == State::AwaitHello)
    {
        if (f.type != kHello)
        {
            ProtocolError("the first frame must be a hello, not type 0x" +
                          [&]
                          {
                              char buf[8];
                              std::snprintf(buf, sizeof buf, "%04X", f.type);
                              return std::string(buf);
                          }());
            return;
        }
        HandleHello(f);
        return;
    }
    switch (f.type)
    {
    case kGoodbye:
    {
        Goodbye g;
        if (!Parse(f, &g, &error))
        {
            ProtocolError(error);
            return;
        }
        state_ = State::Closed;
        closeReason_ = g.reason;
        // The text is the client's: shown escaped and cut.
        closeText_ = "the client said goodbye (" + std::string(GoodbyeReasonName(g.reason)) +
                     (g.text.empty() ? "" : ": " + ktzhost::Printable(g.text)) + ")";
        FailPending();
        return;
    }
    case kResponse: HandleResponse(f); return;
    case kRequest:
    {
        Request r;
        if (!Parse(f, &r, &error))
        {
            ProtocolError(error);
            return;
        }
        requestsInFlight_ += 1;
        delegate_->Requested(r);
        return;
    }
    case kPing:
    {
        Ping p;
        if (!Parse(f, &p, &error))
        {
            ProtocolError(error);
            return;
        }
        std::vector<uint8_t> pong;
        EncodePong(p.token, &pong);
        (void)Push(pong);
        return;
    }
    case kPong:
    {
        Ping p;
        if (!Parse(f, &p, &error))
        {
            ProtocolError(error);
        }
        return; // the daemon sends no pings of its own; a stray pong is harmless
    }
    case kHello: ProtocolError("a second hello"); return;
    default:
    {
        char buf[80];
        std::snprintf(buf, sizeof buf, "frame type 0x%04X is not one a client sends", f.type);
        ProtocolError(buf);
        return;
    }
    }
}

void Session::HandleHello(const Frame& f)
{
    Hello h;
    std::string error;
    if (!Parse(f, &h, &error))
    {
        ProtocolError(error);
        return;
    }
    peerName_ = h.name;
    // The highest version both speak.
    const uint16_t version = std::min(h.maxVersion, kHighestVersion);
    if (version < h.minVersion || version < kVersion)
    {
        Close(kByeBadVersion, "this daemon speaks versions " + std::to_string(kVersion) + " to " +
                                  std::to_string(kHighestVersion));
        return;
    }
    uint32_t id = 0;
    std::string why;
    const uint32_t reason = delegate_->Admit(h, &id, &why);
    if (reason != 0)
    {
        Close(reason, why);
        return;
    }
    version_ = version;
    clientId_ = id;
    state_ = State::Open;
    reader_.SetMaxBodySize(kMaxClientBodySize);
    Welcome w;
    w.version = version;
    w.clientId = id;
    w.name = daemonName_.substr(0, kMaxNameLength);
    std::vector<uint8_t> frame;
    Encode(w, &frame);
    (void)Push(frame);
    if (version < kVersion2)
    {
        AskCaps();
        return;
    }
    // The hello said it: answered as a version 1 client answers the query.
    capsAnswer_.status = 0;
    capsAnswer_.data.assign(16, 0);
    PutLe32(capsAnswer_.data.data(), h.caps);
    hasCaps_ = true;
    caps_ = h.caps;
    ready_ = true;
    delegate_->Ready(id);
}

void Session::AskCaps()
{
    // The same query the module would send, before the module hears of the
    // client, so that a client that never answers keeps nobody waiting.
    Message m;
    m.seq = nextSeq_++;
    m.requestClass = KTZMON_REQ_CLASS;
    m.requestType = KTZMON_REQ_GET_KTZ_CAPS;
    m.responseSize = 16;
    m.flags = kMessageNullPayload;
    std::vector<uint8_t> frame;
    Encode(m, &frame);
    if (Push(frame) == QueueResult::Queued)
    {
        messages_ += 1;
        capsQuerySeq_ = m.seq;
        waiting_[m.seq] = Waiting{nullptr, KTZMON_REQ_GET_KTZ_CAPS};
    }
}

void Session::HandleResponse(const Frame& f)
{
    Response r;
    std::string error;
    if (!Parse(f, &r, &error))
    {
        ProtocolError(error);
        return;
    }
    auto it = waiting_.find(r.seq);
    if (it == waiting_.end())
    {
        ProtocolError("a response to message " + std::to_string(r.seq) + ", which awaits none");
        return;
    }
    PendingResponse* p = it->second.pending;
    const uint32_t offered = p != nullptr ? p->responseSize : 16;
    if (r.data.size() > offered)
    {
        ProtocolError("a response of " + std::to_string(r.data.size()) + " bytes to message " +
                      std::to_string(r.seq) + ", which offered " + std::to_string(offered));
        return;
    }
    if (it->second.requestType == KTZMON_REQ_GET_KTZ_CAPS && r.status == 0 && r.data.size() >= 4)
    {
        hasCaps_ = true;
        caps_ = GetLe32(r.data.data());
    }
    if (p == nullptr)
    {
        waiting_.erase(it);
        capsAnswer_.status = r.status;
        capsAnswer_.data = std::move(r.data);
        ready_ = true;
        delegate_->Ready(clientId_);
        return;
    }
    p->status = r.status;
    p->data = std::move(r.data);
    p->answered = true;
    p->done = true;
    waiting_.erase(it);
}

Session::QueueResult Session::QueueMessage(uint32_t requestClass, uint32_t requestType,
                                           const uint8_t* payload, uint32_t size, bool nullPayload,
                                           uint32_t responseSize, PendingResponse* pending, uint32_t* seq)
{
    if (state_ != State::Open)
    {
        return QueueResult::Gone;
    }
    Message m;
    m.seq = nextSeq_++;
    m.requestClass = requestClass;
    m.requestType = requestType;
    m.responseSize = responseSize;
    m.flags = nullPayload ? kMessageNullPayload : 0;
    // Built in a buffer the thread keeps: a frame the socket takes at once
    // costs no allocation.
    thread_local std::vector<uint8_t> frame;
    frame.clear();
    EncodeMessage(m, payload, nullPayload ? 0 : size, &frame);
    const QueueResult r = Push(frame);
    if (r != QueueResult::Queued)
    {
        return r;
    }
    messages_ += 1;
    if (seq != nullptr)
    {
        *seq = m.seq;
    }
    if (pending != nullptr)
    {
        pending->responseSize = responseSize;
        waiting_[m.seq] = Waiting{pending, requestType};
    }
    return r;
}

void Session::Abandon(uint32_t seq)
{
    waiting_.erase(seq);
}

Session::QueueResult Session::QueueReply(const Reply& reply)
{
    requestsInFlight_ -= std::min<size_t>(requestsInFlight_, 1);
    if (state_ != State::Open)
    {
        return QueueResult::Gone;
    }
    std::vector<uint8_t> frame;
    Encode(reply, &frame);
    return Push(frame);
}

Session::QueueResult Session::Push(std::vector<uint8_t>& frame)
{
    // The bound applies to every frame as though it were queued, whether or
    // not the socket then takes it at once.
    if (frames_ + 1 > limits_.maxQueueFrames || bytes_ + frame.size() > limits_.maxQueueBytes)
    {
        Close(kByeTooSlow,
              "fell behind: " + std::to_string(frames_) + " frames, " + std::to_string(bytes_) +
                  " bytes queued",
              true);
        return QueueResult::Overflow;
    }
    Deliver(frame);
    return QueueResult::Queued;
}

void Session::Deliver(std::vector<uint8_t>& frame)
{
    size_t taken = 0;
    // Only with nothing queued or in the writer's hands may a frame go
    // straight to the socket: everything before it has been written, so the
    // client still gets every frame in order.
    if (sink_ != nullptr && frames_ == 0)
    {
        taken = std::min(sink_->WriteNow(frame.data(), frame.size()), frame.size());
        if (taken == frame.size())
        {
            return;
        }
        frontPartial_ = taken != 0; // the queue is empty: the rest is its first entry
    }
    if (taken != 0)
    {
        frame.erase(frame.begin(), frame.begin() + static_cast<std::ptrdiff_t>(taken));
    }
    bytes_ += frame.size();
    frames_ += 1;
    queue_.push_back(std::move(frame));
}

size_t Session::TakeOutput(std::vector<uint8_t>* out, size_t maxBytes)
{
    size_t n = 0;
    while (!queue_.empty() && (n == 0 || out->size() + queue_.front().size() <= maxBytes))
    {
        out->insert(out->end(), queue_.front().begin(), queue_.front().end());
        queue_.pop_front();
        frontPartial_ = false;
        n += 1;
    }
    return n;
}

void Session::Written(size_t bytes, size_t frames)
{
    bytes_ -= std::min(bytes, bytes_);
    frames_ -= std::min(frames, frames_);
}

void Session::FailPending()
{
    for (auto& [seq, w] : waiting_)
    {
        if (w.pending != nullptr)
        {
            w.pending->done = true;
            w.pending->answered = false;
        }
    }
    waiting_.clear();
}

} // namespace ktzmond
