// The control socket: newline-delimited JSON requests from ktzmonctl, one
// reply line each. Changes the simulated chassis through the playback's
// Apply, lists and disconnects clients, reports the daemon's status. Serving
// the Linux machine there is no playback: only chassis log events and the KTZ
// setting can be changed, since the machine's sensors answer everything else.
#ifndef KTZMOND_CONTROL_H
#define KTZMOND_CONTROL_H

#include "control_request.h"
#include "listener.h"

#include <nlohmann/json.hpp>

#include <asio.hpp>
#include <chrono>
#include <functional>
#include <string>

namespace ktzmond
{

class Hub;
class Playback;

class Control
{
  public:
    // `playback` nullptr: the Linux machine is served (`chassis` names it,
    // `config` is its configuration file).
    Control(Hub& hub, Playback* playback, std::string chassis, std::string config = "");
    void Serve(asio::local::stream_protocol::acceptor& acceptor);
    // One request line to its reply line (without the newline).
    std::string Handle(const std::string& line);
    // Logs a request refused before it was read (or as it was).
    void Refused(const std::string& why);
    // Called with every status reply to add what the daemon knows beside
    // the hub (the chassis' sensor counts, the module's files).
    void SetStatusExtra(std::function<void(nlohmann::json&)> fill) { statusExtra_ = std::move(fill); }

  private:
    nlohmann::json Carry(const ControlRequest& req);
    nlohmann::json Status();

    Hub& hub_;
    Playback* playback_;
    std::string chassis_;
    std::string config_;
    std::chrono::steady_clock::time_point started_;
    AcceptRetry retry_;
    std::function<void(nlohmann::json&)> statusExtra_;
};

} // namespace ktzmond

#endif
