// The receiving side of the live daemon benchmark: many stream-socket
// connections read by one thread through epoll, each decoding frames of the
// client transport. A connection is either a client of ktzmond (it sends
// its hello, answers the capability query and counts as synced at
// data-sync-complete) or one end of a socket pair that starts synced.
// Every wait has a deadline.
#ifndef KTZBENCH_LIVE_CLIENTS_H
#define KTZBENCH_LIVE_CLIENTS_H

#include <cstdint>
#include <frame.h>
#include <memory>
#include <string>
#include <vector>

namespace ktzbench
{

// Nanoseconds on the monotonic clock.
int64_t MonotonicNs();

class Receivers
{
  public:
    Receivers();
    ~Receivers(); // closes every connection
    Receivers(const Receivers&) = delete;
    Receivers& operator=(const Receivers&) = delete;

    // Connects a client to the daemon's socket at `path` and sends its
    // version 2 hello stating `caps` (a capability query, should one come,
    // is answered with them too).
    bool ConnectClient(const std::string& path, uint32_t caps, std::string* error);
    // Connects to a socket that sends frames without a handshake (the
    // relay): the connection starts synced.
    bool ConnectPlain(const std::string& path, std::string* error);
    // Takes `fd` (a connected stream socket) as an already synced connection.
    bool AddSynced(int fd, std::string* error);
    size_t size() const { return conns_.size(); }
    void CloseAll();

    // Reads until every connection has synced.
    bool WaitAllSynced(int64_t deadlineNs, std::string* error);
    // Reads until every connection has received `count` chassis log event
    // messages since it was added; `lastArrivalNs` is when the last of them
    // was read.
    bool WaitEvents(uint64_t count, int64_t deadlineNs, int64_t* lastArrivalNs, std::string* error);
    // Reads whatever arrives for `ns` nanoseconds (stray messages).
    bool Drain(int64_t ns, std::string* error);
    // Payload size of the last chassis log event message read (0: none yet).
    size_t LastEventPayload() const { return lastEventPayload_; }
    // One epoll wait of at most `timeoutMs` and the reading it allows.
    bool Pump(int timeoutMs, std::string* error);

  private:
    struct Conn
    {
        int fd = -1;
        uint32_t caps = 0;
        bool synced = false;
        uint64_t events = 0;
        ktztransport::FrameReader reader;
    };
    bool Register(std::unique_ptr<Conn> c, std::string* error);
    int Connect(const std::string& path, std::string* error);
    bool ReadConn(Conn& c, std::string* error);
    bool HandleFrame(Conn& c, const ktztransport::Frame& f, std::string* error);

    int epfd_ = -1;
    std::vector<std::unique_ptr<Conn>> conns_;
    size_t synced_ = 0;
    uint64_t target_ = 0; // the event count WaitEvents waits for
    size_t reached_ = 0;  // connections at the target
    int64_t lastArrival_ = 0;
    size_t lastEventPayload_ = 0;
};

} // namespace ktzbench

#endif
