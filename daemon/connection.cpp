// One client connection's I/O: reading, writing, the hello deadline and the
// goodbye's linger.
#include "connection.h"

#include "hub.h"

#include <chrono>

namespace ktzmond
{
namespace
{
// A closing connection gets this long to deliver its goodbye.
constexpr auto kLinger = std::chrono::milliseconds(500);
// Largest write handed to the socket at once.
constexpr size_t kWriteChunk = 64 * 1024;
} // namespace

using ktztransport::GoodbyeReasonName;

Connection::Connection(Hub& hub, Socket socket, std::string peer, const PeerCredentials& cred,
                       uint64_t serial)
    : session(this, SessionLimits{hub.options().queueBytes, hub.options().queueFrames}, hub.options().name),
      hub_(hub), socket_(std::move(socket)), peer_(std::move(peer)), cred_(cred), serial_(serial),
      helloTimer_(hub.io()), lingerTimer_(hub.io())
{
}

Connection::~Connection() = default;

void Connection::Start()
{
    if (!hub_.Permitted(cred_))
    {
        CloseWith(ktztransport::kByeNotPermitted, "user " + std::to_string(cred_.uid) + " (group " +
                                                      std::to_string(cred_.gid) +
                                                      ") is not allowed on this socket");
        DoRead();
        return;
    }
    helloTimer_.expires_after(std::chrono::milliseconds(hub_.options().helloTimeoutMs));
    std::weak_ptr<Connection> weak = shared_from_this();
    helloTimer_.async_wait(
        [weak](const asio::error_code& ec)
        {
            auto self = weak.lock();
            if (ec || !self)
            {
                return;
            }
            bool late = false;
            {
                std::lock_guard<std::mutex> lock(self->mu);
                late = self->session.state() == Session::State::AwaitHello;
            }
            if (late)
            {
                self->CloseWith(ktztransport::kByeHelloTimeout,
                                "no hello within " + std::to_string(self->hub_.options().helloTimeoutMs) +
                                    " ms");
            }
        });
    DoRead();
}

void Connection::CloseWith(uint32_t reason, const std::string& text, bool dropQueued)
{
    {
        std::lock_guard<std::mutex> lock(mu);
        session.Close(reason, text, dropQueued);
    }
    cv.notify_all();
    Wake();
}

void Connection::Wake()
{
    if (wakePosted_.exchange(true))
    {
        return;
    }
    asio::post(hub_.io(),
               [self = shared_from_this()]
               {
                   self->wakePosted_.store(false);
                   self->StartWrite();
               });
}

void Connection::DoRead()
{
    socket_.async_read_some(asio::buffer(rbuf_),
                            [self = shared_from_this()](const asio::error_code& ec, size_t n)
                            {
                                if (self->finished_)
                                {
                                    return;
                                }
                                if (ec)
                                {
                                    {
                                        std::lock_guard<std::mutex> lock(self->mu);
                                        self->session.PeerClosed();
                                    }
                                    self->Finish();
                                    return;
                                }
                                Session::State state;
                                {
                                    std::lock_guard<std::mutex> lock(self->mu);
                                    self->session.Feed(self->rbuf_.data(), n);
                                    state = self->session.state();
                                }
                                self->cv.notify_all();
                                if (state == Session::State::Closed)
                                {
                                    self->Finish();
                                    return;
                                }
                                self->StartWrite();
                                // A closing session keeps reading only to notice the peer leaving.
                                self->DoRead();
                            });
}

void Connection::StartWrite()
{
    if (finished_)
    {
        return;
    }
    Session::State state;
    {
        std::lock_guard<std::mutex> lock(mu);
        state = session.state();
        if (!writing_)
        {
            wbuf_.clear();
            wframes_ = session.TakeOutput(&wbuf_, kWriteChunk);
        }
    }
    // A closing connection gets a limited time to deliver its goodbye, even
    // when a write is stuck behind a client that stopped reading.
    if (state == Session::State::Closing && !lingering_)
    {
        lingering_ = true;
        helloTimer_.cancel();
        lingerTimer_.expires_after(kLinger);
        lingerTimer_.async_wait(
            [self = shared_from_this()](const asio::error_code& ec)
            {
                if (!ec)
                {
                    self->Finish();
                }
            });
    }
    if (writing_)
    {
        return;
    }
    if (wframes_ == 0)
    {
        if (state == Session::State::Closing || state == Session::State::Closed)
        {
            Finish();
        }
        return;
    }
    writing_ = true;
    asio::async_write(socket_, asio::buffer(wbuf_),
                      [self = shared_from_this()](const asio::error_code& ec, size_t n)
                      {
                          self->writing_ = false;
                          if (self->finished_)
                          {
                              return;
                          }
                          {
                              std::lock_guard<std::mutex> lock(self->mu);
                              self->session.Written(n, self->wframes_);
                              if (ec)
                              {
                                  self->session.PeerClosed();
                              }
                          }
                          if (ec)
                          {
                              self->cv.notify_all();
                              self->Finish();
                              return;
                          }
                          self->StartWrite();
                      });
}

void Connection::Finish()
{
    if (finished_)
    {
        return;
    }
    finished_ = true;
    helloTimer_.cancel();
    lingerTimer_.cancel();
    asio::error_code ignored;
    socket_.shutdown(asio::socket_base::shutdown_both, ignored);
    socket_.close(ignored);
    uint32_t reason = 0;
    uint32_t id = 0;
    std::string text;
    {
        std::lock_guard<std::mutex> lock(mu);
        session.PeerClosed(); // no-op when already closed; fails waiting responses
        reason = session.closeReason();
        text = session.closeText();
        id = session.clientId();
    }
    cv.notify_all();
    char line[96];
    std::snprintf(line, sizeof line, "client %u (%s) gone: %s: ", id, peer_.c_str(),
                  GoodbyeReasonName(reason));
    hub_.Log(line + text);
    hub_.Remove(shared_from_this());
}

uint32_t Connection::Admit(const ktztransport::Hello& hello, uint32_t* clientId, std::string* why)
{
    helloTimer_.cancel();
    return hub_.Admit(this, hello, clientId, why);
}

void Connection::Welcomed(uint32_t)
{
    hub_.QueueConnect(shared_from_this());
}

void Connection::Requested(const ktztransport::Request& request)
{
    hub_.QueueRequest(shared_from_this(), request);
}

} // namespace ktzmond
