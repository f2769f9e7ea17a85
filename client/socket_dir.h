// Whether the folder of a Unix socket can be trusted before connecting to
// it. Whoever can create or replace entries in that folder can put a socket
// of their own where the daemon's is expected and receive the client's
// traffic (the fallback /tmp/ktzmon-UID can be made by any user first). A
// folder is trusted when nobody but its owner may write it (as ktzmond
// requires of its own folders), and it belongs to this user or root, or only
// root could have made it (its parent belongs to root and is writable by
// nobody else, as /run is: the service manager's runtime folders belong to
// the service's user, whom the users the daemon admits are not).
#ifndef KTZCLIENT_SOCKET_DIR_H
#define KTZCLIENT_SOCKET_DIR_H

#include <string>
#include <sys/types.h>

namespace ktzclient
{

// True when the folder of `socketPath` may be used by user `uid`, or cannot
// be looked at (a missing folder, or one this user may not enter: the
// connect that follows fails with the real reason). False with a text for
// people in *why when the folder is unsafe.
bool SocketDirTrusted(const std::string& socketPath, uid_t uid, std::string* why);

} // namespace ktzclient

#endif
