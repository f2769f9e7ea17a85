// Child processes for the client tests (see child.h).
#include "child.h"

#include <chrono>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace
{

using Clock = std::chrono::steady_clock;

int Left(Clock::time_point deadline)
{
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return ms < 0 ? 0 : static_cast<int>(ms);
}

} // namespace

Child::~Child()
{
    Kill();
}

bool Child::Start(const std::vector<std::string>& argv)
{
    int out[2];
    int err[2];
    if (::pipe2(out, O_CLOEXEC) != 0)
    {
        return false;
    }
    if (::pipe2(err, O_CLOEXEC) != 0)
    {
        ::close(out[0]);
        ::close(out[1]);
        return false;
    }
    ktzhosttest::SpawnOptions options;
    options.in = "/dev/null";
    options.outFd = out[1];
    options.errFd = err[1];
    const bool started = child_.Spawn(argv, options);
    ::close(out[1]);
    ::close(err[1]);
    out_ = out[0];
    err_ = err[0];
    return started;
}

// Reads what `fd` has into `buf`, waiting at most `timeoutMs`; false at its end or on timeout.
bool Child::Fill(int fd, std::string* buf, int timeoutMs)
{
    if (fd < 0)
    {
        return false;
    }
    pollfd p{fd, POLLIN, 0};
    const int r = ::poll(&p, 1, timeoutMs);
    if (r <= 0)
    {
        return false;
    }
    char tmp[4096];
    const ssize_t n = ::read(fd, tmp, sizeof tmp);
    if (n <= 0)
    {
        return false;
    }
    buf->append(tmp, static_cast<size_t>(n));
    return true;
}

bool Child::ReadLine(std::string* line, int timeoutMs)
{
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (true)
    {
        const auto nl = outBuf_.find('\n');
        if (nl != std::string::npos)
        {
            *line = outBuf_.substr(0, nl);
            outBuf_.erase(0, nl + 1);
            seen_ += *line + "\n";
            return true;
        }
        if (!Fill(out_, &outBuf_, Left(deadline)))
        {
            return false;
        }
    }
}

bool Child::WaitFor(const std::string& prefix, std::string* line, int timeoutMs)
{
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    std::string l;
    while (ReadLine(&l, Left(deadline)))
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

std::string Child::AllOutput(int timeoutMs)
{
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (Fill(out_, &outBuf_, Left(deadline)))
    {
    }
    return seen_ + outBuf_;
}

std::string Child::Errors(int timeoutMs)
{
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (Fill(err_, &errBuf_, Left(deadline)))
    {
    }
    return errBuf_;
}

int Child::Wait(int timeoutMs)
{
    if (child_.running() && child_.Wait(timeoutMs) < 0 && child_.running())
    {
        Kill();
        return -1;
    }
    return child_.termSignal() != 0 ? 128 + child_.termSignal() : child_.exitCode();
}

void Child::Kill()
{
    child_.Kill();
    if (out_ >= 0)
    {
        ::close(out_);
        out_ = -1;
    }
    if (err_ >= 0)
    {
        ::close(err_);
        err_ = -1;
    }
}
