// The client transport of the live host: the frames that travel between
// ktzmond and its clients over a stream socket, their encoding and an
// incremental reader. Every multi-byte field is little-endian, whatever the
// byte order of either end; values are read and written byte by byte at
// their documented offsets (docs/protocol.md, "The client transport").
//
// A frame is an 8-byte header followed by its body:
//   0  u32  body length in bytes (at most the negotiated maximum)
//   4  u16  frame type
//   6  u16  reserved, 0
// The module's messages travel inside Message frames byte for byte, with
// their request class and type.
#ifndef KTZTRANSPORT_FRAME_H
#define KTZTRANSPORT_FRAME_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace ktztransport
{

constexpr uint32_t kHeaderSize = 8;
// Largest body the daemon sends (the Welcome repeats it).
constexpr uint32_t kMaxBodySize = 1u << 20;
// Largest body of a frame a client sends: a client has nothing large to say
// (a hello, a capability answer, a request, a goodbye text).
constexpr uint32_t kMaxClientBodySize = 4096;
// Protocol versions: 1, and 2, whose hello carries the client's capability
// mask so that the daemon never has to ask the client for it.
constexpr uint16_t kVersion = 1;
constexpr uint16_t kVersion2 = 2;
constexpr uint16_t kHighestVersion = kVersion2;
// The first four bytes of a hello ("KTZC") and of a welcome ("KTZD").
constexpr uint32_t kHelloMagic = 0x435A544Bu;
constexpr uint32_t kWelcomeMagic = 0x445A544Bu;
// Longest client or daemon name carried in a hello or welcome, without its NUL.
constexpr size_t kMaxNameLength = 63;
// Largest hello body: its 16 fixed bytes and the longest name with its NUL.
constexpr uint32_t kMaxHelloBodySize = 16 + kMaxNameLength + 1;
// Largest reply buffer a client may ask for in a Request frame.
constexpr uint32_t kMaxReplySize = 4096;

enum FrameType : uint16_t
{
    kHello = 0x0001,    // client -> daemon, first frame
    kWelcome = 0x0002,  // daemon -> client, answer to the hello
    kGoodbye = 0x0003,  // either way, last frame before closing
    kMessage = 0x0010,  // daemon -> client: one message of the module
    kResponse = 0x0011, // client -> daemon: answer to a Message that asks for one
    kRequest = 0x0020,  // client -> daemon: a request for the module
    kReply = 0x0021,    // daemon -> client: the module's answer to a Request
    kPing = 0x0030,     // either way
    kPong = 0x0031,     // answer to a ping, same token
};

// Why a connection ends (Goodbye reason codes).
enum GoodbyeReason : uint32_t
{
    kByeNormal = 0,          // the sender closes of its own accord
    kByeShutdown = 1,        // the daemon is stopping
    kByeProtocolError = 2,   // a frame that breaks the protocol
    kByeHelloTimeout = 3,    // no hello in time
    kByeBadVersion = 4,      // no common protocol version
    kByeTooManyClients = 5,  // the daemon's client limit is reached
    kByeNotPermitted = 6,    // the peer's credentials are not allowed
    kByeTooSlow = 7,         // the client fell behind its queue bound
    kByeResponseTimeout = 8, // a Message that asks for a response got none in time
    kByeRemovedByOperator = 9,
    kByeClientIdRefused = 10, // the requested client ID is not allowed or in use
};
const char* GoodbyeReasonName(uint32_t reason);

// Message flags.
constexpr uint32_t kMessageNullPayload = 0x1; // the module passed no payload pointer

struct Hello
{
    uint16_t minVersion = kVersion;
    uint16_t maxVersion = kVersion;
    uint32_t requestedClientId = 0; // 0: the daemon assigns one
    // Offset 12. A client that offers version 2 puts its capability mask
    // here, the daemon's answer to the module's capability query for it; a
    // client that speaks version 1 only sends 0 (version 1 calls it flags).
    uint32_t caps = 0;
    std::string name; // optional, at most kMaxNameLength bytes
};

struct Welcome
{
    uint16_t version = kVersion;
    uint32_t clientId = 0;
    uint32_t maxBodySize = kMaxBodySize;
    uint32_t flags = 0;
    std::string name; // the daemon's identification
};

struct Goodbye
{
    uint32_t reason = kByeNormal;
    std::string text;
};

struct Message
{
    uint32_t seq = 0; // per connection, from 1, one more for every Message frame
    uint32_t requestClass = 0;
    uint32_t requestType = 0;
    uint32_t responseSize = 0; // 0: no Response expected; else the response buffer size
    uint32_t flags = 0;
    std::vector<uint8_t> payload;
};

struct Response
{
    uint32_t seq = 0;    // of the Message answered
    uint32_t status = 0; // 0 success; anything else reaches the module as the dispatch status
    std::vector<uint8_t> data;
};

struct Request
{
    uint32_t seq = 0; // chosen by the client, echoed in the Reply
    uint32_t requestClass = 0;
    uint32_t requestType = 0;
    uint32_t replySize = 0; // reply buffer size, at most kMaxReplySize
    std::vector<uint8_t> data;
};

struct Reply
{
    uint32_t seq = 0;
    uint32_t status = 0; // the module's status
    std::vector<uint8_t> data;
};

struct Ping
{
    uint32_t token = 0;
};

// One frame as read: its type and body.
struct Frame
{
    uint16_t type = 0;
    std::vector<uint8_t> body;
};

// Encoders: append one whole frame (header and body) to `out`.
void Encode(const Hello& v, std::vector<uint8_t>* out);
void Encode(const Welcome& v, std::vector<uint8_t>* out);
void Encode(const Goodbye& v, std::vector<uint8_t>* out);
void Encode(const Message& v, std::vector<uint8_t>* out);
void Encode(const Response& v, std::vector<uint8_t>* out);
void Encode(const Request& v, std::vector<uint8_t>* out);
void Encode(const Reply& v, std::vector<uint8_t>* out);
// A Message frame with the fields of `v` and the payload given apart (v.payload
// is not used): the daemon builds it from the module's buffer without a copy.
void EncodeMessage(const Message& v, const uint8_t* payload, size_t size, std::vector<uint8_t>* out);
void EncodePing(uint32_t token, std::vector<uint8_t>* out);
void EncodePong(uint32_t token, std::vector<uint8_t>* out);
// Any frame from a type and a body.
void EncodeFrame(uint16_t type, const uint8_t* body, size_t size, std::vector<uint8_t>* out);

// Parsers of a frame's body. Each checks the frame type, the minimum size,
// every length and terminator; on failure it returns false and says why.
bool Parse(const Frame& f, Hello* v, std::string* error);
bool Parse(const Frame& f, Welcome* v, std::string* error);
bool Parse(const Frame& f, Goodbye* v, std::string* error);
bool Parse(const Frame& f, Message* v, std::string* error);
bool Parse(const Frame& f, Response* v, std::string* error);
bool Parse(const Frame& f, Request* v, std::string* error);
bool Parse(const Frame& f, Reply* v, std::string* error);
bool Parse(const Frame& f, Ping* v, std::string* error); // a Ping or a Pong

// Reads frames out of a byte stream that arrives in pieces of any size.
// A header that announces a body larger than the limit, or a non-zero
// reserved field, is a protocol error: the reader stops and keeps the error
// (the connection cannot be resynchronised and must be closed).
class FrameReader
{
  public:
    explicit FrameReader(uint32_t maxBodySize = kMaxBodySize) : max_(maxBodySize) {}

    // Appends bytes received. Returns false once the stream is in error.
    bool Feed(const uint8_t* data, size_t size);
    // Takes the next complete frame; false when none is complete (or after an
    // error). A bad header is found by the call that reaches it, even when
    // its body has not arrived: check Failed() whenever Next returns false,
    // not only after Feed.
    bool Next(Frame* frame);
    bool Failed() const { return !error_.empty(); }
    const std::string& Error() const { return error_; }
    // Bytes received and not yet returned as frames.
    size_t Pending() const { return buf_.size() - pos_; }
    void SetMaxBodySize(uint32_t max) { max_ = max; }
    // Gives the buffer's memory back when it holds no partial frame, so that
    // an idle connection keeps no buffer at all.
    void Release()
    {
        if (pos_ == buf_.size() && buf_.capacity() != 0)
        {
            std::vector<uint8_t>().swap(buf_);
            pos_ = 0;
        }
    }

  private:
    bool CheckHeader();
    uint32_t max_;
    std::vector<uint8_t> buf_;
    size_t pos_ = 0;
    std::string error_;
};

// Little-endian helpers, independent of the byte order of the machine.
inline void PutLe16(uint8_t* p, uint16_t v)
{
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}
inline void PutLe32(uint8_t* p, uint32_t v)
{
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v >> 16);
    p[3] = static_cast<uint8_t>(v >> 24);
}
inline uint16_t GetLe16(const uint8_t* p)
{
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}
inline uint32_t GetLe32(const uint8_t* p)
{
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

} // namespace ktztransport

#endif
