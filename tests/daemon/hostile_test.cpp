// ktzmond against hostile clients, each attack made by real client
// processes (and a few raw connections) against a real daemon. Throughout
// every attack a well-behaved client receives chassis log events posted
// every 200 ms: each must arrive within a second of its posting and the
// sequence numbers must follow each other. Afterwards the daemon still
// serves, and its descriptors and the module's memory are back at their
// level; while an attack lasts its resident memory stays under a bound.
#include "support/piped_process.h"

#include "harness.h"
#include "ktzclient_decode.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>

namespace
{

using namespace ktzmond_test;
using namespace ktztransport;
using Child = ktztest::PipedProcess;
using nlohmann::json;

constexpr uint32_t kSyncType = 0x103;
// The longest any client may delay another's messages.
constexpr int64_t kMaxDelayMs = 1000;

// A client that receives chassis log events stamped with the time they were
// posted, and a poster that posts one every 200 ms over the control socket.
class Probe
{
  public:
    bool Start(Daemon& d)
    {
        daemon_ = &d;
        client_.caps = 0x3;
        std::vector<Received> got;
        if (!client_.Connect(d.socket()) || !client_.Handshake() ||
            !client_.ReadUntil(kSyncType, &got, 20000, 0x3))
        {
            return false;
        }
        lastSeq_ = got.back().seq;
        reader_ = std::thread([this] { Read(); });
        poster_ = std::thread([this] { Post(); });
        return true;
    }
    // Stops posting, waits for the last event, stops reading.
    void Stop()
    {
        stop_ = true;
        if (poster_.joinable())
        {
            poster_.join();
        }
        const int64_t end = NowMs() + 3000;
        while (received_ < posted_ && NowMs() < end)
        {
            ::usleep(10000);
        }
        done_ = true;
        if (reader_.joinable())
        {
            reader_.join();
        }
    }
    // Posts nothing until Resume (a post already under way finishes first).
    void Pause()
    {
        paused_ = true;
        std::lock_guard<std::mutex> lock(postMu_);
    }
    void Resume() { paused_ = false; }
    // Stops, then: the events arrived, each in time and without a gap.
    void Check()
    {
        Stop();
        std::fprintf(stderr, "probe: %d events posted, %d received, the longest delay %lld ms\n",
                     posted_.load(), received_.load(), static_cast<long long>(maxDelayMs_.load()));
        EXPECT_GE(posted_.load(), 3);
        EXPECT_EQ(received_.load(), posted_.load());
        EXPECT_LT(maxDelayMs_.load(), kMaxDelayMs);
        EXPECT_FALSE(gap_.load()) << "a Message's sequence number did not follow the one before";
    }
    int64_t maxDelayMs() const { return maxDelayMs_; }

  private:
    void Post()
    {
        while (!stop_)
        {
            {
                std::lock_guard<std::mutex> lock(postMu_);
                if (!paused_)
                {
                    const json r = daemon_->Ctl({{"cmd", "log-event"},
                                                 {"message-id", "TST0100"},
                                                 {"args", {std::to_string(NowMs())}}},
                                                5000);
                    posted_ += r.value("ok", false) ? 1 : 0;
                }
            }
            ::usleep(200000);
        }
    }
    void Read()
    {
        Frame f;
        while (!done_ && client_.fd() >= 0)
        {
            if (!client_.Read(&f, 100) || f.type != kMessage)
            {
                continue;
            }
            Message m;
            std::string e;
            if (!Parse(f, &m, &e))
            {
                gap_ = true;
                continue;
            }
            gap_ = gap_ || m.seq != lastSeq_ + 1;
            lastSeq_ = m.seq;
            const auto d = ktzclient::Decode(m.requestClass, m.requestType, m.payload);
            const auto* ev = d.ok ? std::get_if<ktzclient::LogEvent>(&d.value.body) : nullptr;
            if (ev == nullptr || ev->args.empty())
            {
                continue;
            }
            maxDelayMs_ = std::max<int64_t>(maxDelayMs_, NowMs() - std::stoll(ev->args[0]));
            received_ += 1;
        }
    }

