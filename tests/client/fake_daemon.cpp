// A scripted stand-in for ktzmond, run as its own process by the client
// tests. It listens on a Unix socket (or on a loopback TCP port with --tcp),
// plays the steps given on its command line one after the other and prints
// one line for everything it receives, so a test can check what the client
// sent. Any step that does not go as written prints "FAIL ..." and ends the
// process with status 1.
//
// usage: fake_daemon [--tcp] SOCKET_PATH STEP...   (SOCKET_PATH is ignored with --tcp)
// Steps (one argument each, words separated by spaces):
//   accept                    wait for the next connection
//   hello                     read the client's hello
//   welcome ID                answer with a welcome assigning ID
//   bye REASON [TEXT]         send a goodbye
//   msg TYPE HEX|- [rsp=N] [flags=N] [class=N] [seq=N]
//                             send a module message (sequence numbers count from 1)
//   response                  read a Response
//   request                   read a Request (its sequence number is kept)
//   reply STATUS HEX|- [seq=N] send a Reply (to the last request unless seq= is given)
//   expect-ping               read a Ping and answer it
//   ping TOKEN                send a Ping;  expect-pong: read the Pong
//   expect-goodbye            read a Goodbye
//   expect-eof                read until the client closes
//   raw HEX                   send bytes as they are
//   sleep MS                  wait
//   close                     close the connection
#include "frame.h"
#include "ktzclient_decode.h"

#include <arpa/inet.h>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <poll.h>
#include <sstream>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace kt = ktztransport;

namespace
{

constexpr int kStepTimeoutMs = 10000;
using Clock = std::chrono::steady_clock;
const Clock::time_point g_start = Clock::now();

std::string g_path;
int g_listen = -1;
int g_conn = -1;
kt::FrameReader g_reader;
uint32_t g_seq = 0;
uint32_t g_lastRequest = 0;

void Say(const std::string& line)
{
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
}

long Ms()
{
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - g_start).count());
}

[[noreturn]] void Die(const std::string& why)
{
    Say("FAIL " + why);
    if (!g_path.empty())
    {
        ::unlink(g_path.c_str());
    }
    std::exit(1);
}

std::vector<uint8_t> Bytes(const std::string& hex)
{
    std::vector<uint8_t> out;
    if (hex == "-")
    {
        return out;
    }
    std::string digits;
    for (char c : hex)
    {
        if (c != ' ')
        {
            digits += c;
        }
    }
    if (digits.size() % 2 != 0)
    {
        Die("odd number of hex digits: " + hex);
    }
    for (size_t i = 0; i < digits.size(); i += 2)
    {
        out.push_back(static_cast<uint8_t>(std::strtoul(digits.substr(i, 2).c_str(), nullptr, 16)));
    }
    return out;
}

uint32_t Num(const std::string& s)
{
    return static_cast<uint32_t>(std::strtoul(s.c_str(), nullptr, 0));
}

void SendBytes(const std::vector<uint8_t>& b)
{
    size_t done = 0;
    while (done < b.size())
    {
        const ssize_t n = ::send(g_conn, b.data() + done, b.size() - done, MSG_NOSIGNAL);
        if (n <= 0)
        {
            Die("send: " + std::string(std::strerror(errno)));
        }
        done += static_cast<size_t>(n);
    }
}

// The next frame from the client; false at the end of the connection.
bool ReadFrame(kt::Frame* f)
{
    const auto deadline = Clock::now() + std::chrono::milliseconds(kStepTimeoutMs);
    while (!g_reader.Next(f))
    {
        if (g_reader.Failed())
        {
            Die("bad frame from the client: " + g_reader.Error());
        }
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        pollfd p{g_conn, POLLIN, 0};
        if (left <= 0 || ::poll(&p, 1, static_cast<int>(left)) <= 0)
        {
            Die("nothing from the client in time");
        }
        uint8_t buf[4096];
        const ssize_t n = ::recv(g_conn, buf, sizeof buf, 0);
        if (n <= 0)
        {
            return false;
        }
        (void)g_reader.Feed(buf, static_cast<size_t>(n));
    }
    return true;
}

