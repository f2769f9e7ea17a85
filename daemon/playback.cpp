// The chassis clock and the scenario's timeline.
//
// At --speed 1 the platform runs on the real clock. Faster, it runs on its
// virtual clock, started at the real time and moved forward by a pacing
// thread every few milliseconds to `speed` times the real time elapsed, so
// that time(), the module's timed waits (its sensor passes, settling and fan
// delays) and the timeline all run `speed` times faster alike. What cannot
// be sped up: the clients (their sockets and the 10000 ms a client has to
// answer a capability query are real time), and the clock does not move
// while a module thread is busy (the pacer waits for the platform to be idle
// at each step, as every virtual-clock advance does).
#include "playback.h"

#include <chrono>
#include <cmath>
#include <ktzplatform_control.h>

namespace ktzmond
{
namespace
{
constexpr auto kPaceTick = std::chrono::milliseconds(10);
}

Playback::Playback(const ktzhost::Scenario& s, double speed, LogFn log)
    : s_(s), speed_(speed), log_(std::move(log))
{
}

Playback::~Playback()
{
    Stop();
}

void Playback::SetUp()
{
    if (speed_ > 1.0)
    {
        ktzplat::UseVirtualClock(ktzplat::NowMs() / 1000);
    }
    else
    {
        ktzplat::UseRealClock();
    }
    std::lock_guard<std::mutex> lock(chassisMu_);
    ktzhost::SetUpChassis(s_, &chassis_);
}

void Playback::Start()
{
    startMs_ = ktzplat::NowMs();
    if (speed_ > 1.0)
    {
        pacer_ = std::thread([this] { Pace(); });
    }
    player_ = std::thread([this] { Play(); });
}

void Playback::Stop()
{
    std::lock_guard<std::mutex> once(stopMu_);
    {
        std::lock_guard<std::mutex> lock(mu_);
        stop_ = true;
    }
    cv_.notify_all();
    if (player_.joinable())
    {
        player_.join();
    }
    if (pacer_.joinable())
    {
        pacer_.join();
    }
}

bool Playback::SleepUntilStopped(std::chrono::milliseconds d)
{
    std::unique_lock<std::mutex> lock(mu_);
    return cv_.wait_for(lock, d, [this] { return stop_; });
}

void Playback::Pace()
{
    const auto realStart = std::chrono::steady_clock::now();
    const int64_t chassisStart = ktzplat::NowMs();
    while (!SleepUntilStopped(kPaceTick))
    {
        const double realMs =
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - realStart).count();
        const int64_t target = chassisStart + static_cast<int64_t>(std::llround(realMs * speed_));
        const int64_t now = ktzplat::NowMs();
        if (target > now)
        {
            ktzplat::AdvanceClockMs(target - now);
        }
    }
}

void Playback::Play()
{
    for (const ktzhost::Step& st : s_.steps)
    {
        // Wait for the step's time on the chassis clock.
        for (;;)
        {
            const double due = st.at - Now();
            if (due <= 0)
            {
                break;
            }
            // Faster than real time the chassis clock may fall behind (it
            // waits for the module at each step), so it is looked at again
            // every 50 ms; at the real clock's pace once a second is enough
            // (for a wall clock that was set meanwhile), and an idle daemon
            // is not woken twenty times a second for nothing.
            const double realMs = std::min(due * 1000.0 / speed_, speed_ > 1.0 ? 50.0 : 1000.0);
            if (SleepUntilStopped(std::chrono::milliseconds(static_cast<int64_t>(std::ceil(realMs)))))
            {
                return;
            }
        }
        if (st.action == "stop")
        {
            log_("scenario: timeline ends (stop step)");
            return;
        }
        if (st.action == "connect" || st.action == "disconnect" || st.action == "caps-request")
        {
            continue; // the batch simulator's clients; the daemon serves real ones
        }
        const std::string text = Apply(st);
        played_.fetch_add(1);
        char at[32];
        std::snprintf(at, sizeof at, "%.1f", st.at);
        log_(std::string("scenario t=") + at + ": " + (text.empty() ? "unknown step " + st.action : text));
    }
}

std::string Playback::Apply(const ktzhost::Step& st)
{
    std::lock_guard<std::mutex> lock(chassisMu_);
    return ktzhost::ApplyChassisStep(s_, st, &chassis_);
}

double Playback::Now() const
{
    return static_cast<double>(ktzplat::NowMs() - startMs_) / 1000.0;
}

} // namespace ktzmond
