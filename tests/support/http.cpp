// Plain HTTP on loopback (see http.h).
#include "support/http.h"

#include "support/wait.h"

#include <arpa/inet.h>
#include <cctype>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace ktztest
{

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
    const std::string req = "GET " + path + " HTTP/1.0\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
    std::string resp;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
        ::send(fd, req.data(), req.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(req.size()))
    {
        char buf[8192];
        ssize_t n = 0;
        while (NowMs() < end && (n = ::recv(fd, buf, sizeof buf, 0)) > 0)
        {
            resp.append(buf, static_cast<size_t>(n));
        }
    }
    ::close(fd);
    const auto body = resp.find("\r\n\r\n");
    if (body == std::string::npos ||
        (resp.compare(0, 9, "HTTP/1.1 ") != 0 && resp.compare(0, 9, "HTTP/1.0 ") != 0))
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

std::string UrlEncode(const std::string& s)
{
    static const char* hex = "0123456789ABCDEF";
    std::string out;
    for (const unsigned char c : s)
    {
        if (std::isalnum(c) != 0 || c == '_' || c == '-' || c == '.')
        {
            out.push_back(static_cast<char>(c));
        }
        else
        {
            out += {'%', hex[c >> 4], hex[c & 15]};
        }
    }
    return out;
}

} // namespace ktztest
