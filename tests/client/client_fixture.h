// The fixture of the libktzclient tests: a private socket folder, the
// scripted fake daemon (fake_daemon.cpp) started as a process on it, and a
// handle that is freed at the end.
#ifndef KTZCLIENT_TEST_CLIENT_FIXTURE_H
#define KTZCLIENT_TEST_CLIENT_FIXTURE_H

#include "support/piped_process.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <chrono>
#include <ktzclient/ktzclient.h>
#include <string>
#include <vector>

namespace ktzclient_test
{

using Child = ktztest::PipedProcess;
using Clock = std::chrono::steady_clock;
constexpr int kLineMs = 10000;

inline long MsSince(Clock::time_point t0)
{
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count());
}

inline const char* FakeDaemon()
{
    return KTZCLIENT_FAKE_DAEMON;
}

class ClientTest : public ::testing::Test
{
  protected:
    void SetUp() override { ASSERT_FALSE(dir_.empty()); }

    // Starts a fake daemon playing `steps` and waits until it listens.
    void StartDaemon(Child* d, const std::vector<std::string>& steps)
    {
        std::vector<std::string> argv{FakeDaemon(), sock_};
        argv.insert(argv.end(), steps.begin(), steps.end());
        ASSERT_TRUE(d->Start(argv));
        ASSERT_TRUE(d->WaitFor("listening", nullptr, kLineMs));
    }

    // The fake daemon's whole output once it has ended, and its status.
    static std::string Finish(Child* d, int* status)
    {
        *status = d->Wait(kLineMs);
        return d->out();
    }

    static ktzc_client* New(uint32_t caps = 1, bool reconnect = false)
    {
        ktzc_options o;
        ktzc_options_init(&o, sizeof o);
        o.caps = caps;
        o.name = "tester";
        o.connect_timeout_ms = 2000;
        o.reconnect = reconnect ? 1 : 0;
        o.reconnect_initial_delay_ms = 100;
        o.reconnect_max_delay_ms = 400;
        return ktzc_new(&o);
    }

    ktztest::TempDir tmp_;
    const std::string dir_ = tmp_.path(); // private: the socket folder checks accept it
    const std::string sock_ = dir_ + "/d.sock";
};

struct Handle
{
    ktzc_client* c;
    ~Handle() { ktzc_free(c); }
};

} // namespace ktzclient_test

#endif
