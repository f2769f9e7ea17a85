// One client connection's protocol state, without any I/O: bytes received
// go in, frames to send come out. It enforces the conversation (hello first
// and within its deadline, then messages, responses, requests, pings, a
// goodbye), learns the client's capability answer before the client is
// reported to the module (from a version 2 hello, or by asking a version 1
// client itself), bounds what the client may send (frame sizes, requests in
// flight) and the outgoing queue (bytes and frames), and keeps the Messages
// that wait for a Response. The owner serialises every call with its own
// lock; the module's threads queue messages through it, the I/O thread
// feeds it and drains it.
#ifndef KTZMOND_SESSION_H
#define KTZMOND_SESSION_H

#include <cstddef>
#include <cstdint>
#include <deque>
#include <frame.h>
#include <map>
#include <string>
#include <vector>

namespace ktzmond
{

// What a session asks of the daemon.
class SessionDelegate
{
  public:
    virtual ~SessionDelegate() = default;
    // A valid hello with a common version arrived. Returns 0 and the client
    // ID to accept the client, or a goodbye reason (and a text) to refuse it.
    virtual uint32_t Admit(const ktztransport::Hello& hello, uint32_t* clientId, std::string* why) = 0;
    // The client's capability answer is known (its version 2 hello, or its
    // Response to the daemon's own query): it may be reported to the module.
    virtual void Ready(uint32_t clientId) = 0;
    // A request for the module. Its Reply comes back through QueueReply.
    virtual void Requested(const ktztransport::Request& request) = 0;
};

// Where a session writes a frame at once instead of queuing it, when nothing
// is queued or being written before it: the connection's socket, written
// without waiting. Called with the owner's lock held, on whichever thread
// queues the frame.
class FrameSink
{
  public:
    virtual ~FrameSink() = default;
    // Writes as much of the bytes as the socket takes now, without waiting;
    // returns how many it took (0 when it takes none or cannot be written).
    virtual size_t WriteNow(const uint8_t* data, size_t size) = 0;
};

// Requests of one client that the module has not answered yet; at this
// bound the session takes no more frames until a Reply is queued.
constexpr size_t kMaxRequestsInFlight = 8;

struct SessionLimits
{
    size_t maxQueueBytes = 4u << 20;
    size_t maxQueueFrames = 8192;
    size_t maxRequestsInFlight = kMaxRequestsInFlight;
};

// What the client answered to the capability query, kept to answer the
// module's own query for it.
struct CapsAnswer
{
    uint32_t status = 0;
    std::vector<uint8_t> data;
};

// A Message waiting for its Response; owned by the thread that waits.
struct PendingResponse
{
    uint32_t responseSize = 0;
    bool done = false;
    bool answered = false; // false when done because the connection ended
    uint32_t status = 0;
    std::vector<uint8_t> data;
};

class Session
{
  public:
    enum class State
    {
        AwaitHello,
        Open,
        Closing, // a goodbye is queued; nothing more is read or queued
        Closed,  // the peer said goodbye or the stream ended
    };
    enum class QueueResult
    {
        Queued,
        Gone,     // the client has gone or is going
        Overflow, // the bound was exceeded: the session is now closing (reason 7)
    };

    // With a `sink`, a frame that finds nothing queued or being written
    // before it goes to the sink at once and only what the sink did not take
    // is queued; the bounds are checked first all the same.
    Session(SessionDelegate* delegate, const SessionLimits& limits, std::string daemonName,
            FrameSink* sink = nullptr);

    // Bytes from the peer. Protocol errors close the session with a goodbye.
    // Frames behind a request over the in-flight bound stay buffered until
    // Resume.
    void Feed(const uint8_t* data, size_t size);
    // Takes the buffered frames once requests are below their bound again.
    void Resume();
    // Open, and at the bound of requests in flight: read nothing more.
    bool ReadPaused() const;
    // Bytes of a frame begun and not yet complete.
    bool HoldsPartialFrame() const { return reader_.Pending() != 0; }
    // Frames taken so far (a partial frame after a change is a new one).
    uint64_t framesRead() const { return framesRead_; }
    // The peer's stream ended (or failed).
    void PeerClosed();
    // Queues a goodbye and stops reading. `dropQueued` also throws away the
    // frames not yet handed to the writer (for a client that stopped reading).
    void Close(uint32_t reason, const std::string& text, bool dropQueued = false);

