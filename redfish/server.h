// The HTTP(S) listener and its connections, on one Asio I/O thread, every
// operation asynchronous. A connection reads one request at a time, hands it
// to the Service and writes the response; an event stream then keeps the
// connection and writes the frames the event hub delivers.
//
// Bounds (ServerLimits): connections at once (when a new one comes at the
// limit, the connection that has waited longest for its request, or is
// still in its TLS handshake, is closed to make room; event streams and
// connections being answered are never taken); the TLS handshake's time; the
// time from a request's first byte to its end; how long an idle connection
// is kept; how long a write may take; how many bytes an event stream may
// have waiting (a slower reader is dropped and can reconnect with
// Last-Event-ID).
#ifndef KTZREDFISH_SERVER_H
#define KTZREDFISH_SERVER_H

#include "service.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl/context.hpp>
#include <boost/asio/steady_timer.hpp>
#include <chrono>
#include <cstdint>
#include <string>
#include <unordered_set>

namespace ktzredfish
{

struct ServerLimits
{
    size_t maxConnections = 128;
    std::chrono::milliseconds handshakeTimeout{10000};
    std::chrono::milliseconds requestTimeout{10000}; // first byte to the end of a request
    std::chrono::milliseconds idleTimeout{60000};    // between requests on a kept-alive connection
    std::chrono::milliseconds writeTimeout{30000};
    std::chrono::milliseconds heartbeat{30000}; // a comment line on a quiet event stream
    size_t maxStreamQueueBytes = 1 << 20;
};

class Connection;

class Server
{
  public:
    // `tls` null: plain HTTP.
    Server(boost::asio::io_context& io, Service& service, const ServerLimits& limits,
           boost::asio::ssl::context* tls);
    ~Server();
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    bool Listen(const boost::asio::ip::tcp::endpoint& at, std::string* error);
    uint16_t port() const;
    // Stops accepting and closes every connection.
    void Stop();
    size_t connections() const { return conns_.size(); }

    // For the connections.
    void Register(Connection* c) { conns_.insert(c); }
    void Unregister(Connection* c) { conns_.erase(c); }
    Service& service() { return svc_; }
    const ServerLimits& limits() const { return limits_; }
    bool tls() const { return tls_ != nullptr; }

  private:
    void Accept();
    void MakeRoom();
    // Every kSweep, closes the connections past their deadline.
    void Sweep();
    void SessionEnded(const std::string& id);

    boost::asio::io_context& io_;
    Service& svc_;
    ServerLimits limits_;
    boost::asio::ssl::context* tls_;
    boost::asio::ip::tcp::acceptor acceptor_;
    boost::asio::steady_timer retry_;
    boost::asio::steady_timer sweep_;
    std::unordered_set<Connection*> conns_;
    bool stopped_ = false;
};

// What the server needs of a connection, whatever its stream.
class Connection
{
  public:
    virtual ~Connection() = default;
    virtual void Close() = 0;
    // Waiting for (the rest of) a request or in the TLS handshake: may be
    // closed to make room; `since` orders them.
    bool evictable = true;
    int64_t since = 0;
    bool streaming = false;
    std::string sessionId; // of an event stream
    // Monotonic milliseconds by which the step under way must be done; 0:
    // none (an event stream waiting for its next event).
    int64_t deadline = 0;
};

} // namespace ktzredfish

#endif
