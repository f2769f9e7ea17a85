// One client connection on the I/O thread: reads into its Session, writes
// what the session queues, enforces the hello deadline and the time a
// closing connection gets to deliver its goodbye. Module threads queue
// messages through the session under `mu` and wake the writer with Wake().
#ifndef KTZMOND_CONNECTION_H
#define KTZMOND_CONNECTION_H

#include "session.h"

#include <array>
#include <asio.hpp>
#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <sys/types.h>

namespace ktzmond
{

class Hub;

struct PeerCredentials
{
    bool known = false; // Unix sockets only
    pid_t pid = 0;
    uid_t uid = 0;
    gid_t gid = 0;
};

class Connection : public std::enable_shared_from_this<Connection>, public SessionDelegate
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
    // Any thread: the session has something to write or has changed state.
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
    void Welcomed(uint32_t clientId) override;
    void Requested(const ktztransport::Request& request) override;

  private:
    void DoRead();
    void StartWrite();
    void Finish();

    Hub& hub_;
    Socket socket_;
    std::string peer_;
    PeerCredentials cred_;
    uint64_t serial_;
    asio::steady_timer helloTimer_;
    asio::steady_timer lingerTimer_;
    std::array<uint8_t, 16384> rbuf_{};
    std::vector<uint8_t> wbuf_;
    size_t wframes_ = 0;
    bool writing_ = false;
    bool lingering_ = false;
    bool finished_ = false;
    std::atomic<bool> wakePosted_{false};
};

} // namespace ktzmond

#endif
