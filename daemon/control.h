// The control socket: newline-delimited JSON requests from ktzmonctl, one
// reply line each. Changes the simulated chassis through the playback's
// Apply, lists and disconnects clients, reports the daemon's status.
#ifndef KTZMOND_CONTROL_H
#define KTZMOND_CONTROL_H

#include <asio.hpp>
#include <chrono>
#include <string>

namespace ktzmond
{

class Hub;
class Playback;

class Control
{
  public:
    Control(Hub& hub, Playback& playback);
    void Serve(asio::local::stream_protocol::acceptor& acceptor);
    // One request line to its reply line (without the newline).
    std::string Handle(const std::string& line);

  private:
    Hub& hub_;
    Playback& playback_;
    std::chrono::steady_clock::time_point started_;
};

} // namespace ktzmond

#endif
