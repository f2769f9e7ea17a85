// What the daemon's delivery path must keep while it changes underneath: the
// descriptor limit raised at start (and said), and little memory per
// connected idle client (no buffers held between frames).
#include "harness.h"

#include <gtest/gtest.h>
#include <ktzmon/protocol.h>

#include <fstream>
#include <sys/resource.h>

namespace
{

using namespace ktzmond_test;
using nlohmann::json;

constexpr uint32_t kSyncType = 0x103;
constexpr uint32_t kLogEventType = 0x104;

// The soft and hard "Max open files" of a process, from /proc.
std::pair<long, long> FdLimits(pid_t pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/limits");
    std::string line;
    while (std::getline(in, line))
    {
        if (line.rfind("Max open files", 0) == 0)
        {
            long soft = -1, hard = -1;
            std::sscanf(line.c_str() + 14, "%ld %ld", &soft, &hard);
            return {soft, hard};
        }
    }
    return {-1, -1};
}

// The soft limit is raised to the hard one, and the log says from what to
// what; a hard limit below what the options allow is said too.
TEST(Delivery, DescriptorLimitIsRaisedAndSaid)
{
    rlimit saved{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
    if (saved.rlim_max < 512)
    {
        GTEST_SKIP() << "the hard descriptor limit is too low to lower the soft one under it";
    }
    struct Case
    {
        const char* what;
        int hardLimit; // the daemon's own (0: this process's, with its soft limit lowered)
        std::string expect;
    };
    const std::string hard = saved.rlim_max == RLIM_INFINITY ? "" : std::to_string(saved.rlim_max);
    const std::vector<Case> cases = {
        {"soft limit below the hard one", 0, "descriptor limit raised from 256 to "},
        {"hard limit below the options' needs", 100,
         "descriptor limit 100 (the hard limit); fewer than the 384 that --max-clients"},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.what);
        TempDir dir;
        Daemon daemon(dir.path());
        daemon.fdLimit = c.hardLimit;
        rlimit lowered = saved;
        lowered.rlim_cur = 256; // inherited by the daemon
        ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &lowered), 0);
        const bool started = daemon.Start({});
        ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &saved), 0);
        ASSERT_TRUE(started) << daemon.log();
        EXPECT_NE(daemon.log().find(c.expect), std::string::npos) << daemon.log();
        const auto [soft, max] = FdLimits(daemon.pid());
        EXPECT_EQ(soft, max);
        if (c.hardLimit == 0 && !hard.empty())
        {
            EXPECT_EQ(std::to_string(soft), hard);
        }
        EXPECT_EQ(daemon.Terminate(5000), 0);
    }
}

// Clients that have their picture and an event and then sit idle cost the
// daemon little memory each: no read or write buffer stays with them.
TEST(Delivery, IdleClientsHoldLittleMemory)
{
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "resident memory says little under a sanitizer";
#endif
    constexpr int kClients = 300;
    constexpr int64_t kMaxBytesPerClient = 8192;
    TempDir dir;
    Daemon daemon(dir.path());
    ASSERT_TRUE(daemon.Start({WriteFile(dir.path(), "quiet.toml", QuietScenario()), "--speed", "50",
                              "--max-clients", std::to_string(kClients + 10)}));
    ASSERT_TRUE(daemon.WaitStatus([](const json& s) { return s.value("chassisTime", 0.0) >= 36.0; }, 20000));
    const int64_t before = RssKb(daemon.pid());
    std::vector<std::unique_ptr<Client>> clients;
    std::vector<Received> got;
    for (int i = 0; i < kClients; ++i)
    {
        auto c = std::make_unique<Client>();
        c->caps = 0x1 | KTZMON_CAP_VQ_LOG_EVT;
        ASSERT_TRUE(c->Connect(daemon.socket()) && c->Handshake()) << "client " << i;
        ASSERT_TRUE(c->ReadUntil(kSyncType, &got, 10000)) << "client " << i;
        clients.push_back(std::move(c));
    }
    ASSERT_TRUE(daemon.Ctl({{"cmd", "log-event"}, {"message-id", "TST0001"}}).value("ok", false));
    for (auto& c : clients)
    {
        ASSERT_TRUE(c->ReadUntil(kLogEventType, &got, 10000));
    }
    const int64_t after = RssKb(daemon.pid());
    ASSERT_GT(before, 0);
    const int64_t perClient = (after - before) * 1024 / kClients;
    EXPECT_LE(perClient, kMaxBytesPerClient) << before << " KiB before, " << after << " KiB after";
    clients.clear();
    EXPECT_EQ(daemon.Terminate(5000), 0);
}

} // namespace
