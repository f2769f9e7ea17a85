// One client connection's I/O: reading (paused while the client's requests
// are at their bound), writing, the connection's time limits and the
// goodbye's linger.
#include "connection.h"

#include "hub.h"

#include <chrono>
#include <sys/socket.h>

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
    : session(this, SessionLimits{hub.options().queueBytes, hub.options().queueFrames, kMaxRequestsInFlight},
              hub.options().name, this),
      hub_(hub), socket_(std::move(socket)), peer_(std::move(peer)), cred_(cred), serial_(serial),
      handshakeTimer_(hub.io()), frameTimer_(hub.io()), lingerTimer_(hub.io())
{
    // Reads wait for the socket to be readable and then take what is there
    // into the hub's one read buffer, so the socket must not block.
    asio::error_code ec;
    socket_.non_blocking(true, ec);
    fd_ = socket_.native_handle();
}

Connection::~Connection() = default;

void Connection::Start()
{
    if (!hub_.Permitted(cred_))
    {
        CloseWith(ktztransport::kByeNotPermitted,
                  cred_.known ? "user " + std::to_string(cred_.uid) + " (group " + std::to_string(cred_.gid) +
                                    ") is not allowed on this socket"
                  : cred_.remote ? "clients from other machines are not allowed"
                                 : "the peer's credentials are unknown");
        DoRead();
        return;
    }
    handshakeTimer_.expires_after(std::chrono::milliseconds(hub_.options().helloTimeoutMs));
    std::weak_ptr<Connection> weak = shared_from_this();
    handshakeTimer_.async_wait(
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
                   self->OnWake();
               });
}

Connection::Snapshot Connection::Snap() const
{
    Snapshot s;
    s.state = session.state();
    s.awaitingCaps = session.AwaitingCapsAnswer();
    s.partialFrame = session.HoldsPartialFrame();
    s.paused = session.ReadPaused();
    s.framesRead = session.framesRead();
    return s;
}

