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

// Splits "HOST:PORT" or "[V6ADDR]:PORT" into a host without brackets and a
// port of 1 to 65535 (0 too when `allowZero`, for "any free port"). False for
// anything else: no colon, an empty host or port, a port that is not all
// digits or out of range.
bool SplitHostPort(const std::string& s, bool allowZero, std::string* host, uint16_t* port);

} // namespace ktzhost

#endif
