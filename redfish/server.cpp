// Listener and connections on Boost.Beast. One connection type for plain
// and TLS streams: the TLS one shakes hands first and says close_notify last.
#include "server.h"

#include "messages.h"
#include "target.h"
#include "wire.h"

#include <boost/asio/ip/v6_only.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>
#include <deque>
#include <memory>
#include <optional>
#include <sstream>

namespace ktzredfish
{

namespace
{

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace ssl = asio::ssl;
using tcp = asio::ip::tcp;
using error_code = boost::system::error_code;

// Bare sockets underneath: time limits are the server's sweep, not
// per-operation timers. Beast's TLS stream gathers a response's header and
// body into one record.
using PlainStream = tcp::socket;
using TlsStream = beast::ssl_stream<tcp::socket>;

// How often deadlines are checked: a timeout ends at most this much late.
constexpr std::chrono::milliseconds kSweep{200};

int64_t SteadyMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

std::string PeerText(const tcp::socket& s)
{
    error_code ec;
    const tcp::endpoint ep = s.remote_endpoint(ec);
    if (ec)
    {
        return "?";
    }
    const std::string addr = ep.address().to_string();
    return (ep.address().is_v6() ? "[" + addr + "]" : addr) + ":" + std::to_string(ep.port());
}

template <class Stream>
class Conn final : public Connection, public EventSink, public std::enable_shared_from_this<Conn<Stream>>
{
  public:
    static constexpr bool kTls = std::is_same_v<Stream, TlsStream>;

    template <class... Args>
    Conn(Server& server, std::string peer, Args&&... args)
        : server_(server), svc_(server.service()), limits_(server.limits()),
          stream_(std::forward<Args>(args)...), peer_(std::move(peer)),
          heartbeat_(beast::get_lowest_layer(stream_).get_executor())
    {
        since = SteadyMs();
        server_.Register(this);
    }

    ~Conn() override
    {
        EndStream();
        server_.Unregister(this);
    }

    void Start()
    {
        if constexpr (kTls)
        {
            Due(limits_.handshakeTimeout);
            stream_.async_handshake(ssl::stream_base::server,
                                    [self = this->shared_from_this()](const error_code& ec)
                                    {
                                        if (ec)
                                        {
                                            self->Close(); // a broken or slow handshake: nothing to answer
                                            return;
                                        }
                                        self->ReadRequest();
                                    });
        }
        else
        {
            ReadRequest();
        }
    }

    void Close() override
    {
        if (closed_)
        {
            return;
        }
        closed_ = true;
        deadline = 0;
        EndStream();
        heartbeat_.cancel();
        error_code ec;
        Lowest().shutdown(tcp::socket::shutdown_both, ec);
        Lowest().close(ec);
    }

    // EventSink: one frame for this stream.
    void Deliver(const Frame& frame) override
    {
        if (closed_)
        {
            return;
        }
        if (queuedBytes_ + frame->size() > limits_.maxStreamQueueBytes)
        {
            svc_.log("event stream to " + peer_ + " dropped: its reader fell " +
                     std::to_string(queuedBytes_) + " bytes behind");
            Close();
            return;
        }
        Queue(frame);
    }

  private:
    tcp::socket& Lowest() { return beast::get_lowest_layer(stream_); }
    // The time the step begun now may take; the server's sweep closes the
    // connection past it. (Not a timer per operation: arming and cancelling
    // one for every read and write costs system calls on every request.)
    template <class Duration> void Due(Duration d)
    {
        deadline = SteadyMs() + std::chrono::duration_cast<std::chrono::milliseconds>(d).count();
    }

