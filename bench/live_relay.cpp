// The relay floor of the live daemon benchmark: the least a process must do
// to take a change from another process and hand it to N clients. It
// accepts clients on one Unix socket and control connections on another; a
// control request line makes it write one Message frame of the given
// payload size to every client, then answer with the time it began writing
// (so the benchmark also gets the floor of writing alone). It reads nothing
// from its clients, parses no JSON (a line naming "status" is answered with
// the client count, any other line is a change) and has one thread.
//
// usage: ktzmon_live_relay --socket PATH --control-socket PATH [--quiet] [--payload N]
#include <ktzmon/protocol.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <frame.h>
#include <poll.h>
#include <signal.h>
#include <string>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

namespace
{

volatile sig_atomic_t g_stop = 0;

void OnSignal(int)
{
    g_stop = 1;
}

int64_t MonotonicNs()
{
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

int Listen(const std::string& path)
{
    sockaddr_un addr{};
    if (path.size() >= sizeof addr.sun_path)
    {
        return -1;
    }
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, path.c_str(), path.size());
    ::unlink(path.c_str());
    if (fd < 0 || ::bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(fd, SOMAXCONN) != 0)
    {
        return -1;
    }
    return fd;
}

bool WriteAll(int fd, const uint8_t* p, size_t n)
{
    while (n > 0)
    {
        const ssize_t w = ::send(fd, p, n, MSG_NOSIGNAL);
        if (w < 0 && errno == EINTR)
        {
            continue;
        }
        if (w <= 0)
        {
            return false;
        }
        p += w;
        n -= static_cast<size_t>(w);
    }
    return true;
}

// One control connection and the bytes of its unfinished line.
struct Control
{
    int fd = -1;
    std::string in;
};

} // namespace

int main(int argc, char** argv)
{
    std::string socketPath, controlPath;
    size_t payload = 32;
    for (int i = 1; i < argc; ++i)
    {
        const std::string a = argv[i];
        if (a == "--socket" && i + 1 < argc)
        {
            socketPath = argv[++i];
        }
        else if (a == "--control-socket" && i + 1 < argc)
        {
            controlPath = argv[++i];
        }
        else if (a == "--payload" && i + 1 < argc)
        {
            payload = std::strtoul(argv[++i], nullptr, 10);
        }
        else if (a != "--quiet")
        {
            std::fprintf(stderr, "usage: %s --socket PATH --control-socket PATH [--payload N]\n", argv[0]);
            return 2;
        }
    }
    // Descriptors for as many clients as the hard limit allows.
    rlimit rl{};
    if (::getrlimit(RLIMIT_NOFILE, &rl) == 0 && rl.rlim_cur < rl.rlim_max)
    {
        rl.rlim_cur = rl.rlim_max;
        (void)::setrlimit(RLIMIT_NOFILE, &rl);
    }
    ::signal(SIGPIPE, SIG_IGN);
    ::signal(SIGTERM, OnSignal);
    ::signal(SIGINT, OnSignal);
    const int clientsFd = Listen(socketPath);
    const int controlFd = Listen(controlPath);
    if (clientsFd < 0 || controlFd < 0)
    {
        std::fprintf(stderr, "cannot listen on %s and %s: %s\n", socketPath.c_str(), controlPath.c_str(),
                     std::strerror(errno));
        return 1;
    }

    std::vector<int> clients;
    std::vector<Control> controls;
    std::vector<uint8_t> frame;
    uint32_t seq = 0;
    while (g_stop == 0)
    {
        std::vector<pollfd> fds = {{clientsFd, POLLIN, 0}, {controlFd, POLLIN, 0}};
        for (const Control& c : controls)
        {
            fds.push_back({c.fd, POLLIN, 0});
        }
        // Woken by a connection, a request or a signal; the timeout only
        // bounds how long a missed signal could keep it running.
        if (::poll(fds.data(), fds.size(), 1000) < 0 && errno != EINTR)
        {
            break;
        }
        // Accepting only when a connection waits keeps a change's path free
        // of failing accept calls.
        for (int fd; (fds[0].revents & POLLIN) != 0 &&
                     (fd = ::accept4(clientsFd, nullptr, nullptr, SOCK_CLOEXEC)) >= 0;)
        {
            clients.push_back(fd); // blocking: a write waits for its reader
        }
        const size_t polled = controls.size(); // those with an entry in fds
        for (int fd; (fds[1].revents & POLLIN) != 0 &&
                     (fd = ::accept4(controlFd, nullptr, nullptr, SOCK_CLOEXEC)) >= 0;)
        {
            controls.push_back({fd, {}});
        }
        for (size_t i = 0; i < polled; ++i)
        {
            if ((fds[2 + i].revents & (POLLIN | POLLHUP | POLLERR)) == 0)
            {
                continue;
            }
            Control& c = controls[i];
            char buf[4096];
            const ssize_t n = ::read(c.fd, buf, sizeof buf);
            if (n <= 0)
            {
                ::close(c.fd);
                c.fd = -1;
                continue;
            }
            c.in.append(buf, static_cast<size_t>(n));
            for (size_t eol; (eol = c.in.find('\n')) != std::string::npos;)
            {
                const bool status = c.in.compare(0, eol, "{\"cmd\":\"status\"}") == 0;
                c.in.erase(0, eol + 1);
                std::string reply;
                if (status)
                {
                    // Answered as ktzmond answers, so the same harness starts both.
                    reply = "{\"ok\":true,\"module\":\"running\",\"pid\":" + std::to_string(::getpid()) +
                            ",\"clients\":" + std::to_string(clients.size()) + "}\n";
                }
                else
                {
                    const int64_t start = MonotonicNs();
                    ktztransport::Message m;
                    m.seq = ++seq;
                    m.requestClass = KTZMON_REQ_CLASS;
                    m.requestType = KTZMON_REQ_VQ_LOG_EVT;
                    m.payload.assign(payload, 0x41);
                    frame.clear();
                    ktztransport::Encode(m, &frame);
                    size_t failed = 0;
                    for (const int fd : clients)
                    {
                        failed += WriteAll(fd, frame.data(), frame.size()) ? 0 : 1;
                    }
                    reply = "{\"ok\":" + std::string(failed == 0 ? "true" : "false") +
                            ",\"start\":" + std::to_string(start) + "}\n";
                }
                if (!WriteAll(c.fd, reinterpret_cast<const uint8_t*>(reply.data()), reply.size()))
                {
                    break;
                }
            }
        }
        std::erase_if(controls, [](const Control& c) { return c.fd < 0; });
    }
    for (const int fd : clients)
    {
        ::close(fd);
    }
    ::unlink(socketPath.c_str());
    ::unlink(controlPath.c_str());
    return 0;
}
