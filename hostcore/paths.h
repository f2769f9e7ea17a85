// Where ktzmond's sockets are by default, and how a TCP address is given;
// ktzmond, ktzmonctl and clients agree on these.
#ifndef KTZHOSTCORE_PATHS_H
#define KTZHOSTCORE_PATHS_H

#include <cstdint>
#include <string>

namespace ktzhost
{

// $XDG_RUNTIME_DIR/ktzmon/ktzmond.sock; /run/ktzmon/ktzmond.sock for root;
// /tmp/ktzmon-UID/ktzmond.sock when neither applies.
std::string DefaultSocketPath();
// The control socket beside a client socket: ktzmond.ctl in the same directory.
std::string DefaultControlPath(const std::string& socketPath);

// The daemon's own runtime folder, the one the default socket paths are in:
// $XDG_RUNTIME_DIR/ktzmon, /run/ktzmon for root, /tmp/ktzmon-UID otherwise.
std::string DefaultSocketDir();
// The folder of a socket path ("." for a bare name).
std::string SocketDirOf(const std::string& socketPath);

// Whether `dir` may hold sockets that users of `owner` trust: a directory
// (not a symbolic link) owned by `owner` or by root, that neither its group
// nor other users may write to (whoever can write to the folder can replace
// the sockets in it). False with a message that names the folder and says
// what is wrong. ktzmond checks its socket folders with its own user; a
// client checks the folder of the socket it is about to connect to.
bool CheckSocketDir(const std::string& dir, unsigned owner, std::string* error);

// Makes the folder of `socketPath` ready for ktzmond's sockets. The daemon's
// own runtime folder is created when missing (its parent must exist) and
// given `mode`; any other folder must exist already. Then CheckSocketDir
// with the daemon's user. False with a message saying why not.
bool PrepareSocketDir(const std::string& socketPath, unsigned mode, std::string* error);

// Splits "HOST:PORT" or "[V6ADDR]:PORT" into a host without brackets and a
// port of 1 to 65535 (0 too when `allowZero`, for "any free port"). False for
// anything else: no colon, an empty host or port, a port that is not all
// digits or out of range.
bool SplitHostPort(const std::string& s, bool allowZero, std::string* host, uint16_t* port);

} // namespace ktzhost

#endif
