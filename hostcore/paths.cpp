// Default socket paths of ktzmond, and TCP addresses given as HOST:PORT.
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

bool SplitHostPort(const std::string& s, bool allowZero, std::string* host, uint16_t* port)
{
    const auto colon = s.rfind(':');
    if (colon == std::string::npos)
    {
        return false;
    }
    std::string h = s.substr(0, colon);
    if (h.size() >= 2 && h.front() == '[' && h.back() == ']')
    {
        h = h.substr(1, h.size() - 2);
    }
    const std::string p = s.substr(colon + 1);
    if (h.empty() || p.empty() || p.size() > 5 || p.find_first_not_of("0123456789") != std::string::npos)
    {
        return false;
    }
    const unsigned long v = std::stoul(p);
    if ((v == 0 && !allowZero) || v > 65535)
    {
        return false;
    }
    *host = h;
    *port = static_cast<uint16_t>(v);
    return true;
}

} // namespace ktzhost
