// Reading scenarios: the built-in demonstration equals the shipped file and
// reads cleanly; every kind of bad input is reported with the line it stands
// on and yields no scenario.
#include "scenario.h"

#include <gtest/gtest.h>
#include <ktzmon/protocol.h>

#include <fstream>
#include <sstream>

namespace
{

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

TEST(HostScenario, BuiltInDemoEqualsTheShippedFileAndReadsCleanly)
{
    const std::string shipped = ReadFile(KTZHOST_DEMO_TOML);
    ASSERT_FALSE(shipped.empty());
    EXPECT_EQ(std::string(ktzhost::DemoScenarioText()), shipped)
        << "scenario/scenarios/demo.toml and the text in scenario/demo_scenario.cpp differ";

    const auto r = ktzhost::ParseScenario(ktzhost::DemoScenarioText(), "demo.toml");
    ASSERT_TRUE(r.ok) << r.error;
    const auto& s = r.scenario;
    EXPECT_EQ(s.platformId, 0x10u);
    EXPECT_EQ(s.capWordB, 0x5u);
    EXPECT_EQ(s.capWordA, 0x10u);
    EXPECT_EQ(s.stashWord, 1u);
    ASSERT_EQ(s.fans.size(), 3u);
    EXPECT_EQ(s.fans[2].number, 3u);
    EXPECT_EQ(s.fans[2].sensors, 2);
    EXPECT_EQ(s.fans[2].names[1], "Fan3B");
    ASSERT_EQ(s.psus.size(), 4u);
    EXPECT_EQ(s.psus[3].presence, 0u);
    EXPECT_EQ(s.psus[0].presence, 1u);
    EXPECT_EQ(s.psus[0].state, 1u);
    EXPECT_EQ(std::string(s.psus[0].fru.begin(), s.psus[0].fru.end()), "PWR-SUPPLY 2400W S/N 0001");
    ASSERT_EQ(s.stash.size(), 2u);
    EXPECT_EQ(s.ini.at("Log Monitor").at("logevtqsize.max"), "8");
    ASSERT_EQ(s.clients.size(), 2u);
    EXPECT_EQ(s.clients[1].caps, 3u);
    EXPECT_EQ(s.end, 250);
    EXPECT_GE(s.expectations.size(), 10u);
    for (size_t i = 1; i < s.steps.size(); ++i)
    {
        EXPECT_LE(s.steps[i - 1].at, s.steps[i].at);
    }
}

TEST(HostScenario, ClientBehavioursAndStepsAreRead)
{
    const char* text = R"(
[[client]]
id = 4
caps = 3
caps_response_length = 15
status_by_type = { "sensor-data" = 5 }
answer_data = { "ktz-setting" = 4 }
disconnect_on = "fru-by-number"

[[step]]
at = 1.5
action = "log-event"
id = "X1"
args = []

[[step]]
at = 2
action = "pull-psu"
bay = 3
state = 6

[[expect]]
client = 4
receives = "any"
where = { changed = true, name = "PS-1" }
min_count = 2
)";
    const auto r = ktzhost::ParseScenario(text, "t.toml");
    ASSERT_TRUE(r.ok) << r.error;
    const auto& c = r.scenario.clients.at(0);
    EXPECT_EQ(c.capsResponseLength, 15u);
    EXPECT_EQ(c.statusByType.at(KTZMON_REQ_SENSOR_DATA), 5u);
    EXPECT_EQ(c.answerData.at(KTZMON_REQ_KTZ_SETTING), 4u);
    EXPECT_EQ(c.disconnectOn, KTZMON_REQ_FRU_BY_NUM);
    const auto& ev = r.scenario.steps.at(0);
    EXPECT_EQ(ev.at, 1.5);
    EXPECT_TRUE(ev.hasArgs); // an empty list still sends an argument block
    EXPECT_TRUE(ev.args.empty());
    EXPECT_EQ(r.scenario.steps.at(1).state.value_or(0), 6u);
    const auto& e = r.scenario.expectations.at(0);
    EXPECT_EQ(e.type, 0u);
    EXPECT_EQ(e.where.at("changed"), "1");
    EXPECT_EQ(e.minCount.value_or(0), 2u);
    EXPECT_EQ(e.line, 22);         // the line of its [[expect]] header
    EXPECT_EQ(r.scenario.end, 12); // last step + 10 when no end is given
}

