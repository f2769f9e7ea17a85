// ktzmon-host run as a process, the way a newcomer runs it: the demonstration
// chassis end to end (transcript, JSON, hex), the examples in
// docs/protocol.md, a bad scenario that must run nothing, and clients that
// misbehave during their connect.
#include "support/files.h"

#include "host_process.h"
#include "ktzclient_decode.h"

#include <gtest/gtest.h>
#include <ktzmon/protocol.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <stdexcept>
#include <string>
#include <sys/wait.h>
#include <toml++/toml.h>
#include <unistd.h>
#include <vector>

namespace
{

using ktzhosttest::RunHost;
using ktzhosttest::TempPath;
using ktztest::JsonLines;
using ktztest::Lines;
using ktztest::ReadFile;
using nlohmann::json;
using Proc = ktztest::RunResult;

std::string Trim(const std::string& s)
{
    const auto b = s.find_first_not_of(' ');
    const auto e = s.find_last_not_of(' ');
    return b == std::string::npos ? "" : s.substr(b, e - b + 1);
}

TEST(HostRun, DemoTranscriptShowsTheRunAndMeetsItsExpectations)
{
    const Proc p = RunHost({});
    ASSERT_EQ(p.status, 0) << p.err << p.out;
    const auto lines = Lines(p.out);
    auto has = [&](const std::string& want) {
        return std::any_of(lines.begin(), lines.end(), [&](const std::string& l) { return Trim(l) == want; });
    };
    EXPECT_TRUE(has("0.0  host          Load -> status 0"));
    EXPECT_TRUE(has("0.0  module log    KTZ Monitor started"));
    EXPECT_TRUE(has("30.0  client 7      data-sync-complete"));
    EXPECT_TRUE(has("65.0  module log    Fan sensor starting delay mode: name: 'Fan2A'"));
    EXPECT_TRUE(has("120.0  client 9      sensor-data fan #6 'Fan3B' presence=1 status=critical reading=800 "
                    "lnc=2000 lc=1000"));
    EXPECT_TRUE(has("250.0  host          Unload -> status 0"));
    EXPECT_TRUE(has("Result: ok, the run went as the scenario expects"));
    EXPECT_EQ(p.out.find("FAILED"), std::string::npos);
}

// ---- the demonstration checked against its own scenario ----------------------------
//
// Everything expected below is read from scenario/scenarios/demo.toml with toml++
// (not through ktzmon-host's scenario reader) and checked against the wire
// bytes of the JSON records (not through the decoder that made their fields).

// A message as it was on the wire.
struct Wire
{
    double t = 0;
    uint32_t type = 0;
    std::vector<uint8_t> b;

