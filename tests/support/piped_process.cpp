// Programs on pipes (see piped_process.h).
#include "support/piped_process.h"

#include "support/wait.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sstream>
#include <tuple>
#include <unistd.h>

namespace ktztest
{

namespace
{

void CloseFd(int* fd)
{
    if (*fd >= 0)
    {
        ::close(*fd);
        *fd = -1;
    }
}

// write() to a pipe whose reader may be gone, without SIGPIPE ending this
// process: the signal is blocked in this thread for the write, and one that
// the write raised is taken back before it is unblocked.
ssize_t WriteQuietly(int fd, const char* data, size_t size)
{
    sigset_t sigpipe, old;
    sigemptyset(&sigpipe);
    sigaddset(&sigpipe, SIGPIPE);
    ::pthread_sigmask(SIG_BLOCK, &sigpipe, &old);
    const ssize_t n = ::write(fd, data, size);
    const int error = errno;
    if (n < 0 && error == EPIPE)
    {
        const timespec none{0, 0};
        ::sigtimedwait(&sigpipe, nullptr, &none);
    }
    ::pthread_sigmask(SIG_SETMASK, &old, nullptr);
    errno = error;
    return n;
}

int Left(int64_t end)
{
    const int64_t left = end - NowMs();
    return left > 0 ? static_cast<int>(left) : 0;
}

} // namespace

PipedProcess::~PipedProcess()
{
    Kill();
}

bool PipedProcess::Start(const std::vector<std::string>& argv, const PipeOptions& options)
{
    Kill();
    out_.clear();
    err_.clear();
    lineStart_ = 0;
    input_ = options.input;
    written_ = 0;
    int in[2], out[2], err[2];
    if (::pipe2(in, O_CLOEXEC) != 0)
    {
        return false;
    }
    if (::pipe2(out, O_CLOEXEC) != 0)
    {
        ::close(in[0]);
        ::close(in[1]);
        return false;
    }
    if (::pipe2(err, O_CLOEXEC) != 0)
    {
        for (int fd : {in[0], in[1], out[0], out[1]})
        {
            ::close(fd);
        }
        return false;
    }
    SpawnOptions spawn{.inFd = in[0], .outFd = out[1], .errFd = err[1], .searchPath = options.searchPath};
    if (!options.env.empty())
    {
        spawn.env = EnvironWith(options.env);
    }
    const bool started = child_.Spawn(argv, spawn);
    ::close(in[0]);
    ::close(out[1]);
    ::close(err[1]);
    inFd_ = in[1];
    outFd_ = out[0];
    errFd_ = err[0];
    ::fcntl(inFd_, F_SETFL, O_NONBLOCK);
    if (!started || input_.empty())
    {
        CloseFd(&inFd_);
    }
    if (!started)
    {
        CloseAll();
    }
    return started;
}

bool PipedProcess::Pump(int timeoutMs)
{
    pollfd fds[3] = {{outFd_, POLLIN, 0}, {errFd_, POLLIN, 0}, {inFd_, POLLOUT, 0}};
    if (outFd_ < 0 && errFd_ < 0 && inFd_ < 0)
    {
        return false;
    }
    const int r = ::poll(fds, 3, timeoutMs); // negative descriptors are skipped
    if (r < 0)
    {
        return errno == EINTR;
    }
    char buf[8192];
    for (auto [fd, dst, i] : {std::tuple{&outFd_, &out_, 0}, std::tuple{&errFd_, &err_, 1}})
    {
        if (*fd >= 0 && fds[i].revents != 0)
        {
            const ssize_t n = ::read(*fd, buf, sizeof buf);
            if (n > 0)
            {
                dst->append(buf, static_cast<size_t>(n));
            }
            else if (n == 0 || errno != EINTR)
            {
                CloseFd(fd);
            }
        }
    }
    if (inFd_ >= 0 && fds[2].revents != 0)
    {
        const ssize_t n = WriteQuietly(inFd_, input_.data() + written_, input_.size() - written_);
        if (n > 0)
        {
            written_ += static_cast<size_t>(n);
        }
        if ((n < 0 && errno != EAGAIN && errno != EINTR) || written_ == input_.size())
        {
            CloseFd(&inFd_); // all written, or the child does not read any more
        }
    }
    return true;
}

bool PipedProcess::ReadLine(std::string* line, int timeoutMs)
{
    const int64_t end = NowMs() + timeoutMs;
    for (;;)
    {
        const size_t nl = out_.find('\n', lineStart_);
        if (nl != std::string::npos)
        {
            *line = out_.substr(lineStart_, nl - lineStart_);
            lineStart_ = nl + 1;
            return true;
        }
        if (outFd_ < 0 || Left(end) == 0 || !Pump(Left(end)))
        {
            return false;
        }
    }
}

bool PipedProcess::WaitFor(const std::string& prefix, std::string* line, int timeoutMs)
{
    const int64_t end = NowMs() + timeoutMs;
    std::string l;
    while (ReadLine(&l, Left(end)))
    {
        if (l.compare(0, prefix.size(), prefix) == 0)
        {
            if (line != nullptr)
            {
                *line = l;
            }
            return true;
        }
    }
    return false;
}

bool PipedProcess::ReadUntil(const std::function<bool(const std::string&)>& pred, int timeoutMs)
{
    const int64_t end = NowMs() + timeoutMs;
    while (!pred(out_))
    {
        if (outFd_ < 0 || Left(end) == 0 || !Pump(Left(end)))
        {
            return pred(out_);
        }
    }
    return true;
}

int PipedProcess::Wait(int timeoutMs)
{
    const int64_t end = NowMs() + timeoutMs;
    while (Left(end) > 0 && Pump(Left(end)))
    {
    }
    if (child_.running() && child_.Wait(Left(end)) < 0 && child_.running())
    {
        Kill();
        return -1;
    }
    CloseAll();
    return child_.termSignal() != 0 ? 1000 + child_.termSignal() : child_.exitCode();
}

void PipedProcess::CloseAll()
{
    CloseFd(&inFd_);
    CloseFd(&outFd_);
    CloseFd(&errFd_);
}

void PipedProcess::Kill()
{
    child_.Kill();
    CloseAll();
}

RunResult RunProgram(const std::vector<std::string>& argv, const PipeOptions& options, int timeoutMs)
{
    PipedProcess p;
    RunResult r;
    if (p.Start(argv, options))
    {
        r.status = p.Wait(timeoutMs);
    }
    r.out = p.out();
    r.err = p.err();
    return r;
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

std::vector<std::string> Words(const std::string& s)
{
    std::vector<std::string> out;
    std::stringstream ss(s);
    std::string w;
    while (ss >> w)
    {
        out.push_back(w);
    }
    return out;
}

} // namespace ktztest
