// TLS clients and the fixed-answer server of the Redfish benchmark (see
// redfish_clients.h).
#include "redfish_clients.h"

#include "live_clients.h"

#include <array>
#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>
#include <sstream>
#include <thread>

namespace ktzbench
{

namespace
{

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace ssl = asio::ssl;
using tcp = asio::ip::tcp;
using TlsStream = beast::ssl_stream<beast::tcp_stream>;

bool ClientContext(ssl::context& ctx, const std::string& caFile, std::string* error)
{
    boost::system::error_code ec;
    ctx.load_verify_file(caFile, ec);
    ctx.set_verify_mode(ssl::verify_peer);
    if (ec)
    {
        *error = caFile + ": " + ec.message();
    }
    return !ec;
}

// Connects and shakes hands; false with the reason in *error.
bool OpenTls(TlsStream& s, uint16_t port, std::string* error)
{
    boost::system::error_code ec;
    beast::get_lowest_layer(s).expires_after(std::chrono::seconds(10));
    beast::get_lowest_layer(s).connect(tcp::endpoint(asio::ip::make_address("127.0.0.1"), port), ec);
    if (!ec)
    {
        SSL_set_tlsext_host_name(s.native_handle(), "localhost");
        s.handshake(ssl::stream_base::client, ec);
    }
    beast::get_lowest_layer(s).expires_never();
    if (ec)
    {
        *error = "connect or handshake: " + ec.message();
    }
    return !ec;
}

} // namespace

// ---- one kept-alive connection ----------------------------------------------------------------

struct GetClient::Impl
{
    asio::io_context io;
    ssl::context ctx{ssl::context::tls_client};
    std::unique_ptr<TlsStream> stream;
    beast::flat_buffer buffer;
};

GetClient::GetClient() : impl_(std::make_unique<Impl>()) {}
GetClient::~GetClient() = default;

bool GetClient::Connect(uint16_t port, const std::string& caFile, std::string* error)
{
    if (!ClientContext(impl_->ctx, caFile, error))
    {
        return false;
    }
    impl_->stream = std::make_unique<TlsStream>(impl_->io, impl_->ctx);
    return OpenTls(*impl_->stream, port, error);
}

int GetClient::Request(const std::string& method, const std::string& target, const std::string& headerLines,
                       const std::string& body, std::string* response, std::string* error)
{
    std::string text = method + " " + target + " HTTP/1.1\r\nHost: localhost\r\n" + headerLines;
    if (!body.empty())
    {
        text += "Content-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) + "\r\n";
    }
    text += "\r\n" + body;
    boost::system::error_code ec;
    asio::write(*impl_->stream, asio::buffer(text), ec);
    http::response<http::string_body> res;
    if (!ec)
    {
        http::read(*impl_->stream, impl_->buffer, res, ec);
    }
    if (ec)
    {
        *error = method + " " + target + ": " + ec.message();
        return -1;
    }
    if (response != nullptr)
    {
        std::ostringstream os;
        os << res;
        *response = os.str();
    }
    return static_cast<int>(res.result_int());
}

double GetClient::Rate(const std::string& target, const std::string& headerLines, int count,
                       std::string* error)
{
    const std::string text = "GET " + target + " HTTP/1.1\r\nHost: localhost\r\n" + headerLines + "\r\n";
    const int64_t start = MonotonicNs();
    for (int i = 0; i < count; ++i)
    {
        boost::system::error_code ec;
        asio::write(*impl_->stream, asio::buffer(text), ec);
        http::response<http::string_body> res;
        if (!ec)
        {
            http::read(*impl_->stream, impl_->buffer, res, ec);
        }
        if (ec || res.result_int() != 200)
        {
            *error = "GET " + target + ": " + (ec ? ec.message() : std::to_string(res.result_int()));
            return 0;
        }
    }
    return count / (static_cast<double>(MonotonicNs() - start) / 1e9);
}

// ---- many event streams -----------------------------------------------------------------------

struct StreamReaders::Impl
{
    struct Reader
    {
        std::unique_ptr<TlsStream> stream;
        std::array<char, 16384> buf{};
        std::string pending; // bytes of a frame not yet ended
        uint64_t events = 0;
    };
    asio::io_context io;
    std::optional<asio::executor_work_guard<asio::io_context::executor_type>> work;
    ssl::context ctx{ssl::context::tls_client};
    std::vector<std::unique_ptr<Reader>> readers;
    std::thread thread;
    // Guarded by `mu`.
    std::mutex mu;
    std::condition_variable cv;
    uint64_t target = 0;
    size_t reached = 0;
    int64_t lastArrival = 0;
    std::string failure;
    std::string lastFrame;

