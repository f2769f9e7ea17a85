// The daemon's limit of open descriptors: every client holds one, so the soft
// limit is raised as far as the hard limit allows before anything is opened.
#ifndef KTZMOND_FDLIMIT_H
#define KTZMOND_FDLIMIT_H

#include <cstdint>
#include <string>

namespace ktzmond
{

// Raises RLIMIT_NOFILE's soft limit to its hard limit (at most the kernel's
// fs.nr_open) and returns the line the daemon logs about it; it also says
// when the limit leaves fewer descriptors than `wanted` (the clients and
// handshakes the options allow, and the daemon's own).
std::string RaiseDescriptorLimit(uint64_t wanted);

} // namespace ktzmond

#endif