    Daemon* daemon_ = nullptr;
    Client client_;
    uint32_t lastSeq_ = 0;
    std::thread reader_, poster_;
    std::mutex postMu_;
    std::atomic<bool> stop_{false}, done_{false}, gap_{false}, paused_{false};
    std::atomic<int> posted_{0}, received_{0};
    std::atomic<int64_t> maxDelayMs_{0};
};

class HostileTest : public DaemonTest
{
  protected:
    // The probe stops first.
    void TearDown() override
    {
        probe.Stop();
        DaemonTest::TearDown();
    }
    // The quiet chassis, its sensors attached, the probe receiving, and the
    // levels noted.
    void StartDaemon(std::vector<std::string> args)
    {
#if defined(__SANITIZE_ADDRESS__)
        // Resident memory is the daemon's own, not AddressSanitizer's
        // quarantine of freed blocks (256 MiB by default).
        const char* asan = std::getenv("ASAN_OPTIONS");
        daemon.env.push_back(std::string("ASAN_OPTIONS=") + (asan != nullptr ? asan : "") +
                             ":quarantine_size_mb=4");
#endif
        ASSERT_TRUE(daemon.StartQuiet(args));
        ASSERT_TRUE(probe.Start(daemon));
        // The module keeps up to 8 log events while no client takes them;
        // the probe takes them all, so its memory is steady from here.
        ASSERT_TRUE(daemon.WaitStatus(
            [&](const json& s)
            {
                const bool same = s["memory"] == before["memory"] && s["fds"] == before["fds"];
                before = s;
                return same;
            }));
        rssBefore = RssKb(daemon.pid());
    }
    // Once the attackers are gone: no connection but the probe's, and the
    // descriptors and the module's memory back at their level.
    void ExpectLevels()
    {
        json after;
        EXPECT_TRUE(daemon.WaitStatus(
            [&](const json& s)
            {
                after = s;
                return s.value("connections", -1) == 1 && s["fds"] == before["fds"] &&
                       s["memory"] == before["memory"] && s.value("workerBacklog", -1) == 0;
            },
            10000))
            << "before: " << before.dump() << "\nafter: " << after.dump();
    }
    std::string Attacker() const
    {
        return KTZMOND_ATTACKER;
    }

    Probe probe;
    json before;
    int64_t rssBefore = 0;
};

// Random bytes and random frames from two processes, and the edges that need
// the real socket path, each on its own connection: a bad header behind a
// whole frame in the same write gets its goodbye at once, without the client
// sending another byte; a request of exactly the client bound is served.
TEST_F(HostileTest, GarbageFuzzedFramesAndHeaderEdges)
{
    StartDaemon({"--hello-timeout", "1000"});
    const int seconds = UnderTsan() ? 2 : 4;
    Child a, b;
    ASSERT_TRUE(a.Start({Attacker(), daemon.socket(), "garbage", "1", std::to_string(seconds)}));
    ASSERT_TRUE(b.Start({Attacker(), daemon.socket(), "garbage", "2", std::to_string(seconds)}));

    std::vector<uint8_t> hello;
    Encode(Hello{.maxVersion = kVersion2, .caps = 0x1}, &hello);
    auto join = [](std::vector<uint8_t> a1, const std::vector<uint8_t>& b1)
    {
        a1.insert(a1.end(), b1.begin(), b1.end());
        return a1;
    };
    std::vector<uint8_t> request;
    Encode(Request{1, 3, 0x200, 16, std::vector<uint8_t>(kMaxClientBodySize - 16, 0)}, &request);
    std::vector<uint8_t> ping;
    EncodePing(9, &ping);
    struct Case
    {
        const char* what;
        std::vector<uint8_t> bytes;
        int reason; // -1: served (a Reply comes)
    };
    const std::vector<Case> cases = {
        {"a hello and a too long header in one write", join(hello, {0, 0, 0x10, 0, 0x20, 0, 0, 0}),
         kByeProtocolError},
        {"a ping and a header of 4 GiB in one write",
         join(join(hello, ping), {0xFF, 0xFF, 0xFF, 0xFF, 0x20, 0, 0, 0}), kByeProtocolError},
        {"a request of exactly the client bound", join(hello, request), -1},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.what);
        Client raw;
        ASSERT_TRUE(raw.Connect(daemon.socket()));
        ASSERT_TRUE(raw.SendRaw(c.bytes));
        if (c.reason >= 0)
        {
            EXPECT_EQ(raw.ExpectGoodbye(2000), c.reason);
            continue;
        }
        Frame f;
        EXPECT_TRUE(raw.ReadFrame(kReply, &f, 5000));
    }
    std::string line;
    ASSERT_TRUE(a.WaitFor("connections", &line, (seconds + 5) * 1000));
    EXPECT_NE(line.find("goodbyes"), std::string::npos) << line;
    ASSERT_TRUE(b.WaitFor("connections", &line, (seconds + 5) * 1000));
    EXPECT_EQ(a.Wait(5000), 0);
    EXPECT_EQ(b.Wait(5000), 0);
    EXPECT_GE(daemon.Ctl({{"cmd", "status"}})["dropped"].value("protocolError", 0), 2);
    probe.Check();
    ExpectLevels();
}

