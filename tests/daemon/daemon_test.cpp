// ktzmond as a real process with real clients on its Unix socket (and on
// loopback TCP): the first picture against the batch host's, chassis changes
// from the control socket, departures the module must hear of, slow and
// silent clients, bad input, limits, credentials, shutdown and the socket
// path's claim.
#include "support/files.h"
#include "support/piped_process.h"

#include "harness.h"
#include "ktzclient_decode.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <ranges>
#include <set>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace
{

using namespace ktzmond_test;
using namespace ktztransport;
using ktztest::PipedProcess;
using ktztest::RunProgram;
using nlohmann::json;

constexpr uint32_t kSettingType = 0x100;
constexpr uint32_t kSensorType = 0x101;
constexpr uint32_t kSyncType = 0x103;
constexpr uint32_t kLogEventType = 0x104;
constexpr uint32_t kCapsType = 0x200;

// The quiet chassis with one batch client that connects once every sensor type is known.
std::string StaticScenario()
{
    return QuietScenario() +
           "[[client]]\nid = 1\ncaps = 0x1\n\n[[step]]\nat = 40\naction = \"connect\"\nclient = 1\n";
}

// What ktzmon-host's client 1 receives from its connect up to and including
// data-sync-complete, as (type, payload hex).
std::vector<std::pair<uint32_t, std::string>> BatchPicture(const std::string& scenario)
{
    const ktztest::RunResult host =
        RunProgram({HostExe(), "--json", "--hex", "--no-log", "--module", ModulePath(), scenario});
    EXPECT_EQ(host.status, 0) << host.err;
    std::vector<std::pair<uint32_t, std::string>> picture;
    for (const json& j : ktztest::JsonLines(host.out))
    {
        if (j.value("kind", "") != "message" || j.value("client", 0u) != 1)
        {
            continue;
        }
        picture.emplace_back(j.at("type_code").get<uint32_t>(), j.value("hex", ""));
        if (picture.back().first == kSyncType)
        {
            break;
        }
    }
    return picture;
}

std::vector<std::pair<uint32_t, std::string>> Picture(const std::vector<Received>& got)
{
    std::vector<std::pair<uint32_t, std::string>> p;
    for (const auto& r : got)
    {
        p.emplace_back(r.type, ktzclient::Hex(r.payload.data(), r.payload.size()));
    }
    return p;
}

bool ConsecutiveFromOne(const std::vector<Received>& got)
{
    const auto seqs = got | std::views::transform(&Received::seq);
    return std::ranges::equal(seqs, std::views::iota(uint32_t{1}, static_cast<uint32_t>(got.size() + 1)));
}

// Sensor data payload: reading (u32) at offset 8, name from offset 40.
uint32_t Reading(const Received& r)
{
    return r.payload.size() >= 12 ? GetLe32(r.payload.data() + 8) : 0;
}
std::string Name(const Received& r)
{
    return r.payload.size() > 40 ? std::string(reinterpret_cast<const char*>(r.payload.data() + 40)) : "";
}

// Many clients at once get the batch host's first picture, then a fan change
// once each.
TEST_F(DaemonTest, ManyClientsGetTheBatchHostsPictureThenAChangeOnce)
{
    const std::string scenario = WriteFile(dir.path(), "static.toml", StaticScenario());
    const auto expected = BatchPicture(scenario);
    ASSERT_GE(expected.size(), 4u);
    ASSERT_EQ(expected[0].first, kSettingType);
    ASSERT_EQ(expected[1].first, kCapsType);

    ASSERT_TRUE(daemon.StartQuiet({}, scenario));
    // Even clients speak version 1 (asked for their capabilities by the
    // daemon, first), odd ones version 2 (never asked): past the query, all
    // get the batch host's picture byte for byte.
    const int n = UnderTsan() ? 30 : 100;
    std::vector<Client> clients(n);
    std::vector<std::vector<Received>> got(n);
    std::vector<int> ok(n, 0);
    std::vector<std::thread> threads;
    for (int i = 0; i < n; ++i)
    {
        threads.emplace_back(
            [&, i]
            {
                Client& c = clients[i];
                if (i % 2 == 1)
                {
                    c.caps = 0x1;
                }
                ok[i] = c.Connect(daemon.socket()) && c.Handshake() && c.ReadUntil(kSyncType, &got[i], 60000);
            });
    }
    for (auto& t : threads)
    {
        t.join();
    }
    auto withoutQuery = expected;
    withoutQuery.erase(withoutQuery.begin() + 1);
    for (int i = 0; i < n; ++i)
    {
        SCOPED_TRACE("client " + std::to_string(i));
        ASSERT_TRUE(ok[i]);
        auto picture = Picture(got[i]);
        if (i % 2 == 0)
        {
            ASSERT_EQ(picture.front().first, kCapsType);
            picture.erase(picture.begin());
        }
        EXPECT_EQ(picture, withoutQuery);
        EXPECT_TRUE(ConsecutiveFromOne(got[i]));
    }
    const json s = daemon.Ctl({{"cmd", "status"}});
    EXPECT_EQ(s.value("moduleConnects", 0), n);
    EXPECT_EQ(s.value("chassis", ""), "simulated");
    EXPECT_FALSE(s.contains("chassisConfig"));

    // A fan change then reaches every client once, in sequence (the first
    // few of both versions are read to the end).
    constexpr int kClients = 8;
    ASSERT_EQ(daemon.RunCtl({"set-fan", "1", "--reading", "3100"}).status, 0);
    // Four sensor passes later (5 chassis seconds each) the change has long
    // been sent; nothing may repeat it.
    const double now = daemon.Ctl({{"cmd", "status"}}).value("chassisTime", 0.0);
    ASSERT_TRUE(daemon.WaitStatus([&](const json& s) { return s.value("chassisTime", 0.0) >= now + 20; }));
    for (int i = 0; i < kClients; ++i)
    {
        SCOPED_TRACE("client " + std::to_string(i));
        Frame f;
        while (clients[i].Read(&f, 200))
        {
            Message m;
            std::string e;
            if (f.type == kMessage && Parse(f, &m, &e))
            {
                got[i].push_back({m.requestType, m.seq, m.responseSize, m.flags, m.payload});
            }
        }
        int seen = 0;
        for (const auto& m : got[i])
        {
            seen += m.type == kSensorType && Name(m) == "Fan1A" && Reading(m) == 3100 ? 1 : 0;
        }
        EXPECT_EQ(seen, 1);
        EXPECT_TRUE(ConsecutiveFromOne(got[i]));
    }
}

// Clients killed mid-stream and many connect/close cycles of every shape:
// the module hears of each departure and nothing is left behind.
TEST_F(DaemonTest, DeparturesLeaveNoMemoryOrDescriptorBehind)
{
    ASSERT_TRUE(daemon.StartQuiet());
    // The module keeps chassis log events while no client takes them (at
    // most 8 in the demonstration chassis): fill that queue so that it is
    // the same before and after.
    const json fill = {{"cmd", "log-event"}, {"message-id", "TST0001"}, {"repeat", 8}};
    ASSERT_TRUE(daemon.Ctl(fill).value("ok", false));
    json before;
    ASSERT_TRUE(daemon.WaitStatus(
        [&](const json& s)
        {
            const bool same = s["memory"] == before["memory"];
            before = s;
            return same;
        }));

    // Client processes, killed with SIGKILL once they have their picture.
    constexpr int kKilled = 5;
    std::vector<PipedProcess> clients(kKilled);
    for (PipedProcess& c : clients)
    {
        ASSERT_TRUE(c.Start({KTZMOND_ATTACKER, daemon.socket(), "name", "departing", "x", "30"}));
    }
    for (PipedProcess& c : clients)
    {
        std::string line;
        EXPECT_TRUE(c.ReadLine(&line, 30000));
        EXPECT_EQ(line, "synced");
    }
    // Mid-stream: chassis log events flowing while they die.
    (void)daemon.Ctl({{"cmd", "log-event"}, {"message-id", "TST0001"}, {"repeat", 20}});
    for (PipedProcess& c : clients)
    {
        c.Kill();
    }

    const int cycles = UnderTsan() ? 150 : 1000;
    for (int i = 0; i < cycles; ++i)
    {
        Client c;
        ASSERT_TRUE(c.Connect(daemon.socket()));
        switch (i % 4)
        {
        case 0: break;                             // closes before its hello
        case 1: ASSERT_TRUE(c.Handshake()); break; // closes after its welcome
        case 2:                                    // closes while its capabilities are asked for
        {
            std::vector<Received> got;
            ASSERT_TRUE(c.Handshake());
            ASSERT_TRUE(c.ReadUntil(kCapsType, &got, 10000, 0, false));
            break;
        }
        default: // the whole picture
        {
            std::vector<Received> got;
            ASSERT_TRUE(c.Handshake());
            ASSERT_TRUE(c.ReadUntil(kSyncType, &got, 10000));
        }
        }
    }
    json after;
    ASSERT_TRUE(daemon.WaitStatus(
        [&](const json& s)
        {
            after = s;
            return s.value("connections", -1) == 0 && s.value("workerBacklog", -1) == 0 &&
                   s.value("moduleConnects", -1) == s.value("moduleDisconnects", -2);
        },
        20000))
        << after.dump();
    // A client reaches the module only once it answered the capability
    // query: the last quarter of the cycles and the killed clients.
    EXPECT_GE(after.value("moduleConnects", 0), kKilled + cycles / 4);
    ASSERT_TRUE(daemon.Ctl(fill).value("ok", false));
    EXPECT_TRUE(daemon.WaitStatus(
        [&](const json& s)
        {
            after = s;
            return s["memory"] == before["memory"] && s["fds"] == before["fds"];
        }))
        << "before: " << before.dump() << "\nafter: " << after.dump();
}

TEST_F(DaemonTest, SlowReaderIsCutWhileFastReaderGetsEverything)
{
    ASSERT_TRUE(daemon.StartQuiet({"--queue-frames", "64", "--send-buffer", "4096"}));
    Client fast, slow;
    std::vector<Received> fastGot, slowGot;
    ASSERT_TRUE(fast.Connect(daemon.socket()) && fast.Handshake());
    ASSERT_TRUE(fast.ReadUntil(kSyncType, &fastGot, 10000, 0x3));
    ASSERT_TRUE(slow.Connect(daemon.socket()) && slow.Handshake());
    ASSERT_TRUE(slow.ReadUntil(kCapsType, &slowGot, 10000, 0x3)); // answers, then reads no more
    ASSERT_TRUE(daemon.WaitStatus([](const json& s) { return s.value("workerBacklog", 1) == 0; }));

    // Bursts of chassis log events, each posted once the fast client has
    // read the previous one: the fast client never has more than a burst
    // queued, the slow one falls further behind with every burst.
    constexpr int kBurst = 20;
    constexpr int kEvents = 400;
    std::atomic<int> fastEvents{0};
    std::thread reader(
        [&]
        {
            Frame f;
            const int64_t end = NowMs() + 30000;
            while (fastEvents < kEvents && NowMs() < end && fast.Read(&f, 1000))
            {
                Message m;
                std::string e;
                if (f.type == kMessage && Parse(f, &m, &e))
                {
                    fastGot.push_back({m.requestType, m.seq, m.responseSize, m.flags, m.payload});
                    fastEvents += m.requestType == kLogEventType ? 1 : 0;
                }
            }
        });
    for (int i = 0; i < kEvents / kBurst; ++i)
    {
        ASSERT_TRUE(daemon.Ctl({{"cmd", "log-event"}, {"message-id", "TST0002"}, {"repeat", kBurst}})
                        .value("ok", false));
        ktztest::WaitUntil([&] { return fastEvents >= (i + 1) * kBurst; }, 10000, 1);
    }
    reader.join();
    int events = 0;
    for (const auto& m : fastGot)
    {
        events += m.type == kLogEventType ? 1 : 0;
    }
    EXPECT_EQ(events, kEvents);
    EXPECT_TRUE(ConsecutiveFromOne(fastGot));
    json s;
    EXPECT_TRUE(daemon.WaitStatus(
        [&](const json& st)
        {
            s = st;
            return st["dropped"].value("tooSlow", 0) == 1 && st.value("clients", 0) == 1;
        }))
        << s.dump();
    EXPECT_NE(daemon.log().find("cut off"), std::string::npos);
    // The slow client finds its stream ended after what was already in its socket.
    Frame f;
    int frames = 0;
    while (slow.Read(&f, 2000) && frames < 100000)
    {
        frames += 1;
    }
    EXPECT_LT(slow.fd(), 0);
}

// A version 1 client that never answers the capability query is dropped
// with reason 8 after the module's own limit (10000 ms) when no other is set.
TEST_F(DaemonTest, ResponseLimitDefaultsToTheDispatchTrailer)
{
    ASSERT_TRUE(daemon.Start({}));
    Client silent;
    std::vector<Received> got;
    ASSERT_TRUE(silent.Connect(daemon.socket()) && silent.Handshake());
    ASSERT_TRUE(silent.ReadUntil(kCapsType, &got, 5000, 0, false));
    const int64_t asked = NowMs();
    EXPECT_EQ(silent.ExpectGoodbye(15000), static_cast<int>(kByeResponseTimeout));
    const int64_t waited = NowMs() - asked;
    EXPECT_GE(waited, 9500);
    EXPECT_LE(waited, 12000);
}

TEST_F(DaemonTest, SigtermWhileClientsConnectExitsCleanly)
{
    ASSERT_TRUE(daemon.Start({"--speed", "50"}));
    std::atomic<bool> stop{false};
    std::atomic<int> shutdownGoodbyes{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < 16; ++i)
    {
        threads.emplace_back(
            [&]
            {
                const int64_t end = NowMs() + 10000;
                while (!stop && NowMs() < end)
                {
                    Client c;
                    c.caps = 0x1; // version 2: at the module from its welcome on
                    if (c.Connect(daemon.socket()) && c.Handshake())
                    {
                        shutdownGoodbyes += c.ExpectGoodbye(5000) == static_cast<int>(kByeShutdown) ? 1 : 0;
                    }
                }
            });
    }
    ASSERT_TRUE(daemon.WaitStatus([](const json& s) { return s.value("clients", 0) >= 8; }));
    double seconds = 0;
    EXPECT_EQ(daemon.Terminate(5000, &seconds), 0);
    EXPECT_LT(seconds, 2.0);
    stop = true;
    for (auto& t : threads)
    {
        t.join();
    }
    EXPECT_GE(shutdownGoodbyes.load(), 1);
    struct stat st
    {
    };
    EXPECT_NE(::stat(daemon.socket().c_str(), &st), 0);
    EXPECT_NE(::stat(daemon.control().c_str(), &st), 0);
    EXPECT_NE(daemon.log().find("stopped"), std::string::npos);
}

// A daemon that was killed leaves its socket files behind; the next one takes
// them over (a second daemon beside a live one is refused, and the client
// socket's mode is checked: the access suite).
TEST_F(DaemonTest, AStaleSocketIsReclaimed)
{
    ASSERT_TRUE(daemon.Start({}));
    struct stat st
    {
    };
    ASSERT_EQ(::stat(daemon.control().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    ::kill(daemon.pid(), SIGKILL);
    EXPECT_EQ(daemon.Wait(5000), -1);
    ASSERT_EQ(::stat(daemon.socket().c_str(), &st), 0);
    Daemon next(dir.path());
    ASSERT_TRUE(next.Start({}));
    EXPECT_NE(next.log().find("stale"), std::string::npos);
    Client c;
    EXPECT_TRUE(c.Connect(next.socket()) && c.Handshake());
    EXPECT_EQ(next.Terminate(5000), 0);
}

TEST_F(DaemonTest, ClientLimitTwinsAndRequests)
{
    ASSERT_TRUE(daemon.Start({"--max-clients", "2", "--allow-client-ids"}));
    Client a, b, c;
    uint32_t idA = 0, idB = 0, refused = 0;
    ASSERT_TRUE(a.Connect(daemon.socket()) && a.Handshake(&idA, 5));
    ASSERT_TRUE(b.Connect(daemon.socket()) && b.Handshake(&idB, 5));
    EXPECT_EQ(idA, 5u);
    EXPECT_EQ(idB, 5u); // twins
    ASSERT_TRUE(c.Connect(daemon.socket()));
    EXPECT_FALSE(c.Handshake(nullptr, 0, &refused));
    EXPECT_EQ(refused, kByeTooManyClients);

    // Each twin gets its own connect exchange.
    std::vector<Received> gotA, gotB;
    EXPECT_TRUE(a.ReadUntil(kCapsType, &gotA, 5000, 0x3));
    EXPECT_TRUE(b.ReadUntil(kCapsType, &gotB, 5000, 0x1));

    // A request for the module's capabilities and an unsupported one (a
    // ping's pong: the hostile suite's slow senders).
    std::vector<uint8_t> out;
    Encode(Request{11, 3, kCapsType, 16, {}}, &out);
    Encode(Request{12, 3, 0x201, 16, {}}, &out);
    ASSERT_TRUE(a.SendRaw(out));
    std::map<uint32_t, Reply> replies;
    Frame f;
    const int64_t end = NowMs() + 5000;
    while (replies.size() < 2 && NowMs() < end && a.Read(&f, 1000))
    {
        std::string e;
        Reply r;
        if (f.type == kReply && Parse(f, &r, &e))
        {
            replies[r.seq] = r;
        }
    }
    ASSERT_EQ(replies.size(), 2u);
    EXPECT_EQ(replies[11].status, 0u);
    ASSERT_EQ(replies[11].data.size(), 16u);
    EXPECT_EQ(GetLe32(replies[11].data.data()), 0x3u); // the demonstration chassis forwards log events
    EXPECT_EQ(replies[12].status, 1u);
    EXPECT_TRUE(replies[12].data.empty());

    const json list = daemon.Ctl({{"cmd", "clients"}});
    ASSERT_EQ(list["clients"].size(), 2u) << list.dump();
    std::set<uint32_t> caps;
    for (const auto& e : list["clients"])
    {
        EXPECT_EQ(e.value("id", 0), 5);
        caps.insert(e.value("caps", 0u));
    }
    EXPECT_EQ(caps, (std::set<uint32_t>{0x1, 0x3}));
}

// With --allow-client-ids, an ID the daemon assigns skips every ID in use,
// whether a client asked for it or the daemon gave it out.
TEST_F(DaemonTest, AssignedIdsNeverEqualOneInUse)
{
    ASSERT_TRUE(daemon.Start({"--allow-client-ids"}));
    Client asked1, assigned1, askedNext, assigned2;
    uint32_t id1 = 0, a1 = 0, next = 0, a2 = 0;
    ASSERT_TRUE(asked1.Connect(daemon.socket()) && asked1.Handshake(&id1, 1));
    ASSERT_TRUE(assigned1.Connect(daemon.socket()) && assigned1.Handshake(&a1));
    ASSERT_EQ(id1, 1u);
    EXPECT_NE(a1, 1u);
    ASSERT_TRUE(askedNext.Connect(daemon.socket()) && askedNext.Handshake(&next, a1 + 1));
    ASSERT_TRUE(assigned2.Connect(daemon.socket()) && assigned2.Handshake(&a2));
    EXPECT_EQ(std::set<uint32_t>({id1, a1, next, a2}).size(), 4u)
        << id1 << " " << a1 << " " << next << " " << a2;
}

// Every control field against its range and the chassis there is (the
// demonstration chassis: fans 1 to 3, two stash temperatures, bays 1 to 4):
// refused with a reply that says why and a log line, nothing applied.
TEST_F(DaemonTest, ControlRequestsAreCheckedFieldByField)
{
    ASSERT_TRUE(daemon.Start({}));
    Client c;
    uint32_t id = 0;
    ASSERT_TRUE(c.Connect(daemon.socket()) && c.Handshake(&id));
    std::vector<Received> got;
    ASSERT_TRUE(c.ReadUntil(kCapsType, &got, 5000));
    struct Case
    {
        std::string line;
        const char* error;
    };
    const std::vector<Case> cases = {
        {R"({"cmd":"disconnect","id":)" + std::to_string(id + 1000) + "}", "no client"},
        {R"({"cmd":"disconnect","id":0})", "outside 1 to"},
        {R"({"cmd":"no-such-command"})", "unknown command"},
        {R"({"cmd":"set-fan"})", "missing \"fan\""},
        {R"({"cmd":"set-fan","fan":-1})", "outside 1 to 255"},
        {R"({"cmd":"set-fan","fan":4294967297})", "outside 1 to 255"},
        {R"({"cmd":"set-fan","fan":9})", "no fan 9"},
        {R"({"cmd":"set-fan","fan":1,"reading":-1})", "outside 0 to 4294967295"},
        {R"({"cmd":"set-fan","fan":1,"health":4})", "outside 1 to 3"},
        {R"({"cmd":"set-fan","fan":1,"readng":5})", "no field \"readng\""},
        {R"({"cmd":"set-temp","reading":300})", "outside -128 to 127"},
        {R"({"cmd":"set-temp","reading":1.5})", "whole number"},
        {R"({"cmd":"set-stash-temp","index":99,"reading":1})", "outside 1 to 2"},
        {R"({"cmd":"pull-psu","bay":200})", "outside 1 to 4"},
        {R"({"cmd":"insert-psu","bay":1,"fru-readable":"yes"})", "true or false"},
        {R"({"cmd":"log-event","args":["a","","b"]})", "is empty"},
        {R"({"cmd":"log-event","values":[70000]})", "outside 0 to 65535"},
        {R"({"cmd":"log-event","repeat":0})", "outside 1 to 100000"},
        {R"({"cmd":"set-ktz"})", "missing \"value\""},
        {R"([1,2])", "JSON object"},
        {std::string(70000, ' '), "longer than 65536"},
    };
    for (const Case& k : cases)
    {
        SCOPED_TRACE(k.line.substr(0, 80));
        const json r = daemon.CtlLine(k.line);
        EXPECT_FALSE(r.value("ok", true)) << r.dump();
        EXPECT_NE(r.value("error", "").find(k.error), std::string::npos) << r.dump();
        EXPECT_FALSE(r.contains("applied"));
    }
    EXPECT_NE(daemon.log().find("request refused: request line longer than 65536 bytes"), std::string::npos);
    // Without --allow-client-ids a client may not choose its own ID.
    Client named;
    uint32_t refused = 0;
    ASSERT_TRUE(named.Connect(daemon.socket()));
    EXPECT_FALSE(named.Handshake(nullptr, 77, &refused));
    EXPECT_EQ(refused, kByeClientIdRefused);
    // What is in range is applied, and the client can still be removed.
    EXPECT_TRUE(daemon.Ctl({{"cmd", "set-temp"}, {"reading", -128}}).value("ok", false));
    EXPECT_TRUE(daemon.Ctl({{"cmd", "disconnect"}, {"id", id}}).value("ok", false));
    EXPECT_EQ(c.ExpectGoodbye(3000), static_cast<int>(kByeRemovedByOperator));
}

// Over TCP anything but loopback needs --allow-remote (loopback clients are
// served in the hostile suite's text test).
TEST_F(DaemonTest, RemoteListenerNeedsAllowRemote)
{
    EXPECT_FALSE(daemon.Start({"--listen", "0.0.0.0:0"}, 3000));
    EXPECT_NE(daemon.log().find("--allow-remote"), std::string::npos);
}

} // namespace