// Waits until the socket is readable, then reads what is there into the
// hub's read buffer (shared by every connection: only the I/O thread reads)
// and feeds it to the session, which keeps only a partial frame. A waiting
// connection holds no buffer of its own.
void Connection::DoRead()
{
    socket_.async_wait(asio::socket_base::wait_read,
                       [self = shared_from_this()](const asio::error_code& waitEc)
                       {
                           if (self->finished_)
                           {
                               return;
                           }
                           asio::error_code ec = waitEc;
                           size_t n = 0;
                           uint8_t* buf = self->hub_.ReadBuffer();
                           if (!ec)
                           {
                               n = self->socket_.read_some(asio::buffer(buf, Hub::kReadChunk), ec);
                           }
                           if (ec == asio::error::would_block || ec == asio::error::try_again)
                           {
                               self->DoRead(); // woken for nothing
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
                           Snapshot snap;
                           {
                               std::lock_guard<std::mutex> lock(self->mu);
                               self->session.Feed(buf, n);
                               snap = self->Snap();
                           }
                           self->AfterInput(snap);
                       });
}

// After the session took input: finish, re-arm the time limits, write, and
// read on unless the client's requests are at their bound.
void Connection::AfterInput(const Snapshot& snap)
{
    cv.notify_all();
    if (snap.state == Session::State::Closed)
    {
        Finish();
        return;
    }
    ArmTimers(snap);
    StartWrite();
    if (snap.paused)
    {
        readPaused_ = true; // OnWake reads on once a reply has come back
        return;
    }
    // A closing session keeps reading only to notice the peer leaving.
    DoRead();
}

void Connection::OnWake()
{
    if (readPaused_ && !finished_)
    {
        Snapshot snap;
        bool resume = false;
        {
            std::lock_guard<std::mutex> lock(mu);
            if (!session.ReadPaused())
            {
                session.Resume(); // the frames that waited, up to the bound again
                snap = Snap();
                resume = true;
            }
        }
        if (resume)
        {
            readPaused_ = false;
            AfterInput(snap);
            return;
        }
    }
    StartWrite();
}

void Connection::ArmTimers(const Snapshot& snap)
{
    const Options& o = hub_.options();
    if (snap.awaitingCaps && !capsTimerArmed_)
    {
        // A version 1 client answers the daemon's capability query before
        // the module hears of it; nobody else waits meanwhile.
        capsTimerArmed_ = true;
        handshakeTimer_.expires_after(std::chrono::milliseconds(o.responseTimeoutMs));
        handshakeTimer_.async_wait(
            [weak = std::weak_ptr<Connection>(shared_from_this())](const asio::error_code& ec)
            {
                auto self = weak.lock();
                if (ec || !self)
                {
                    return;
                }
                uint32_t seq = 0;
                {
                    std::lock_guard<std::mutex> lock(self->mu);
                    if (!self->session.AwaitingCapsAnswer())
                    {
                        return;
                    }
                    seq = self->session.capsQuerySeq();
                }
                const std::string ms = std::to_string(self->hub_.options().responseTimeoutMs);
                self->CloseWith(ktztransport::kByeResponseTimeout,
                                "no response to message " + std::to_string(seq) + " within " + ms + " ms");
            });
    }
    const bool partial = snap.partialFrame && snap.state == Session::State::Open;
    if (!partial)
    {
        if (frameTimerArmed_)
        {
            frameTimerArmed_ = false;
            frameTimer_.cancel();
        }
        return;
    }
    if (frameTimerArmed_ && snap.framesRead == frameTimerFrames_)
    {
        return; // the same frame is still coming in: its limit stands
    }
    // A new frame has begun: it has the whole limit to arrive.
    frameTimerArmed_ = true;
    frameTimerFrames_ = snap.framesRead;
    frameTimer_.expires_after(std::chrono::milliseconds(o.frameTimeoutMs));
    frameTimer_.async_wait(
        [weak = std::weak_ptr<Connection>(shared_from_this()),
         frames = snap.framesRead](const asio::error_code& ec)
        {
            auto self = weak.lock();
            if (ec || !self || !self->frameTimerArmed_ || self->frameTimerFrames_ != frames)
            {
                return;
            }
            self->frameTimerArmed_ = false;
            if (self->readPaused_)
            {
                // Not read because the module has not answered its requests
                // yet: not the client's delay. Checked again on the next input.
                return;
            }
            const std::string ms = std::to_string(self->hub_.options().frameTimeoutMs);
            self->CloseWith(ktztransport::kByeProtocolError, "a frame not completed within " + ms + " ms");
        });
}

void Connection::StartWrite()
{
    if (finished_)
    {
        return;
    }
    Session::State state;
    bool start = false;
    bool busy = false;
    {
        std::lock_guard<std::mutex> lock(mu);
        state = session.state();
        if (!writing_ && session.HasOutput())
        {
            wbuf_.clear();
            wframes_ = session.TakeOutput(&wbuf_, kWriteChunk);
            writing_ = true;
            start = true;
        }
        busy = writing_;
    }
    // A closing connection gets a limited time to deliver its goodbye, even
    // when a write is stuck behind a client that stopped reading.
    if (state == Session::State::Closing && !lingering_)
    {
        lingering_ = true;
        handshakeTimer_.cancel();
        frameTimer_.cancel();
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
    if (!start)
    {
        if (!busy && (state == Session::State::Closing || state == Session::State::Closed))
        {
            Finish();
        }
        return;
    }
    asio::async_write(socket_, asio::buffer(wbuf_),
                      [self = shared_from_this()](const asio::error_code& ec, size_t n)
                      {
                          {
                              std::lock_guard<std::mutex> lock(self->mu);
                              self->writing_ = false;
                              if (!self->finished_)
                              {
                                  self->session.Written(n, self->wframes_);
                                  if (ec)
                                  {
                                      self->session.PeerClosed();
                                  }
                              }
                          }
                          // Between writes the connection keeps no write buffer.
                          std::vector<uint8_t>().swap(self->wbuf_);
                          if (self->finished_)
                          {
                              return;
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
    handshakeTimer_.cancel();
    frameTimer_.cancel();
    lingerTimer_.cancel();
    {
        // No thread writes to the descriptor from here on: it is closed
        // below and its number may be reused at once.
        std::lock_guard<std::mutex> lock(mu);
        fd_ = -1;
    }
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
    hub_.Log("client " + std::to_string(id) + " (" + peer_ + ") gone: " + GoodbyeReasonName(reason) + ": " +
             text);
    hub_.Remove(shared_from_this());
}

uint32_t Connection::Admit(const ktztransport::Hello& hello, uint32_t* clientId, std::string* why)
{
    handshakeTimer_.cancel();
    return hub_.Admit(this, hello, clientId, why);
}

void Connection::Ready(uint32_t)
{
    handshakeTimer_.cancel();
    hub_.QueueConnect(shared_from_this());
}

size_t Connection::WriteNow(const uint8_t* data, size_t size)
{
    if (fd_ < 0 || writing_)
    {
        return 0;
    }
    // MSG_DONTWAIT: the caller may be a module thread, which must never wait
    // for a client. A failed send takes nothing; the I/O thread's write of the
    // queued frame then meets the same error and ends the connection.
    const ssize_t n = ::send(fd_, data, size, MSG_DONTWAIT | MSG_NOSIGNAL);
    return n > 0 ? static_cast<size_t>(n) : 0;
}

void Connection::Requested(const ktztransport::Request& request)
{
    hub_.QueueRequest(shared_from_this(), request);
}

} // namespace ktzmond
