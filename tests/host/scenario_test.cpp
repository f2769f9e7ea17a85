// Reading scenarios: the built-in demonstration equals the shipped file and
// reads cleanly; every kind of bad input is reported with the line it stands
// on and yields no scenario.
#include "support/files.h"

#include "ktzclient_fields.h"
#include "scenario.h"

#include <gtest/gtest.h>
#include <ktzmon/protocol.h>

#include <fstream>
#include <set>
#include <sstream>

namespace
{

using ktztest::ReadFile;

TEST(HostScenario, BuiltInDemoEqualsTheShippedFileAndReadsWithoutAWarning)
{
    const std::string shipped = ReadFile(KTZHOST_DEMO_TOML);
    ASSERT_FALSE(shipped.empty());
    EXPECT_EQ(std::string(ktzhost::DemoScenarioText()), shipped)
        << "scenario/scenarios/demo.toml and the text in scenario/demo_scenario.cpp differ";

    const auto r = ktzhost::ParseScenario(ktzhost::DemoScenarioText(), "demo.toml");
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_TRUE(r.warnings.empty()) << r.warnings.front();
    // What it holds is checked against the file by the demonstration run
    // (tests/host/run_test.cpp); here only that its steps come in time order.
    const auto& s = r.scenario;
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

[platform]
psu_bays = 3
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

// A small valid chassis: a two-sensor fan, a chassis temperature, one
// power supply and client 1. Cases below append to it; their line numbers
// count from the snippet's first line.
const char* const kBase = "end = 90\n"
                          "[[fan]]\n"
                          "names = [\"Front\", \"Rear\"]\n"
                          "[chassis_temp]\n"
                          "name = \"Inlet\"\n"
                          "[[psu]]\n"
                          "fru_text = \"PSU-A\"\n"
                          "[[client]]\n"
                          "id = 1\n";
constexpr int kBaseLines = 9;

struct RefusedCase
{
    const char* what;
    std::string text; // appended to kBase unless `alone`
    int line;         // within `text`
    const char* hint;
    bool alone = false;
};

void ExpectRefused(const std::vector<RefusedCase>& cases)
{
    for (const auto& c : cases)
    {
        const std::string text = c.alone ? c.text : std::string(kBase) + c.text;
        const auto r = ktzhost::ParseScenario(text, "s.toml");
        EXPECT_FALSE(r.ok) << c.what;
        const std::string prefix = "s.toml:" + std::to_string(c.line + (c.alone ? 0 : kBaseLines)) + ": ";
        EXPECT_EQ(r.error.rfind(prefix, 0), 0u)
            << c.what << ": '" << r.error << "' does not start with " << prefix;
        EXPECT_NE(r.error.find(c.hint), std::string::npos) << c.what << ": '" << r.error << "'";
        EXPECT_TRUE(r.scenario.fans.empty() && r.scenario.expectations.empty() && r.scenario.steps.empty() &&
                    r.scenario.clients.empty())
            << c.what;
    }
}

TEST(HostScenario, EveryKindOfErrorNamesItsLineAndYieldsNothing)
{
    ExpectRefused({
        {"syntax", "title = \"x\"\n[platform\nid = 1\n", 2, "syntax error", true},
        {"unterminated string", "title = \"x\n", 1, "syntax error", true},
        {"unknown top-level key", "title = \"x\"\n\nfans = 3\n", 3, "unknown key 'fans'", true},
        {"unknown key in a table", "[[fan]]\nnames = [\"A\"]\nspeed = 3\n", 3, "unknown key 'speed'", true},
        {"wrong type", "[[fan]]\nnames = [\"A\"]\nreadings = \"fast\"\n", 3,
         "expected an array, found a string", true},
        {"wrong element type", "[[fan]]\nnames = [\"A\", 2]\n", 2, "expected strings", true},
        {"out of range", "[chassis_temp]\nname = \"C\"\nreading = 200\n", 3, "out of range -128..127", true},
        {"single table where [[...]] belongs", "[fan]\nnames = [\"A\"]\n", 1, "expected [[fan]] tables",
         true},
        {"unknown step action", "[[step]]\nat = 5\naction = \"explode\"\n", 3,
         "unknown step action 'explode'", true},
        {"time going backwards",
         "[[client]]\nid = 1\n[[step]]\nat = 20\naction = \"connect\"\nclient = 1\n"
         "[[step]]\nat = 10\naction = \"disconnect\"\nclient = 1\n",
         7, "time goes backwards", true},
        {"step without a time", "[[step]]\naction = \"stop\"\n", 1, "needs 'at'", true},
        {"negative time", "[[step]]\nat = -1\naction = \"stop\"\n", 2, "seconds must lie", true},
        {"undefined client", "[[step]]\nat = 1\naction = \"connect\"\nclient = 5\n", 4, "not defined", true},
        {"undefined fan", "[[step]]\nat = 1\naction = \"set-fan\"\nfan = 2\nreading = 1\n", 4, "not defined",
         true},
        {"key of another action", "[[step]]\nat = 1\naction = \"set-temp\"\nbay = 2\n", 4,
         "unknown key 'bay'", true},
        {"step after stop", "[[step]]\nat = 1\naction = \"stop\"\n[[step]]\nat = 2\naction = \"stop\"\n", 4,
         "after the 'stop' step", true},
        {"unknown message type", "[[client]]\nid = 1\n[[expect]]\nclient = 1\nreceives = \"sensor\"\n", 5,
         "unknown message type 'sensor'", true},
        {"expectation without client", "[[expect]]\nreceives = \"sensor-data\"\n", 1, "needs 'client'", true},
        {"window the wrong way round",
         "[[client]]\nid = 1\n[[expect]]\nclient = 1\nreceives = \"any\"\nafter = 5\nby = 4\n", 7,
         "ends before 'after'", true},
        {"duplicate client", "[[client]]\nid = 1\n[[client]]\nid = 1\n", 3, "given twice", true},
        {"end before last step", "end = 5\n[[step]]\nat = 9\naction = \"stop\"\n", 1, "before its last step",
         true},
        {"ini value of a wrong type", "[ini.\"Sensor Monitor\"]\n\"x\" = [1]\n", 2, "expected an integer",
         true},
    });
}

std::string Expect(const std::string& body)
{
    return "[[expect]]\nclient = 1\n" + body;
}

TEST(HostScenario, BaseChassisReadsCleanly)
{
    const auto r =
        ktzhost::ParseScenario(std::string(kBase) + Expect("receives = \"sensor-data\"\n"
                                                           "where = { name = \"Rear\", status = 3 }\n"),
                               "s.toml");
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_TRUE(r.warnings.empty()) << r.warnings.front();
    EXPECT_EQ(r.scenario.expectations.at(0).where.at("status"), "3");
}

// Expectations that could only ever pass (or never), because they name what
// no message carries, are refused before anything runs.
TEST(HostScenario, ExpectationsThatCannotFailAreRefused)
{
    ExpectRefused({
        {"misspelled field", Expect("receives = \"sensor-data\"\nwhere = { nmae = \"Rear\" }\n"), 4,
         "expect[1].where: no field 'nmae' in sensor-data messages (fields: sensor_type, number, name,"},
        {"misspelled status", Expect("receives = \"sensor-data\"\nwhere = { status = \"critcal\" }\n"), 4,
         "where.status: unknown value 'critcal' (valid: 'unknown', 'normal', 'non-critical', 'critical')"},
        {"status number no sensor has", Expect("receives = \"sensor-data\"\nwhere = { status = 4 }\n"), 4,
         "out of range 0..3"},
        {"no such sensor", Expect("receives = \"sensor-data\"\nwhere = { name = \"Raer\" }\n"), 4,
         "where.name: no sensor 'Raer' in this scenario (sensors clients see: 'Front', 'Rear', 'Inlet', "
         "'PS-1', "
         "'Power Redundancy')"},
        {"sensor of another type",
         Expect("receives = \"any\"\nwhere = { sensor_type = \"temperature\", name = \"Front\" }\n"), 4,
         "no temperature sensor 'Front' in this scenario (temperature sensors clients see: 'Inlet')"},
        {"unknown sensor type", Expect("receives = \"sensor-data\"\nwhere = { sensor_type = \"fans\" }\n"), 4,
         "unknown value 'fans'"},
        {"no such client", "[[expect]]\nclient = 99\nreceives = \"any\"\n", 2,
         "expect[1].client: client 99 is not defined by a [[client]] table (defined clients: 1)"},
        {"field of another message type", Expect("receives = \"ktz-setting\"\nwhere = { reading = 5 }\n"), 4,
         "no field 'reading' in ktz-setting messages (fields: value, changed)"},
        {"field no message has", Expect("receives = \"any\"\nwhere = { speed = 5 }\n"), 4,
         "no field 'speed' in any message"},
        {"message type without fields", Expect("receives = \"data-sync-complete\"\nwhere = { value = 1 }\n"),
         4, "data-sync-complete messages have no fields"},
        {"text for a number", Expect("receives = \"ktz-setting\"\nwhere = { value = \"one\" }\n"), 4,
         "where.value: expected an integer, found a string"},
        {"quoted reading", Expect("receives = \"sensor-data\"\nwhere = { reading = \"900\" }\n"), 4,
         "where.reading: expected an integer, found a string"},
        {"number for a flag", Expect("receives = \"ktz-setting\"\nwhere = { changed = 1 }\n"), 4,
         "where.changed: expected true or false, found an integer"},
        {"number no field can hold", Expect("receives = \"sensor-data\"\nwhere = { number = 300 }\n"), 4,
         "value 300 out of range 0..255"},
        {"window after the end", Expect("receives = \"any\"\nafter = 500\n"), 4,
         "expect[1].after: the window starts at 500, after the run ends at 90"},
        {"window ending after the end", Expect("receives = \"any\"\nby = 91\n"), 4,
         "expect[1].by: the window ends at 91, after the run ends at 90"},
        {"min above max", Expect("receives = \"any\"\nmin_count = 5\nmax_count = 2\n"), 5,
         "max_count: 2 is below min_count 5"},
        {"count with min_count", Expect("receives = \"any\"\ncount = 1\nmin_count = 1\n"), 5,
         "give either 'count' or 'min_count'/'max_count', not both"},
        {"receives with sequence", Expect("receives = \"any\"\nsequence = [\"ktz-setting\"]\n"), 4,
         "give either 'receives' or 'sequence', not both"},
        {"empty sequence", Expect("sequence = []\n"), 3, "an empty sequence checks nothing"},
        {"sequence with a where", Expect("sequence = [\"ktz-setting\"]\nwhere = { value = 1 }\n"), 4,
         "a 'sequence' expectation checks only the order"},
        {"sequence with a count", Expect("sequence = [\"ktz-setting\"]\ncount = 2\n"), 4,
         "takes no where or counts"},
        {"log line with a client", "[[expect]]\nlog = \"Fan sensor\"\nclient = 1\n", 3,
         "a 'log' expectation counts module log lines"},
        {"empty text", "", 1, "nothing to run", true},
        {"comments only", "# nothing here\n\n", 1, "nothing to run", true},
        {"unknown key lists the valid ones", Expect("receives = \"any\"\nwihin = 5\n"), 4,
         "unknown key 'wihin' (valid keys: log, client, receives, sequence, where, after, by, count, "
         "min_count, "
         "max_count)"},
        {"unknown fan key lists the valid ones", "[[fan]]\nnumber = 2\nspeed = 3\n", 3,
         "unknown key 'speed' (valid keys: health, number, names, readings, sensors, lnc, lc, presence, "
         "pwm)"},
    });
}

std::string Fans(int n)
{
    std::string text;
    for (int i = 0; i < n; ++i)
    {
        text += "[[fan]]\n";
    }
    return text;
}

std::string Stash(const std::vector<std::pair<int, int>>& ab)
{
    std::string text = "[platform]\nstash = true\n";
    for (const auto& [a, b] : ab)
    {
        text += "[[stash_temp]]\na = " + std::to_string(a) + "\nb = " + std::to_string(b) + "\n";
    }
    return text;
}

// Input the run would drop, cut or report differently from what it says is
// refused too, and says what would have happened.
TEST(HostScenario, InputTheRunWouldChangeIsRefused)
{
    ExpectRefused({
        {"256th fan", Fans(256), 256, "fan[256]: fan number 256: the module's fan numbers are 8-bit", true},
        {"fan counts above 255", "[platform]\nfan_count_a = 200\nfan_count_b = 56\n", 3,
         "fan_count_a + fan_count_b is 256", true},
        {"eighth stash temperature", Stash({{2, 2}, {2, 3}, {2, 4}, {2, 5}, {2, 6}, {2, 7}, {2, 8}, {2, 9}}),
         24, "stash_temp[8]: the platform reports at most 7 stash temperatures", true},
        {"stash temperature without the stash", "[[stash_temp]]\nname = \"B\"\n", 1,
         "set stash = true in [platform]", true},
        {"stash read only when all three words say so",
         "[platform]\nstash = true\nstash_word = 0\n[[stash_temp]]\nname = \"B\"\n", 4,
         "reads stash temperatures only on a platform with the stash", true},
        {"stash step without a stash table", "[[step]]\nat = 1\naction = \"set-stash-temp\"\nindex = 1\n", 4,
         "no stash_temp number 1 (the scenario has 0)"},
        {"stash number of the chassis temperature", Stash({{2, 1}}), 3,
         "sensor number (a - 2) x 2 + b = 1 is already the chassis temperature's", true},
        {"two stash sensors on one number", Stash({{2, 3}, {3, 1}}), 6,
         "stash_temp[2]: sensor number (a - 2) x 2 + b = 3 is already stash_temp[1]'s", true},
        {"stash number wrapping in 8 bits", Stash({{2, 2}, {130, 2}}), 6, "= 2 is already stash_temp[1]'s",
         true},
        {"nine sensors on a fan", "[[fan]]\nnames = [\"A\"]\nsensors = 9\n", 3,
         "fan[1].sensors: 9 sensors: the platform's fan record holds 1 or 2", true},
        {"no sensor on a fan", "[[fan]]\nsensors = 0\n", 2, "0 sensors", true},
        {"fan health outside the mapped codes", "[[fan]]\nhealth = 99\n", 2,
         "fan[1].health: 99 is not a health code the module maps (1 normal, 2 critical, 3 non-critical)",
         true},
        {"fan health 0", "[[fan]]\nhealth = 0\n", 2, "clients would see status unknown", true},
        {"set-fan health", "[[step]]\nat = 1\naction = \"set-fan\"\nfan = 1\nhealth = 4\n", 5,
         "step[1].health: 4 is not a health code"},
        {"chassis temperature health", "[chassis_temp]\nhealth = 5\n", 2,
         "(0 normal, 1 and 3 non-critical, 2 and 4 critical)", true},
        {"set-temp health", "[[step]]\nat = 1\naction = \"set-temp\"\nhealth = 9\n", 4,
         "step[1].health: 9 is not a health code"},
        {"fan name the platform cuts", "[[fan]]\nnames = [\"A\", \"Rear exhaust fan 2\"]\n", 2,
         "'Rear exhaust fan 2' is longer than the platform keeps for a fan sensor name (15 characters): it "
         "would "
         "be cut to 'Rear exhaust fa'",
         true},
        {"temperature name the platform cuts", "[chassis_temp]\nname = \"Chassis inlet, front left\"\n", 2,
         "it would be cut to 'Chassis inlet, front'", true},
        {"stash name the module cuts",
         "[platform]\nstash = true\n[[stash_temp]]\nname = \"Blade 12 ambient sensor\"\n", 4,
         "cut to 'Blade 12 ambient sen'", true},
        {"name ending early at a NUL", "[[fan]]\nnames = [\"Fa\\u0000n\"]\n", 2, "cannot hold a NUL", true},
        {"bay 255", "[[psu]]\nbay = 255\n", 2, "out of range 1..254", true},
        {"step on a bay the chassis lacks", "[[step]]\nat = 1\naction = \"pull-psu\"\nbay = 5\n", 4,
         "step[1].bay: bay 5 is not a bay of this chassis (bays 1 to 1)"},
        {"step on an undeclared fan", "[[step]]\nat = 1\naction = \"set-fan\"\nfan = 2\n", 4,
         "fan 2 is not defined by a [[fan]] table (defined fans: 1)"},
        {"step on an undeclared client", "[[step]]\nat = 1\naction = \"connect\"\nclient = 2\n", 4,
         "(defined clients: 1)"},
        {"duplicate fan number", "[[fan]]\nnumber = 1\n", 1, "fan number 1 given twice"},
        {"empty log event argument",
         "[[step]]\nat = 1\naction = \"log-event\"\nid = \"E\"\nargs = [\"a\",\n\"\", \"b\"]\n", 6,
         "step[1].args: argument 2 is empty: the argument block ends there"},
        {"NUL in a log event text",
         "[[step]]\nat = 1\naction = \"log-event\"\nid = \"E\"\ntext = \"a\\u0000b\"\n", 5,
         "step[1].text: holds a NUL character"},
    });
}

bool HasWarning(const ktzhost::ParseResult& r, int line, const std::string& text)
{
    const std::string prefix = "w.toml:" + std::to_string(line) + ": warning: ";
    for (const auto& w : r.warnings)
    {
        if (w.rfind(prefix, 0) == 0 && w.find(text) != std::string::npos)
        {
            return true;
        }
    }
    return false;
}

std::string AllWarnings(const ktzhost::ParseResult& r)
{
    std::string all;
    for (const auto& w : r.warnings)
    {
        all += w + "\n";
    }
    return all;
}

// What a real chassis would do the same way runs, with a warning that says
// what will happen and where.
TEST(HostScenario, WarningsSayWhatTheRunWillDoDifferently)
{
    {
        const auto r = ktzhost::ParseScenario("[[fan]]\nnames = [\"A\"]\n[[client]]\nid = 1\n", "w.toml");
        ASSERT_TRUE(r.ok) << r.error;
        EXPECT_TRUE(HasWarning(r, 1,
                               "scenario: no power-supply bay: the power-supply and redundancy sensors "
                               "attach only once a bay reports a supply, so data-sync-complete"))
            << AllWarnings(r);
        EXPECT_EQ(r.warnings.size(), 1u) << AllWarnings(r);
    }
    {
        const auto r = ktzhost::ParseScenario("[[fan]]\nnumber = 2\n[[psu]]\npresent = false\n"
                                              "[[psu]]\nbay = 3\n[platform]\npsu_bays = 2\n",
                                              "w.toml");
        ASSERT_TRUE(r.ok) << r.error;
        EXPECT_TRUE(HasWarning(r, 1, "no fan number 1")) << AllWarnings(r);
        EXPECT_TRUE(HasWarning(r, 3, "no bay holds a supply at Load")) << AllWarnings(r);
        EXPECT_TRUE(HasWarning(r, 5, "psu[2]: bay 3 is never read: psu_bays is 2")) << AllWarnings(r);
        EXPECT_EQ(r.warnings.size(), 3u) << AllWarnings(r);
    }
    {
        // One sensor per fan on this platform: the second name is never seen,
        // a step changing it changes nothing, and an expectation on it is an error.
        const std::string text = "[platform]\nid = 0x30\nfan_count_a = 1\n"
                                 "[[fan]]\nnames = [\"A\", \"B\"]\n[[fan]]\nnames = [\"C\"]\n"
                                 "[[psu]]\n[[client]]\nid = 1\n"
                                 "[[step]]\nat = 1\naction = \"set-fan\"\nfan = 1\nreading2 = 5\n";
        const auto r = ktzhost::ParseScenario(text, "w.toml");
        ASSERT_TRUE(r.ok) << r.error;
        EXPECT_TRUE(
            HasWarning(r, 4, "fan[1]: sensor 'B' is never reported: platform 0x30 reports one sensor"))
            << AllWarnings(r);
        EXPECT_TRUE(
            HasWarning(r, 6, "fan[2]: fan 2 is never read: the fan counts make the module probe fans 1 to 1"))
            << AllWarnings(r);
        EXPECT_TRUE(HasWarning(r, 15, "step[1].reading2: changes nothing clients see")) << AllWarnings(r);
        EXPECT_EQ(r.warnings.size(), 3u) << AllWarnings(r);
        for (const char* name : {"B", "C"})
        {
            const auto e = ktzhost::ParseScenario(text +
                                                      "[[expect]]\nclient = 1\nreceives = \"sensor-data\"\n"
                                                      "where = { name = \"" +
                                                      name + "\" }\n",
                                                  "w.toml");
            EXPECT_FALSE(e.ok) << name;
            EXPECT_NE(e.error.find("no sensor '" + std::string(name) + "'"), std::string::npos) << e.error;
        }
    }
}

// The field table drives the JSON output: every field a decoded message
// carries is in its type's table with a JSON value of the table's kind, and
// every field the table always lists is there.
TEST(HostFields, TableDescribesEveryFieldOfTheOutput)
{
    namespace kc = ktzclient;
    const std::vector<kc::Message> messages = {
        {KTZMON_REQ_CLASS, KTZMON_REQ_KTZ_SETTING, kc::KtzSetting{}},
        {KTZMON_REQ_CLASS, KTZMON_REQ_SENSOR_DATA,
         kc::SensorData{.type = KTZMON_SENSOR_TYPE_FAN, .hasThresholds = true}},
        {KTZMON_REQ_CLASS, KTZMON_REQ_SENSOR_DATA, kc::SensorData{.type = KTZMON_SENSOR_TYPE_PWR_SUPPLY}},
        {KTZMON_REQ_CLASS, KTZMON_REQ_FRU_BY_NUM, kc::FruByNumber{}},
        {KTZMON_REQ_CLASS, KTZMON_REQ_DATA_SYNC_COMPLETE, kc::DataSyncComplete{}},
        {KTZMON_REQ_CLASS, KTZMON_REQ_VQ_LOG_EVT,
         kc::LogEvent{.hasArgs = true, .args = {"a", "b"}, .hasText = true}},
        {KTZMON_REQ_CLASS, KTZMON_REQ_GET_KTZ_CAPS, kc::CapsQuery{}},
    };
    std::set<std::string> seen;
    for (const auto& m : messages)
    {
        const nlohmann::json fields = ktzclient::Fields(m);
        const auto& defs = ktzclient::FieldsOf(m.requestType);
        for (const auto& [key, value] : fields.items())
        {
            const ktzclient::FieldDef* f = ktzclient::FindField(m.requestType, key);
            ASSERT_NE(f, nullptr) << kc::RequestTypeName(m.requestType) << " carries '" << key
                                  << "', which its table lacks";
            seen.insert(std::string(kc::RequestTypeName(m.requestType)) + "." + key);
            switch (f->kind)
            {
            case ktzclient::FieldKind::Number:
            case ktzclient::FieldKind::Status: EXPECT_TRUE(value.is_number_integer()) << key; break;
            case ktzclient::FieldKind::Flag: EXPECT_TRUE(value.is_boolean()) << key; break;
            case ktzclient::FieldKind::Text: EXPECT_TRUE(value.is_string()) << key; break;
            case ktzclient::FieldKind::List: EXPECT_TRUE(value.is_array()) << key; break;
            }
        }
        for (const auto& f : defs)
        {
            EXPECT_TRUE(!f.always || fields.contains(f.name))
                << kc::RequestTypeName(m.requestType) << " lacks '" << f.name << "'";
        }
    }
    // Between them the messages above carry every field of every table.
    size_t all = 0;
    for (uint32_t type : {KTZMON_REQ_KTZ_SETTING, KTZMON_REQ_SENSOR_DATA, KTZMON_REQ_FRU_BY_NUM,
                          KTZMON_REQ_DATA_SYNC_COMPLETE, KTZMON_REQ_VQ_LOG_EVT, KTZMON_REQ_GET_KTZ_CAPS})
    {
        all += ktzclient::FieldsOf(type).size();
    }
    EXPECT_EQ(seen.size(), all);
    EXPECT_EQ(ktzclient::FindField(KTZMON_REQ_KTZ_SETTING, "reading"), nullptr);
    EXPECT_NE(ktzclient::FindField(0, "reading"), nullptr);
}

// Characters outside ASCII stand only in strings and comments, and reach the
// scenario as written; elsewhere, and bytes that are not UTF-8, are syntax
// errors with their line. (The TOML parser is shown only ASCII: its
// character classes misbehave on some code points, U+03CF among them.)
TEST(HostScenario, CharactersOutsideAsciiOnlyInStringsAndComments)
{
    const struct
    {
        const char* text;
        const char* title;
        const char* description;
    } fine[] = {
        {"title = \"Lüfter \\\" ϏϏ\" # Kommentar: Ϗ\n", "Lüfter \" ϏϏ", ""},
        {"title = 'C:\\ \"Ϗ\"' # Ϗ'\n", "C:\\ \"Ϗ\"", ""},
        {"description = \"\"\"\nZeile \"\" Ϗ\n\"\"\"\"\ntitle = \"x\"\n", "x", "Zeile \"\" Ϗ\n\""},
        {"description = '''\nϏ '' \\ \"\"\" ''''\ntitle = '''Ϗ'''\n", "Ϗ", "Ϗ '' \\ \"\"\" '"},
        {"description = \"\"\"a \\\n  Ϗ \U0001F600\"\"\"\n", "", "a Ϗ \U0001F600"},
        {"[ini.'Ϗ Sektion']\n\"schlüssel\" = \"wert\"\n", "", ""},
    };
    for (const auto& c : fine)
    {
        const auto r = ktzhost::ParseScenario(c.text, "u.toml");
        ASSERT_TRUE(r.ok) << c.text << ": " << r.error;
        EXPECT_EQ(r.scenario.title, c.title) << c.text;
        EXPECT_EQ(r.scenario.description, c.description) << c.text;
    }
    EXPECT_EQ(ktzhost::ParseScenario(fine[5].text, "u.toml").scenario.ini.at("Ϗ Sektion").at("schlüssel"),
              "wert");

    const struct
    {
        const char* text;
        int line;
        const char* error;
    } refused[] = {
        {"title =\t\"x\"\nend ϏϏ= 5\n", 2,
         "a character outside ASCII may stand only in a string or a comment"},
        {"title = \"a\" Ϗ\n", 1, "outside ASCII may stand only"},
        {"description = \"\"\"\n\"\"\" Ϗ = 1\n", 2, "outside ASCII may stand only"},
        {"title = \"a\\\\\"\nϏ = 1\n", 2, "outside ASCII may stand only"},
        {"# Ϗ\ntitle = 'x' # Ϗ\n[fan]\nnames = [Ϗ]\n", 4, "outside ASCII may stand only"},
        {"title = \"\\Ϗ\"\n", 1, "cannot be escaped with a backslash"},
        {"# ok\ntitle = \"\xC3(\"\n", 2, "the text is not valid UTF-8"},
        {"title = \"\xED\xA0\x80\"\n", 1, "not valid UTF-8"}, // a surrogate
        {"title = 'Ϗ\nend = 5\n", 1, "syntax error"},         // unterminated, still found by the parser
    };
    for (const auto& c : refused)
    {
        const auto r = ktzhost::ParseScenario(c.text, "u.toml");
        EXPECT_FALSE(r.ok) << c.text;
        EXPECT_EQ(r.error.rfind("u.toml:" + std::to_string(c.line) + ": syntax error: ", 0), 0u) << r.error;
        EXPECT_NE(r.error.find(c.error), std::string::npos) << r.error;
    }
}

} // namespace