// A hello that trickles in is cut at the hello limit; after the welcome a
// frame begun and not finished is cut at the frame limit, while frames that
// come slowly but each within the limit are served.
TEST_F(HostileTest, SlowSendersBeforeAndAfterTheWelcome)
{
    // The frame limit at its default (5 s).
    StartDaemon({"--hello-timeout", "1000"});
    std::vector<uint8_t> hello;
    Encode(Hello{.maxVersion = kVersion2}, &hello);

    Client trickle, partial, slowButWhole;
    ASSERT_TRUE(trickle.Connect(daemon.socket()) && partial.Connect(daemon.socket()) &&
                slowButWhole.Connect(daemon.socket()));
    ASSERT_TRUE(partial.SendRaw(hello) && slowButWhole.SendRaw(hello));
    std::vector<uint8_t> request;
    Encode(Request{1, 3, 0x200, 16, std::vector<uint8_t>(4000, 0)}, &request);
    ASSERT_TRUE(partial.SendRaw(std::vector<uint8_t>(request.begin(), request.begin() + 30)));
    const int64_t start = NowMs();
    // One byte every 70 ms: the hello (past its 1 s limit) and, after a
    // welcome, a ping (within the frame limit).
    std::vector<uint8_t> ping;
    EncodePing(77, &ping);
    for (size_t i = 0; i < 12; ++i)
    {
        (void)trickle.SendRaw({hello[i]});
        ASSERT_TRUE(slowButWhole.SendRaw({ping[i]}));
        ::usleep(70000);
    }
    std::string text;
    EXPECT_EQ(trickle.ExpectGoodbye(3000), static_cast<int>(kByeHelloTimeout));
    EXPECT_EQ(partial.ExpectGoodbye(6000, &text), static_cast<int>(kByeProtocolError));
    EXPECT_NE(text.find("not completed"), std::string::npos) << text;
    EXPECT_LT(NowMs() - start, 7000);
    Frame f;
    EXPECT_TRUE(slowButWhole.ReadFrame(kPong, &f, 5000));
    probe.Check();
    EXPECT_EQ(daemon.Ctl({{"cmd", "status"}}).value("connections", 0), 2); // the probe and slowButWhole
}

