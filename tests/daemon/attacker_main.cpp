// A hostile client process for the daemon tests. Every mode ends after the
// given number of seconds at the latest (or when killed) and reports on
// standard output, one line per event, what the daemon did to it.
//
//   attacker ADDRESS hold N SECONDS [big]   N connections that never say hello
//                                           ("big": each begins a 1 MiB hello);
//                                           "holding K" once K are open
//   attacker ADDRESS silent SECONDS [again] a version 1 client that never answers
//                                           the capability query ("again":
//                                           reconnects after each cut);
//                                           "welcomed", "cut REASON"
//   attacker ADDRESS flood SECONDS          requests of 4000 bytes as fast as the
//                                           socket takes them, replies discarded;
//                                           "flooding", "sent N"
//   attacker ADDRESS garbage SEED SECONDS   connection after connection of random
//                                           bytes or random frames after a hello;
//                                           "connections N goodbyes G"
//   attacker ADDRESS name NAME BYE SECONDS  a client named NAME that says goodbye
//                                           with the text BYE (any bytes but NUL);
//                                           "synced"
//   attacker ADDRESS hello                  a version 2 hello; "welcomed",
//                                           "goodbye REASON" or "no connection"
//                                           (the socket refused it)
// ADDRESS is a Unix socket path or tcp:PORT (loopback).
#include "harness.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <netinet/in.h>
#include <poll.h>
#include <random>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace
{

using namespace ktztransport;
using ktzmond_test::Client;
using ktzmond_test::NowMs;

std::string g_address;

bool Connect(Client* c)
{
    if (g_address.rfind("tcp:", 0) == 0)
    {
        return c->ConnectTcp(static_cast<uint16_t>(std::atoi(g_address.c_str() + 4)));
    }
    return c->Connect(g_address);
}

// A raw connection for the modes that hold many (no reader state needed).
int RawConnect()
{
    Client c;
    if (!Connect(&c))
    {
        return -1;
    }
    return ::dup(c.fd());
}

void Say(const std::string& line)
{
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
}

int Hold(int n, int64_t end, bool big)
{
    std::vector<int> fds;
    for (int i = 0; i < n; ++i)
    {
        const int fd = RawConnect();
        if (fd < 0)
        {
            break;
        }
        fds.push_back(fd);
    }
    if (big)
    {
        // Each begins a hello of 1 MiB and sends all of it but its last
        // byte, as fast as the daemon reads (at most 3 seconds).
        const std::vector<uint8_t> chunk(65536, 'x');
        std::vector<size_t> left(fds.size(), 8 + (1u << 20) - 1);
        const uint8_t header[8] = {0, 0, 0x10, 0, 1, 0, 0, 0};
        for (int fd : fds)
        {
            (void)::send(fd, header, sizeof header, MSG_NOSIGNAL | MSG_DONTWAIT);
        }
        const int64_t stop = std::min(end, NowMs() + 3000);
        size_t open = fds.size();
        while (open > 0 && NowMs() < stop)
        {
            std::vector<pollfd> p;
            for (int fd : fds)
            {
                p.push_back({fd, POLLOUT, 0});
            }
            if (::poll(p.data(), p.size(), 100) <= 0)
            {
                continue;
            }
            for (size_t i = 0; i < fds.size(); ++i)
            {
                if (left[i] <= 8 || (p[i].revents & POLLOUT) == 0)
                {
                    continue;
                }
                const ssize_t k = ::send(fds[i], chunk.data(), std::min(chunk.size(), left[i] - 8),
                                         MSG_NOSIGNAL | MSG_DONTWAIT);
                if (k < 0 && errno != EAGAIN)
                {
                    left[i] = 0; // closed by the daemon
                }
                left[i] -= k > 0 ? std::min(static_cast<size_t>(k), left[i]) : 0;
                open -= left[i] <= 8 ? 1 : 0;
            }
        }
    }
    Say("holding " + std::to_string(fds.size()));
    while (NowMs() < end)
    {
        ::usleep(50000);
    }
    for (int fd : fds)
    {
        ::close(fd);
    }
    return 0;
}

int Silent(int64_t end, bool again)
{
    do
    {
        Client c;
        if (!Connect(&c) || !c.SendHello(0, "silent"))
        {
            ::usleep(50000);
            continue;
        }
        Say("welcomed");
        const int64_t left = end - NowMs();
        const int reason = c.ExpectGoodbye(static_cast<int>(left > 0 ? left : 1));
        Say("cut " + std::to_string(reason));
    } while (again && NowMs() < end);
    return 0;
}

int Flood(int64_t end)
{
    Client c;
    c.caps = 0x1;
    if (!Connect(&c) || !c.Handshake())
    {
        return 1;
    }
    Say("flooding");
    std::vector<uint8_t> batch;
    for (uint32_t i = 0; i < 16; ++i)
    {
        Encode(Request{i + 1, 3, 0x200, 16, std::vector<uint8_t>(4000, 0x5A)}, &batch);
    }
    uint64_t sent = 0;
    size_t at = 0;
    uint8_t sink[65536];
    while (NowMs() < end)
    {
        pollfd p{c.fd(), static_cast<short>(POLLIN | POLLOUT), 0};
        if (::poll(&p, 1, 100) <= 0)
        {
            continue;
        }
        if ((p.revents & POLLIN) != 0 && ::recv(c.fd(), sink, sizeof sink, MSG_DONTWAIT) == 0)
        {
            break; // the daemon closed
        }
        if ((p.revents & POLLOUT) != 0)
        {
            const ssize_t n =
                ::send(c.fd(), batch.data() + at, batch.size() - at, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n < 0 && errno != EAGAIN)
            {
                break;
            }
            at += n > 0 ? static_cast<size_t>(n) : 0;
            if (at == batch.size())
            {
                at = 0;
                sent += 16;
            }
        }
    }
    Say("sent " + std::to_string(sent));
    return 0;
}

// Random bytes, or a hello and then frames with random types, sizes and
// bodies (headers within the client bound and beyond it).
int Garbage(uint32_t seed, int64_t end)
{
    std::mt19937 rng(seed);
    auto pick = [&](uint32_t n) { return static_cast<uint32_t>(rng() % n); };
    int connections = 0;
    int goodbyes = 0;
    while (NowMs() < end)
    {
        Client c;
        if (pick(2) == 0)
        {
            c.caps = 0x3;
        }
        if (!Connect(&c))
        {
            ::usleep(10000);
            continue;
        }
        connections += 1;
        std::vector<uint8_t> bytes;
        if (pick(4) != 0)
        {
            Hello h;
            h.maxVersion = c.caps ? kVersion2 : kVersion;
            h.caps = c.caps.value_or(0);
            Encode(h, &bytes);
            for (uint32_t i = 0, n = 1 + pick(6); i < n; ++i)
            {
                static const uint16_t kTypes[] = {kHello,   kWelcome, kGoodbye, kMessage, kResponse,
                                                  kRequest, kReply,   kPing,    kPong,    0x7777};
                std::vector<uint8_t> body(pick(5) == 0 ? pick(kMaxClientBodySize + 64) : pick(40), 0);
                for (auto& b : body)
                {
                    b = static_cast<uint8_t>(rng());
                }
                EncodeFrame(kTypes[pick(10)], body.data(), body.size(), &bytes);
                if (pick(8) == 0)
                {
                    bytes.back() ^= 0xFF; // a damaged header or body now and then
                }
            }
        }
        else
        {
            bytes.resize(1 + pick(300));
            for (auto& b : bytes)
            {
                b = static_cast<uint8_t>(rng());
            }
        }
        (void)c.SendRaw(bytes);
        goodbyes += c.ExpectGoodbye(1500) >= 0 ? 1 : 0;
    }
    Say("connections " + std::to_string(connections) + " goodbyes " + std::to_string(goodbyes));
    return 0;
}

int Named(const std::string& name, const std::string& byeText, int64_t end)
{
    Client c;
    std::vector<ktzmond_test::Received> got;
    if (!Connect(&c) || !c.SendHello(0, name))
    {
        return 1;
    }
    Frame f;
    if (!c.Read(&f, 10000) || f.type != kWelcome || !c.ReadUntil(0x103, &got, 20000, 0x3))
    {
        return 1;
    }
    Say("synced");
    while (NowMs() < end && c.fd() >= 0)
    {
        (void)c.Read(&f, 100);
    }
    std::vector<uint8_t> bye;
    Encode(Goodbye{kByeNormal, byeText}, &bye);
    return c.SendRaw(bye) ? 0 : 1;
}

int SayHello()
{
    Client c;
    c.caps = 0x1;
    if (!Connect(&c))
    {
        Say("no connection");
        return 0;
    }
    // The daemon may have said goodbye before the hello is written: what it
    // sent is read either way.
    (void)c.SendHello(0, "hello");
    Frame f;
    Goodbye g;
    std::string e;
    if (!c.Read(&f, 10000))
    {
        Say("closed");
    }
    else if (f.type == kWelcome)
    {
        Say("welcomed");
    }
    else
    {
        Say("goodbye " + std::to_string(Parse(f, &g, &e) ? static_cast<int>(g.reason) : -1));
    }
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 3)
    {
        std::fprintf(stderr, "usage: %s ADDRESS MODE ARGS... (see the source)\n", argv[0]);
        return 2;
    }
    g_address = argv[1];
    const std::string mode = argv[2];
    const std::vector<std::string> a(argv + 3, argv + argc);
    auto until = [](const std::string& s) { return NowMs() + std::atoi(s.c_str()) * 1000; };
    if (mode == "hold" && a.size() >= 2)
    {
        return Hold(std::atoi(a[0].c_str()), until(a[1]), a.size() > 2 && a[2] == "big");
    }
    if (mode == "silent" && !a.empty())
    {
        return Silent(until(a[0]), a.size() > 1 && a[1] == "again");
    }
    if (mode == "flood" && !a.empty())
    {
        return Flood(until(a[0]));
    }
    if (mode == "garbage" && a.size() >= 2)
    {
        return Garbage(static_cast<uint32_t>(std::strtoul(a[0].c_str(), nullptr, 0)), until(a[1]));
    }
    if (mode == "hello")
    {
        return SayHello();
    }
    if (mode == "name" && a.size() >= 3)
    {
        return Named(a[0], a[1], until(a[2]));
    }
    std::fprintf(stderr, "%s: unknown mode or missing arguments\n", argv[0]);
    return 2;
}
