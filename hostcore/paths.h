// Where ktzmond's sockets are by default; ktzmond, ktzmonctl and clients
// agree on these.
#ifndef KTZHOSTCORE_PATHS_H
#define KTZHOSTCORE_PATHS_H

#include <string>

namespace ktzhost
{

// $XDG_RUNTIME_DIR/ktzmon/ktzmond.sock; /run/ktzmon/ktzmond.sock for root;
// /tmp/ktzmon-UID/ktzmond.sock when neither applies.
std::string DefaultSocketPath();
// The control socket beside a client socket: ktzmond.ctl in the same directory.
std::string DefaultControlPath(const std::string& socketPath);

} // namespace ktzhost

#endif
