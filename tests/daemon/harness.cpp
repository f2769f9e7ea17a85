// The daemon test harness: processes, control requests, a blocking client.
#include "harness.h"

#include "support/files.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sstream>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace ktzmond_test
{

using namespace ktztransport;

bool UnderTsan()
{
#if defined(__SANITIZE_THREAD__)
    return true;
#else
    return false;
#endif
}

std::string DaemonExe()
{
    // Another build of the daemon (an older one, to show a test failing on it).
    const char* other = std::getenv("KTZMOND_TEST_EXE");
    return other != nullptr && other[0] != '\0' ? other : KTZMOND_EXE;
}
std::string ModulePath()
{
    return KTZMON_LIBRARY_PATH;
}
std::string HostExe()
{
    return KTZHOST_EXE;
}
std::string SourceDir()
{
    return KTZ_SOURCE_DIR;
}

int64_t RssKb(pid_t pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string key;
    while (in >> key)
    {
        if (key == "VmRSS:")
        {
            int64_t kb = -1;
            in >> kb;
            return kb;
        }
        in.ignore(1 << 16, '\n');
    }
    return -1;
}

int64_t CpuMs(pid_t pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    // The fields after the command name, which may hold spaces: utime and
    // stime are the 14th and 15th of the line.
    const auto close = text.rfind(')');
    if (close == std::string::npos)
    {
        return -1;
    }
    std::istringstream fields(text.substr(close + 2));
    std::string f;
    int64_t ticks = 0;
    for (int i = 3; i <= 15 && fields >> f; ++i)
    {
        ticks += i >= 14 ? std::stoll(f) : 0;
    }
    return ticks * 1000 / ::sysconf(_SC_CLK_TCK);
}

std::string QuietScenario()
{
    std::string text = ktztest::ReadFile(SourceDir() + "/scenario/scenarios/demo.toml");
    text = text.substr(0, text.find("[[client]]"));
    text.replace(text.find("end = 250"), 9, "end = 45");
    return text;
}

std::string WriteFile(const std::string& dir, const std::string& name, const std::string& text)
{
    const std::string path = dir + "/" + name;
    return ktztest::WriteFile(path, text) ? path : "";
}

// ---- the daemon process ------------------------------------------------------------

bool Daemon::Start(const std::vector<std::string>& args, int timeoutMs)
{
    earlyExit_ = -1;
    std::vector<std::string> argv = {DaemonExe(), "--socket", socket(),   "--control-socket",
                                     control(),   "--quiet",  "--module", ModulePath()};
    argv.insert(argv.end(), args.begin(), args.end());
    if (fdLimit > 0)
    {
        argv.insert(argv.begin(),
                    {"/bin/sh", "-c", "ulimit -n " + std::to_string(fdLimit) + " && exec \"$@\"", "sh"});
    }
    ktztest::SpawnOptions options{
        .in = "/dev/null", .out = "/dev/null", .err = dir_ + "/d.log", .append = true};
    if (!env.empty())
    {
        options.env = ktztest::EnvironWith(env);
    }
    if (!child_.Spawn(argv, options))
    {
        return false;
    }
    const int64_t end = NowMs() + timeoutMs;
    while (NowMs() < end)
    {
        if (child_.TryReap())
        {
            earlyExit_ = child_.exitCode();
            return false; // exited early
        }
        const nlohmann::json s = Ctl({{"cmd", "status"}}, 1000);
        if (s.value("module", "") == "running" && s.value("pid", -1) == child_.pid())
        {
            return true;
        }
        ::usleep(20000);
    }
    return false;
}

bool Daemon::StartQuiet(std::vector<std::string> args, std::string scenario)
{
    scenario = scenario.empty() ? WriteFile(dir_, "quiet.toml", QuietScenario()) : scenario;
    args.insert(args.begin(), {scenario, "--speed", "50"});
    return Start(args) &&
           WaitStatus([](const nlohmann::json& s) { return s.value("chassisTime", 0.0) >= 36.0; }, 20000);
}

int Daemon::Wait(int timeoutMs)
{
    return child_.running() ? child_.Wait(timeoutMs) : -1;
}

int Daemon::Terminate(int timeoutMs, double* seconds)
{
    if (!child_.running())
    {
        return -1;
    }
    const int64_t start = NowMs();
    const int rc = child_.Terminate(timeoutMs);
    if (seconds != nullptr)
    {
        *seconds = static_cast<double>(NowMs() - start) / 1000.0;
    }
    return rc;
}

ktztest::RunResult Daemon::RunCtl(const std::vector<std::string>& args, int timeoutMs) const
{
    std::vector<std::string> argv{KTZMONCTL_EXE, "--control-socket", control()};
    argv.insert(argv.end(), args.begin(), args.end());
    return ktztest::RunProgram(argv, {}, timeoutMs);
}

std::string Daemon::log() const
{
    return ktztest::ReadFile(dir_ + "/d.log");
}

namespace
{

int ConnectUnix(const std::string& path)
{
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0)
    {
        ::close(fd);
        return -1;
    }
    return fd;
}

bool WaitFd(int fd, short events, int64_t deadline)
{
    for (;;)
    {
        const int64_t left = deadline - NowMs();
        if (left <= 0)
        {
            return false;
        }
        pollfd p{fd, events, 0};
        const int r = ::poll(&p, 1, static_cast<int>(left));
        if (r > 0)
        {
            return true;
        }
        if (r < 0 && errno != EINTR)
        {
            return false;
        }
    }
}

bool WriteAll(int fd, const void* data, size_t size, int64_t deadline)
{
    const auto* p = static_cast<const uint8_t*>(data);
    while (size > 0)
    {
        if (!WaitFd(fd, POLLOUT, deadline))
        {
            return false;
        }
        const ssize_t n = ::send(fd, p, size, MSG_NOSIGNAL);
        if (n <= 0)
        {
            if (n < 0 && (errno == EINTR || errno == EAGAIN))
            {
                continue;
            }
            return false;
        }
        p += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

} // namespace

nlohmann::json Daemon::Ctl(const nlohmann::json& request, int timeoutMs)
{
    return CtlLine(request.dump(), timeoutMs);
}

nlohmann::json Daemon::CtlLine(const std::string& request, int timeoutMs)
{
    const int64_t deadline = NowMs() + timeoutMs;
    const int fd = ConnectUnix(control());
    if (fd < 0)
    {
        return {{"ok", false}, {"error", "cannot connect"}};
    }
    const std::string line = request + "\n";
    std::string reply;
    bool ok = WriteAll(fd, line.data(), line.size(), deadline);
    while (ok && reply.find('\n') == std::string::npos)
    {
        char buf[4096];
        ok = WaitFd(fd, POLLIN, deadline);
        const ssize_t n = ok ? ::read(fd, buf, sizeof buf) : -1;
        ok = n > 0;
        if (ok)
        {
            reply.append(buf, static_cast<size_t>(n));
        }
    }
    ::close(fd);
    if (!ok)
    {
        return {{"ok", false}, {"error", "no reply"}};
    }
    return nlohmann::json::parse(reply.substr(0, reply.find('\n')), nullptr, false);
}

// ---- the client -----------------------------------------------------------------------

Client::~Client()
{
    Close();
}

bool Client::Connect(const std::string& path)
{
    Close();
    fd_ = ConnectUnix(path);
    reader_ = FrameReader();
    return fd_ >= 0;
}

bool Client::ConnectTcp(uint16_t port)
{
    Close();
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd_, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0)
    {
        Close();
        return false;
    }
    reader_ = FrameReader();
    return true;
}

void Client::Close()
{
    if (fd_ >= 0)
    {
        ::close(fd_);
        fd_ = -1;
    }
}

bool Client::SendRaw(const std::vector<uint8_t>& bytes)
{
    return fd_ >= 0 && WriteAll(fd_, bytes.data(), bytes.size(), NowMs() + 5000);
}

bool Client::SendHello(uint32_t requestedId, const std::string& name)
{
    Hello h;
    h.requestedClientId = requestedId;
    h.name = name;
    if (caps)
    {
        h.maxVersion = kVersion2;
        h.caps = *caps;
    }
    std::vector<uint8_t> out;
    Encode(h, &out);
    return SendRaw(out);
}

bool Client::Handshake(uint32_t* clientId, uint32_t requestedId, uint32_t* refused)
{
    if (!SendHello(requestedId))
    {
        return false;
    }
    Frame f;
    if (!Read(&f, 10000))
    {
        return false;
    }
    std::string error;
    if (f.type == kGoodbye)
    {
        Goodbye g;
        if (refused != nullptr && Parse(f, &g, &error))
        {
            *refused = g.reason;
        }
        return false;
    }
    Welcome w;
    if (!Parse(f, &w, &error))
    {
        return false;
    }
    if (clientId != nullptr)
    {
        *clientId = w.clientId;
    }
    return true;
}

bool Client::Read(Frame* f, int timeoutMs)
{
    const int64_t deadline = NowMs() + timeoutMs;
    while (fd_ >= 0 && !reader_.Next(f))
    {
        if (reader_.Failed() || !WaitFd(fd_, POLLIN, deadline))
        {
            return false;
        }
        uint8_t buf[16384];
        const ssize_t n = ::read(fd_, buf, sizeof buf);
        if (n <= 0 || !reader_.Feed(buf, static_cast<size_t>(n)))
        {
            Close(); // the end of the stream, or one that cannot be read on
            return false;
        }
    }
    return fd_ >= 0;
}

bool Client::AnswerCaps(uint32_t seq, uint32_t caps)
{
    Response r;
    r.seq = seq;
    r.data.assign(16, 0);
    PutLe32(r.data.data(), caps);
    std::vector<uint8_t> out;
    Encode(r, &out);
    return SendRaw(out);
}

bool Client::ReadUntil(uint32_t type, std::vector<Received>* out, int timeoutMs, uint32_t caps, bool answer)
{
    const int64_t deadline = NowMs() + timeoutMs;
    Frame f;
    while (Read(&f, static_cast<int>(std::max<int64_t>(1, deadline - NowMs()))))
    {
        if (f.type != kMessage)
        {
            continue;
        }
        Message m;
        std::string error;
        if (!Parse(f, &m, &error))
        {
            return false;
        }
        out->push_back({m.requestType, m.seq, m.responseSize, m.flags, m.payload});
        if (m.responseSize != 0 && answer && !AnswerCaps(m.seq, caps))
        {
            return false;
        }
        if (m.requestType == type)
        {
            return true;
        }
    }
    return false;
}

bool Client::ReadFrame(uint16_t type, Frame* f, int timeoutMs)
{
    const int64_t deadline = NowMs() + timeoutMs;
    while (Read(f, static_cast<int>(std::max<int64_t>(1, deadline - NowMs()))))
    {
        if (f->type == type)
        {
            return true;
        }
    }
    return false;
}

int Client::ExpectGoodbye(int timeoutMs, std::string* text)
{
    Frame f;
    Goodbye g;
    std::string error;
    if (!ReadFrame(kGoodbye, &f, timeoutMs) || !Parse(f, &g, &error))
    {
        return -1;
    }
    if (text != nullptr)
    {
        *text = g.text;
    }
    return static_cast<int>(g.reason);
}

void DaemonTest::TearDown()
{
    if (daemon.pid() > 0)
    {
        EXPECT_EQ(daemon.Terminate(5000), 0);
    }
    if (HasFailure())
    {
        std::fprintf(stderr, "---- daemon log ----\n%s\n", daemon.log().c_str());
    }
}

} // namespace ktzmond_test
