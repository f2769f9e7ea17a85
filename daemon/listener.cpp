// Listening sockets and accepting clients.
#include "listener.h"

#include "hub.h"
#include "paths.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace ktzmond
{

bool ClaimSocketPath(const std::string& path, std::string* error, std::string* note)
{
    sockaddr_un addr{};
    if (path.empty() || path.size() >= sizeof addr.sun_path)
    {
        *error = "socket path '" + path + "' is empty or too long";
        return false;
    }
    const std::filesystem::path dir = std::filesystem::path(path).parent_path();
    std::error_code ec;
    if (!dir.empty() && !std::filesystem::exists(dir, ec))
    {
        std::filesystem::create_directories(dir, ec);
        if (ec)
        {
            *error = "cannot create " + dir.string() + ": " + ec.message();
            return false;
        }
        ::chmod(dir.c_str(), 0755);
    }
    struct stat st
    {
    };
    if (::lstat(path.c_str(), &st) != 0)
    {
        return true; // nothing there
    }
    if (!S_ISSOCK(st.st_mode))
    {
        *error = path + " exists and is not a socket";
        return false;
    }
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
    {
        *error = std::string("socket: ") + std::strerror(errno);
        return false;
    }
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, path.c_str(), path.size());
    const int rc = ::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
    const int err = errno;
    ::close(fd);
    if (rc == 0)
    {
        *error = "another daemon is serving " + path;
        return false;
    }
    if (err != ECONNREFUSED)
    {
        *error = "cannot tell whether " + path + " is in use: " + std::strerror(err);
        return false;
    }
    if (::unlink(path.c_str()) != 0)
    {
        *error = "cannot remove the stale socket " + path + ": " + std::strerror(errno);
        return false;
    }
    *note = "removed the stale socket " + path + " (nobody was accepting on it)";
    return true;
}

std::unique_ptr<asio::local::stream_protocol::acceptor>
ListenUnix(asio::io_context& io, const std::string& path, mode_t mode, std::string* error)
{
    auto acc = std::make_unique<asio::local::stream_protocol::acceptor>(io);
    asio::error_code ec;
    // The socket is created without group or other access and opened up to
    // `mode` once it is bound, so it is never wider than asked for.
    const mode_t old = ::umask(0177);
    acc->open(asio::local::stream_protocol(), ec);
    if (!ec)
    {
        acc->bind(asio::local::stream_protocol::endpoint(path), ec);
    }
    ::umask(old);
    if (!ec)
    {
        acc->listen(asio::socket_base::max_listen_connections, ec);
    }
    if (!ec && ::chmod(path.c_str(), mode) != 0)
    {
        ec = asio::error_code(errno, asio::system_category());
    }
    if (ec)
    {
        *error = "cannot listen on " + path + ": " + ec.message();
        return nullptr;
    }
    return acc;
}

void AcceptUnixClients(asio::local::stream_protocol::acceptor& acceptor, Hub& hub)
{
    acceptor.async_accept(
        [&acceptor, &hub](const asio::error_code& ec, asio::local::stream_protocol::socket s)
        {
            if (ec == asio::error::operation_aborted || !acceptor.is_open())
            {
                return;
            }
            if (!ec)
            {
                PeerCredentials cred;
                ucred uc{};
                socklen_t len = sizeof uc;
                if (::getsockopt(s.native_handle(), SOL_SOCKET, SO_PEERCRED, &uc, &len) == 0)
                {
                    cred.known = true;
                    cred.pid = uc.pid;
                    cred.uid = uc.uid;
                    cred.gid = uc.gid;
                }
                std::string peer = cred.known ? "pid " + std::to_string(uc.pid) : "unix";
                Connection::Socket g(hub.io(), asio::generic::stream_protocol(AF_UNIX, SOCK_STREAM),
                                     s.release());
                hub.Accept(std::move(g), std::move(peer), cred);
            }
            else
            {
                // Out of descriptors, typically: try again shortly rather
                // than spin.
                hub.Log("accept failed: " + ec.message());
                auto retry = std::make_shared<asio::steady_timer>(hub.io(), std::chrono::milliseconds(100));
                retry->async_wait([retry, &acceptor, &hub](const asio::error_code&)
                                  { AcceptUnixClients(acceptor, hub); });
                return;
            }
            AcceptUnixClients(acceptor, hub);
        });
}

std::unique_ptr<asio::ip::tcp::acceptor> ListenTcp(asio::io_context& io, const std::string& hostPort,
                                                   bool allowRemote, std::string* error)
{
    std::string host;
    uint16_t port = 0;
    if (!ktzhost::SplitHostPort(hostPort, true, &host, &port))
    {
        *error = "--listen wants HOST:PORT, not '" + hostPort + "'";
        return nullptr;
    }
    asio::error_code ec;
    asio::ip::tcp::resolver resolver(io);
    auto results = resolver.resolve(host, std::to_string(port), ec);
    if (ec || results.empty())
    {
        *error = "cannot resolve " + hostPort + ": " + ec.message();
        return nullptr;
    }
    const asio::ip::tcp::endpoint ep = results.begin()->endpoint();
    if (!ep.address().is_loopback() && !allowRemote)
    {
        *error =
            ep.address().to_string() + " is not a loopback address; add --allow-remote to serve other hosts";
        return nullptr;
    }
    auto acc = std::make_unique<asio::ip::tcp::acceptor>(io);
    acc->open(ep.protocol(), ec);
    if (!ec)
    {
        acc->set_option(asio::socket_base::reuse_address(true), ec);
        acc->bind(ep, ec);
    }
    if (!ec)
    {
        acc->listen(asio::socket_base::max_listen_connections, ec);
    }
    if (ec)
    {
        *error = "cannot listen on " + hostPort + ": " + ec.message();
        return nullptr;
    }
    return acc;
}

void AcceptTcpClients(asio::ip::tcp::acceptor& acceptor, Hub& hub)
{
    acceptor.async_accept(
        [&acceptor, &hub](const asio::error_code& ec, asio::ip::tcp::socket s)
        {
            if (ec == asio::error::operation_aborted || !acceptor.is_open())
            {
                return;
            }
            if (!ec)
            {
                asio::error_code ignored;
                s.set_option(asio::ip::tcp::no_delay(true), ignored);
                const auto remote = s.remote_endpoint(ignored);
                std::string peer =
                    "tcp " + remote.address().to_string() + ":" + std::to_string(remote.port());
                const int family = remote.address().is_v6() ? AF_INET6 : AF_INET;
                Connection::Socket g(hub.io(), asio::generic::stream_protocol(family, SOCK_STREAM),
                                     s.release());
                hub.Accept(std::move(g), std::move(peer), PeerCredentials{});
            }
            else
            {
                // Out of descriptors, typically: try again shortly rather
                // than spin.
                hub.Log("accept failed: " + ec.message());
                auto retry = std::make_shared<asio::steady_timer>(hub.io(), std::chrono::milliseconds(100));
                retry->async_wait([retry, &acceptor, &hub](const asio::error_code&)
                                  { AcceptTcpClients(acceptor, hub); });
                return;
            }
            AcceptTcpClients(acceptor, hub);
        });
}

} // namespace ktzmond