// Connections that never say hello: at most --max-handshakes of them are
// kept (the oldest goes for a new one), each holds at most a hello's bytes,
// and a client connecting meanwhile is welcomed.
TEST_F(HostileTest, ManyUnwelcomedConnectionsAreBounded)
{
    StartDaemon({"--hello-timeout", "30000"}); // at most 64 handshakes by default
    const int n = UnderTsan() ? 100 : 150;
    Child holders, big;
    ASSERT_TRUE(holders.Start({Attacker(), daemon.socket(), "hold", std::to_string(n), "30"}));
    ASSERT_TRUE(holders.WaitFor("holding", nullptr, 20000));
    ASSERT_TRUE(big.Start({Attacker(), daemon.socket(), "hold", "100", "30", "big"}));
    ASSERT_TRUE(big.WaitFor("holding", nullptr, 20000));
    // The probe, and at most 64 waiting for their hello (a few more while
    // their goodbyes linger), for as long as they hold on.
    int64_t rss = 0;
    int connections = 0;
    for (int i = 0; i < 15; ++i)
    {
        rss = std::max(rss, RssKb(daemon.pid()));
        connections = std::max(connections, daemon.Ctl({{"cmd", "status"}}).value("connections", 0));
        ::usleep(100000);
    }
    EXPECT_LE(connections, 1 + 64 + 8);
    EXPECT_LT(rss - rssBefore, 32 * 1024)
        << "resident memory grew from " << rssBefore << " to " << rss << " KiB";
    Client good;
    uint32_t id = 0;
    std::vector<Received> got;
    EXPECT_TRUE(good.Connect(daemon.socket()) && good.Handshake(&id));
    EXPECT_TRUE(good.ReadUntil(kSyncType, &got, 10000));
    good.Close();
    holders.Kill();
    big.Kill();
    probe.Check();
    ExpectLevels();
}

// A client floods requests while version 1 clients, several at once and one
// reconnecting after every cut, never answer their capability query: the
// flood waits in its own socket (at most 8 requests in flight), the module
// never waits for a silent client, and nobody else is held up.
TEST_F(HostileTest, RequestFloodWhileCapabilityAnswersArePending)
{
    StartDaemon({"--response-timeout", "3000"});
    std::vector<std::unique_ptr<Child>> silent;
    for (int i = 0; i < 4; ++i)
    {
        // Cut at 3 s; the reconnecting one again at 6 s, then it gives up at 8 s.
        silent.push_back(std::make_unique<Child>());
        ASSERT_TRUE(
            silent.back()->Start({Attacker(), daemon.socket(), "silent", "8", i == 0 ? "again" : ""}));
        ASSERT_TRUE(silent.back()->WaitFor("welcomed", nullptr, 5000));
    }
    Child flood;
    ASSERT_TRUE(flood.Start({Attacker(), daemon.socket(), "flood", UnderTsan() ? "2" : "3"}));
    ASSERT_TRUE(flood.WaitFor("flooding", nullptr, 5000));
    int64_t maxRss = 0;
    size_t maxBacklog = 0;
    const int64_t end = NowMs() + (UnderTsan() ? 2000 : 3000);
    while (NowMs() < end)
    {
        maxRss = std::max(maxRss, RssKb(daemon.pid()));
        maxBacklog = std::max<size_t>(maxBacklog, daemon.Ctl({{"cmd", "status"}}).value("workerBacklog", 0u));
        ::usleep(100000);
    }
    std::string line;
    ASSERT_TRUE(flood.WaitFor("sent", &line, 5000));
    EXPECT_LE(maxBacklog, 8u + 2u);
    EXPECT_LT(maxRss - rssBefore, 32 * 1024) << "resident memory grew from " << rssBefore << " to " << maxRss;
    EXPECT_GT(daemon.Ctl({{"cmd", "status"}}).value("clientRequests", 0), 100) << line;
    for (auto& c : silent)
    {
        EXPECT_TRUE(c->WaitFor("cut 8", nullptr, 5000));
        EXPECT_EQ(c->Wait(10000), 0);
    }
    probe.Check();
    const json s = daemon.Ctl({{"cmd", "status"}});
    EXPECT_GE(s["dropped"].value("noResponse", 0), 5) << s.dump(); // the reconnecting one more than once
    EXPECT_EQ(s.value("moduleConnects", 0), 2) << "only the probe and the flood reached the module";
    ExpectLevels();
}

