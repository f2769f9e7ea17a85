// The socket folder check (see socket_dir.h).
#include "socket_dir.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <sys/stat.h>

namespace ktzclient
{
namespace
{

std::string Parent(const std::string& path)
{
    const auto slash = path.find_last_of('/');
    if (slash == std::string::npos)
    {
        return ".";
    }
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string Mode(mode_t m)
{
    char b[8];
    std::snprintf(b, sizeof b, "%04o", static_cast<unsigned>(m & 07777));
    return b;
}

} // namespace

bool SocketDirTrusted(const std::string& socketPath, uid_t uid, std::string* why)
{
    const std::string dir = Parent(socketPath);
    struct stat st
    {
    };
    if (::stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
    {
        return true; // the connect says what is wrong
    }
    const std::string head = "refusing the socket folder " + dir + ": ";
    if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0)
    {
        *why = head + "users other than its owner may write it (mode " + Mode(st.st_mode) +
               "), so they could put a socket of their own there";
        return false;
    }
    if (st.st_uid == uid || st.st_uid == 0)
    {
        return true;
    }
    // Owned by someone else: trusted only when root alone could have made it.
    char real[PATH_MAX];
    if (::realpath(dir.c_str(), real) != nullptr)
    {
        struct stat up
        {
        };
        if (::stat(Parent(real).c_str(), &up) == 0 && up.st_uid == 0 &&
            (up.st_mode & (S_IWGRP | S_IWOTH)) == 0)
        {
            return true;
        }
    }
    *why = head + "it belongs to user " + std::to_string(st.st_uid) + ", neither this user (" +
           std::to_string(uid) +
           ") nor root, in a folder others may write; that user could put a socket of " + "their own there";
    return false;
}

} // namespace ktzclient