kt::Frame Expect(uint16_t type, const char* what)
{
    kt::Frame f;
    if (!ReadFrame(&f))
    {
        Die(std::string("connection closed, expected a ") + what);
    }
    if (f.type != type)
    {
        Die(std::string("frame of type ") + std::to_string(f.type) + ", expected a " + what);
    }
    return f;
}

// The next frame, which must be a `what` of `type`, parsed.
template <typename T> T Receive(uint16_t type, const char* what)
{
    T t;
    std::string why;
    if (!kt::Parse(Expect(type, what), &t, &why))
    {
        Die(std::string("bad ") + what + ": " + why);
    }
    return t;
}

// "key=value" options after the positional words of a step.
uint32_t Option(const std::vector<std::string>& words, const std::string& key, uint32_t dflt,
                bool* given = nullptr)
{
    for (const auto& w : words)
    {
        if (w.compare(0, key.size() + 1, key + "=") == 0)
        {
            if (given != nullptr)
            {
                *given = true;
            }
            return Num(w.substr(key.size() + 1));
        }
    }
    return dflt;
}

void CloseConn()
{
    if (g_conn >= 0)
    {
        ::close(g_conn);
        g_conn = -1;
    }
}

void Step(const std::string& step)
{
    std::istringstream in(step);
    std::vector<std::string> w;
    for (std::string t; in >> t;)
    {
        w.push_back(t);
    }
    if (w.empty())
    {
        return;
    }
    const std::string& op = w[0];
    std::vector<uint8_t> out;
    if (op == "accept")
    {
        CloseConn();
        pollfd p{g_listen, POLLIN, 0};
        if (::poll(&p, 1, kStepTimeoutMs) <= 0)
        {
            Die("no connection in time");
        }
        g_conn = ::accept(g_listen, nullptr, nullptr);
        if (g_conn < 0)
        {
            Die("accept failed");
        }
        g_reader = kt::FrameReader();
        g_seq = 0;
        Say("accepted t=" + std::to_string(Ms()));
    }
    else if (op == "hello")
    {
        const auto h = Receive<kt::Hello>(kt::kHello, "hello");
        Say("hello min=" + std::to_string(h.minVersion) + " max=" + std::to_string(h.maxVersion) + " id=" +
            std::to_string(h.requestedClientId) + " caps=" + std::to_string(h.caps) + " name=" + h.name);
    }
    else if (op == "welcome" && w.size() >= 2)
    {
        kt::Encode(kt::Welcome{.clientId = Num(w[1]), .name = "fake-daemon"}, &out);
        SendBytes(out);
    }
    else if (op == "bye" && w.size() >= 2)
    {
        const size_t at = step.find(w[1]) + w[1].size();
        kt::Goodbye g{Num(w[1]), at < step.size() ? step.substr(at + 1) : std::string()};
        kt::Encode(g, &out);
        SendBytes(out);
    }
    else if (op == "msg" && w.size() >= 3)
    {
        kt::Message m;
        bool seqGiven = false;
        m.seq = Option(w, "seq", g_seq + 1, &seqGiven);
        g_seq = m.seq;
        m.requestClass = Option(w, "class", 3);
        m.requestType = Num(w[1]);
        m.responseSize = Option(w, "rsp", 0);
        m.flags = Option(w, "flags", 0);
        m.payload = Bytes(w[2]);
        kt::Encode(m, &out);
        SendBytes(out);
    }
    else if (op == "response")
    {
        const auto r = Receive<kt::Response>(kt::kResponse, "response");
        Say("response seq=" + std::to_string(r.seq) + " status=" + std::to_string(r.status) +
            " data=" + ktzclient::Hex(r.data.data(), r.data.size()));
    }
    else if (op == "request")
    {
        const auto r = Receive<kt::Request>(kt::kRequest, "request");
        g_lastRequest = r.seq;
        Say("request seq=" + std::to_string(r.seq) + " class=" + std::to_string(r.requestClass) +
            " type=" + std::to_string(r.requestType) + " reply=" + std::to_string(r.replySize) +
            " data=" + ktzclient::Hex(r.data.data(), r.data.size()));
    }
    else if (op == "reply" && w.size() >= 3)
    {
        kt::Encode(
            kt::Reply{.seq = Option(w, "seq", g_lastRequest), .status = Num(w[1]), .data = Bytes(w[2])},
            &out);
        SendBytes(out);
    }
    else if (op == "expect-ping")
    {
        const auto p = Receive<kt::Ping>(kt::kPing, "ping");
        Say("ping token=" + std::to_string(p.token));
        kt::EncodePong(p.token, &out);
        SendBytes(out);
    }
    else if (op == "ping" && w.size() >= 2)
    {
        kt::EncodePing(Num(w[1]), &out);
        SendBytes(out);
    }
    else if (op == "expect-pong")
    {
        const auto p = Receive<kt::Ping>(kt::kPong, "pong");
        Say("pong token=" + std::to_string(p.token));
    }
    else if (op == "expect-goodbye")
    {
        const auto g = Receive<kt::Goodbye>(kt::kGoodbye, "goodbye");
        Say("goodbye reason=" + std::to_string(g.reason) + " text=" + g.text);
    }
    else if (op == "expect-eof")
    {
        kt::Frame f;
        while (ReadFrame(&f))
        {
            Say("frame type=" + std::to_string(f.type) + " size=" + std::to_string(f.body.size()));
        }
        Say("eof");
    }
    else if (op == "raw" && w.size() >= 2)
    {
        SendBytes(Bytes(step.substr(4)));
    }
    else if (op == "sleep" && w.size() >= 2)
    {
        std::this_thread::sleep_for(std::chrono::milliseconds(Num(w[1])));
    }
    else if (op == "close")
    {
        CloseConn();
        Say("closed");
    }
    else
    {
        Die("unknown step: " + step);
    }
}

