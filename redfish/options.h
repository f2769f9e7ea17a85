// ktzmon-redfish's command line and configuration file (--config FILE: the
// long option names as keys, "key = value" lines).
#ifndef KTZREDFISH_OPTIONS_H
#define KTZREDFISH_OPTIONS_H

#include "feed.h"
#include "server.h"
#include "service.h"
#include "webroot.h"

#include <string>

namespace ktzredfish
{

struct Options
{
    FeedTarget target;
    std::string listenHost = "127.0.0.1";
    uint16_t listenPort = 8443;
    bool allowRemote = false;
    bool insecureHttp = false;
    std::string accounts;
    std::string tlsCert;
    std::string tlsKey;
    std::string stateDir;
    std::string addAccount; // set: add this account and exit
    std::string role = "ReadOnly";
    std::string webRoot = kDefaultWebRoot; // "": no web application
    int retryFirstMs = 500;
    int retryMaxMs = 30000;
    ServiceConfig service;
    ServerLimits limits;
};

// Exit status of a run that should end now (help, version, bad command
// line: 0 or 2), or -1 to go on.
int ParseOptions(int argc, char** argv, Options* o);

// The state folder when none is given: $STATE_DIRECTORY (systemd's
// StateDirectory=), /var/lib/ktzmon-redfish for root, else
// $XDG_STATE_HOME/ktzmon-redfish or ~/.local/state/ktzmon-redfish.
std::string DefaultStateDir();

} // namespace ktzredfish

#endif
