// The frames of one libktzclient connection: the hello this client sends,
// the welcome (or refusal) it waits for, every frame after it, and the
// requests and pings the caller sends. Called from the state machine
// (connection.cpp) with each complete frame as it is read; answers that the
// module or the daemon waits for (the capability query, pings) are queued
// for the socket at once.
#include "connection.h"

#include <ktzmon/protocol.h>

#include <algorithm>
#include <cstdio>

namespace kt = ktztransport;

namespace
{

std::string ByeText(const char* lead, const kt::Goodbye& g)
{
    return std::string(lead) + kt::GoodbyeReasonName(g.reason) + " (reason " + std::to_string(g.reason) +
           ")" + (g.text.empty() ? "" : ": " + g.text);
}

} // namespace

// The hello this client sends: built here and nowhere else.
std::vector<uint8_t> ktzc_client::BuildHello() const
{
    // Version 2 states the capability answer in the hello: the daemon then
    // answers the module's capability query without asking.
    kt::Hello h;
    h.maxVersion = kt::kHighestVersion;
    h.caps = opts.caps;
    h.requestedClientId = opts.client_id;
    h.name = name;
    std::vector<uint8_t> frame;
    kt::Encode(h, &frame);
    return frame;
}

// The daemon's first frame: a welcome, or a goodbye that refuses us.
void ktzc_client::HandleWelcome(const kt::Frame& f)
{
    std::string why;
    if (f.type == kt::kGoodbye)
    {
        kt::Goodbye g;
        if (!kt::Parse(f, &g, &why))
        {
            ProtocolError(why);
            return;
        }
        goodbyeSeen = true;
        goodbyeReason = g.reason;
        goodbyeText = g.text;
        AttemptFailed(KTZC_ERR_GOODBYE, ByeText("the daemon refused the connection: ", g));
        return;
    }
    kt::Welcome w;
    if (!kt::Parse(f, &w, &why))
    {
        ProtocolError(why);
        return;
    }
    if (w.version < kt::kVersion || w.version > kt::kHighestVersion)
    {
        ProtocolError("the daemon chose protocol version " + std::to_string(w.version) +
                      ", this client speaks " + std::to_string(kt::kVersion) + " to " +
                      std::to_string(kt::kHighestVersion));
        return;
    }
    state = KTZC_STATE_CONNECTED;
    welcomed = true;
    clientId = w.clientId;
    daemonName = w.name;
    reader.SetMaxBodySize(std::min(w.maxBodySize, kt::kMaxBodySize));
    backoff.Reset();
    failedAttempts = 0;
    lastError = KTZC_OK;
    errorText.clear();
    if (reconnecting || announce)
    {
        Item it;
        it.kind = reconnecting ? KTZC_EVENT_RECONNECTED : KTZC_EVENT_CONNECTED;
        it.clientId = clientId;
        queue.push_back(std::move(it));
    }
    reconnecting = false;
    announce = false;
}

void ktzc_client::HandleFrame(const kt::Frame& f)
{
    std::string why;
    switch (f.type)
    {
    case kt::kMessage: HandleMessage(f); return;
    case kt::kReply: HandleReply(f); return;
    case kt::kPing:
    case kt::kPong:
    {
        kt::Ping p;
        if (!kt::Parse(f, &p, &why))
        {
            ProtocolError(why);
            return;
        }
        if (f.type == kt::kPing)
        {
            std::vector<uint8_t> pong;
            kt::EncodePong(p.token, &pong);
            if (!Enqueue(pong))
            {
                Lost(KTZC_ERR_IO, "the daemon reads nothing this client sends (output queue full)");
            }
        }
        else if (awaitedToken != 0 && p.token == awaitedToken)
        {
            pongIn = true;
            awaitedToken = 0;
        }
        return; // else a late pong of a ping that timed out
    }
    case kt::kGoodbye:
    {
        kt::Goodbye g;
        if (!kt::Parse(f, &g, &why))
        {
            ProtocolError(why);
            return;
        }
        goodbyeSeen = true;
        goodbyeReason = g.reason;
        goodbyeText = g.text;
        Lost(KTZC_ERR_GOODBYE, ByeText("the daemon said goodbye: ", g));
        return;
    }
    default:
    {
        char type[8];
        std::snprintf(type, sizeof type, "%04x", f.type);
        ProtocolError(std::string("unexpected frame of type 0x") + type + " after the welcome");
        return;
    }
    }
}

