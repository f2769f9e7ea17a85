// The service manager's end of the readiness protocol, for the tests of
// the programs that report to it: a bound Unix datagram socket, and
// NOTIFY_SOCKET naming it for the programs started while a NotifyEnv lives.
#ifndef KTZTEST_NOTIFY_SOCKET_H
#define KTZTEST_NOTIFY_SOCKET_H

#include "support/wait.h"

#include <cstdlib>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

namespace ktztest
{

class NotifySocket
{
  public:
    explicit NotifySocket(const std::string& path) : path_(path)
    {
        fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        if (fd_ < 0 || path.size() >= sizeof addr.sun_path)
        {
            return;
        }
        path.copy(addr.sun_path, path.size());
        bound_ = ::bind(fd_, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0;
    }
    ~NotifySocket()
    {
        if (fd_ >= 0)
        {
            ::close(fd_);
        }
        ::unlink(path_.c_str());
    }
    NotifySocket(const NotifySocket&) = delete;
    NotifySocket& operator=(const NotifySocket&) = delete;
    bool bound() const { return bound_; }

    // The next datagram within `timeoutMs`; "" when none came.
    std::string Receive(int timeoutMs)
    {
        pollfd p{fd_, POLLIN, 0};
        char buf[4096];
        const ssize_t n = ::poll(&p, 1, timeoutMs) == 1 ? ::recv(fd_, buf, sizeof buf, 0) : -1;
        return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
    }

    // Datagrams until one holds `line` as one of its lines, at most
    // `timeoutMs` and 100 datagrams; every datagram read goes to `seen`.
    bool ReceiveLine(const std::string& line, std::vector<std::string>* seen, int timeoutMs)
    {
        const int64_t end = NowMs() + timeoutMs;
        for (int i = 0; i < 100 && NowMs() < end; ++i)
        {
            const std::string msg = Receive(static_cast<int>(end - NowMs()));
            if (msg.empty())
            {
                return false;
            }
            seen->push_back(msg);
            if (HasLine(msg, line))
            {
                return true;
            }
        }
        return false;
    }

    static bool HasLine(const std::string& msg, const std::string& line)
    {
        return ("\n" + msg + "\n").find("\n" + line + "\n") != std::string::npos;
    }

  private:
    std::string path_;
    int fd_ = -1;
    bool bound_ = false;
};

// NOTIFY_SOCKET set for the programs a test starts meanwhile, and only for them.
class NotifyEnv
{
  public:
    explicit NotifyEnv(const std::string& path) { ::setenv("NOTIFY_SOCKET", path.c_str(), 1); }
    ~NotifyEnv() { ::unsetenv("NOTIFY_SOCKET"); }
};

} // namespace ktztest

#endif
