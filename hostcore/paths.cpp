// Default socket paths of ktzmond, and TCP addresses given as HOST:PORT.
#include "paths.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace ktzhost
{

std::string DefaultSocketDir()
{
    if (::geteuid() == 0)
    {
        return "/run/ktzmon";
    }
    const char* xdg = std::getenv("XDG_RUNTIME_DIR");
    if (xdg != nullptr && xdg[0] != '\0')
    {
        return std::string(xdg) + "/ktzmon";
    }
    return "/tmp/ktzmon-" + std::to_string(::geteuid());
}

std::string DefaultSocketPath()
{
    return DefaultSocketDir() + "/ktzmond.sock";
}

std::string SocketDirOf(const std::string& socketPath)
{
    const auto slash = socketPath.rfind('/');
    if (slash == std::string::npos)
    {
        return ".";
    }
    return slash == 0 ? "/" : socketPath.substr(0, slash);
}

std::string DefaultControlPath(const std::string& socketPath)
{
    return SocketDirOf(socketPath) + "/ktzmond.ctl";
}

bool CheckSocketDir(const std::string& dir, unsigned owner, std::string* error)
{
    struct stat st
    {
    };
    if (::lstat(dir.c_str(), &st) != 0)
    {
        *error = "socket folder " + dir + ": " + std::strerror(errno);
        return false;
    }
    if (S_ISLNK(st.st_mode))
    {
        *error = "socket folder " + dir + " is a symbolic link; give the folder it points to";
        return false;
    }
    if (!S_ISDIR(st.st_mode))
    {
        *error = "socket folder " + dir + " is not a folder";
        return false;
    }
    if (st.st_uid != owner && st.st_uid != 0)
    {
        *error = "socket folder " + dir + " belongs to user " + std::to_string(st.st_uid) + ", not to user " +
                 std::to_string(owner) + " or root: its owner could replace the sockets in it";
        return false;
    }
    if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0)
    {
        char mode[8];
        std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
        *error = "socket folder " + dir + " may be written to by other users (mode " + mode +
                 "), who could replace the sockets in it; use a folder only its owner can write to";
        return false;
    }
    return true;
}

bool PrepareSocketDir(const std::string& socketPath, unsigned mode, std::string* error)
{
    const std::string dir = SocketDirOf(socketPath);
    const bool own = dir == DefaultSocketDir();
    struct stat st
    {
    };
    if (::lstat(dir.c_str(), &st) != 0)
    {
        if (errno != ENOENT || !own)
        {
            *error = "socket folder " + dir + ": " + std::strerror(errno) +
                     (errno == ENOENT ? " (create it first, or choose a socket path in a folder that exists)"
                                      : "");
            return false;
        }
        // Only the last level: the runtime directory above it is the
        // system's to make.
        if (::mkdir(dir.c_str(), static_cast<mode_t>(mode)) != 0 && errno != EEXIST)
        {
            *error = "cannot create the socket folder " + dir + ": " + std::strerror(errno);
            return false;
        }
    }
    if (!CheckSocketDir(dir, ::geteuid(), error))
    {
        return false;
    }
    // The daemon's own folder follows the access policy (mkdir's mode is
    // narrowed by the umask, and a folder left by an earlier run may have
    // another mode).
    if (own && ::lstat(dir.c_str(), &st) == 0 && st.st_uid == ::geteuid() &&
        (st.st_mode & 07777) != static_cast<mode_t>(mode) &&
        ::chmod(dir.c_str(), static_cast<mode_t>(mode)) != 0)
    {
        *error = "cannot set the mode of the socket folder " + dir + ": " + std::strerror(errno);
        return false;
    }
    return true;
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
