// ktzmond as a child process (see live_daemon.h).
#include "live_daemon.h"

#include "live_clients.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <sstream>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace ktzbench
{

namespace
{
int64_t NowMs()
{
    return MonotonicNs() / 1000000;
}

void SleepMs(int ms)
{
    timespec ts{0, static_cast<long>(ms) * 1000000};
    ::nanosleep(&ts, nullptr);
}
} // namespace

DaemonProcess::~DaemonProcess()
{
    if (ctl_ >= 0)
    {
        ::close(ctl_);
    }
}

bool DaemonProcess::OpenControl()
{
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    const std::string path = dir_ + "/d.ctl";
    std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
    if (fd < 0 || ::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0)
    {
        if (fd >= 0)
        {
            ::close(fd);
        }
        return false;
    }
    if (ctl_ >= 0)
    {
        ::close(ctl_);
    }
    ctl_ = fd;
    pending_.clear();
    return true;
}

bool DaemonProcess::Start(const std::vector<std::string>& args, int64_t timeoutMs, std::string* error)
{
    std::vector<std::string> argv = {exe_,     "--socket", socket(), "--control-socket", dir_ + "/d.ctl",
                                     "--quiet"};
    argv.insert(argv.end(), args.begin(), args.end());
    ktztest::SpawnOptions options;
    options.in = "/dev/null";
    options.out = "/dev/null";
    options.err = dir_ + "/d.log";
    options.append = true;
    if (!child_.Spawn(argv, options))
    {
        *error = "cannot start " + exe_ + ": " + std::strerror(child_.spawnError());
        return false;
    }
    const int64_t end = NowMs() + timeoutMs;
    while (NowMs() < end)
    {
        if (child_.TryReap())
        {
            *error = "the daemon exited at start: " + Log();
            return false;
        }
        if (ctl_ >= 0 || OpenControl())
        {
            const nlohmann::json s = Ctl({{"cmd", "status"}}, 2000);
            if (s.value("module", "") == "running" && s.value("pid", -1) == child_.pid())
            {
                return true;
            }
            if (!s.value("ok", false))
            {
                ::close(ctl_); // reconnect on the next round
                ctl_ = -1;
            }
        }
        SleepMs(20);
    }
    *error = "the daemon did not start in time: " + Log();
    return false;
}

bool DaemonProcess::Stop(int64_t timeoutMs)
{
    if (ctl_ >= 0)
    {
        ::close(ctl_);
        ctl_ = -1;
    }
    const bool clean = child_.Terminate(static_cast<int>(timeoutMs)) == 0;
    child_.Kill();
    return clean;
}

uint64_t DaemonProcess::RssBytes() const
{
    std::ifstream in("/proc/" + std::to_string(child_.pid()) + "/status");
    std::string line;
    while (std::getline(in, line))
    {
        if (line.rfind("VmRSS:", 0) == 0)
        {
            return std::strtoull(line.c_str() + 6, nullptr, 10) * 1024; // "VmRSS:   1234 kB"
        }
    }
    return 0;
}

std::string DaemonProcess::Log() const
{
    std::ifstream in(dir_ + "/d.log");
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

bool DaemonProcess::Send(const nlohmann::json& request, std::string* error)
{
    const std::string line = request.dump() + "\n";
    if (ctl_ < 0 || ::send(ctl_, line.data(), line.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(line.size()))
    {
        *error = std::string("control request not sent: ") + std::strerror(errno);
        return false;
    }
    return true;
}

nlohmann::json DaemonProcess::Reply(int64_t timeoutMs)
{
    const int64_t end = NowMs() + timeoutMs;
    while (ctl_ >= 0 && pending_.find('\n') == std::string::npos)
    {
        const int64_t left = end - NowMs();
        pollfd p{ctl_, POLLIN, 0};
        if (left <= 0 || ::poll(&p, 1, static_cast<int>(left)) <= 0)
        {
            return {{"ok", false}, {"error", "no reply in time"}};
        }
        char buf[4096];
        const ssize_t n = ::read(ctl_, buf, sizeof buf);
        if (n <= 0)
        {
            return {{"ok", false}, {"error", "control connection closed"}};
        }
        pending_.append(buf, static_cast<size_t>(n));
    }
    if (ctl_ < 0)
    {
        return {{"ok", false}, {"error", "no control connection"}};
    }
    const size_t eol = pending_.find('\n');
    nlohmann::json j = nlohmann::json::parse(pending_.substr(0, eol), nullptr, false);
    pending_.erase(0, eol + 1);
    if (j.is_discarded() || !j.is_object())
    {
        return {{"ok", false}, {"error", "malformed reply"}};
    }
    return j;
}

nlohmann::json DaemonProcess::Ctl(const nlohmann::json& request, int64_t timeoutMs)
{
    std::string error;
    if (!Send(request, &error))
    {
        return {{"ok", false}, {"error", error}};
    }
    return Reply(timeoutMs);
}

} // namespace ktzbench