// Names, goodbye texts and control texts that are not UTF-8 or hold
// control characters: escaped in every reply and log line, and the daemon
// serves on. ktzmonctl refuses such an argument itself.
TEST_F(HostileTest, NonUtf8TextsEverywhere)
{
    const uint16_t port = FreePort();
    StartDaemon({"--listen", "127.0.0.1:" + std::to_string(port)});
    const std::string name = "\xff\x01"
                             "caf\xe9\x1b[31m";
    Child unix, tcp;
    ASSERT_TRUE(unix.Start({Attacker(), daemon.socket(), "name", name, "bye\xfe\n\xc2\x9b", "2"}));
    ASSERT_TRUE(tcp.Start({Attacker(), "tcp:" + std::to_string(port), "name", name, "x", "2"}));
    ASSERT_TRUE(unix.WaitFor("synced", nullptr, 10000));
    ASSERT_TRUE(tcp.WaitFor("synced", nullptr, 10000));

    const ktztest::RunResult clients = daemon.RunCtl({"clients"});
    ASSERT_EQ(clients.status, 0) << clients.err;
    const std::string listed = clients.out + clients.err;
    EXPECT_NE(listed.find("\\xFF\\x01caf\\xE9\\x1B[31m"), std::string::npos) << listed;
    const json list = daemon.Ctl({{"cmd", "clients"}});
    ASSERT_TRUE(list.value("ok", false)) << list.dump();
    EXPECT_EQ(list["clients"].size(), 3u);

    // A control line that is not UTF-8, and one whose field is: refused with a reply.
    const json bad = daemon.CtlLine("{\"cmd\":\"log-event\",\"text\":\"caf\xe9\"}");
    EXPECT_FALSE(bad.value("ok", true)) << bad.dump();
    EXPECT_NE(bad.value("error", "").find("UTF-8"), std::string::npos) << bad.dump();
    // ktzmonctl: its own refusal, a bad command line (2), not a crash.
    const ktztest::RunResult refusing = daemon.RunCtl({"log-event", "X", "--text", "caf\xe9"});
    EXPECT_EQ(refusing.status, 2);
    EXPECT_NE(refusing.err.find("UTF-8"), std::string::npos);

    EXPECT_EQ(unix.Wait(10000), 0);
    EXPECT_EQ(tcp.Wait(10000), 0);
    probe.Check();
    ExpectLevels();
    const std::string log = daemon.log();
    EXPECT_NE(log.find("bye\\xFE\\x0A\\u009B"), std::string::npos);
    for (char c : {'\x1b', '\x01'})
    {
        EXPECT_EQ(log.find(c), std::string::npos) << "a raw control character in the daemon's log";
    }
}

// Descriptors exhausted by connections that hold on: both accept loops wait
// instead of spinning, the connected client keeps receiving, and once the
// connections go, a control request that waited meanwhile is answered.
TEST_F(HostileTest, DescriptorExhaustionOnBothSockets)
{
    daemon.fdLimit = 64;
    StartDaemon({"--hello-timeout", "60000"});
    // The control socket cannot take the probe's posts while no descriptor
    // is left: it posts before and after.
    ::usleep(600000);
    probe.Pause();
    Child holders;
    ASSERT_TRUE(holders.Start({Attacker(), daemon.socket(), "hold", "120", "30"}));
    ASSERT_TRUE(holders.WaitFor("holding", nullptr, 20000));
    ASSERT_TRUE(ktztest::WaitUntil([&] { return daemon.log().find("accept failed") != std::string::npos; },
                                   10000, 20));
    // A control client waits in the backlog of the control socket.
    Child ctl;
    ASSERT_TRUE(
        ctl.Start({KTZMONCTL_EXE, "--control-socket", daemon.control(), "--timeout", "20", "status"}));
    ::usleep(300000);
    const int64_t cpu0 = CpuMs(daemon.pid());
    ::usleep(1500000);
    const int64_t used = CpuMs(daemon.pid()) - cpu0;
    EXPECT_LT(used, 300) << "the daemon used " << used << " ms of CPU in 1.5 s while out of descriptors";
    holders.Kill();
    EXPECT_EQ(ctl.Wait(20000), 0);
    probe.Resume();
    ::usleep(600000);
    probe.Check();
    ExpectLevels();
}

} // namespace
