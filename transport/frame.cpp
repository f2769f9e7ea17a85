// Encoding and parsing of the client transport's frames (see frame.h and
// docs/protocol.md): fixed little-endian fields at fixed offsets, optional
// texts with their NUL as the body's last byte.
#include "frame.h"

#include <cstring>

namespace ktztransport
{
namespace
{

// Body offsets and minimum sizes.
constexpr size_t kHelloFixed = 16;   // magic, min, max, requested ID, flags
constexpr size_t kWelcomeFixed = 20; // magic, version, reserved, ID, max body, flags
constexpr size_t kGoodbyeFixed = 4;  // reason
constexpr size_t kMessageFixed = 20; // seq, class, type, response size, flags
constexpr size_t kResponseFixed = 8; // seq, status
constexpr size_t kRequestFixed = 16; // seq, class, type, reply size
constexpr size_t kReplyFixed = 8;    // seq, status
constexpr size_t kPingSize = 4;      // token

// Starts a frame of `type` whose body is `size` bytes; returns the offset of
// the body in `out`.
size_t Begin(uint16_t type, size_t size, std::vector<uint8_t>* out)
{
    const size_t at = out->size();
    out->resize(at + kHeaderSize + size, 0);
    uint8_t* h = out->data() + at;
    PutLe32(h, static_cast<uint32_t>(size));
    PutLe16(h + 4, type);
    PutLe16(h + 6, 0);
    return at + kHeaderSize;
}

void PutText(std::vector<uint8_t>* out, size_t at, const std::string& s)
{
    std::memcpy(out->data() + at, s.data(), s.size());
    (*out)[at + s.size()] = 0;
}

void PutBytes(std::vector<uint8_t>* out, size_t at, const std::vector<uint8_t>& b)
{
    if (!b.empty())
    {
        std::memcpy(out->data() + at, b.data(), b.size());
    }
}

bool Fail(std::string* error, const std::string& why)
{
    if (error != nullptr)
    {
        *error = why;
    }
    return false;
}

bool Expect(const Frame& f, uint16_t type, size_t minSize, const char* what, std::string* error)
{
    if (f.type != type)
    {
        return Fail(error, std::string("not a ") + what + " frame");
    }
    if (f.body.size() < minSize)
    {
        return Fail(error, std::string(what) + " body of " + std::to_string(f.body.size()) +
                               " bytes, at least " + std::to_string(minSize) + " needed");
    }
    return true;
}

// An optional text from `at` to the end of the body: nothing at all, or the
// text with its NUL as the last byte and no NUL before it.
bool GetText(const Frame& f, size_t at, size_t maxLength, const char* what, std::string* text,
             std::string* error)
{
    text->clear();
    if (f.body.size() == at)
    {
        return true;
    }
    const uint8_t* p = f.body.data() + at;
    const size_t n = f.body.size() - at;
    const void* nul = std::memchr(p, 0, n);
    if (nul == nullptr)
    {
        return Fail(error, std::string(what) + " without its terminating NUL");
    }
    const size_t len = static_cast<size_t>(static_cast<const uint8_t*>(nul) - p);
    if (len + 1 != n)
    {
        return Fail(error,
                    std::string(what) + " followed by " + std::to_string(n - len - 1) + " stray bytes");
    }
    if (len > maxLength)
    {
        return Fail(error, std::string(what) + " of " + std::to_string(len) + " bytes, at most " +
                               std::to_string(maxLength) + " allowed");
    }
    text->assign(reinterpret_cast<const char*>(p), len);
    return true;
}

} // namespace

const char* GoodbyeReasonName(uint32_t reason)
{
    switch (reason)
    {
    case kByeNormal: return "normal close";
    case kByeShutdown: return "daemon shutting down";
    case kByeProtocolError: return "protocol error";
    case kByeHelloTimeout: return "no hello in time";
    case kByeBadVersion: return "no common protocol version";
    case kByeTooManyClients: return "too many clients";
    case kByeNotPermitted: return "not permitted";
    case kByeTooSlow: return "client too slow (queue bound exceeded)";
    case kByeResponseTimeout: return "no response in time";
    case kByeRemovedByOperator: return "removed by the operator";
    case kByeClientIdRefused: return "client ID refused";
    default: return "unknown reason";
    }
}

void EncodeFrame(uint16_t type, const uint8_t* body, size_t size, std::vector<uint8_t>* out)
{
    const size_t at = Begin(type, size, out);
    if (size != 0)
    {
        std::memcpy(out->data() + at, body, size);
    }
}

void Encode(const Hello& v, std::vector<uint8_t>* out)
{
    const std::string name = v.name.substr(0, kMaxNameLength);
    const size_t at = Begin(kHello, kHelloFixed + (name.empty() ? 0 : name.size() + 1), out);
    uint8_t* b = out->data() + at;
    PutLe32(b, kHelloMagic);
    PutLe16(b + 4, v.minVersion);
    PutLe16(b + 6, v.maxVersion);
    PutLe32(b + 8, v.requestedClientId);
    PutLe32(b + 12, v.caps);
    if (!name.empty())
    {
        PutText(out, at + kHelloFixed, name);
    }
}

void Encode(const Welcome& v, std::vector<uint8_t>* out)
{
    const std::string name = v.name.substr(0, kMaxNameLength);
    const size_t at = Begin(kWelcome, kWelcomeFixed + (name.empty() ? 0 : name.size() + 1), out);
    uint8_t* b = out->data() + at;
    PutLe32(b, kWelcomeMagic);
    PutLe16(b + 4, v.version);
    PutLe16(b + 6, 0);
    PutLe32(b + 8, v.clientId);
    PutLe32(b + 12, v.maxBodySize);
    PutLe32(b + 16, v.flags);
    if (!name.empty())
    {
        PutText(out, at + kWelcomeFixed, name);
    }
}

void Encode(const Goodbye& v, std::vector<uint8_t>* out)
{
    const size_t at = Begin(kGoodbye, kGoodbyeFixed + (v.text.empty() ? 0 : v.text.size() + 1), out);
    PutLe32(out->data() + at, v.reason);
    if (!v.text.empty())
    {
        PutText(out, at + kGoodbyeFixed, v.text);
    }
}

void Encode(const Message& v, std::vector<uint8_t>* out)
{
    EncodeMessage(v, v.payload.data(), v.payload.size(), out);
}

void EncodeMessage(const Message& v, const uint8_t* payload, size_t size, std::vector<uint8_t>* out)
{
    const size_t at = Begin(kMessage, kMessageFixed + size, out);
    uint8_t* b = out->data() + at;
    PutLe32(b, v.seq);
    PutLe32(b + 4, v.requestClass);
    PutLe32(b + 8, v.requestType);
    PutLe32(b + 12, v.responseSize);
    PutLe32(b + 16, v.flags);
    if (size != 0)
    {
        std::memcpy(b + kMessageFixed, payload, size);
    }
}

void Encode(const Response& v, std::vector<uint8_t>* out)
{
    const size_t at = Begin(kResponse, kResponseFixed + v.data.size(), out);
    PutLe32(out->data() + at, v.seq);
    PutLe32(out->data() + at + 4, v.status);
    PutBytes(out, at + kResponseFixed, v.data);
}

void Encode(const Request& v, std::vector<uint8_t>* out)
{
    const size_t at = Begin(kRequest, kRequestFixed + v.data.size(), out);
    uint8_t* b = out->data() + at;
    PutLe32(b, v.seq);
    PutLe32(b + 4, v.requestClass);
    PutLe32(b + 8, v.requestType);
    PutLe32(b + 12, v.replySize);
    PutBytes(out, at + kRequestFixed, v.data);
}

void Encode(const Reply& v, std::vector<uint8_t>* out)
{
    const size_t at = Begin(kReply, kReplyFixed + v.data.size(), out);
    PutLe32(out->data() + at, v.seq);
    PutLe32(out->data() + at + 4, v.status);
    PutBytes(out, at + kReplyFixed, v.data);
}

void EncodePing(uint32_t token, std::vector<uint8_t>* out)
{
    const size_t at = Begin(kPing, kPingSize, out); // resizes `out`: take data() after it
    PutLe32(out->data() + at, token);
}

void EncodePong(uint32_t token, std::vector<uint8_t>* out)
{
    const size_t at = Begin(kPong, kPingSize, out); // resizes `out`: take data() after it
    PutLe32(out->data() + at, token);
}

bool Parse(const Frame& f, Hello* v, std::string* error)
{
    if (!Expect(f, kHello, kHelloFixed, "hello", error))
    {
        return false;
    }
    const uint8_t* b = f.body.data();
    if (GetLe32(b) != kHelloMagic)
    {
        return Fail(error, "hello without its magic bytes 'KTZC'");
    }
    v->minVersion = GetLe16(b + 4);
    v->maxVersion = GetLe16(b + 6);
    v->requestedClientId = GetLe32(b + 8);
    v->caps = GetLe32(b + 12);
    if (v->minVersion > v->maxVersion)
    {
        return Fail(error, "hello with lowest version " + std::to_string(v->minVersion) + " above highest " +
                               std::to_string(v->maxVersion));
    }
    return GetText(f, kHelloFixed, kMaxNameLength, "client name", &v->name, error);
}

bool Parse(const Frame& f, Welcome* v, std::string* error)
{
    if (!Expect(f, kWelcome, kWelcomeFixed, "welcome", error))
    {
        return false;
    }
    const uint8_t* b = f.body.data();
    if (GetLe32(b) != kWelcomeMagic)
    {
        return Fail(error, "welcome without its magic bytes 'KTZD'");
    }
    v->version = GetLe16(b + 4);
    v->clientId = GetLe32(b + 8);
    v->maxBodySize = GetLe32(b + 12);
    v->flags = GetLe32(b + 16);
    if (v->maxBodySize < kMessageFixed + 264)
    {
        return Fail(error, "welcome with a maximum body of " + std::to_string(v->maxBodySize) +
                               " bytes, too small for the module's messages");
    }
    return GetText(f, kWelcomeFixed, kMaxNameLength, "daemon name", &v->name, error);
}

bool Parse(const Frame& f, Goodbye* v, std::string* error)
{
    if (!Expect(f, kGoodbye, kGoodbyeFixed, "goodbye", error))
    {
        return false;
    }
    v->reason = GetLe32(f.body.data());
    return GetText(f, kGoodbyeFixed, kMaxBodySize, "goodbye text", &v->text, error);
}

bool Parse(const Frame& f, Message* v, std::string* error)
{
    if (!Expect(f, kMessage, kMessageFixed, "message", error))
    {
        return false;
    }
    const uint8_t* b = f.body.data();
    v->seq = GetLe32(b);
    v->requestClass = GetLe32(b + 4);
    v->requestType = GetLe32(b + 8);
    v->responseSize = GetLe32(b + 12);
    v->flags = GetLe32(b + 16);
    v->payload.assign(f.body.begin() + kMessageFixed, f.body.end());
    if ((v->flags & kMessageNullPayload) != 0 && !v->payload.empty())
    {
        return Fail(error, "message flagged without payload carries " + std::to_string(v->payload.size()) +
                               " bytes");
    }
    return true;
}

bool Parse(const Frame& f, Response* v, std::string* error)
{
    if (!Expect(f, kResponse, kResponseFixed, "response", error))
    {
        return false;
    }
    v->seq = GetLe32(f.body.data());
    v->status = GetLe32(f.body.data() + 4);
    v->data.assign(f.body.begin() + kResponseFixed, f.body.end());
    return true;
}

bool Parse(const Frame& f, Request* v, std::string* error)
{
    if (!Expect(f, kRequest, kRequestFixed, "request", error))
    {
        return false;
    }
    const uint8_t* b = f.body.data();
    v->seq = GetLe32(b);
    v->requestClass = GetLe32(b + 4);
    v->requestType = GetLe32(b + 8);
    v->replySize = GetLe32(b + 12);
    if (v->replySize > kMaxReplySize)
    {
        return Fail(error, "request for a reply buffer of " + std::to_string(v->replySize) +
                               " bytes, at most " + std::to_string(kMaxReplySize) + " allowed");
    }
    v->data.assign(f.body.begin() + kRequestFixed, f.body.end());
    return true;
}

bool Parse(const Frame& f, Reply* v, std::string* error)
{
    if (!Expect(f, kReply, kReplyFixed, "reply", error))
    {
        return false;
    }
    v->seq = GetLe32(f.body.data());
    v->status = GetLe32(f.body.data() + 4);
    v->data.assign(f.body.begin() + kReplyFixed, f.body.end());
    return true;
}

bool Parse(const Frame& f, Ping* v, std::string* error)
{
    if (f.type != kPing && f.type != kPong)
    {
        return Fail(error, "not a ping or pong frame");
    }
    if (f.body.size() != kPingSize)
    {
        return Fail(error, "ping body of " + std::to_string(f.body.size()) + " bytes, 4 expected");
    }
    v->token = GetLe32(f.body.data());
    return true;
}

bool FrameReader::CheckHeader()
{
    const uint8_t* h = buf_.data() + pos_;
    const uint32_t size = GetLe32(h);
    if (size > max_)
    {
        error_ =
            "frame body of " + std::to_string(size) + " bytes, at most " + std::to_string(max_) + " allowed";
        return false;
    }
    if (GetLe16(h + 6) != 0)
    {
        error_ = "frame header with a non-zero reserved field";
        return false;
    }
    return true;
}

bool FrameReader::Feed(const uint8_t* data, size_t size)
{
    if (Failed())
    {
        return false;
    }
    // Drop what was consumed before growing, so the buffer holds at most one
    // frame and a piece of the next.
    if (pos_ != 0 && pos_ == buf_.size())
    {
        buf_.clear();
        pos_ = 0;
    }
    else if (pos_ > 4096 && pos_ * 2 > buf_.size())
    {
        buf_.erase(buf_.begin(), buf_.begin() + static_cast<std::ptrdiff_t>(pos_));
        pos_ = 0;
    }
    buf_.insert(buf_.end(), data, data + size);
    // A bad header is reported as soon as it is complete, not when its body arrives.
    if (Pending() >= kHeaderSize && !CheckHeader())
    {
        return false;
    }
    return true;
}

bool FrameReader::Next(Frame* frame)
{
    if (Failed() || Pending() < kHeaderSize)
    {
        return false;
    }
    if (!CheckHeader())
    {
        return false;
    }
    const uint8_t* h = buf_.data() + pos_;
    const uint32_t size = GetLe32(h);
    // In 64 bits: on a 32-bit machine header and body of a frame near 4 GiB
    // would wrap around to a small size.
    if (Pending() < uint64_t{kHeaderSize} + size)
    {
        return false;
    }
    frame->type = GetLe16(h + 4);
    frame->body.assign(h + kHeaderSize, h + kHeaderSize + size);
    pos_ += kHeaderSize + size;
    // The header behind this frame is checked by the next call, against the
    // limit in force then (a hello may raise it).
    return true;
}

} // namespace ktztransport
