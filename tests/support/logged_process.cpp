// Long-running programs with a log file (see logged_process.h).
#include "support/logged_process.h"

#include "support/files.h"
#include "support/wait.h"

namespace ktztest
{

bool LoggedProcess::Start(const std::vector<std::string>& argv, const std::string& logPath, bool withErrors)
{
    log_ = logPath;
    return child_.Spawn(argv, {.in = "/dev/null", .out = logPath, .append = true, .errToOut = withErrors});
}

int LoggedProcess::Stop(int timeoutMs)
{
    const int rc = child_.Terminate(timeoutMs);
    child_.Kill();
    return rc;
}

std::string LoggedProcess::Log() const
{
    return ReadFile(log_);
}

bool LoggedProcess::WaitLog(const std::string& text, int timeoutMs)
{
    bool ended = false;
    WaitUntil(
        [&]
        {
            ended = !Running(); // asked first: what it wrote before it ended is in the log
            return ended || Log().find(text) != std::string::npos;
        },
        timeoutMs);
    return Log().find(text) != std::string::npos;
}

} // namespace ktztest
