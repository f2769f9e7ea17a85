// Who may be a client of ktzmond: the peer's credentials (the Unix socket's
// SO_PEERCRED and SO_PEERGROUPS; for a TCP peer on this machine, the owner
// of its socket as the kernel's socket table has it), the check against the
// allow-lists, and the file modes that follow from them.
#ifndef KTZMOND_ACCESS_H
#define KTZMOND_ACCESS_H

#include "options.h"

#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace ktzmond
{

struct PeerCredentials
{
    bool known = false;  // the peer's user is known (Unix socket, or a TCP peer on this machine)
    bool remote = false; // a TCP peer on another machine
    pid_t pid = 0;       // Unix socket only
    uid_t uid = 0;
    gid_t gid = 0;
    std::vector<gid_t> groups; // supplementary groups
};

// The modes the sockets and the daemon's own socket folder get.
struct AccessPolicy
{
    bool othersAllowed = false; // anyone besides the daemon's user and root
    mode_t socketMode = 0600;
    std::optional<gid_t> socketGroup; // the one allowed group, when the socket is given to it
    mode_t dirMode = 0700;
};

AccessPolicy MakeAccessPolicy(const Options& o);

// Whether the peer may be a client: its user is the daemon's own, root, or
// an allowed user, or one of its groups is allowed; a remote TCP peer only
// when the operator allowed remote clients.
bool Allowed(const Options& o, const PeerCredentials& cred);
// Only the daemon's own user and root.
bool IsSelfOrRoot(const PeerCredentials& cred);

// The credentials of a Unix socket's peer. False when the kernel does not
// tell them (the peer is then refused).
bool UnixPeerCredentials(int fd, PeerCredentials* cred, std::string* error);
// The credentials of a TCP peer: on this machine, the user that owns the
// peer's socket (and, with `wantGroups`, that user's groups from the user
// database); elsewhere, none (`remote` set). False when they cannot be
// learnt for a peer on this machine.
bool TcpPeerCredentials(int fd, bool wantGroups, PeerCredentials* cred, std::string* error);

} // namespace ktzmond

#endif
