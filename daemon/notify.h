// Readiness and shutdown reports to the service manager (systemd's notify
// protocol). Without libsystemd at build time, or when the daemon was not
// started with NOTIFY_SOCKET set, these do nothing.
#ifndef KTZMOND_NOTIFY_H
#define KTZMOND_NOTIFY_H

#include <string>

namespace ktzmond
{

// The module has started and every listening socket accepts clients.
void NotifyReady(const std::string& status);
// A stop was asked for; the daemon is shutting down.
void NotifyStopping();

} // namespace ktzmond

#endif