    uint32_t U32(size_t off) const
    {
        return off + 4 <= b.size() ? static_cast<uint32_t>(b[off] | b[off + 1] << 8 | b[off + 2] << 16 |
                                                           static_cast<uint32_t>(b[off + 3]) << 24)
                                   : 0xFFFFFFFFu;
    }
    std::string Text(size_t off) const
    {
        std::string s;
        for (size_t i = off; i < b.size() && b[i] != 0; ++i)
        {
            s += static_cast<char>(b[i]);
        }
        return s;
    }
    bool IsSensor() const { return type == KTZMON_REQ_SENSOR_DATA; }
    std::string SensorName() const { return Text(KTZMON_SENSOR_OFF_NAME); }
};

std::vector<uint8_t> FromHex(const std::string& hex)
{
    std::vector<uint8_t> bytes;
    std::stringstream hs(hex);
    unsigned v;
    while (hs >> std::hex >> v)
    {
        bytes.push_back(static_cast<uint8_t>(v));
    }
    return bytes;
}

std::vector<Wire> WireMessages(const std::vector<json>& all, uint32_t client)
{
    std::vector<Wire> out;
    for (const auto& j : all)
    {
        if (j["kind"] == "message" && j["client"] == client)
        {
            out.push_back({j["t"].get<double>(), j["type_code"].get<uint32_t>(), FromHex(j["hex"])});
        }
    }
    return out;
}

// The module's sensor pass runs every 5 chassis seconds (sensorsCheck), the
// sensor types attach at the first pass 30 s after Start-monitor, and a fan
// reading that changes is held for 24 s (delay mode) before it is sent.
constexpr double kPass = 5;
constexpr double kAttach = 30;
constexpr double kFanDelay = 24;

// The first pass after a step at `t`: a step on a pass boundary is applied
// after that pass ran.
double NextPass(double t)
{
    return std::floor(t / kPass) * kPass + kPass;
}

// The first pass at or after `t`.
double PassFrom(double t)
{
    return std::ceil(t / kPass) * kPass;
}

struct DemoFacts
{
    std::vector<std::string> sensors;                            // in the order a snapshot sends them
    std::vector<std::pair<uint32_t, std::string>> fru;           // present bays and their FRU text
    std::vector<std::pair<double, std::string>> logEvents;       // step time, message ID
    std::map<std::string, std::pair<double, std::string>> steps; // "action@t" -> step table
    toml::table doc;
};

DemoFacts ReadDemo()
{
    DemoFacts f;
    f.doc = toml::parse_file(std::string(KTZHOST_SOURCE_DIR) + "/scenario/scenarios/demo.toml");
    for (const auto& fan : *f.doc["fan"].as_array())
    {
        for (const auto& n : *fan.as_table()->get("names")->as_array())
        {
            f.sensors.push_back(n.value<std::string>().value());
        }
    }
    f.sensors.push_back(f.doc["chassis_temp"]["name"].value<std::string>().value());
    for (const auto& st : *f.doc["stash_temp"].as_array())
    {
        f.sensors.push_back(st.as_table()->get("name")->value<std::string>().value());
    }
    for (const auto& p : *f.doc["psu"].as_array())
    {
        const auto& t = *p.as_table();
        const auto bay = t["bay"].value<uint32_t>().value();
        f.sensors.push_back("PS-" + std::to_string(bay));
        if (t["present"].value_or(true))
        {
            f.fru.emplace_back(bay, t["fru_text"].value<std::string>().value());
        }
    }
    f.sensors.push_back("Power Redundancy");
    for (const auto& s : *f.doc["step"].as_array())
    {
        const auto& t = *s.as_table();
        if (t["action"] == "log-event")
        {
            f.logEvents.emplace_back(t["at"].value<double>().value(), t["id"].value<std::string>().value());
        }
    }
    return f;
}

// The first step with this action at or after `from` chassis seconds.
const toml::table& StepAt(const DemoFacts& f, const std::string& action, double from = 0)
{
    for (const auto& s : *f.doc["step"].as_array())
    {
        const auto& t = *s.as_table();
        if (t["action"] == action && t["at"].value<double>().value() >= from)
        {
            return t;
        }
    }
    throw std::runtime_error("demo.toml has no " + action + " step after t=" + std::to_string(from));
}

double At(const toml::table& step)
{
    return step["at"].value<double>().value();
}

// The sensor-data messages a client gets at `t`, by name.
std::vector<std::string> SensorsAt(const std::vector<Wire>& msgs, double t)
{
    std::vector<std::string> out;
    for (const auto& m : msgs)
    {
        if (m.t == t && m.IsSensor())
        {
            out.push_back(m.SensorName());
        }
    }
    return out;
}

TEST(HostRun, DemoJsonGivesEachClientItsMessagesInOrder)
{
    const Proc run = RunHost({"--json", "--hex"});
    ASSERT_EQ(run.status, 0) << run.err;
    const auto all = JsonLines(run.out);
    ASSERT_FALSE(all.empty());
    EXPECT_EQ(all.back()["kind"], "result");
    EXPECT_EQ(all.back()["ok"], true);
    const DemoFacts demo = ReadDemo();
    const auto c7 = WireMessages(all, 7);
    const auto c9 = WireMessages(all, 9);
    const double connect9 = At(StepAt(demo, "connect", kAttach));
    ASSERT_EQ(StepAt(demo, "connect")["client"].value<uint32_t>(), 7u);
    ASSERT_LT(At(StepAt(demo, "connect")), kAttach) << "client 7 is meant to connect before the types attach";

    // Client 7 connected early (the order of its message types and its
    // data-sync-complete at the attach are the scenario's own expectations):
    // the setting message says monitoring on, not a change; at the attach
    // every sensor once in snapshot order, the FRU records of the present
    // bays with the scenario's text.
    ASSERT_FALSE(c7.empty());
    EXPECT_EQ(c7[0].b, (std::vector<uint8_t>{1, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(SensorsAt(c7, kAttach), demo.sensors);
    auto fruAt = [&](const std::vector<Wire>& msgs, double t)
    {
        std::vector<std::pair<uint32_t, std::string>> out;
        for (const auto& m : msgs)
        {
            if (m.t == t && m.type == KTZMON_REQ_FRU_BY_NUM)
            {
                EXPECT_EQ(m.b.size(), KTZMON_FRU_SIZE);
                out.emplace_back(m.b.at(KTZMON_FRU_OFF_NUM), m.Text(KTZMON_FRU_OFF_DATA));
            }
        }
        return out;
    };
    EXPECT_EQ(fruAt(c7, kAttach), demo.fru);

    // Client 9 connects to a chassis already known: the same snapshot and FRU
    // records at once, then data-sync-complete and the chassis log events
    // posted before it came, in posting order; the later one follows when posted.
    EXPECT_EQ(SensorsAt(c9, connect9), demo.sensors);
    EXPECT_EQ(fruAt(c9, connect9), demo.fru);
    std::vector<std::string> ids, wantIds;
    std::vector<double> idTimes, wantTimes;
    for (const auto& [t, id] : demo.logEvents)
    {
        if (t < At(StepAt(demo, "set-ktz")))
        {
            wantIds.push_back(id);
            wantTimes.push_back(std::max(t, connect9));
        }
    }
    bool syncSeen = false;
    for (const auto& m : c9)
    {
        syncSeen = syncSeen || (m.t == connect9 && m.type == KTZMON_REQ_DATA_SYNC_COMPLETE);
        if (m.type == KTZMON_REQ_VQ_LOG_EVT)
        {
            EXPECT_TRUE(syncSeen) << "a chassis log event before data-sync-complete";
            ids.push_back(m.Text(m.U32(KTZMON_LOG_EVT_OFF_MSGID_OFF)));
            idTimes.push_back(m.t);
        }
    }
    EXPECT_EQ(ids, wantIds);
    EXPECT_EQ(idTimes, wantTimes);

    // Between the two snapshots client 7 hears of exactly these changes.
    std::vector<std::pair<double, std::string>> want;
    const auto& fans = *demo.doc["fan"].as_array();
    auto fanName = [&](const toml::table& step, size_t sensor)
    {
        const auto& f = *fans.at(step["fan"].value<size_t>().value() - 1).as_table();
        return f["names"][sensor].value<std::string>().value();
    };
    // A dip below the lower non-critical threshold that recovers within the
    // fan delay: the reading is never sent; the fan's one health word turns
    // non-critical and back, which its other sensor reports at the next passes.
    const auto& dip = StepAt(demo, "set-fan");
    const auto& recover = StepAt(demo, "set-fan", At(dip) + 1);
    ASSERT_LT(At(recover) - At(dip), kFanDelay);
    ASSERT_LT(dip["reading"].value<int64_t>().value(),
              fans[1].as_table()->at("lnc").value<int64_t>().value());
    want.emplace_back(NextPass(At(dip)), fanName(dip, 1));
    want.emplace_back(NextPass(At(recover)), fanName(recover, 1));
    // A real failure of the second sensor, with critical health: the first
    // sensor reports the health at once, the second its reading when its
    // delay expires.
    const auto& failure = StepAt(demo, "set-fan", At(recover) + 1);
    want.emplace_back(NextPass(At(failure)), fanName(failure, 0));
    const double expiry = PassFrom(NextPass(At(failure)) + kFanDelay);
    want.emplace_back(expiry, fanName(failure, 1));
    // Temperatures, the stash sensor, the pulled and re-inserted supply and
    // redundancy: each reported at the next pass.
    for (const char* action : {"set-temp", "set-stash-temp", "pull-psu", "set-redundancy", "insert-psu"})
    {
        for (const auto& s : *demo.doc["step"].as_array())
        {
            const auto& t = *s.as_table();
            if (t["action"] != action)
            {
                continue;
            }
            std::string name = demo.sensors[6]; // the chassis temperature
            if (std::string(action) == "set-stash-temp")
            {
                name = demo.sensors[6 + t["index"].value<size_t>().value()];
            }
            else if (std::string(action) != "set-temp")
            {
                name = t.contains("bay") ? "PS-" + std::to_string(t["bay"].value<int>().value())
                                         : "Power Redundancy";
            }
            want.emplace_back(NextPass(At(t)), name);
        }
    }
    std::sort(want.begin(), want.end());
    const double ktzOn = At(StepAt(demo, "set-ktz", At(StepAt(demo, "set-ktz")) + 1));
    std::vector<std::pair<double, std::string>> got;
    for (const auto& m : c7)
    {
        if (m.IsSensor() && m.t > kAttach && m.t < NextPass(ktzOn))
        {
            got.emplace_back(m.t, m.SensorName());
        }
    }
    std::sort(got.begin(), got.end());
    EXPECT_EQ(got, want);
    // When the setting comes back on, the types attach again at the next pass.
    EXPECT_EQ(SensorsAt(c7, NextPass(ktzOn)), demo.sensors);

    // Switching the setting off and on: both clients hear each change once.
    for (const auto* c : {&c7, &c9})
    {
        std::vector<std::vector<uint8_t>> changes;
        for (const auto& m : *c)
        {
            if (m.type == KTZMON_REQ_KTZ_SETTING && m.b.at(KTZMON_KTZ_SETTING_OFF_CHANGED) == 1)
            {
                changes.push_back(m.b);
            }
        }
        EXPECT_EQ(changes,
                  (std::vector<std::vector<uint8_t>>{{0, 0, 0, 0, 1, 0, 0, 0}, {1, 0, 0, 0, 1, 0, 0, 0}}));
    }

    // The message counts the result record gives agree with the records.
    std::map<std::string, unsigned> counted;
    for (const auto& j : all)
    {
        if (j["kind"] == "message" && j["client"] == 7)
        {
            counted[j["type"]] += 1;
        }
    }
    const auto reported = all.back()["messages"]["7"].get<std::map<std::string, unsigned>>();
    EXPECT_EQ(reported, counted);

    // Module log lines are interleaved with the messages, in order: the
    // delay-expired line comes before the message it explains.
    bool sawDelayLine = false;
    bool sawMessage = false;
    const std::string delayLine = "Fan sensor delay mode expired: name: '" + fanName(failure, 1) + "'";
    for (const auto& j : all)
    {
        if (j["kind"] == "log" && j["text"] == delayLine)
        {
            sawDelayLine = true;
            EXPECT_EQ(j["t"], expiry);
        }
        if (j["kind"] == "message" && j["client"] == 7 && j["t"] == expiry)
        {
            sawMessage = true;
            EXPECT_TRUE(sawDelayLine) << "the message came before the log line that explains it";
        }
    }
    EXPECT_TRUE(sawDelayLine && sawMessage);
}

TEST(HostRun, ProtocolDocExamplesAppearInTheDemoOutput)
{
    const Proc run = RunHost({"--hex", "--no-log"});
    ASSERT_EQ(run.status, 0) << run.err;
    const auto out = Lines(run.out);
    const auto doc = Lines(ReadFile(std::string(KTZHOST_SOURCE_DIR) + "/docs/protocol.md"));
    std::vector<std::vector<std::string>> blocks;
    bool in = false;
    for (const auto& l : doc)
    {
        if (l == "```ktzmon-host")
        {
            in = true;
            blocks.emplace_back();
        }
        else if (in && l == "```")
        {
            in = false;
        }
        else if (in)
        {
            blocks.back().push_back(Trim(l));
        }
    }
    ASSERT_GE(blocks.size(), 8u);
    std::map<std::string, bool> typesShown;
    for (const auto& b : blocks)
    {
        ASSERT_FALSE(b.empty());
        bool found = false;
        for (size_t i = 0; i + b.size() <= out.size() && !found; ++i)
        {
            found = true;
            for (size_t k = 0; k < b.size() && found; ++k)
            {
                found = Trim(out[i + k]) == b[k];
            }
        }
        EXPECT_TRUE(found) << "docs/protocol.md example not in the demo output:\n" << b[0];
        for (const char* t : {"ktz-setting", "sensor-data", "fru-by-number", "data-sync-complete",
                              "log-event", "caps-query", "capabilities"})
        {
            if (b[0].find(t) != std::string::npos)
            {
                typesShown[t] = true;
            }
        }
    }
    EXPECT_EQ(typesShown.size(), 7u) << "an example of every message and of the module's capability answer";
}

// A ktzmonst32.ini in the platform's INI directory is left out unless asked
// for, and named either way. Merged, it switches the diagnostic log off: the
// module writes no line at all, while the clients still get their messages.
TEST(HostRun, PlatformIniFileIsNamedAndMergedOnlyWhenAskedFor)
{
    const std::string dir = TempPath("inidir");
    std::filesystem::create_directories(dir);
    const std::string file = dir + "/ktzmonst32.ini";
    std::ofstream(file) << "[KTZ Monitor]\nlog.msgtofile = false\n";
    const Proc merged = RunHost({"--merge-platform-ini"}, {.env = {"KTZPLAT_INI_DIR=" + dir}});
    const Proc plain = RunHost({"--json"}, {.env = {"KTZPLAT_INI_DIR=" + dir}});
    std::filesystem::remove_all(dir);

    EXPECT_EQ(merged.status, 1) << "the demonstration expects log lines";
    EXPECT_EQ(merged.out.find("module log"), std::string::npos);
    EXPECT_NE(merged.out.find("data-sync-complete"), std::string::npos);
    EXPECT_NE(merged.out.find("Unload -> status 0"), std::string::npos);
    EXPECT_NE(merged.out.find("merged " + file), std::string::npos) << merged.out;

    EXPECT_EQ(plain.status, 0) << plain.err;
    const auto all = JsonLines(plain.out);
    ASSERT_GE(all.size(), 2u);
    EXPECT_EQ(all[1]["kind"], "note"); // right after the scenario record, before Load
    EXPECT_EQ(all[1]["ini"], "ignored");
    EXPECT_EQ(all[1]["file"], file);
}

TEST(HostRun, MisbehavingClientsDuringTheirConnect)
{
    const std::string path = TempPath("clients.toml");
    std::ofstream(path) << R"(
title = "clients"
end = 60
[platform]
id = 0x10
chassis_log_proxy = true
[[fan]]
names = ["F1"]
readings = [4000]
lnc = 1000
[chassis_temp]
name = "T"
[[psu]]
fru_text = "P"
[redundancy]
config = 1
state = 1
[[client]]
id = 21
answer_data = { "ktz-setting" = 4 }   # wrongly answers with data: dropped at once
[[client]]
id = 22
caps = 3
caps_response_length = 15             # too short: stays a base client
[[client]]
id = 23
caps = 3
disconnect_on = "sensor-data"          # goes away during its own snapshot
[[client]]
id = 24
status_by_type = { "sensor-data" = 5 } # fails every sensor message, stays connected
[[step]]
at = 31
action = "connect"
client = 21
[[step]]
at = 32
action = "connect"
client = 22
[[step]]
at = 33
action = "connect"
client = 23
[[step]]
at = 34
action = "connect"
client = 24
[[step]]
at = 35
action = "log-event"
id = "E1"
[[step]]
at = 40
action = "set-fan"
fan = 1
reading = 4500
[[expect]]
client = 22
receives = "log-event"
count = 0
)";
    const Proc p = RunHost({"--json", path});
    ASSERT_EQ(p.status, 0) << p.err << p.out;
    const auto all = JsonLines(p.out);
    auto types = [&](uint32_t c)
    {
        std::vector<std::string> t;
        for (const auto& j : all)
        {
            if (j["kind"] == "message" && j["client"] == c)
            {
                t.push_back(j["type"]);
            }
        }
        return t;
    };
    auto logged = [&](const std::string& line)
    {
        return std::any_of(all.begin(), all.end(),
                           [&](const json& j) { return j["kind"] == "log" && j["text"] == line; });
    };
    // 21: the setting message failed, so the module forgot it: nothing more, not even later changes.
    EXPECT_EQ(types(21), (std::vector<std::string>{"ktz-setting"}));
    EXPECT_FALSE(logged("KTZ client connected: clientID: 21 ktzCaps: 0x1"));
    // 22: answered 15 bytes, so it is a base client: no chassis log event.
    EXPECT_TRUE(logged("KTZ client connected: clientID: 22 ktzCaps: 0x1"));
    // 23: left after its first sensor message; the rest of its snapshot was not sent.
    EXPECT_EQ(types(23), (std::vector<std::string>{"ktz-setting", "caps-query", "sensor-data"}));
    EXPECT_TRUE(logged("KTZ client disconnected: clientID: 23"));
    // 24: its failures change nothing: it gets the snapshot and the later fan change.
    const auto t24 = types(24);
    EXPECT_EQ(std::count(t24.begin(), t24.end(), "sensor-data"), 5); // fan, temp, psu, redundancy, fan change
    EXPECT_EQ(t24.back(), "sensor-data");
    std::remove(path.c_str());
}

} // namespace