    void ReadRequest()
    {
        evictable = true;
        since = SteadyMs();
        NewParser(parser_);
        headerBytes_ = 0;
        if (buffer_.size() > 0)
        {
            Due(limits_.requestTimeout);
            ParseBuffered(); // the next request is here already (pipelining)
            return;
        }
        // An idle connection waits at most the idle time for a first byte.
        // The parser gives nothing back before a header is whole, so the
        // first bytes are read here, to start the request's own clock.
        Due(limits_.idleTimeout);
        stream_.async_read_some(buffer_.prepare(4096),
                                [self = this->shared_from_this()](const error_code& ec, size_t n)
                                {
                                    if (ec || self->closed_)
                                    {
                                        self->Close();
                                        return;
                                    }
                                    self->buffer_.commit(n);
                                    self->Due(self->limits_.requestTimeout);
                                    self->ParseBuffered();
                                });
    }

    // What is read already; most requests come whole in their first read.
    // The header's bytes are counted here, request line included: the
    // parser's own limit counts from the line it is taking apart, so a
    // header sent in pieces could pass it by the lines taken before.
    void ParseBuffered()
    {
        error_code ec;
        while (buffer_.size() > 0 && !parser_->is_done())
        {
            const bool inHeader = !parser_->is_header_done();
            const size_t used = parser_->put(buffer_.data(), ec);
            buffer_.consume(used);
            if (inHeader)
            {
                headerBytes_ += used;
            }
            if (ec == http::error::need_more)
            {
                ec = {};
                if (!parser_->is_header_done() && headerBytes_ + buffer_.size() > kMaxHeaderBytes)
                {
                    ec = http::error::header_limit;
                }
                break;
            }
            if (ec)
            {
                break;
            }
            if (inHeader && parser_->is_header_done() && headerBytes_ > kMaxHeaderBytes)
            {
                ec = http::error::header_limit;
                break;
            }
        }
        if (ec || parser_->is_done())
        {
            OnRead(ec);
            return;
        }
        ReadRest();
    }

    // The rest of a request, due within the request time from its first byte.
    void ReadRest()
    {
        stream_.async_read_some(buffer_.prepare(4096),
                                [self = this->shared_from_this()](const error_code& ec, size_t n)
                                {
                                    if (ec || self->closed_)
                                    {
                                        self->Close(); // the peer left, or the socket or TLS failed
                                        return;
                                    }
                                    self->buffer_.commit(n);
                                    self->ParseBuffered();
                                });
    }

    void OnRead(const error_code& ec)
    {
        if (closed_)
        {
            return;
        }
        if (ec == http::error::end_of_stream || ec == http::error::partial_message ||
            (ec && ec.category() != http::make_error_code(http::error::header_limit).category()))
        {
            Close(); // the peer left, was too slow, or the socket or TLS failed
            return;
        }
        if (ec)
        {
            Respond(ParseError(ec), 11, false, false);
            return;
        }
        evictable = false;
        http::request<http::string_body> req = parser_->release();
        const unsigned version = req.version();
        const bool keepAlive = req.keep_alive();
        const bool head = req.method() == http::verb::head;
        // The connection lives until its answer comes, also while a
        // password check keeps the service waiting (bounded in number and
        // time by the checker).
        svc_.Handle(FromWire(std::move(req), peer_, kTls),
                    [self = this->shared_from_this(), version, keepAlive, head](Response res)
                    { self->Respond(std::move(res), version, keepAlive, head); });
    }

    void Respond(Response res, unsigned version, bool keepAlive, bool head)
    {
        if (closed_)
        {
            if (res.stream)
            {
                svc_.StreamClosed(res.stream->sessionId);
            }
            return;
        }
        if (res.stream)
        {
            StartStream(std::move(res));
            return;
        }
        const bool close = res.close || !keepAlive;
        response_.emplace(ToWire(std::move(res), version, keepAlive, head));
        Due(limits_.writeTimeout);
        http::async_write(stream_, *response_,
                          [self = this->shared_from_this(), close](const error_code& ec, size_t)
                          {
                              self->response_.reset();
                              if (ec || close)
                              {
                                  self->Shutdown();
                                  return;
                              }
                              self->ReadRequest();
                          });
    }

