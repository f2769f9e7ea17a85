// ktzmon-watch run as a process against the scripted fake daemon: the exit
// status of every way a run ends, the transcript lines, and --json lines
// that parse as JSON with the fields scripts rely on.
#include "support/files.h"

#include "client_fixture.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <string>
#include <vector>

using ktztest::Lines;

namespace
{

using ktzclient_test::kLineMs;

class WatchTest : public ktzclient_test::ClientTest
{
  protected:
    void StartDaemon(const std::vector<std::string>& steps) { ClientTest::StartDaemon(&daemon_, steps); }

    // Runs ktzmon-watch to its end.
    static ktztest::RunResult Watch(std::vector<std::string> args)
    {
        args.insert(args.begin(), KTZWATCH_EXE);
        return ktztest::RunProgram(args, {}, 20000);
    }

    // The module's first messages to a client: setting, capability query
    // (answered), one fan, data-sync-complete.
    static std::vector<std::string> Picture()
    {
        return {"accept",
                "hello",
                "welcome 7",
                "msg 0x100 0100000000000000",
                "msg 0x200 - rsp=16",
                "response",
                "msg 0x101 01010101010003003815000028000000000000000000000000000000d0070000e8030000"
                "00000000466f6f00",
                "msg 0x103 - flags=1"};
    }

    ktzclient_test::Child daemon_;
};

} // namespace

TEST_F(WatchTest, UntilPrintsThePictureAndExitsZero)
{
    // Nothing follows data-sync-complete: a watch that did not stop there
    // would wait on, and the fake daemon's wait for its end would fail. (A
    // message sent after it could meet a socket the watch had already closed.)
    auto steps = Picture();
    steps.push_back("expect-eof");
    StartDaemon(steps);
    const ktztest::RunResult w = Watch({"--socket", sock_, "--until", "data-sync-complete", "--caps", "0x3"});
    ASSERT_EQ(w.status, 0) << w.out;
    const auto lines = Lines(w.out);
    ASSERT_EQ(lines.size(), 5u) << w.out;
    EXPECT_NE(lines[0].find("connected to fake-daemon as client 7"), std::string::npos) << w.out;
    EXPECT_NE(lines[1].find("client 7      ktz-setting value=1 changed=no"), std::string::npos) << w.out;
    EXPECT_NE(lines[2].find("caps-query  [client answers 16 bytes: caps 0x3 (base|log-event)]"),
              std::string::npos)
        << w.out;
    EXPECT_NE(
        lines[3].find("sensor-data fan #1 'Foo' presence=1 status=normal reading=5432 lnc=2000 lc=1000"),
        std::string::npos)
        << w.out;
    EXPECT_NE(lines[4].find("data-sync-complete"), std::string::npos) << w.out;
    const std::string d = Finish(&daemon_);
    EXPECT_NE(d.find("response seq=2 status=0 data=03 00 00 00"), std::string::npos) << d;
    EXPECT_NE(d.find("name=ktzmon-watch"), std::string::npos) << d;
}

TEST_F(WatchTest, CountStopsAfterThatManyMessages)
{
    auto steps = Picture();
    steps.push_back("expect-eof");
    StartDaemon(steps);
    const ktztest::RunResult w = Watch({"--socket", sock_, "--count", "2", "--hex"});
    ASSERT_EQ(w.status, 0) << w.out;
    // The connect note, two messages, the setting's hex line and the
    // capability query's answer line.
    const auto lines = Lines(w.out);
    ASSERT_EQ(lines.size(), 5u) << w.out;
    EXPECT_NE(lines[2].find("0000: 01 00 00 00 00 00 00 00"), std::string::npos) << w.out;
    EXPECT_NE(lines[4].find("answer 0000: 01 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00"),
              std::string::npos)
        << w.out;
    EXPECT_EQ(w.out.find("sensor-data"), std::string::npos) << w.out;
}