struct BadCase
{
    const char* what;
    const char* text;
    int line;
    const char* hint;
};

TEST(HostScenario, EveryKindOfErrorNamesItsLineAndYieldsNothing)
{
    const BadCase cases[] = {
        {"syntax", "title = \"x\"\n[platform\nid = 1\n", 2, "syntax error"},
        {"unterminated string", "title = \"x\n", 1, "syntax error"},
        {"unknown top-level key", "title = \"x\"\n\nfans = 3\n", 3, "unknown key 'fans'"},
        {"unknown key in a table", "[[fan]]\nnames = [\"A\"]\nspeed = 3\n", 3, "unknown key 'speed'"},
        {"wrong type", "[[fan]]\nnames = [\"A\"]\nreadings = \"fast\"\n", 3,
         "expected an array, found a string"},
        {"wrong element type", "[[fan]]\nnames = [\"A\", 2]\n", 2, "expected strings"},
        {"out of range", "[chassis_temp]\nname = \"C\"\nreading = 200\n", 3, "out of range -128..127"},
        {"single table where [[...]] belongs", "[fan]\nnames = [\"A\"]\n", 1, "expected [[fan]] tables"},
        {"unknown step action", "[[step]]\nat = 5\naction = \"explode\"\n", 3,
         "unknown step action 'explode'"},
        {"time going backwards",
         "[[client]]\nid = 1\n[[step]]\nat = 20\naction = \"connect\"\nclient = 1\n"
         "[[step]]\nat = 10\naction = \"disconnect\"\nclient = 1\n",
         7, "time goes backwards"},
        {"step without a time", "[[step]]\naction = \"stop\"\n", 1, "needs 'at'"},
        {"negative time", "[[step]]\nat = -1\naction = \"stop\"\n", 2, "seconds must lie"},
        {"undefined client", "[[step]]\nat = 1\naction = \"connect\"\nclient = 5\n", 4, "not defined"},
        {"undefined fan", "[[step]]\nat = 1\naction = \"set-fan\"\nfan = 2\nreading = 1\n", 4, "not defined"},
        {"key of another action", "[[step]]\nat = 1\naction = \"set-temp\"\nbay = 2\n", 4,
         "unknown key 'bay'"},
        {"step after stop", "[[step]]\nat = 1\naction = \"stop\"\n[[step]]\nat = 2\naction = \"stop\"\n", 4,
         "after the 'stop' step"},
        {"unknown message type", "[[client]]\nid = 1\n[[expect]]\nclient = 1\nreceives = \"sensor\"\n", 5,
         "unknown message type 'sensor'"},
        {"expectation without client", "[[expect]]\nreceives = \"sensor-data\"\n", 1, "needs 'client'"},
        {"window the wrong way round", "[[expect]]\nclient = 1\nreceives = \"any\"\nafter = 5\nby = 4\n", 5,
         "ends before 'after'"},
        {"duplicate client", "[[client]]\nid = 1\n[[client]]\nid = 1\n", 3, "given twice"},
        {"end before last step", "end = 5\n[[step]]\nat = 9\naction = \"stop\"\n", 1, "before its last step"},
        {"ini value of a wrong type", "[ini.\"Sensor Monitor\"]\n\"x\" = [1]\n", 2, "expected an integer"},
    };
    for (const auto& c : cases)
    {
        const auto r = ktzhost::ParseScenario(c.text, "bad.toml");
        EXPECT_FALSE(r.ok) << c.what;
        const std::string prefix = "bad.toml:" + std::to_string(c.line) + ":";
        EXPECT_EQ(r.error.rfind(prefix, 0), 0u)
            << c.what << ": '" << r.error << "' does not start with " << prefix;
        EXPECT_NE(r.error.find(c.hint), std::string::npos) << c.what << ": '" << r.error << "'";
        EXPECT_TRUE(r.scenario.steps.empty() && r.scenario.clients.empty() && r.scenario.fans.empty())
            << c.what;
    }
}

} // namespace