void ktzc_client::HandleMessage(const kt::Frame& f)
{
    kt::Message m;
    std::string why;
    if (!kt::Parse(f, &m, &why))
    {
        ProtocolError(why);
        return;
    }
    if (m.seq != lastSeq + 1)
    {
        ProtocolError("message sequence number " + std::to_string(m.seq) + " after " +
                      std::to_string(lastSeq));
        return;
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
        std::vector<uint8_t> frame;
        kt::Encode(r, &frame);
        if (!Enqueue(frame))
        {
            Lost(KTZC_ERR_IO, "the daemon reads nothing this client sends (output queue full)");
            return;
        }
    }
    it.kind = KTZC_EVENT_MESSAGE;
    it.msg = std::move(m);
    queue.push_back(std::move(it));
}

void ktzc_client::HandleReply(const kt::Frame& f)
{
    kt::Reply r;
    std::string why;
    if (!kt::Parse(f, &r, &why))
    {
        ProtocolError(why);
        return;
    }
    const auto it = outstanding.find(r.seq);
    if (it == outstanding.end())
    {
        if (r.seq != 0 && r.seq < nextRequestSeq)
        {
            return; // the late reply of a request that timed out
        }
        ProtocolError("reply with sequence number " + std::to_string(r.seq) +
                      " to no request of this client");
        return;
    }
    if (!it->second.async)
    {
        it->second.answered = true;
        it->second.status = r.status;
        it->second.data = std::move(r.data);
        return;
    }
    Item item;
    item.kind = KTZC_EVENT_REPLY;
    item.replySeq = r.seq;
    item.replyStatus = r.status;
    item.replyData = std::move(r.data);
    outstanding.erase(it);
    queue.push_back(std::move(item));
}

// ---- requests -----------------------------------------------------------------------------

ktzc_error ktzc_client::SendRequest(uint32_t requestClass, uint32_t requestType, const void* data,
                                    size_t size, uint32_t replySize, bool async, int timeoutMs, uint32_t* seq)
{
    if (state != KTZC_STATE_CONNECTED)
    {
        return Fail(KTZC_ERR_NOT_CONNECTED, "not connected");
    }
    kt::Request r;
    r.seq = nextRequestSeq++;
    r.requestClass = requestClass;
    r.requestType = requestType;
    r.replySize = replySize;
    if (size != 0)
    {
        const auto* p = static_cast<const uint8_t*>(data);
        r.data.assign(p, p + size);
    }
    std::vector<uint8_t> frame;
    kt::Encode(r, &frame);
    if (!Enqueue(frame))
    {
        return Fail(KTZC_ERR_BUSY, "too much output queued: the daemon is not reading");
    }
    ktzclient::detail::Outstanding o;
    o.async = async;
    o.deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    outstanding[r.seq] = std::move(o);
    if (seq != nullptr)
    {
        *seq = r.seq;
    }
    return KTZC_OK;
}

ktzc_error ktzc_client::SendPing(uint32_t token)
{
    if (state != KTZC_STATE_CONNECTED)
    {
        return Fail(KTZC_ERR_NOT_CONNECTED, "not connected");
    }
    std::vector<uint8_t> frame;
    kt::EncodePing(token, &frame);
    if (!Enqueue(frame))
    {
        return Fail(KTZC_ERR_BUSY, "too much output queued: the daemon is not reading");
    }
    pongIn = false;
    awaitedToken = token;
    return KTZC_OK;
}

void ktzc_client::ExpireRequests(Clock::time_point now)
{
    for (auto it = outstanding.begin(); it != outstanding.end();)
    {
        if (it->second.async && now >= it->second.deadline)
        {
            Item item;
            item.kind = KTZC_EVENT_REPLY;
            item.replySeq = it->first;
            item.error = KTZC_ERR_TIMEOUT;
            item.text = "no reply within the time limit";
            queue.push_back(std::move(item));
            it = outstanding.erase(it);
        }
        else
        {
            ++it;
        }
    }
}

// Every request still waiting ends with the loss; blocking ones see the
// state and return the error themselves.
void ktzc_client::EndRequests(ktzc_error e)
{
    for (const auto& [seq, o] : outstanding)
    {
        if (o.async)
        {
            Item item;
            item.kind = KTZC_EVENT_REPLY;
            item.replySeq = seq;
            item.error = e;
            item.text = "the connection ended before the reply";
            queue.push_back(std::move(item));
        }
    }
    outstanding.clear();
}