    void Read(Reader& r)
    {
        r.stream->async_read_some(asio::buffer(r.buf),
                                  [this, &r](const boost::system::error_code& ec, size_t n)
                                  {
                                      if (ec)
                                      {
                                          std::lock_guard<std::mutex> lock(mu);
                                          if (failure.empty() && ec != asio::error::operation_aborted)
                                          {
                                              failure = "an event stream ended: " + ec.message();
                                          }
                                          cv.notify_all();
                                          return;
                                      }
                                      Took(r, std::string_view(r.buf.data(), n));
                                      Read(r);
                                  });
    }

    // A frame ends with an empty line; event frames hold a data line
    // (comment lines that keep a quiet stream alive do not).
    void Took(Reader& r, std::string_view bytes)
    {
        r.pending.append(bytes);
        size_t end;
        uint64_t found = 0;
        std::string frame;
        while ((end = r.pending.find("\n\n")) != std::string::npos)
        {
            if (r.pending.find("data: ") < end)
            {
                ++found;
                frame = r.pending.substr(0, end + 2);
            }
            r.pending.erase(0, end + 2);
        }
        if (found == 0)
        {
            return;
        }
        std::lock_guard<std::mutex> lock(mu);
        if (&r == readers.front().get())
        {
            lastFrame = std::move(frame);
        }
        const bool before = r.events >= target;
        r.events += found;
        if (!before && r.events >= target)
        {
            ++reached;
            lastArrival = MonotonicNs();
            cv.notify_all();
        }
    }
};

StreamReaders::StreamReaders() : impl_(std::make_unique<Impl>()) {}

StreamReaders::~StreamReaders()
{
    impl_->work.reset();
    asio::post(impl_->io,
               [this]
               {
                   for (auto& r : impl_->readers)
                   {
                       boost::system::error_code ec;
                       beast::get_lowest_layer(*r->stream).socket().close(ec);
                   }
               });
    if (impl_->thread.joinable())
    {
        impl_->thread.join();
    }
}

bool StreamReaders::Open(uint16_t port, const std::string& caFile, const std::string& target,
                         const std::string& headerLines, int count, int64_t deadlineNs, std::string* error)
{
    if (!ClientContext(impl_->ctx, caFile, error))
    {
        return false;
    }
    const std::string request = "GET " + target + " HTTP/1.1\r\nHost: localhost\r\n" + headerLines + "\r\n";
    for (int i = 0; i < count; ++i)
    {
        auto r = std::make_unique<Impl::Reader>();
        r->stream = std::make_unique<TlsStream>(impl_->io, impl_->ctx);
        boost::system::error_code ec;
        if (!OpenTls(*r->stream, port, error) || (asio::write(*r->stream, asio::buffer(request), ec), ec))
        {
            *error = "stream " + std::to_string(i) + ": " + (ec ? ec.message() : *error);
            return false;
        }
        // The response's headers, so that the stream is registered before
        // the first change.
        std::string head;
        while (head.find("\r\n\r\n") == std::string::npos && MonotonicNs() < deadlineNs)
        {
            char c[512];
            const size_t n = r->stream->read_some(asio::buffer(c), ec);
            if (ec)
            {
                *error = "stream " + std::to_string(i) + ": " + ec.message();
                return false;
            }
            head.append(c, n);
        }
        if (head.rfind("HTTP/1.1 200", 0) != 0)
        {
            *error = "stream " + std::to_string(i) + ": " + head.substr(0, head.find('\r'));
            return false;
        }
        r->pending = head.substr(head.find("\r\n\r\n") + 4);
        impl_->readers.push_back(std::move(r));
    }
    impl_->work.emplace(impl_->io.get_executor());
    for (auto& r : impl_->readers)
    {
        impl_->Read(*r);
    }
    impl_->thread = std::thread([this] { impl_->io.run(); });
    return true;
}

bool StreamReaders::WaitEvents(uint64_t count, int64_t deadlineNs, int64_t* lastArrivalNs, std::string* error)
{
    std::unique_lock<std::mutex> lock(impl_->mu);
    impl_->target = count;
    impl_->reached = 0;
    for (auto& r : impl_->readers)
    {
        impl_->reached += r->events >= count ? 1 : 0;
    }
    // Waits for the reading thread's word; bounded by the deadline.
    while (impl_->reached < impl_->readers.size() && impl_->failure.empty())
    {
        if (impl_->cv.wait_for(lock, std::chrono::milliseconds(100)) == std::cv_status::timeout &&
            MonotonicNs() > deadlineNs)
        {
            *error = std::to_string(impl_->reached) + " of " + std::to_string(impl_->readers.size()) +
                     " streams got event " + std::to_string(count) + " in time";
            return false;
        }
    }
    if (!impl_->failure.empty())
    {
        *error = impl_->failure;
        return false;
    }
    *lastArrivalNs = impl_->lastArrival;
    return true;
}

std::string StreamReaders::LastFrame()
{
    std::lock_guard<std::mutex> lock(impl_->mu);
    return impl_->lastFrame;
}

// ---- the floor: the same library answering a fixed response ---------------------------------------

struct FixedServer::Impl
{
    asio::io_context io;
    ssl::context ctx{ssl::context::tls_server};
    tcp::acceptor acceptor{io};
    http::response<http::string_body> response;
    std::thread thread;

