// Child processes for tests (see child_process.h).
#include "support/child_process.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>

extern char** environ;

namespace ktztest
{

namespace
{

std::vector<char*> Pointers(std::vector<std::string>& strings)
{
    std::vector<char*> out;
    out.reserve(strings.size() + 1);
    for (auto& s : strings)
    {
        out.push_back(s.data());
    }
    out.push_back(nullptr);
    return out;
}

// The file actions that give the child its stream `target`.
void Stream(posix_spawn_file_actions_t* fa, int target, int fd, const std::string& path, int flags)
{
    if (fd >= 0)
    {
        posix_spawn_file_actions_adddup2(fa, fd, target);
    }
    else if (!path.empty())
    {
        posix_spawn_file_actions_addopen(fa, target, path.c_str(), flags, 0600);
    }
}

} // namespace

std::vector<std::string> EnvironWith(const std::vector<std::string>& vars)
{
    std::vector<std::string> out = vars;
    for (char** e = environ; *e != nullptr; ++e)
    {
        const std::string name(*e, std::strcspn(*e, "=") + 1); // with its '='
        if (std::none_of(vars.begin(), vars.end(),
                         [&](const std::string& v) { return v.rfind(name, 0) == 0; }))
        {
            out.emplace_back(*e);
        }
    }
    return out;
}

ChildProcess::~ChildProcess()
{
    Kill();
}

bool ChildProcess::Spawn(const std::vector<std::string>& argv, const SpawnOptions& options)
{
    Kill();
    status_ = -1;
    spawnError_ = 0;
    if (argv.empty())
    {
        spawnError_ = EINVAL;
        return false;
    }
    std::vector<std::string> args = argv;
    std::vector<char*> cargv = Pointers(args);
    std::vector<std::string> env = options.env.value_or(std::vector<std::string>{});
    std::vector<char*> cenv = Pointers(env);
    const int outFlags = O_WRONLY | O_CREAT | (options.append ? O_APPEND : O_TRUNC);

    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    Stream(&fa, 0, options.inFd, options.in, O_RDONLY);
    Stream(&fa, 1, options.outFd, options.out, outFlags);
    if (options.errToOut)
    {
        posix_spawn_file_actions_adddup2(&fa, 1, 2);
    }
    else
    {
        Stream(&fa, 2, options.errFd, options.err, outFlags);
    }
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    posix_spawnattr_setflags(&attr, options.newSession ? POSIX_SPAWN_SETSID : 0);
    char** envp = options.env ? cenv.data() : environ;
    pid_t pid = -1;
    const int rc = options.searchPath ? ::posix_spawnp(&pid, cargv[0], &fa, &attr, cargv.data(), envp)
                                      : ::posix_spawn(&pid, cargv[0], &fa, &attr, cargv.data(), envp);
    posix_spawnattr_destroy(&attr);
    posix_spawn_file_actions_destroy(&fa);
    if (rc != 0)
    {
        spawnError_ = rc;
        return false;
    }
    pid_ = pid;
    return true;
}

void ChildProcess::Reaped(int status)
{
    pid_ = -1;
    status_ = status;
}

bool ChildProcess::TryReap()
{
    if (pid_ <= 0)
    {
        return true;
    }
    int st = 0;
    pid_t r = 0;
    while ((r = ::waitpid(pid_, &st, WNOHANG)) < 0 && errno == EINTR)
    {
    }
    if (r == pid_)
    {
        Reaped(st);
    }
    else if (r < 0)
    {
        Reaped(-1); // not our child any more: nothing left to wait for
    }
    return pid_ <= 0;
}

int ChildProcess::exitCode() const
{
    return pid_ <= 0 && status_ >= 0 && WIFEXITED(status_) ? WEXITSTATUS(status_) : -1;
}

int ChildProcess::termSignal() const
{
    return pid_ <= 0 && status_ >= 0 && WIFSIGNALED(status_) ? WTERMSIG(status_) : 0;
}

int ChildProcess::Wait(int timeoutMs)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!TryReap())
    {
        if (std::chrono::steady_clock::now() >= end)
        {
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return exitCode();
}

void ChildProcess::Signal(int sig) const
{
    if (pid_ > 0)
    {
        ::kill(pid_, sig);
    }
}

int ChildProcess::Terminate(int timeoutMs)
{
    if (pid_ <= 0)
    {
        return -1;
    }
    Signal(SIGTERM);
    return Wait(timeoutMs);
}

void ChildProcess::Kill()
{
    if (pid_ <= 0)
    {
        return;
    }
    ::kill(pid_, SIGKILL);
    int st = 0;
    pid_t r = 0;
    while ((r = ::waitpid(pid_, &st, 0)) < 0 && errno == EINTR)
    {
    }
    Reaped(r == pid_ ? st : -1);
}

} // namespace ktztest
