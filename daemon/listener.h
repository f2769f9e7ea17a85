// The daemon's listening sockets: the claim of a socket path (a lock file
// beside it, refused while another daemon holds it or serves the path,
// reclaimed when stale), the Unix client socket (with peer credentials), the
// optional TCP socket, and accept loops that back off when accepting fails.
#ifndef KTZMOND_LISTENER_H
#define KTZMOND_LISTENER_H

#include "access.h"

#include <asio.hpp>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <sys/types.h>

namespace ktzmond
{

class Hub;

// One socket path held by this daemon: the lock file "PATH.lock" stays
// locked while the object lives, and only the socket file this daemon
// created (the same inode) is removed at the end.
class SocketClaim
{
  public:
    SocketClaim() = default;
    ~SocketClaim() { Release(); }
    SocketClaim(const SocketClaim&) = delete;
    SocketClaim& operator=(const SocketClaim&) = delete;

    // Takes the lock beside `path` and makes `path` free for a new socket: a
    // socket file nobody accepts on (a killed daemon's) is removed. False
    // with `error` when another daemon holds the lock or serves the path, or
    // the path is not a socket. The folder must have been prepared.
    bool Claim(const std::string& path, std::string* error, std::string* note);
    // The socket file was created: remember which one it is.
    void Created();
    // Removes the socket file if it is still the one created, and the lock.
    void Release();
    const std::string& path() const { return path_; }

  private:
    std::string path_;
    int lockFd_ = -1;
    bool created_ = false;
    dev_t dev_ = 0;
    ino_t ino_ = 0;
};

// A Unix stream listener: created with no access for group and others, then
// given `mode` and, when set, `group`. False with `error` when it cannot.
std::unique_ptr<asio::local::stream_protocol::acceptor> ListenUnix(asio::io_context& io,
                                                                   const std::string& path, mode_t mode,
                                                                   std::optional<gid_t> group,
                                                                   std::string* error, std::string* note);

// The pause of an accept loop after an accept that failed (out of
// descriptors, typically): the loop accepts again after it instead of at
// once, so that a connection waiting in the backlog does not make it spin.
// One per loop, living as long as its acceptor; nothing is allocated while
// descriptors are short.
class AcceptRetry
{
  public:
    explicit AcceptRetry(asio::io_context& io) : timer_(io) {}
    // Logs the failure (one line a second at most) and runs `again` after
    // the pause.
    void After(const asio::error_code& ec, const std::function<void(const std::string&)>& log,
               std::function<void()> again);

  private:
    asio::steady_timer timer_;
    std::chrono::steady_clock::time_point lastLog_{};
    unsigned unlogged_ = 0;
};

// Accepts clients on the Unix socket / on TCP and hands them to the hub.
void AcceptUnixClients(asio::local::stream_protocol::acceptor& acceptor, Hub& hub, AcceptRetry& retry);
std::unique_ptr<asio::ip::tcp::acceptor> ListenTcp(asio::io_context& io, const std::string& hostPort,
                                                   bool allowRemote, std::string* error);
void AcceptTcpClients(asio::ip::tcp::acceptor& acceptor, Hub& hub, AcceptRetry& retry);

} // namespace ktzmond

#endif