    struct Conn : std::enable_shared_from_this<Conn>
    {
        Conn(Impl& s, tcp::socket sock) : server(s), stream(std::move(sock), s.ctx) {}
        void Start()
        {
            stream.async_handshake(ssl::stream_base::server,
                                   [self = shared_from_this()](const boost::system::error_code& ec)
                                   {
                                       if (!ec)
                                       {
                                           self->Read();
                                       }
                                   });
        }
        void Read()
        {
            request = {};
            http::async_read(stream, buffer, request,
                             [self = shared_from_this()](const boost::system::error_code& ec, size_t)
                             {
                                 if (!ec)
                                 {
                                     self->Write();
                                 }
                             });
        }
        void Write()
        {
            http::async_write(stream, server.response,
                              [self = shared_from_this()](const boost::system::error_code& ec, size_t)
                              {
                                  if (!ec)
                                  {
                                      self->Read();
                                  }
                              });
        }
        Impl& server;
        TlsStream stream;
        beast::flat_buffer buffer;
        http::request<http::string_body> request;
    };

    void Accept()
    {
        acceptor.async_accept(
            [this](const boost::system::error_code& ec, tcp::socket sock)
            {
                if (ec)
                {
                    return;
                }
                boost::system::error_code ignored;
                sock.set_option(tcp::no_delay(true), ignored); // as the service does
                std::make_shared<Conn>(*this, std::move(sock))->Start();
                Accept();
            });
    }
};

FixedServer::FixedServer(const std::string& certFile, const std::string& keyFile, std::string response)
    : impl_(std::make_unique<Impl>())
{
    impl_->ctx.use_certificate_chain_file(certFile);
    impl_->ctx.use_private_key_file(keyFile, ssl::context::pem);
    // The response as the service sent it, parsed back into a message.
    http::response_parser<http::string_body> p;
    p.eager(true);
    boost::system::error_code ec;
    p.put(asio::buffer(response), ec);
    impl_->response = p.release();
    impl_->response.prepare_payload();
    const tcp::endpoint at(asio::ip::make_address("127.0.0.1"), 0);
    impl_->acceptor.open(at.protocol());
    impl_->acceptor.bind(at);
    impl_->acceptor.listen();
    impl_->Accept();
    impl_->thread = std::thread([this] { impl_->io.run(); });
}

FixedServer::~FixedServer()
{
    impl_->io.stop();
    impl_->thread.join();
}

uint16_t FixedServer::port() const
{
    return impl_->acceptor.local_endpoint().port();
}

// ---- the floor of a stream: the library writing one frame to many ------------------------------

struct BroadcastServer::Impl
{
    asio::io_context io;
    ssl::context ctx{ssl::context::tls_server};
    tcp::acceptor acceptor{io};
    std::thread thread;