void Listen(bool tcp)
{
    if (tcp)
    {
        g_listen = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        if (g_listen < 0 || ::bind(g_listen, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
            ::listen(g_listen, 16) != 0 ||
            ::getsockname(g_listen, reinterpret_cast<sockaddr*>(&a), &len) != 0)
        {
            Die("cannot listen on the loopback address");
        }
        Say("listening port=" + std::to_string(ntohs(a.sin_port)));
        return;
    }
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    if (g_path.size() >= sizeof a.sun_path)
    {
        Die("socket path too long");
    }
    std::memcpy(a.sun_path, g_path.data(), g_path.size());
    ::unlink(g_path.c_str());
    g_listen = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (g_listen < 0 || ::bind(g_listen, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        ::listen(g_listen, 16) != 0)
    {
        Die("cannot listen on " + g_path + ": " + std::strerror(errno));
    }
    Say("listening");
}

} // namespace

int main(int argc, char** argv)
{
    int i = 1;
    bool tcp = false;
    if (i < argc && std::strcmp(argv[i], "--tcp") == 0)
    {
        tcp = true;
        ++i;
    }
    if (i >= argc)
    {
        std::fprintf(stderr, "usage: fake_daemon [--tcp] SOCKET_PATH STEP...\n");
        return 2;
    }
    if (!tcp)
    {
        g_path = argv[i];
    }
    ++i;
    Listen(tcp);
    for (; i < argc; ++i)
    {
        Step(argv[i]);
    }
    CloseConn();
    ::close(g_listen);
    if (!g_path.empty())
    {
        ::unlink(g_path.c_str());
    }
    Say("done");
    return 0;
}
