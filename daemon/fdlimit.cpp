// Raising the descriptor limit at start.
#include "fdlimit.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <sys/resource.h>

namespace ktzmond
{
namespace
{

// The most a soft limit may be set to, whatever the hard limit says
// (RLIM_INFINITY is refused above it).
rlim_t KernelMaximum()
{
    std::ifstream in("/proc/sys/fs/nr_open");
    unsigned long long v = 0;
    return in >> v && v != 0 ? static_cast<rlim_t>(v) : static_cast<rlim_t>(1048576);
}

std::string Number(rlim_t v)
{
    return v == RLIM_INFINITY ? "unlimited" : std::to_string(static_cast<unsigned long long>(v));
}

} // namespace

std::string RaiseDescriptorLimit(uint64_t wanted)
{
    rlimit rl{};
    if (::getrlimit(RLIMIT_NOFILE, &rl) != 0)
    {
        return std::string("cannot read the descriptor limit: ") + std::strerror(errno);
    }
    const rlim_t before = rl.rlim_cur;
    const rlim_t target = std::min(rl.rlim_max, KernelMaximum());
    std::string line;
    if (target > before)
    {
        rl.rlim_cur = target;
        if (::setrlimit(RLIMIT_NOFILE, &rl) == 0)
        {
            line = "descriptor limit raised from " + Number(before) + " to " + Number(target) +
                   " (the hard limit " + Number(rl.rlim_max) + ")";
        }
        else
        {
            rl.rlim_cur = before;
            line = "descriptor limit " + Number(before) + ": cannot raise it to " + Number(target) + ": " +
                   std::strerror(errno);
        }
    }
    else
    {
        line = "descriptor limit " + Number(before) + " (the hard limit)";
    }
    if (rl.rlim_cur != RLIM_INFINITY && rl.rlim_cur < wanted)
    {
        line += "; fewer than the " + std::to_string(wanted) +
                " that --max-clients and --max-handshakes allow: connections beyond it wait to be accepted";
    }
    return line;
}

} // namespace ktzmond
