// Peer credentials and the access policy of ktzmond's client socket.
#include "access.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <grp.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <pwd.h>
#include <sstream>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

namespace ktzmond
{
namespace
{

bool Contains(const std::vector<uint32_t>& v, uint32_t x)
{
    return std::find(v.begin(), v.end(), x) != v.end();
}

// The groups of `uid` from the user database, for a peer whose process
// groups the kernel does not tell (TCP).
void GroupsOfUser(uid_t uid, PeerCredentials* cred)
{
    std::vector<char> buf(16384);
    passwd pw{};
    passwd* found = nullptr;
    if (::getpwuid_r(uid, &pw, buf.data(), buf.size(), &found) != 0 || found == nullptr)
    {
        return;
    }
    cred->gid = pw.pw_gid;
    int n = 64;
    std::vector<gid_t> groups(static_cast<size_t>(n));
    if (::getgrouplist(pw.pw_name, pw.pw_gid, groups.data(), &n) < 0 && n > 64 && n <= 65536)
    {
        groups.resize(static_cast<size_t>(n));
        (void)::getgrouplist(pw.pw_name, pw.pw_gid, groups.data(), &n);
    }
    groups.resize(static_cast<size_t>(std::max(n, 0)));
    cred->groups = std::move(groups);
}

// Asks the kernel's socket table (sock_diag) for the socket whose local end
// is `peer` and whose remote end is `local`: the peer's own socket, when it
// is on this machine. Returns 0 and its owner, or an errno (ENOENT: no such
// socket here).
int SocketOwner(const sockaddr_storage& local, const sockaddr_storage& peer, uid_t* uid)
{
    struct
    {
        nlmsghdr nlh;
        inet_diag_req_v2 req;
    } msg{};
    msg.nlh.nlmsg_len = sizeof msg;
    msg.nlh.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    msg.nlh.nlmsg_flags = NLM_F_REQUEST;
    msg.nlh.nlmsg_seq = 1;
    msg.req.sdiag_protocol = IPPROTO_TCP;
    msg.req.idiag_states = ~0u;
    msg.req.id.idiag_cookie[0] = INET_DIAG_NOCOOKIE;
    msg.req.id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;
    if (peer.ss_family == AF_INET)
    {
        sockaddr_in p{}, l{};
        std::memcpy(&p, &peer, sizeof p);
        std::memcpy(&l, &local, sizeof l);
        msg.req.sdiag_family = AF_INET;
        msg.req.id.idiag_sport = p.sin_port;
        msg.req.id.idiag_dport = l.sin_port;
        std::memcpy(msg.req.id.idiag_src, &p.sin_addr, sizeof p.sin_addr);
        std::memcpy(msg.req.id.idiag_dst, &l.sin_addr, sizeof l.sin_addr);
    }
    else
    {
        sockaddr_in6 p{}, l{};
        std::memcpy(&p, &peer, sizeof p);
        std::memcpy(&l, &local, sizeof l);
        msg.req.id.idiag_sport = p.sin6_port;
        msg.req.id.idiag_dport = l.sin6_port;
        if (IN6_IS_ADDR_V4MAPPED(&p.sin6_addr))
        {
            // A version 4 peer on a dual-stack listener: its socket is a version 4 one.
            msg.req.sdiag_family = AF_INET;
            std::memcpy(msg.req.id.idiag_src, p.sin6_addr.s6_addr + 12, 4);
            std::memcpy(msg.req.id.idiag_dst, l.sin6_addr.s6_addr + 12, 4);
        }
        else
        {
            msg.req.sdiag_family = AF_INET6;
            std::memcpy(msg.req.id.idiag_src, &p.sin6_addr, sizeof p.sin6_addr);
            std::memcpy(msg.req.id.idiag_dst, &l.sin6_addr, sizeof l.sin6_addr);
        }
    }

    const int nl = ::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
    if (nl < 0)
    {
        return errno;
    }
    // The kernel answers at once; the limit only guards against a kernel
    // that never does.
    timeval tv{1, 0};
    (void)::setsockopt(nl, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    int result = EIO;
    if (::sendto(nl, &msg, sizeof msg, 0, reinterpret_cast<const sockaddr*>(&kernel), sizeof kernel) < 0)
    {
        result = errno;
    }
    else
    {
        alignas(nlmsghdr) uint8_t buf[8192];
        const ssize_t n = ::recv(nl, buf, sizeof buf, 0);
        if (n < 0)
        {
            result = errno;
        }
        else
        {
            auto len = static_cast<unsigned int>(n);
            for (auto* h = reinterpret_cast<nlmsghdr*>(buf); NLMSG_OK(h, len); h = NLMSG_NEXT(h, len))
            {
                if (h->nlmsg_type == NLMSG_ERROR && h->nlmsg_len >= NLMSG_LENGTH(sizeof(nlmsgerr)))
                {
                    result = -static_cast<const nlmsgerr*>(NLMSG_DATA(h))->error;
                    break;
                }
                if (h->nlmsg_type == SOCK_DIAG_BY_FAMILY &&
                    h->nlmsg_len >= NLMSG_LENGTH(sizeof(inet_diag_msg)))
                {
                    *uid = static_cast<const inet_diag_msg*>(NLMSG_DATA(h))->idiag_uid;
                    result = 0;
                    break;
                }
            }
        }
    }
    ::close(nl);
    return result;
}

// The same from /proc/net/tcp and /proc/net/tcp6, where no netlink socket
// may be opened (a service restricted to the Internet and Unix families):
// the line whose local end is `peer` and remote end `local` names its owner.
int ProcNetOwner(const sockaddr_storage& local, const sockaddr_storage& peer, uid_t* uid)
{
    // The kernel prints each 32-bit word of an address as it lies in memory
    // with %08X, and the port with %04X.
    auto text = [](const sockaddr_storage& a, bool* v4)
    {
        char buf[64];
        uint32_t w[4] = {};
        uint16_t port = 0;
        if (a.ss_family == AF_INET)
        {
            sockaddr_in v{};
            std::memcpy(&v, &a, sizeof v);
            std::memcpy(w, &v.sin_addr, 4);
            port = ntohs(v.sin_port);
            *v4 = true;
            std::snprintf(buf, sizeof buf, "%08X:%04X", w[0], port);
            return std::string(buf);
        }
        sockaddr_in6 v{};
        std::memcpy(&v, &a, sizeof v);
        port = ntohs(v.sin6_port);
        if (IN6_IS_ADDR_V4MAPPED(&v.sin6_addr))
        {
            std::memcpy(w, v.sin6_addr.s6_addr + 12, 4);
            *v4 = true;
            std::snprintf(buf, sizeof buf, "%08X:%04X", w[0], port);
            return std::string(buf);
        }
        std::memcpy(w, &v.sin6_addr, 16);
        *v4 = false;
        std::snprintf(buf, sizeof buf, "%08X%08X%08X%08X:%04X", w[0], w[1], w[2], w[3], port);
        return std::string(buf);
    };
    bool v4 = false;
    const std::string theirs = text(peer, &v4);
    const std::string ours = text(local, &v4);
    std::ifstream in(v4 ? "/proc/net/tcp" : "/proc/net/tcp6");
    if (!in)
    {
        return ENOENT;
    }
    std::string line;
    std::getline(in, line); // the heading
    while (std::getline(in, line))
    {
        std::istringstream f(line);
        std::string slot, localAddr, remoteAddr, state, queues, timer, retransmits;
        unsigned long owner = 0;
        if (f >> slot >> localAddr >> remoteAddr >> state >> queues >> timer >> retransmits >> owner &&
            localAddr == theirs && remoteAddr == ours)
        {
            *uid = static_cast<uid_t>(owner);
            return 0;
        }
    }
    return ENOENT;
}

bool IsLoopback(const sockaddr_storage& a)
{
    if (a.ss_family == AF_INET)
    {
        sockaddr_in v4{};
        std::memcpy(&v4, &a, sizeof v4);
        return (ntohl(v4.sin_addr.s_addr) >> 24) == 127;
    }
    sockaddr_in6 v6{};
    std::memcpy(&v6, &a, sizeof v6);
    return IN6_IS_ADDR_LOOPBACK(&v6.sin6_addr) ||
           (IN6_IS_ADDR_V4MAPPED(&v6.sin6_addr) && v6.sin6_addr.s6_addr[12] == 127);
}

} // namespace

AccessPolicy MakeAccessPolicy(const Options& o)
{
    AccessPolicy p;
    const uid_t self = ::geteuid();
    const bool otherUsers = std::any_of(o.allowUsers.begin(), o.allowUsers.end(),
                                        [&](uint32_t u) { return u != self && u != 0; });
    p.othersAllowed = otherUsers || !o.allowGroups.empty();
    if (!p.othersAllowed)
    {
        return p; // 0600 and 0700: the daemon's user only (root passes anyway)
    }
    p.dirMode = 0711; // others pass through the folder, cannot list it
    if (!otherUsers && o.allowGroups.size() == 1)
    {
        p.socketMode = 0660;
        p.socketGroup = o.allowGroups.front();
    }
    else
    {
        p.socketMode = 0666; // the credential check decides
    }
    return p;
}

bool IsSelfOrRoot(const PeerCredentials& cred)
{
    return cred.known && (cred.uid == ::geteuid() || cred.uid == 0);
}

bool Allowed(const Options& o, const PeerCredentials& cred)
{
    if (!cred.known)
    {
        return cred.remote && o.allowRemote;
    }
    if (IsSelfOrRoot(cred) || Contains(o.allowUsers, cred.uid) || Contains(o.allowGroups, cred.gid))
    {
        return true;
    }
    return std::any_of(cred.groups.begin(), cred.groups.end(),
                       [&](gid_t g) { return Contains(o.allowGroups, g); });
}

bool UnixPeerCredentials(int fd, PeerCredentials* cred, std::string* error)
{
    ucred uc{};
    socklen_t len = sizeof uc;
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &uc, &len) != 0 || len != sizeof uc)
    {
        *error =
            std::string("the peer's credentials are unknown (SO_PEERCRED: ") + std::strerror(errno) + ")";
        return false;
    }
    cred->known = true;
    cred->pid = uc.pid;
    cred->uid = uc.uid;
    cred->gid = uc.gid;
#ifdef SO_PEERGROUPS
    std::vector<gid_t> groups(64);
    len = static_cast<socklen_t>(groups.size() * sizeof(gid_t));
    int rc = ::getsockopt(fd, SOL_SOCKET, SO_PEERGROUPS, groups.data(), &len);
    if (rc != 0 && errno == ERANGE && len <= 65536 * sizeof(gid_t))
    {
        groups.resize(len / sizeof(gid_t));
        rc = ::getsockopt(fd, SOL_SOCKET, SO_PEERGROUPS, groups.data(), &len);
    }
    if (rc == 0)
    {
        groups.resize(len / sizeof(gid_t));
        cred->groups = std::move(groups);
    }
#endif
    return true;
}

bool TcpPeerCredentials(int fd, bool wantGroups, PeerCredentials* cred, std::string* error)
{
    sockaddr_storage local{}, peer{};
    socklen_t llen = sizeof local, plen = sizeof peer;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &llen) != 0 ||
        ::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &plen) != 0)
    {
        *error = std::string("the peer's address is unknown: ") + std::strerror(errno);
        return false;
    }
    uid_t uid = 0;
    int rc = SocketOwner(local, peer, &uid);
    if (rc == EAFNOSUPPORT || rc == EPERM || rc == EACCES)
    {
        rc = ProcNetOwner(local, peer, &uid);
    }
    if (rc == ENOENT && !IsLoopback(peer))
    {
        cred->remote = true; // no socket of this machine: the peer is elsewhere
        return true;
    }
    if (rc != 0)
    {
        *error =
            std::string("the user of the local peer is unknown (socket table: ") + std::strerror(rc) + ")";
        return false;
    }
    cred->known = true;
    cred->uid = uid;
    if (wantGroups)
    {
        GroupsOfUser(uid, cred);
    }
    return true;
}

} // namespace ktzmond