    struct Conn : std::enable_shared_from_this<Conn>
    {
        Conn(Impl& s, tcp::socket sock) : server(s), stream(std::move(sock), s.ctx) {}
        void Start()
        {
            stream.async_handshake(ssl::stream_base::server,
                                   [self = shared_from_this()](const boost::system::error_code& ec)
                                   {
                                       if (ec)
                                       {
                                           return;
                                       }
                                       http::async_read(self->stream, self->buffer, self->request,
                                                        [self](const boost::system::error_code& e, size_t)
                                                        {
                                                            if (!e)
                                                            {
                                                                self->Head();
                                                            }
                                                        });
                                   });
        }
        void Head()
        {
            static const std::string kHead =
                "HTTP/1.1 200 OK\r\nContent-Type: text/event-stream\r\nConnection: close\r\n\r\n";
            asio::async_write(stream, asio::buffer(kHead),
                              [self = shared_from_this()](const boost::system::error_code& ec, size_t)
                              {
                                  if (!ec)
                                  {
                                      self->server.streams.push_back(self);
                                  }
                              });
        }
        Impl& server;
        TlsStream stream;
        beast::flat_buffer buffer;
        http::request<http::string_body> request;
        // Frames waiting while one is written (the next may come before the
        // write's completion has run).
        std::deque<std::shared_ptr<const std::string>> frames;
        void Send(std::shared_ptr<const std::string> f)
        {
            frames.push_back(std::move(f));
            if (frames.size() == 1)
            {
                WriteNext();
            }
        }
        void WriteNext()
        {
            asio::async_write(stream, asio::buffer(*frames.front()),
                              [self = shared_from_this()](const boost::system::error_code& ec, size_t)
                              {
                                  self->frames.pop_front();
                                  if (!ec && !self->frames.empty())
                                  {
                                      self->WriteNext();
                                  }
                              });
        }
    };
    std::vector<std::shared_ptr<Conn>> streams;

    void Accept()
    {
        acceptor.async_accept(
            [this](const boost::system::error_code& ec, tcp::socket sock)
            {
                if (ec)
                {
                    return;
                }
                boost::system::error_code ignored;
                sock.set_option(tcp::no_delay(true), ignored);
                std::make_shared<Conn>(*this, std::move(sock))->Start();
                Accept();
            });
    }
};

BroadcastServer::BroadcastServer(const std::string& certFile, const std::string& keyFile)
    : impl_(std::make_unique<Impl>())
{
    impl_->ctx.use_certificate_chain_file(certFile);
    impl_->ctx.use_private_key_file(keyFile, ssl::context::pem);
    const tcp::endpoint at(asio::ip::make_address("127.0.0.1"), 0);
    impl_->acceptor.open(at.protocol());
    impl_->acceptor.bind(at);
    impl_->acceptor.listen(asio::socket_base::max_listen_connections);
    impl_->Accept();
    impl_->thread = std::thread([this] { impl_->io.run(); });
}

BroadcastServer::~BroadcastServer()
{
    impl_->io.stop();
    impl_->thread.join();
}

uint16_t BroadcastServer::port() const
{
    return impl_->acceptor.local_endpoint().port();
}

void BroadcastServer::Broadcast(std::string frame)
{
    auto f = std::make_shared<const std::string>(std::move(frame));
    asio::post(impl_->io,
               [this, f]
               {
                   for (auto& c : impl_->streams)
                   {
                       c->Send(f);
                   }
               });
}

} // namespace ktzbench