    // A message of the module. `pending` (when the message asks for a
    // response) is registered under the message's sequence number and
    // completed by the Response or by the end of the session.
    QueueResult QueueMessage(uint32_t requestClass, uint32_t requestType, const uint8_t* payload,
                             uint32_t size, bool nullPayload, uint32_t responseSize, PendingResponse* pending,
                             uint32_t* seq);
    // Forgets a pending response (its waiter gave up).
    void Abandon(uint32_t seq);
    // The module's answer to a client request (one of the requests in flight).
    QueueResult QueueReply(const ktztransport::Reply& reply);
    // The client's answer to the capability query, when known; the module's
    // query is answered with it instead of being sent.
    const CapsAnswer* capsAnswer() const { return ready_ ? &capsAnswer_ : nullptr; }
    // Welcomed with version 1 and the daemon's own capability query not yet
    // answered; its sequence number.
    bool AwaitingCapsAnswer() const { return state_ == State::Open && !ready_; }
    uint32_t capsQuerySeq() const { return capsQuerySeq_; }

    // Moves queued frames, up to about `maxBytes` (at least one frame), into
    // `out` for writing; returns the number of frames moved.
    size_t TakeOutput(std::vector<uint8_t>* out, size_t maxBytes);
    // A write of `bytes` bytes holding `frames` frames completed.
    void Written(size_t bytes, size_t frames);
    bool HasOutput() const { return !queue_.empty(); }

    State state() const { return state_; }
    uint32_t clientId() const { return clientId_; }
    uint16_t version() const { return version_; }
    uint32_t closeReason() const { return closeReason_; }
    const std::string& closeText() const { return closeText_; }
    const std::string& peerName() const { return peerName_; }
    size_t queuedFrames() const { return frames_; }
    size_t queuedBytes() const { return bytes_; }
    uint64_t messagesQueued() const { return messages_; }
    // The mask the client reported in its last successful capability answer.
    bool hasCaps() const { return hasCaps_; }
    uint32_t caps() const { return caps_; }

  private:
    void TakeFrames();
    void Handle(const ktztransport::Frame& f);
    void HandleHello(const ktztransport::Frame& f);
    void HandleResponse(const ktztransport::Frame& f);
    void AskCaps();
    void ProtocolError(const std::string& why);
    // Queues a frame (or writes it to the sink); `frame` may be moved from.
    QueueResult Push(std::vector<uint8_t>& frame);
    // Hands a frame on within the bounds already checked.
    void Deliver(std::vector<uint8_t>& frame);
    void FailPending();

    SessionDelegate* delegate_;
    FrameSink* sink_;
    SessionLimits limits_;
    std::string daemonName_;
    ktztransport::FrameReader reader_{ktztransport::kMaxHelloBodySize};
    State state_ = State::AwaitHello;
    uint16_t version_ = 0;
    uint32_t clientId_ = 0;
    bool ready_ = false; // the capability answer is known
    CapsAnswer capsAnswer_;
    uint32_t capsQuerySeq_ = 0; // the daemon's own query to a version 1 client
    size_t requestsInFlight_ = 0;
    uint64_t framesRead_ = 0;
    uint32_t closeReason_ = 0;
    std::string closeText_;
    std::string peerName_;
    uint32_t nextSeq_ = 1;
    std::deque<std::vector<uint8_t>> queue_; // frames not yet handed to the writer
    // The queue's first entry is the rest of a frame the sink took in part:
    // it stays when the queue is dropped, or the stream would break.
    bool frontPartial_ = false;
    size_t frames_ = 0; // queued and in the writer's hands (a partly written frame counts)
    size_t bytes_ = 0;  // their bytes not yet written
    uint64_t messages_ = 0;
    struct Waiting
    {
        PendingResponse* pending; // nullptr: the daemon's own capability query
        uint32_t requestType;
    };
    std::map<uint32_t, Waiting> waiting_;
    bool hasCaps_ = false;
    uint32_t caps_ = 0;
};

} // namespace ktzmond

#endif
