// The fixture of the libktzclient tests: a private socket folder, the
// scripted fake daemon (fake_daemon.cpp) started as a process on it, and a
// handle that is freed at the end.
#ifndef KTZCLIENT_TEST_CLIENT_FIXTURE_H
#define KTZCLIENT_TEST_CLIENT_FIXTURE_H

#include "support/piped_process.h"
#include "support/temp_dir.h"
#include "support/wait.h"

#include <gtest/gtest.h>

#include <ktzclient/ktzclient.h>
#include <string>
#include <vector>

namespace ktzclient_test
{

using Child = ktztest::PipedProcess;
using ktztest::NowMs;
constexpr int kLineMs = 10000;

class ClientTest : public ::testing::Test
{
  protected:
    void SetUp() override { ASSERT_FALSE(dir_.empty()); }

    // Starts a fake daemon playing `steps` and waits until it listens.
    void StartDaemon(Child* d, const std::vector<std::string>& steps)
    {
        std::vector<std::string> argv{KTZCLIENT_FAKE_DAEMON, sock_};
        argv.insert(argv.end(), steps.begin(), steps.end());
        ASSERT_TRUE(d->Start(argv));
        ASSERT_TRUE(d->WaitFor("listening", nullptr, kLineMs));
    }

    // The fake daemon's whole output once it has ended, every step gone as
    // written (status 0; a step that did not prints FAIL and exits 1).
    static std::string Finish(Child* d)
    {
        EXPECT_EQ(d->Wait(kLineMs), 0) << d->out();
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
