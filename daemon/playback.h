// The simulated chassis over time: its set-up from the scenario, the clock
// the platform runs on (the real clock, or one running --speed times faster),
// the scenario's timeline played on that clock, and live changes from the
// control socket. Every change to the chassis goes through Apply, one at a
// time.
#ifndef KTZMOND_PLAYBACK_H
#define KTZMOND_PLAYBACK_H

#include <atomic>
#include <chassis.h>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <scenario.h>
#include <string>
#include <thread>

namespace ktzmond
{

class Playback
{
  public:
    using LogFn = std::function<void(const std::string&)>;
    Playback(const ktzhost::Scenario& s, double speed, LogFn log);
    ~Playback();

    // Shapes the chassis and sets the clock; call before the module is loaded.
    void SetUp();
    // Starts the clock (when faster than real time) and the timeline.
    void Start();
    // Stops the timeline and the clock's pacing (the clock then stands still
    // when it is not the real one).
    void Stop();

    // Applies one change to the chassis; returns its description, or an
    // empty string for an unknown action.
    std::string Apply(const ktzhost::Step& st);
    // Chassis seconds since the module was started.
    double Now() const;
    double speed() const { return speed_; }
    size_t stepsPlayed() const { return played_.load(); }
    const ktzhost::Scenario& scenario() const { return s_; }

  private:
    void Pace();
    void Play();
    bool SleepUntilStopped(std::chrono::milliseconds d);

    ktzhost::Scenario s_;
    double speed_;
    LogFn log_;
    std::mutex chassisMu_;
    ktzhost::Chassis chassis_;
    int64_t startMs_ = 0;
    std::mutex stopMu_; // Stop may be called from two threads
    std::mutex mu_;
    std::condition_variable cv_;
    bool stop_ = false;
    std::atomic<size_t> played_{0};
    std::thread pacer_;
    std::thread player_;
};

} // namespace ktzmond

#endif
