// One client connection on the I/O thread: reads into its Session, writes
// what the session queues, and keeps the connection's time limits: the
// hello deadline, the time a version 1 client has to answer the daemon's
// capability query, the time a frame once begun has to be completed, and
// the time a closing connection gets to deliver its goodbye. Reading stops
// while the client has its bound of requests in flight. Module threads give
// messages to the session under `mu`: one that finds nothing queued before
// it is written to the socket at once, on the module's thread and without
// waiting (WriteNow); only what the socket does not take is queued, and the
// connection is woken with Wake() to write it.
#ifndef KTZMOND_CONNECTION_H
#define KTZMOND_CONNECTION_H

#include "access.h"
#include "session.h"

#include <asio.hpp>
#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>

namespace ktzmond
{

class Hub;

class Connection : public std::enable_shared_from_this<Connection>, public SessionDelegate, public FrameSink
{
  public:
    using Socket = asio::generic::stream_protocol::socket;

    Connection(Hub& hub, Socket socket, std::string peer, const PeerCredentials& cred, uint64_t serial);
    ~Connection() override;

    // I/O thread: starts reading; a peer whose credentials are refused gets
    // its goodbye at once.
    void Start();
    // Any thread: ends the connection with a goodbye.
    void CloseWith(uint32_t reason, const std::string& text, bool dropQueued = false);
    // Any thread: the session has something to write, has changed state, or
    // may take frames again.
    void Wake();

    const std::string& peer() const { return peer_; }
    const PeerCredentials& credentials() const { return cred_; }
    uint64_t serial() const { return serial_; }

    // Guarded by `mu`; `cv` is notified whenever a response arrives or the
    // session ends.
    std::mutex mu;
    std::condition_variable cv;
    Session session;
    // Used on the host worker thread only: the module was told of this client.
    bool reported = false;

    // SessionDelegate (called with `mu` held, on the I/O thread).
    uint32_t Admit(const ktztransport::Hello& hello, uint32_t* clientId, std::string* why) override;
    void Ready(uint32_t clientId) override;
    void Requested(const ktztransport::Request& request) override;
    // FrameSink (any thread, `mu` held): a send that never waits, while the
    // socket is open and no write of the I/O thread is under way.
    size_t WriteNow(const uint8_t* data, size_t size) override;

  private:
    // What the I/O thread needs to know of the session after it took input.
    struct Snapshot
    {
        Session::State state = Session::State::AwaitHello;
        bool awaitingCaps = false;
        bool partialFrame = false;
        bool paused = false;
        uint64_t framesRead = 0;
    };
    Snapshot Snap() const; // `mu` held
    void DoRead();
    void AfterInput(const Snapshot& snap);
    void OnWake();
    void ArmTimers(const Snapshot& snap);
    void StartWrite();
    void Finish();

    Hub& hub_;
    Socket socket_;
    std::string peer_;
    PeerCredentials cred_;
    uint64_t serial_;
    asio::steady_timer handshakeTimer_; // the hello, then a version 1 client's capability answer
    asio::steady_timer frameTimer_;     // a frame begun and not completed
    asio::steady_timer lingerTimer_;
    // Under `mu`: the socket's descriptor until the I/O thread closes it
    // (-1 then), and whether an asynchronous write of wbuf_ is under way.
    int fd_ = -1;
    bool writing_ = false;
    // The bytes of that write; empty (and without memory) between writes.
    std::vector<uint8_t> wbuf_;
    size_t wframes_ = 0;
    bool lingering_ = false;
    bool finished_ = false;
    bool readPaused_ = false;
    bool capsTimerArmed_ = false;
    bool frameTimerArmed_ = false;
    uint64_t frameTimerFrames_ = 0; // framesRead when the frame timer was armed
    std::atomic<bool> wakePosted_{false};
};

} // namespace ktzmond

#endif