TEST_F(WatchTest, TimeoutGoodbyeAndNoDaemonFailWithTheirReason)
{
    // No data-sync-complete before the time limit: 1, after about a second.
    StartDaemon({"accept", "hello", "welcome 7", "msg 0x100 0100000000000000", "expect-eof"});
    const int64_t t0 = ktztest::NowMs();
    ktztest::RunResult w = Watch({"--socket", sock_, "--until", "data-sync-complete", "--timeout", "1"});
    EXPECT_EQ(w.status, 1) << w.out;
    EXPECT_NE(w.err.find("--timeout: 1 s passed"), std::string::npos) << w.err;
    const int64_t ms = ktztest::NowMs() - t0;
    EXPECT_GE(ms, 950);
    EXPECT_LT(ms, 5000);
    EXPECT_NE(w.out.find("ktz-setting"), std::string::npos) << w.out;
    EXPECT_NE(Finish(&daemon_).find("eof"), std::string::npos);

    // The daemon drops the client: 1, with its reason on standard error.
    StartDaemon({"accept", "hello", "welcome 7", "bye 7 queue bound exceeded"});
    w = Watch({"--socket", sock_, "--until", "data-sync-complete"});
    EXPECT_EQ(w.status, 1) << w.out;
    EXPECT_NE(w.err.find("client too slow (queue bound exceeded) (reason 7): queue bound exceeded"),
              std::string::npos)
        << w.err;
    Finish(&daemon_);

    // Nobody listens: 1.
    w = Watch({"--socket", dir_ + "/none.sock", "--timeout", "5"});
    EXPECT_EQ(w.status, 1);
    EXPECT_NE(w.err.find("none.sock"), std::string::npos) << w.err;
}

TEST_F(WatchTest, BadCommandLinesExitTwo)
{
    const std::vector<std::vector<std::string>> bad = {
        {"--count", "0"},           {"--count", "x"},
        {"--timeout", "-1"},        {"--until", "no-such-type"},
        {"--caps", "base"},         {"--socket", "a", "--connect", "127.0.0.1:1"},
        {"--connect", "localhost"}, {"--connect", "localhost:99999"},
        {"--no-such-option"},
    };
    for (const auto& args : bad)
    {
        SCOPED_TRACE(args[0] + (args.size() > 1 ? " " + args[1] : ""));
        const ktztest::RunResult w = Watch(args);
        EXPECT_EQ(w.status, 2);
        EXPECT_FALSE(w.err.empty());
    }
}

TEST_F(WatchTest, JsonLinesParseAndCarryTheFields)
{
    auto steps = Picture();
    steps.push_back("msg 0x100 0100000000000000 rsp=0 class=4");
    steps.push_back("expect-eof");
    StartDaemon(steps);
    const ktztest::RunResult w = Watch({"--socket", sock_, "--json", "--hex", "--count", "5"});
    ASSERT_EQ(w.status, 0) << w.out;
    const std::vector<nlohmann::json> j = ktztest::JsonLines(w.out);
    ASSERT_EQ(j.size(), 6u) << w.out;
    EXPECT_EQ(j[0]["kind"], "connected");
    EXPECT_EQ(j[0]["client"], 7);
    EXPECT_EQ(j[1]["kind"], "message");
    EXPECT_EQ(j[1]["type"], "ktz-setting");
    EXPECT_EQ(j[1]["seq"], 1);
    EXPECT_EQ(j[1]["fields"]["value"], 1);
    EXPECT_EQ(j[1]["hex"], "01 00 00 00 00 00 00 00");
    EXPECT_EQ(j[2]["answer_caps"], 1);
    EXPECT_EQ(j[3]["fields"]["name"], "Foo");
    EXPECT_EQ(j[3]["fields"]["reading"], 5432);
    EXPECT_EQ(j[3]["fields"]["status_name"], "normal");
    EXPECT_EQ(j[4]["type"], "data-sync-complete");
    EXPECT_EQ(j[4]["type_code"], 0x103);
    // A message of another class cannot be decoded; it is reported, not fatal.
    EXPECT_FALSE(j[5].contains("fields"));
    EXPECT_NE(j[5]["error"].get<std::string>().find("class 4"), std::string::npos) << w.out;
}

TEST_F(WatchTest, ReconnectPrintsTheLossAndThePictureAgain)
{
    StartDaemon({"accept", "hello", "welcome 7", "msg 0x100 0100000000000000", "bye 7 too slow", "close",
                 "accept", "hello", "welcome 8", "msg 0x100 0100000000000000", "msg 0x103 - flags=1",
                 "expect-eof"});
    const ktztest::RunResult w =
        Watch({"--socket", sock_, "--reconnect", "--until", "data-sync-complete", "--timeout", "15"});
    ASSERT_EQ(w.status, 0) << w.out;
    const auto lines = Lines(w.out);
    ASSERT_EQ(lines.size(), 6u) << w.out;
    EXPECT_NE(lines[2].find("connection lost: the daemon said goodbye"), std::string::npos) << w.out;
    EXPECT_NE(lines[3].find("reconnected as client 8"), std::string::npos) << w.out;
    EXPECT_NE(lines[4].find("client 8      ktz-setting"), std::string::npos) << w.out;
}
