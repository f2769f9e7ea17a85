// Listening sockets, the claim of a socket path, and accepting clients.
#include "listener.h"

#include "hub.h"
#include "paths.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace ktzmond
{
namespace
{

// The pause after a failed accept, and how often such failures are logged.
constexpr auto kAcceptRetry = std::chrono::milliseconds(100);
constexpr auto kAcceptLogEvery = std::chrono::seconds(1);

std::string LockPath(const std::string& path)
{
    return path + ".lock";
}

// The process named in a lock file, for the message (best effort).
std::string Holder(int fd)
{
    char buf[24] = {};
    const ssize_t n = ::pread(fd, buf, sizeof buf - 1, 0);
    std::string pid(buf, n > 0 ? static_cast<size_t>(n) : 0);
    while (!pid.empty() && (pid.back() == '\n' || pid.back() == ' '))
    {
        pid.pop_back();
    }
    return pid.empty() || pid.find_first_not_of("0123456789") != std::string::npos ? ""
                                                                                   : " (pid " + pid + ")";
}

} // namespace

bool SocketClaim::Claim(const std::string& path, std::string* error, std::string* note)
{
    sockaddr_un addr{};
    if (path.empty() || path.size() >= sizeof addr.sun_path)
    {
        *error = "socket path '" + path + "' is empty or longer than " +
                 std::to_string(sizeof addr.sun_path - 1) + " bytes";
        return false;
    }
    path_ = path;
    const std::string lock = LockPath(path);
    // The holder removes its lock file when it ends: a file locked after it
    // was removed is not the lock any more, so look again.
    for (int attempt = 0; attempt < 5 && lockFd_ < 0; ++attempt)
    {
        const int fd = ::open(lock.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (fd < 0)
        {
            *error = "cannot open the lock file " + lock + ": " + std::strerror(errno);
            return false;
        }
        if (::flock(fd, LOCK_EX | LOCK_NB) != 0)
        {
            const int err = errno;
            *error = err == EWOULDBLOCK ? "another daemon holds " + lock + Holder(fd) + " and serves " + path
                                        : "cannot lock " + lock + ": " + std::strerror(err);
            ::close(fd);
            return false;
        }
        struct stat held
        {
        }, now{};
        if (::fstat(fd, &held) == 0 && ::stat(lock.c_str(), &now) == 0 && held.st_dev == now.st_dev &&
            held.st_ino == now.st_ino)
        {
            lockFd_ = fd;
            const std::string pid = std::to_string(::getpid()) + "\n";
            if (::ftruncate(fd, 0) != 0 || ::pwrite(fd, pid.data(), pid.size(), 0) < 0)
            {
                // Only the message of a second daemon misses the pid.
            }
            break;
        }
        ::close(fd);
    }
    if (lockFd_ < 0)
    {
        *error = "cannot take the lock " + lock + ": it keeps being replaced";
        return false;
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
        Release();
        return false;
    }
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
    {
        *error = std::string("socket: ") + std::strerror(errno);
        Release();
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
        Release();
        return false;
    }
    if (err != ECONNREFUSED)
    {
        *error = "cannot tell whether " + path + " is in use: " + std::strerror(err);
        Release();
        return false;
    }
    if (::unlink(path.c_str()) != 0)
    {
        *error = "cannot remove the stale socket " + path + ": " + std::strerror(errno);
        Release();
        return false;
    }
    *note = "removed the stale socket " + path + " (nobody was accepting on it)";
    return true;
}

void SocketClaim::Created()
{
    struct stat st
    {
    };
    if (::lstat(path_.c_str(), &st) == 0)
    {
        created_ = true;
        dev_ = st.st_dev;
        ino_ = st.st_ino;
    }
}

void SocketClaim::Release()
{
    if (created_)
    {
        created_ = false;
        struct stat st
        {
        };
        // Someone may have put another socket in its place: that one stays.
        if (::lstat(path_.c_str(), &st) == 0 && st.st_dev == dev_ && st.st_ino == ino_)
        {
            ::unlink(path_.c_str());
        }
    }
    if (lockFd_ >= 0)
    {
        // Removed while still held; a daemon that opened it meanwhile sees
        // that it is gone once it gets the lock, and takes a new one.
        ::unlink(LockPath(path_).c_str());
        ::close(lockFd_);
        lockFd_ = -1;
    }
}

std::unique_ptr<asio::local::stream_protocol::acceptor> ListenUnix(asio::io_context& io,
                                                                   const std::string& path, mode_t mode,
                                                                   std::optional<gid_t> group,
                                                                   std::string* error, std::string* note)
{
    auto acc = std::make_unique<asio::local::stream_protocol::acceptor>(io);
    asio::error_code ec;
    // The socket is created without group or other access and opened up to
    // `mode` once it has its group, so it is never wider than asked for.
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
    if (!ec && group && ::lchown(path.c_str(), static_cast<uid_t>(-1), *group) != 0)
    {
        // Not a member of the group: open to every local user instead, each
        // of them checked by credentials as they connect.
        *note = "cannot give " + path + " to group " + std::to_string(*group) + " (" + std::strerror(errno) +
                "); it is open to every local user, and the allow-lists decide";
        mode = 0666;
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

void AcceptRetry::After(const asio::error_code& ec, const std::function<void(const std::string&)>& log,
                        std::function<void()> again)
{
    const auto now = std::chrono::steady_clock::now();
    if (now - lastLog_ >= kAcceptLogEvery)
    {
        log("accept failed: " + ec.message() +
            (unlogged_ != 0 ? " (and " + std::to_string(unlogged_) + " more times)" : "") +
            "; trying again shortly");
        lastLog_ = now;
        unlogged_ = 0;
    }
    else
    {
        unlogged_ += 1;
    }
    timer_.expires_after(kAcceptRetry);
    timer_.async_wait(
        [again = std::move(again)](const asio::error_code& waitEc)
        {
            if (!waitEc)
            {
                again();
            }
        });
}

void AcceptUnixClients(asio::local::stream_protocol::acceptor& acceptor, Hub& hub, AcceptRetry& retry)
{
    acceptor.async_accept(
        [&acceptor, &hub, &retry](const asio::error_code& ec, asio::local::stream_protocol::socket s)
        {
            if (ec == asio::error::operation_aborted || !acceptor.is_open())
            {
                return;
            }
            if (ec)
            {
                retry.After(
                    ec, [&hub](const std::string& l) { hub.Log(l); },
                    [&acceptor, &hub, &retry] { AcceptUnixClients(acceptor, hub, retry); });
                return;
            }
            PeerCredentials cred;
            std::string why;
            if (!UnixPeerCredentials(s.native_handle(), &cred, &why))
            {
                hub.Log("client refused: " + why); // its goodbye says it is not permitted
            }
            std::string peer = cred.known ? "pid " + std::to_string(cred.pid) : "unix";
            Connection::Socket g(hub.io(), asio::generic::stream_protocol(AF_UNIX, SOCK_STREAM), s.release());
            hub.Accept(std::move(g), std::move(peer), cred);
            AcceptUnixClients(acceptor, hub, retry);
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

void AcceptTcpClients(asio::ip::tcp::acceptor& acceptor, Hub& hub, AcceptRetry& retry)
{
    acceptor.async_accept(
        [&acceptor, &hub, &retry](const asio::error_code& ec, asio::ip::tcp::socket s)
        {
            if (ec == asio::error::operation_aborted || !acceptor.is_open())
            {
                return;
            }
            if (ec)
            {
                retry.After(
                    ec, [&hub](const std::string& l) { hub.Log(l); },
                    [&acceptor, &hub, &retry] { AcceptTcpClients(acceptor, hub, retry); });
                return;
            }
            asio::error_code ignored;
            s.set_option(asio::ip::tcp::no_delay(true), ignored);
            const auto remote = s.remote_endpoint(ignored);
            std::string peer = "tcp " + remote.address().to_string() + ":" + std::to_string(remote.port());
            // The same allow-lists as on the Unix socket: a peer on this
            // machine is known by the user that owns its socket.
            PeerCredentials cred;
            std::string why;
            if (!TcpPeerCredentials(s.native_handle(), !hub.options().allowGroups.empty(), &cred, &why))
            {
                hub.Log("client " + peer + " refused: " + why);
            }
            else if (cred.known)
            {
                peer += " uid " + std::to_string(cred.uid);
            }
            const int family = remote.address().is_v6() ? AF_INET6 : AF_INET;
            Connection::Socket g(hub.io(), asio::generic::stream_protocol(family, SOCK_STREAM), s.release());
            hub.Accept(std::move(g), std::move(peer), cred);
            AcceptTcpClients(acceptor, hub, retry);
        });
}

} // namespace ktzmond
