// sd_notify from libsystemd when the build found it.
#include "notify.h"

#ifdef KTZMOND_HAVE_SYSTEMD
#include <systemd/sd-daemon.h>
#endif

namespace ktzmond
{

#ifdef KTZMOND_HAVE_SYSTEMD

void NotifyReady(const std::string& status)
{
    const std::string msg = "READY=1\nSTATUS=" + status;
    ::sd_notify(0, msg.c_str());
}

void NotifyStopping()
{
    ::sd_notify(0, "STOPPING=1");
}

#else

void NotifyReady(const std::string&) {}

void NotifyStopping() {}

#endif

} // namespace ktzmond
