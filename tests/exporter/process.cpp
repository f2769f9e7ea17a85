// Test processes and a plain HTTP client (see process.h).
#include "process.h"

#include "harness.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <netinet/in.h>
#include <poll.h>
#include <sstream>
#include <sys/socket.h>
#include <unistd.h>

namespace ktzexporter_test
{

using ktzmond_test::NowMs;

bool Process::Start(const std::vector<std::string>& argv, const std::string& logPath)
{
    log_ = logPath;
    ktzhosttest::SpawnOptions options;
    options.in = "/dev/null";
    options.out = logPath;
    options.append = true;
    options.errToOut = true;
    return child_.Spawn(argv, options);
}

int Process::Stop(int timeoutMs)
{
    const int rc = child_.Terminate(timeoutMs);
    child_.Kill();
    return rc;
}

bool Process::Running()
{
    return !child_.TryReap();
}

std::string Process::Log() const
{
    std::ifstream in(log_);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

bool Process::WaitLog(const std::string& text, int timeoutMs)
{
    const int64_t end = NowMs() + timeoutMs;
    do
    {
        if (Log().find(text) != std::string::npos)
        {
            return true;
        }
        if (!Running())
        {
            return Log().find(text) != std::string::npos;
        }
        ::usleep(20000);
    } while (NowMs() < end);
    return false;
}

int RunProgram(const std::vector<std::string>& argv, const std::string& input, std::string* output,
               int timeoutMs)
{
    const int64_t end = NowMs() + timeoutMs;
    int in[2], out[2];
    if (::pipe2(in, O_CLOEXEC) != 0)
    {
        return -1;
    }
    if (::pipe2(out, O_CLOEXEC) != 0)
    {
        ::close(in[0]);
        ::close(in[1]);
        return -1;
    }
    ktzhosttest::SpawnOptions options;
    options.inFd = in[0];
    options.outFd = out[1];
    options.searchPath = true;
    ktzhosttest::ChildProcess child;
    const bool started = child.Spawn(argv, options);
    ::close(in[0]);
    ::close(out[1]);
    if (!started)
    {
        ::close(in[1]);
        ::close(out[0]);
        return -1;
    }
    // Feed the input and drain the output together, so that neither pipe
    // can fill up and stall the child.
    ::fcntl(in[1], F_SETFL, O_NONBLOCK);
    size_t written = 0;
    int inFd = in[1];
    if (input.empty())
    {
        ::close(inFd);
        inFd = -1;
    }
    std::string got;
    bool open = true;
    while (open && NowMs() < end)
    {
        pollfd p[2] = {{out[0], POLLIN, 0}, {inFd, POLLOUT, 0}};
        const int left = static_cast<int>(end - NowMs());
        if (::poll(p, inFd >= 0 ? 2 : 1, left > 0 ? left : 0) <= 0)
        {
            continue;
        }
        if (inFd >= 0 && p[1].revents != 0)
        {
            const ssize_t n = ::write(inFd, input.data() + written, input.size() - written);
            if (n > 0)
            {
                written += static_cast<size_t>(n);
            }
            if (n < 0 && errno != EAGAIN)
            {
                written = input.size();
            }
            if (written == input.size())
            {
                ::close(inFd);
                inFd = -1;
            }
        }
        if (p[0].revents != 0)
        {
            char buf[4096];
            const ssize_t n = ::read(out[0], buf, sizeof buf);
            if (n > 0)
            {
                got.append(buf, static_cast<size_t>(n));
            }
            else if (n == 0 || errno != EINTR)
            {
                open = false;
            }
        }
    }
    if (inFd >= 0)
    {
        ::close(inFd);
    }
    ::close(out[0]);
    const int left = static_cast<int>(end - NowMs());
    const int rc = child.Wait(left > 0 ? left : 0); // still running at the deadline: killed with `child`
    if (output != nullptr)
    {
        *output = got;
    }
    return rc;
}

std::string HttpGet(uint16_t port, const std::string& path, bool* ok, int timeoutMs)
{
    *ok = false;
    const int64_t end = NowMs() + timeoutMs;
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
    {
        return "";
    }
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    timeval tv{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0)
    {
        ::close(fd);
        return "";
    }
    const std::string req = "GET " + path + " HTTP/1.0\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
    if (::send(fd, req.data(), req.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(req.size()))
    {
        ::close(fd);
        return "";
    }
    std::string resp;
    char buf[8192];
    while (NowMs() < end)
    {
        const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n <= 0)
        {
            break;
        }
        resp.append(buf, static_cast<size_t>(n));
    }
    ::close(fd);
    const auto body = resp.find("\r\n\r\n");
    if (body == std::string::npos ||
        resp.compare(0, 9, "HTTP/1.1 ") != 0 && resp.compare(0, 9, "HTTP/1.0 ") != 0)
    {
        return "";
    }
    *ok = resp.compare(9, 3, "200") == 0;
    return resp.substr(body + 4);
}

uint16_t FreePort()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    uint16_t port = 0;
    if (fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0)
    {
        port = ntohs(a.sin_port);
    }
    if (fd >= 0)
    {
        ::close(fd);
    }
    return port;
}

std::string FindProgram(const std::string& name)
{
    const char* path = std::getenv("PATH");
    std::stringstream dirs(path != nullptr ? path : "/usr/bin:/bin");
    std::string dir;
    while (std::getline(dirs, dir, ':'))
    {
        const std::string full = (dir.empty() ? "." : dir) + "/" + name;
        if (::access(full.c_str(), X_OK) == 0)
        {
            return full;
        }
    }
    return "";
}

} // namespace ktzexporter_test