    // The end of an answered connection: TLS says close_notify (briefly).
    void Shutdown()
    {
        if constexpr (kTls)
        {
            if (!closed_)
            {
                Due(std::chrono::seconds(2));
                stream_.async_shutdown([self = this->shared_from_this()](const error_code&)
                                       { self->Close(); });
                return;
            }
        }
        Close();
    }

    // ---- event stream -----------------------------------------------------------------
    void StartStream(Response res)
    {
        streaming = true;
        sessionId = res.stream->sessionId;
        http::response<http::empty_body> head{http::status::ok, 11};
        for (const auto& [name, value] : res.headers)
        {
            head.set(name, value); // content-type and cache-control: Beast writes their usual form
        }
        head.set(http::field::server, "ktzmon-redfish");
        head.keep_alive(false); // the body runs until either side closes
        std::ostringstream text;
        text << head.base();
        Queue(std::make_shared<const std::string>(text.str()));
        for (const Frame& f : res.stream->replay)
        {
            Queue(f);
        }
        svc_.events().Subscribe(this);
        subscribed_ = true;
        WatchPeer();
        Heartbeat();
    }

    // A stream's reader sends nothing; any byte or the end of its side ends
    // the stream. No time limit while it waits.
    void WatchPeer()
    {
        deadline = 0; // while nothing is being written
        stream_.async_read_some(asio::buffer(discard_),
                                [self = this->shared_from_this()](const error_code& ec, size_t)
                                {
                                    if (!ec && !self->closed_)
                                    {
                                        self->WatchPeer();
                                        return;
                                    }
                                    self->Close();
                                });
    }

    void Heartbeat()
    {
        heartbeat_.expires_after(limits_.heartbeat);
        heartbeat_.async_wait(
            [self = this->shared_from_this()](const error_code& ec)
            {
                if (ec || self->closed_)
                {
                    return;
                }
                if (self->queue_.empty())
                {
                    static const Frame kComment = std::make_shared<const std::string>(":\n\n");
                    self->Queue(kComment);
                }
                self->Heartbeat();
            });
    }

    void Queue(const Frame& frame)
    {
        queue_.push_back(frame);
        queuedBytes_ += frame->size();
        if (!writing_)
        {
            WriteNext();
        }
    }

    void WriteNext()
    {
        writing_ = true;
        Due(limits_.writeTimeout);
        asio::async_write(stream_, asio::buffer(*queue_.front()),
                          [self = this->shared_from_this()](const error_code& ec, size_t)
                          {
                              self->writing_ = false;
                              if (ec || self->closed_)
                              {
                                  self->Close();
                                  return;
                              }
                              self->queuedBytes_ -= self->queue_.front()->size();
                              self->queue_.pop_front();
                              if (!self->queue_.empty())
                              {
                                  self->WriteNext();
                              }
                              else
                              {
                                  self->deadline = 0;
                              }
                          });
    }

    void EndStream()
    {
        if (subscribed_)
        {
            subscribed_ = false;
            svc_.events().Unsubscribe(this);
        }
        if (streaming)
        {
            streaming = false;
            svc_.StreamClosed(sessionId);
        }
    }

