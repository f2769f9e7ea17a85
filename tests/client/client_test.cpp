// libktzclient's C interface against the scripted fake daemon, a separate
// process on a Unix socket (and once on loopback TCP): the hello exchange,
// decoded messages with their wire bytes, the automatic capability answer,
// requests and pings, goodbyes, time limits, malformed input and reconnects.
#include "client_fixture.h"
#include "payloads.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <ktzclient/ktzclient.h>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace ktzclient_test;

TEST_F(ClientTest, HelloWelcomeAndEveryMessageDecodedWithItsWireBytes)
{
    const auto sensor = Sensor(1, 4, 5400, "Fan4", true);
    auto fru = Fru(2, "PWR-SUPPLY");
    fru[263] = 0xee; // the last data byte, to see that all 256 arrive
    const std::vector<std::string> args = {"bay 2", "lost"};
    const std::string text = "Supply lost";
    const auto log = LogEvt("PSU0100", &args, &text);
    Child d;
    StartDaemon(&d, {"accept", "hello", "welcome 42", "msg 0x100 0100000000000000", "msg 0x200 - rsp=16",
                     "response", "msg 0x101 " + Hex(sensor), "msg 0x102 " + Hex(fru), "msg 0x103 - flags=1",
                     "msg 0x104 " + Hex(log), "expect-goodbye"});
    Handle h{New(0x3)};
    ASSERT_NE(h.c, nullptr);
    ASSERT_EQ(ktzc_connect_unix(h.c, sock_.c_str()), KTZC_OK) << ktzc_error_text(h.c);
    EXPECT_EQ(ktzc_client_id(h.c), 42u);
    EXPECT_STREQ(ktzc_daemon_name(h.c), "fake-daemon");
    EXPECT_GE(ktzc_fd(h.c), 0);

    const ktzc_event* ev = nullptr;
    ASSERT_EQ(ktzc_receive(h.c, kLineMs, &ev), KTZC_OK) << ktzc_error_text(h.c);
    ASSERT_EQ(ev->kind, KTZC_EVENT_MESSAGE);
    EXPECT_EQ(ev->message->seq, 1u);
    EXPECT_EQ(ev->message->request_class, 3u);
    EXPECT_EQ(ev->message->request_type, 0x100u);
    EXPECT_EQ(ev->message->decoded, 1);
    ASSERT_NE(ev->message->ktz_setting, nullptr);
    EXPECT_EQ(ev->message->sensor, nullptr);
    EXPECT_EQ(ev->message->ktz_setting->value, 1u);
    EXPECT_EQ(ev->message->ktz_setting->changed, 0);
    ASSERT_EQ(ev->message->raw_size, 8u);
    EXPECT_EQ(ev->message->raw[0], 1);
    EXPECT_STREQ(ev->message->text, "ktz-setting value=1 changed=no");

    ASSERT_EQ(ktzc_receive(h.c, kLineMs, &ev), KTZC_OK);
    EXPECT_EQ(ev->message->request_type, 0x200u);
    EXPECT_EQ(ev->message->response_size, 16u);
    EXPECT_EQ(ev->message->answered_caps, 3u);
    EXPECT_STREQ(ev->message->type_name, "caps-query");

    ASSERT_EQ(ktzc_receive(h.c, kLineMs, &ev), KTZC_OK);
    ASSERT_EQ(ev->message->decoded, 1) << ev->message->decode_error;
    ASSERT_NE(ev->message->sensor, nullptr);
    EXPECT_STREQ(ev->message->sensor->name, "Fan4");
    EXPECT_EQ(ev->message->sensor->reading, 5400);
    EXPECT_EQ(ev->message->sensor->number, 4);
    EXPECT_EQ(ev->message->sensor->has_thresholds, 1);
    EXPECT_EQ(ev->message->sensor->lnc, 2000u);
    EXPECT_EQ(ev->message->sensor->lc, 1000u);
    EXPECT_EQ(std::vector<uint8_t>(ev->message->raw, ev->message->raw + ev->message->raw_size), sensor);

    ASSERT_EQ(ktzc_receive(h.c, kLineMs, &ev), KTZC_OK);
    ASSERT_EQ(ev->message->decoded, 1) << ev->message->decode_error;
    ASSERT_NE(ev->message->fru, nullptr);
    EXPECT_EQ(ev->message->fru->bay, 2);
    ASSERT_EQ(ev->message->fru->data_length, 256);
    EXPECT_EQ(std::memcmp(ev->message->fru->data, "PWR-SUPPLY", 10), 0);
    EXPECT_EQ(ev->message->fru->data[255], 0xee);

    ASSERT_EQ(ktzc_receive(h.c, kLineMs, &ev), KTZC_OK);
    EXPECT_EQ(ev->message->request_type, 0x103u);
    EXPECT_EQ(ev->message->flags, 1u);
    EXPECT_EQ(ev->message->raw, nullptr);
    EXPECT_EQ(ev->message->raw_size, 0u);
    EXPECT_EQ(ev->message->decoded, 1);

    ASSERT_EQ(ktzc_receive(h.c, kLineMs, &ev), KTZC_OK);
    ASSERT_EQ(ev->message->decoded, 1) << ev->message->decode_error;
    ASSERT_NE(ev->message->log_event, nullptr);
    const ktzc_log_event& le = *ev->message->log_event;
    EXPECT_EQ(le.values[2], 7);
    EXPECT_STREQ(le.message_id, "PSU0100");
    ASSERT_EQ(le.arg_count, 2u);
    EXPECT_STREQ(le.args[0], "bay 2");
    EXPECT_STREQ(le.args[1], "lost");
    ASSERT_NE(le.text, nullptr);
    EXPECT_STREQ(le.text, "Supply lost");
    EXPECT_EQ(ev->message->seq, 6u);

    ktzc_close(h.c);
    EXPECT_EQ(ktzc_fd(h.c), -1);
    const std::string out = Finish(&d);
    // Versions 1 and 2 offered, the capability mask in the hello.
    EXPECT_NE(out.find("hello min=1 max=2 id=0 caps=3 name=tester"), std::string::npos) << out;
    // The capability answer: 16 bytes, the chosen mask little-endian first.
    EXPECT_NE(out.find("response seq=2 status=0 data=03 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("goodbye reason=0"), std::string::npos) << out;
}

TEST_F(ClientTest, RequestedClientIdAndTcp)
{
    Child d;
    ASSERT_TRUE(
        d.Start({KTZCLIENT_FAKE_DAEMON, "--tcp", "unused", "accept", "hello", "welcome 9", "expect-eof"}));
    std::string line;
    ASSERT_TRUE(d.WaitFor("listening port=", &line, kLineMs));
    const auto port = static_cast<uint16_t>(std::stoul(line.substr(line.find('=') + 1)));
    ktzc_options o;
    ktzc_options_init(&o, sizeof o);
    o.client_id = 9;
    Handle h{ktzc_new(&o)};
    ASSERT_EQ(ktzc_connect_tcp(h.c, "127.0.0.1", port), KTZC_OK) << ktzc_error_text(h.c);
    EXPECT_EQ(ktzc_client_id(h.c), 9u);
    EXPECT_EQ(ktzc_connect_tcp(h.c, "127.0.0.1", port), KTZC_ERR_BUSY);
    ktzc_close(h.c);
    const std::string out = Finish(&d);
    EXPECT_NE(out.find("hello min=1 max=2 id=9 caps=1 name="), std::string::npos) << out;
}

TEST_F(ClientTest, RequestsAndPingsWhileTheModuleAsksForCapabilities)
{
    Child d;
    // The module's capability query arrives while the client waits for its
    // own reply: it must be answered at once, and reported afterwards.
    StartDaemon(&d, {"accept", "hello", "welcome 1", "request", "msg 0x200 - rsp=16", "response",
                     "reply 0 03000000000000000000000000000000", "expect-ping", "request", "reply 16 -",
                     "ping 77", "expect-pong", "msg 0x103 - flags=1", "expect-eof"});
    Handle h{New(0x1)};
    ASSERT_EQ(ktzc_connect_unix(h.c, sock_.c_str()), KTZC_OK) << ktzc_error_text(h.c);
    uint32_t status = 99;
    uint32_t caps = 0;
    ASSERT_EQ(ktzc_request_caps(h.c, kLineMs, &status, &caps), KTZC_OK) << ktzc_error_text(h.c);
    EXPECT_EQ(status, 0u);
    EXPECT_EQ(caps, 3u);
    EXPECT_EQ(ktzc_pending(h.c), 1);
    uint32_t rtt = 0;
    ASSERT_EQ(ktzc_ping(h.c, kLineMs, &rtt), KTZC_OK) << ktzc_error_text(h.c);
    // A non-zero module status is a reply like any other; caps stays untouched.
    caps = 0xdead;
    ASSERT_EQ(ktzc_request_caps(h.c, kLineMs, &status, &caps), KTZC_OK);
    EXPECT_EQ(status, 16u);
    EXPECT_EQ(caps, 0xdeadu);

    const ktzc_event* ev = nullptr;
    ASSERT_EQ(ktzc_receive(h.c, 0, &ev), KTZC_OK);
    EXPECT_EQ(ev->message->request_type, 0x200u);
    // The daemon's ping is answered inside receive and not reported.
    ASSERT_EQ(ktzc_receive(h.c, kLineMs, &ev), KTZC_OK) << ktzc_error_text(h.c);
    EXPECT_EQ(ev->message->request_type, 0x103u);
    ktzc_close(h.c);

    const std::string out = Finish(&d);
    EXPECT_NE(out.find("request seq=1 class=3 type=512 reply=16 data="), std::string::npos) << out;
    EXPECT_NE(out.find("response seq=1 status=0 data=01 00 00 00"), std::string::npos) << out;
    EXPECT_NE(out.find("ping token="), std::string::npos) << out;
    EXPECT_NE(out.find("request seq=2 "), std::string::npos) << out;
    EXPECT_NE(out.find("pong token=77"), std::string::npos) << out;
}

TEST_F(ClientTest, GoodbyesReportTheirReasonAndText)
{
    Child d;
    StartDaemon(&d, {"accept", "hello", "bye 5 limit of 10 clients reached", "close", "accept", "hello",
                     "welcome 3", "sleep 100", "bye 8 no response in 10000 ms", "close"});
    Handle h{New()};
    ASSERT_EQ(ktzc_connect_unix(h.c, sock_.c_str()), KTZC_ERR_GOODBYE);
    EXPECT_EQ(ktzc_last_error(h.c), KTZC_ERR_GOODBYE);
    uint32_t reason = 0;
    const char* text = nullptr;
    ASSERT_EQ(ktzc_goodbye(h.c, &reason, &text), 1);
    EXPECT_EQ(reason, KTZC_BYE_TOO_MANY_CLIENTS);
    EXPECT_STREQ(text, "limit of 10 clients reached");
    EXPECT_NE(std::string(ktzc_error_text(h.c)).find("too many clients"), std::string::npos)
        << ktzc_error_text(h.c);
    EXPECT_EQ(ktzc_fd(h.c), -1);

    ASSERT_EQ(ktzc_connect_unix(h.c, sock_.c_str()), KTZC_OK) << ktzc_error_text(h.c);
    EXPECT_EQ(ktzc_goodbye(h.c, nullptr, nullptr), 0);
    const ktzc_event* ev = nullptr;
    EXPECT_EQ(ktzc_receive(h.c, kLineMs, &ev), KTZC_ERR_GOODBYE);
    ASSERT_EQ(ktzc_goodbye(h.c, &reason, &text), 1);
    EXPECT_EQ(reason, KTZC_BYE_RESPONSE_TIMEOUT);
    const std::string why = ktzc_error_text(h.c);
    EXPECT_NE(why.find("no response in time (reason 8): no response in 10000 ms"), std::string::npos) << why;
    // Without the reconnect option the handle stays disconnected.
    EXPECT_EQ(ktzc_receive(h.c, 0, &ev), KTZC_ERR_NOT_CONNECTED);
    Finish(&d);
}

TEST_F(ClientTest, TimeLimits)
{
    Child d;
    StartDaemon(&d, {"accept", "hello", "sleep 1500", "close", "accept", "hello", "welcome 4", "request",
                     "sleep 600", "reply 0 01000000000000000000000000000000", "msg 0x103 - flags=1",
                     "expect-eof"});
    ktzc_options o;
    ktzc_options_init(&o, sizeof o);
    o.connect_timeout_ms = 300;
    Handle h{ktzc_new(&o)};
    // No welcome in time.
    int64_t t0 = NowMs();
    EXPECT_EQ(ktzc_connect_unix(h.c, sock_.c_str()), KTZC_ERR_CONNECT);
    int64_t ms = NowMs() - t0;
    EXPECT_GE(ms, 290);
    EXPECT_LT(ms, 1400);
    EXPECT_NE(std::string(ktzc_error_text(h.c)).find("no welcome"), std::string::npos)
        << ktzc_error_text(h.c);

    // The next connection waits in the daemon's backlog until it is done sleeping.
    ktzc_free(h.c);
    o.connect_timeout_ms = 5000;
    h.c = ktzc_new(&o);
    ASSERT_EQ(ktzc_connect_unix(h.c, sock_.c_str()), KTZC_OK) << ktzc_error_text(h.c);
    const ktzc_event* ev = nullptr;
    t0 = NowMs();
    EXPECT_EQ(ktzc_receive(h.c, 200, &ev), KTZC_ERR_TIMEOUT);
    ms = NowMs() - t0;
    EXPECT_GE(ms, 190);
    EXPECT_LT(ms, 1000);
    // A request whose reply comes late times out; the late reply is dropped
    // quietly and the connection carries on.
    uint32_t status = 0;
    uint32_t caps = 0;
    EXPECT_EQ(ktzc_request_caps(h.c, 200, &status, &caps), KTZC_ERR_TIMEOUT);
    ASSERT_EQ(ktzc_receive(h.c, kLineMs, &ev), KTZC_OK) << ktzc_error_text(h.c);
    EXPECT_EQ(ev->message->request_type, 0x103u);
    EXPECT_EQ(caps, 0u);
    ktzc_close(h.c);
    Finish(&d);
}

TEST_F(ClientTest, MalformedInputFromTheDaemonIsRefused)
{
    struct Case
    {
        const char* what;
        std::vector<std::string> steps;
        ktzc_error error;
        const char* text;
        bool goodbye; // the client says why before closing
    };
    const std::vector<Case> cases = {
        {"oversized frame", {"raw ffffff7f 1000 0000"}, KTZC_ERR_PROTOCOL, "frame body of", true},
        {"reserved field set", {"raw 00000000 1000 0100"}, KTZC_ERR_PROTOCOL, "reserved", true},
        {"sequence gap", {"msg 0x103 - flags=1 seq=5"}, KTZC_ERR_PROTOCOL, "sequence number 5", true},
        {"unknown frame type", {"raw 00000000 9900 0000"}, KTZC_ERR_PROTOCOL, "type 0x0099", true},
        {"short message body", {"raw 04000000 1000 0000 01000000"}, KTZC_ERR_PROTOCOL, "at least 20", true},
        {"reply to no request", {"reply 0 - seq=7"}, KTZC_ERR_PROTOCOL, "to no request", true},
        {"second welcome", {"welcome 5"}, KTZC_ERR_PROTOCOL, "type 0x0002", true},
        {"payload despite no-payload flag", {"msg 0x103 00 flags=1"}, KTZC_ERR_PROTOCOL, "flagged", true},
        {"closed mid-frame",
         {"raw 10000000 1000 0000 0100", "close"},
         KTZC_ERR_CLOSED,
         "middle of a frame",
         false},
        {"garbage after a valid frame",
         {"msg 0x100 0100000000000000", "raw 0102030405060708 ff"},
         KTZC_ERR_PROTOCOL,
         "",
         true},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.what);
        std::vector<std::string> steps{"accept", "hello", "welcome 1"};
        steps.insert(steps.end(), c.steps.begin(), c.steps.end());
        steps.push_back(c.goodbye ? "expect-goodbye" : "sleep 0");
        Child d;
        StartDaemon(&d, steps);
        Handle h{New()};
        ASSERT_EQ(ktzc_connect_unix(h.c, sock_.c_str()), KTZC_OK) << ktzc_error_text(h.c);
        const ktzc_event* ev = nullptr;
        ktzc_error e = KTZC_OK;
        for (int i = 0; i < 5 && e == KTZC_OK; ++i) // valid messages before the fault come first
        {
            e = ktzc_receive(h.c, kLineMs, &ev);
        }
        EXPECT_EQ(e, c.error) << ktzc_error_text(h.c);
        EXPECT_NE(std::string(ktzc_error_text(h.c)).find(c.text), std::string::npos) << ktzc_error_text(h.c);
        EXPECT_EQ(ktzc_fd(h.c), -1);
        const std::string out = Finish(&d);
        if (c.goodbye)
        {
            EXPECT_NE(out.find("goodbye reason=2"), std::string::npos) << out;
        }
    }
}

TEST_F(ClientTest, AMalformedPayloadIsReportedAndTheConnectionStays)
{
    Child d;
    StartDaemon(&d, {"accept", "hello", "welcome 1", "msg 0x100 01000000",
                     "msg 0x101 " + Hex(Sensor(1, 1, 1, "X")).substr(0, 80), "msg 0x100 0200000001000000",
                     "expect-eof"});
    Handle h{New()};
    ASSERT_EQ(ktzc_connect_unix(h.c, sock_.c_str()), KTZC_OK) << ktzc_error_text(h.c);
    const ktzc_event* ev = nullptr;
    ASSERT_EQ(ktzc_receive(h.c, kLineMs, &ev), KTZC_OK);
    EXPECT_EQ(ev->message->decoded, 0);
    EXPECT_NE(std::string(ev->message->decode_error).find("payload is 4 bytes"), std::string::npos);
    EXPECT_EQ(ev->message->raw_size, 4u);
    ASSERT_EQ(ktzc_receive(h.c, kLineMs, &ev), KTZC_OK);
    EXPECT_EQ(ev->message->decoded, 0);
    EXPECT_NE(std::string(ev->message->text).find("sensor-data MALFORMED"), std::string::npos)
        << ev->message->text;
    ASSERT_EQ(ktzc_receive(h.c, kLineMs, &ev), KTZC_OK);
    EXPECT_EQ(ev->message->decoded, 1);
    ASSERT_NE(ev->message->ktz_setting, nullptr);
    EXPECT_EQ(ev->message->ktz_setting->value, 2u);
    EXPECT_EQ(ev->message->ktz_setting->changed, 1);
    ktzc_close(h.c);
    Finish(&d);
}

TEST_F(ClientTest, ReconnectsWithBackOffAfterTheDaemonRestarts)
{
    Handle h{New(0x1, true)};
    {
        Child first;
        StartDaemon(&first, {"accept", "hello", "welcome 1", "msg 0x100 0100000000000000",
                             "bye 1 daemon stopping", "close"});
        ASSERT_EQ(ktzc_connect_unix(h.c, sock_.c_str()), KTZC_OK) << ktzc_error_text(h.c);
        const ktzc_event* ev = nullptr;
        ASSERT_EQ(ktzc_receive(h.c, kLineMs, &ev), KTZC_OK);
        EXPECT_EQ(ev->kind, KTZC_EVENT_MESSAGE);
        ASSERT_EQ(ktzc_receive(h.c, kLineMs, &ev), KTZC_OK) << ktzc_error_text(h.c);
        ASSERT_EQ(ev->kind, KTZC_EVENT_DISCONNECTED);
        EXPECT_EQ(ev->error, KTZC_ERR_GOODBYE);
        EXPECT_EQ(ev->goodbye_reason, KTZC_BYE_SHUTDOWN);
        EXPECT_NE(std::string(ev->text).find("daemon stopping"), std::string::npos) << ev->text;
        Finish(&first);
    }
    // Nobody listens for a while: receive keeps to its timeout meanwhile.
    const ktzc_event* ev = nullptr;
    const int64_t t0 = NowMs();
    EXPECT_EQ(ktzc_receive(h.c, 700, &ev), KTZC_ERR_TIMEOUT);
    const int64_t waited = NowMs() - t0;
    EXPECT_GE(waited, 650);
    EXPECT_LT(waited, 2500);

    // The restarted daemon refuses twice (closes after the hello), then
    // welcomes: the gaps between attempts grow up to the cap.
    Child second;
    StartDaemon(&second, {"accept", "hello", "close", "accept", "hello", "close", "accept", "hello",
                          "welcome 2", "msg 0x100 0100000000000000", "expect-eof"});
    ASSERT_EQ(ktzc_receive(h.c, kLineMs, &ev), KTZC_OK) << ktzc_error_text(h.c);
    ASSERT_EQ(ev->kind, KTZC_EVENT_RECONNECTED);
    EXPECT_EQ(ev->client_id, 2u);
    EXPECT_EQ(ktzc_client_id(h.c), 2u);
    // The picture starts again from sequence number 1.
    ASSERT_EQ(ktzc_receive(h.c, kLineMs, &ev), KTZC_OK) << ktzc_error_text(h.c);
    EXPECT_EQ(ev->kind, KTZC_EVENT_MESSAGE);
    EXPECT_EQ(ev->message->seq, 1u);
    ktzc_close(h.c);

    const std::string out = Finish(&second);
    std::vector<long> at;
    for (size_t pos = out.find("accepted t="); pos != std::string::npos;
         pos = out.find("accepted t=", pos + 1))
    {
        at.push_back(std::stol(out.substr(pos + 11)));
    }
    ASSERT_EQ(at.size(), 3u) << out;
    // After the loss the delays were 100, 200, 400, 400 ... ms (each cut by at
    // most a quarter); the two refused attempts are followed by the capped
    // delay of 400 ms.
    for (size_t i = 1; i < at.size(); ++i)
    {
        EXPECT_GE(at[i] - at[i - 1], 290) << out;
        EXPECT_LE(at[i] - at[i - 1], 1200) << out;
    }
}

TEST_F(ClientTest, ReconnectGivesUpAfterItsAttemptLimitOrARefusal)
{
    ktzc_options o;
    ktzc_options_init(&o, sizeof o);
    o.reconnect = 1;
    o.reconnect_initial_delay_ms = 20;
    o.reconnect_max_delay_ms = 40;
    o.reconnect_max_attempts = 3;
    Handle h{ktzc_new(&o)};
    {
        Child d;
        StartDaemon(&d, {"accept", "hello", "welcome 1", "close"});
        ASSERT_EQ(ktzc_connect_unix(h.c, sock_.c_str()), KTZC_OK);
        const ktzc_event* ev = nullptr;
        ASSERT_EQ(ktzc_receive(h.c, kLineMs, &ev), KTZC_OK);
        EXPECT_EQ(ev->kind, KTZC_EVENT_DISCONNECTED);
        EXPECT_EQ(ev->error, KTZC_ERR_CLOSED);
        Finish(&d);
    }
    const ktzc_event* ev = nullptr;
    EXPECT_EQ(ktzc_receive(h.c, kLineMs, &ev), KTZC_ERR_CONNECT);
    EXPECT_NE(std::string(ktzc_error_text(h.c)).find("after 3 reconnect attempts"), std::string::npos)
        << ktzc_error_text(h.c);
    EXPECT_EQ(ktzc_receive(h.c, 0, &ev), KTZC_ERR_NOT_CONNECTED);

    // A daemon that refuses the credentials ends the retries at once.
    ktzc_free(h.c);
    o.reconnect_max_attempts = 0;
    h.c = ktzc_new(&o);
    Child d;
    StartDaemon(&d, {"accept", "hello", "welcome 1", "close", "accept", "hello", "bye 6 uid 1234 not allowed",
                     "close"});
    ASSERT_EQ(ktzc_connect_unix(h.c, sock_.c_str()), KTZC_OK);
    ASSERT_EQ(ktzc_receive(h.c, kLineMs, &ev), KTZC_OK);
    EXPECT_EQ(ev->kind, KTZC_EVENT_DISCONNECTED);
    EXPECT_EQ(ktzc_receive(h.c, kLineMs, &ev), KTZC_ERR_GOODBYE);
    uint32_t reason = 0;
    EXPECT_EQ(ktzc_goodbye(h.c, &reason, nullptr), 1);
    EXPECT_EQ(reason, KTZC_BYE_NOT_PERMITTED);
    Finish(&d);
}

TEST(ClientApi, BadArgumentsAreRefused)
{
    EXPECT_EQ(ktzc_connect_unix(nullptr, "/x"), KTZC_ERR_INVALID_ARGUMENT);
    ktzc_options o;
    ktzc_options_init(&o, sizeof o);
    EXPECT_EQ(o.caps, 1u);
    o.reconnect_max_delay_ms = 10; // below the first delay
    EXPECT_EQ(ktzc_new(&o), nullptr);
    ktzc_client* c = ktzc_new(nullptr);
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(ktzc_connect_unix(c, std::string(200, 'a').c_str()), KTZC_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(ktzc_receive(c, 0, nullptr), KTZC_ERR_INVALID_ARGUMENT);
    uint8_t reply[16];
    size_t len = 0;
    EXPECT_EQ(ktzc_request(c, 3, 0x200, nullptr, 0, 5000, 100, nullptr, reply, &len),
              KTZC_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(ktzc_ping(c, 100, nullptr), KTZC_ERR_NOT_CONNECTED);
    EXPECT_STREQ(ktzc_goodbye_reason_name(KTZC_BYE_TOO_SLOW), "client too slow (queue bound exceeded)");
    ktzc_free(c);
}
