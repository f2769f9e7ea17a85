// Default socket paths of ktzmond.
#include "paths.h"

#include <cstdlib>
#include <unistd.h>

namespace ktzhost
{

std::string DefaultSocketPath()
{
    if (::geteuid() == 0)
    {
        return "/run/ktzmon/ktzmond.sock";
    }
    const char* xdg = std::getenv("XDG_RUNTIME_DIR");
    if (xdg != nullptr && xdg[0] != '\0')
    {
        return std::string(xdg) + "/ktzmon/ktzmond.sock";
    }
    return "/tmp/ktzmon-" + std::to_string(::geteuid()) + "/ktzmond.sock";
}

std::string DefaultControlPath(const std::string& socketPath)
{
    const auto slash = socketPath.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : socketPath.substr(0, slash);
    return dir + "/ktzmond.ctl";
}

} // namespace ktzhost