    Server& server_;
    Service& svc_;
    const ServerLimits& limits_;
    Stream stream_;
    std::string peer_;
    asio::steady_timer heartbeat_;
    // Bounded by the parser's limits; the rest is room for a read.
    beast::flat_buffer buffer_{kMaxHeaderBytes + kMaxBodyBytes + 16384};
    std::optional<RequestParser> parser_;
    size_t headerBytes_ = 0; // of the request being read, taken by the parser so far
    std::optional<WireResponse> response_;
    bool closed_ = false;
    bool subscribed_ = false;
    bool writing_ = false;
    std::deque<Frame> queue_;
    size_t queuedBytes_ = 0;
    char discard_[256] = {};
};

} // namespace

Server::Server(asio::io_context& io, Service& service, const ServerLimits& limits, ssl::context* tls)
    : io_(io), svc_(service), limits_(limits), tls_(tls), acceptor_(io), retry_(io), sweep_(io)
{
    svc_.onSessionEnded = [this](const std::string& id) { SessionEnded(id); };
}

Server::~Server()
{
    svc_.onSessionEnded = nullptr;
}

bool Server::Listen(const tcp::endpoint& at, std::string* error)
{
    error_code ec;
    acceptor_.open(at.protocol(), ec);
    if (!ec)
    {
        acceptor_.set_option(asio::socket_base::reuse_address(true), ec);
    }
    if (!ec && at.address().is_v6())
    {
        acceptor_.set_option(asio::ip::v6_only(true), ec);
    }
    if (!ec)
    {
        acceptor_.bind(at, ec);
    }
    if (!ec)
    {
        acceptor_.listen(asio::socket_base::max_listen_connections, ec);
    }
    if (ec)
    {
        *error = ec.message();
        return false;
    }
    Accept();
    Sweep();
    return true;
}

void Server::Sweep()
{
    sweep_.expires_after(kSweep);
    sweep_.async_wait(
        [this](const error_code& ec)
        {
            if (ec || stopped_)
            {
                return;
            }
            const int64_t now = SteadyMs();
            std::vector<Connection*> late;
            for (Connection* c : conns_)
            {
                if (c->deadline != 0 && now > c->deadline)
                {
                    late.push_back(c);
                }
            }
            for (Connection* c : late)
            {
                c->Close();
            }
            Sweep();
        });
}

uint16_t Server::port() const
{
    error_code ec;
    return acceptor_.local_endpoint(ec).port();
}

void Server::Accept()
{
    acceptor_.async_accept(
        [this](const error_code& ec, tcp::socket socket)
        {
            if (stopped_)
            {
                return;
            }
            if (ec)
            {
                // Out of descriptors, most likely: try again shortly rather
                // than spin.
                retry_.expires_after(std::chrono::milliseconds(100));
                retry_.async_wait([this](const error_code& e) { e || stopped_ ? void() : Accept(); });
                return;
            }
            MakeRoom();
            // Small writes (an event, an answer) go out at once, not held
            // back until the reader acknowledges the one before.
            error_code noDelay;
            socket.set_option(tcp::no_delay(true), noDelay);
            if (conns_.size() >= limits_.maxConnections + limits_.maxConnections / 4)
            {
                error_code ignored;
                socket.close(ignored); // every connection is busy: refuse this one
            }
            else
            {
                std::string peer = PeerText(socket);
                if (tls_ != nullptr)
                {
                    std::make_shared<Conn<TlsStream>>(*this, std::move(peer), std::move(socket), *tls_)
                        ->Start();
                }
                else
                {
                    std::make_shared<Conn<PlainStream>>(*this, std::move(peer), std::move(socket))->Start();
                }
            }
            Accept();
        });
}

// At the limit, the connection that has waited longest for its request goes.
// A closed connection leaves the set only when its last operation ends, so
// the set may briefly hold more than the limit.
void Server::MakeRoom()
{
    if (conns_.size() < limits_.maxConnections)
    {
        return;
    }
    Connection* oldest = nullptr;
    for (Connection* c : conns_)
    {
        if (c->evictable && (oldest == nullptr || c->since < oldest->since))
        {
            oldest = c;
        }
    }
    if (oldest != nullptr)
    {
        oldest->evictable = false;
        oldest->Close();
    }
}

void Server::SessionEnded(const std::string& id)
{
    std::vector<Connection*> streams;
    for (Connection* c : conns_)
    {
        if (c->streaming && c->sessionId == id)
        {
            streams.push_back(c);
        }
    }
    for (Connection* c : streams)
    {
        c->Close();
    }
}

void Server::Stop()
{
    stopped_ = true;
    error_code ec;
    acceptor_.close(ec);
    retry_.cancel();
    sweep_.cancel();
    const std::vector<Connection*> all(conns_.begin(), conns_.end());
    for (Connection* c : all)
    {
        c->Close();
    }
}

} // namespace ktzredfish
