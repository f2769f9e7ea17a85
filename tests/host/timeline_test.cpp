// The timeline picture as a person sees it: rendered to PNG with rsvg-convert,
// and checked from its structure: no two labels overlap or leave the picture
// (boxes from the same width estimate the writer lays out with), no line
// crosses a label, every shaded window is the one the module's log lines
// describe, every dot carries the status its message was sent with, and a
// large chassis stays within the height and size limits. Runs built in the
// test check the layout's edge cases; runs of ktzmon-host check the real
// demonstration and a 255-fan, 50-client chassis.
#include "support/files.h"

#include "host_process.h"
#include "timeline.h"

#include <gtest/gtest.h>
#include <ktzmon/protocol.h>
#include <nlohmann/json.hpp>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <pugixml.hpp>
#include <set>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace
{

using ktzhost::Event;
using ktzhost::RunResult;
using nlohmann::json;

// ---- reading the picture -------------------------------------------------------------

struct Box
{
    double l, t, r, b;
    std::string text;
};

struct Segment
{
    double x1, y1, x2, y2;
    std::string what;
};

double Attr(const pugi::xml_node& n, const char* name)
{
    return n.attribute(name).as_double();
}

// Text boxes and line segments with the translations of their groups applied.
void Walk(const pugi::xml_node& node, double dx, double dy, std::vector<Box>* texts,
          std::vector<Segment>* lines)
{
    for (const auto& n : node.children())
    {
        double ox = dx, oy = dy;
        const std::string tr = n.attribute("transform").as_string();
        if (!tr.empty())
        {
            double tx = 0, ty = 0;
            ASSERT_EQ(std::sscanf(tr.c_str(), "translate(%lf,%lf)", &tx, &ty), 2) << tr;
            ox += tx;
            oy += ty;
        }
        const std::string name = n.name();
        if (name == "text")
        {
            const double size = Attr(n, "font-size");
            ASSERT_GT(size, 0) << "every label carries its own size: " << n.child_value();
            const std::string text = n.child_value();
            const double w = ktzhost::TimelineTextWidth(
                text, size, std::string(n.attribute("font-weight").as_string()) == "bold");
            const std::string anchor = n.attribute("text-anchor").as_string("start");
            const double x = Attr(n, "x") + ox, y = Attr(n, "y") + oy;
            const double l = anchor == "end" ? x - w : anchor == "middle" ? x - w / 2 : x;
            texts->push_back({l, y - size, l + w, y + size * 0.3, text});
        }
        else if (name == "line")
        {
            lines->push_back(
                {Attr(n, "x1") + ox, Attr(n, "y1") + oy, Attr(n, "x2") + ox, Attr(n, "y2") + oy, "line"});
        }
        else if (name == "rect" && (std::string(n.attribute("class").as_string()) == "event-mark" ||
                                    std::string(n.attribute("class").as_string()) == "plot"))
        {
            // Event bars and the plot's frame are strokes too.
            const double x = Attr(n, "x") + ox, y = Attr(n, "y") + oy, w = Attr(n, "width"),
                         h = Attr(n, "height");
            for (const Segment& s :
                 {Segment{x, y, x + w, y, "top"}, Segment{x, y + h, x + w, y + h, "bottom"},
                  Segment{x, y, x, y + h, "left"}, Segment{x + w, y, x + w, y + h, "right"}})
            {
                lines->push_back({s.x1, s.y1, s.x2, s.y2, n.attribute("class").as_string()});
            }
        }
        Walk(n, ox, oy, texts, lines);
    }
}

struct Picture
{
    pugi::xml_document doc;
    pugi::xml_node svg;
    double width = 0, height = 0;
    std::vector<Box> texts;
    std::vector<Segment> lines;

    explicit Picture(const std::string& text)
    {
        const auto parsed = doc.load_string(text.c_str());
        EXPECT_TRUE(parsed) << parsed.description();
        svg = doc.child("svg");
        width = Attr(svg, "width");
        height = Attr(svg, "height");
        Walk(svg, 0, 0, &texts, &lines);
    }

    std::vector<pugi::xml_node> All(const char* xpath) const
    {
        std::vector<pugi::xml_node> out;
        for (const auto& x : svg.select_nodes(xpath))
        {
            out.push_back(x.node());
        }
        return out;
    }
};

// The properties every picture has, whatever the run.
void ExpectReadable(const Picture& p)
{
    ASSERT_GT(p.width, 0);
    ASSERT_GT(p.height, 0);
    EXPECT_LE(p.height, ktzhost::kTimelineMaxHeight);
    for (size_t i = 0; i < p.texts.size(); ++i)
    {
        const Box& a = p.texts[i];
        EXPECT_TRUE(a.l >= 0 && a.t >= 0 && a.r <= p.width && a.b <= p.height)
            << "'" << a.text << "' leaves the picture: " << a.l << "," << a.t << " .. " << a.r << "," << a.b;
        for (size_t j = i + 1; j < p.texts.size(); ++j)
        {
            const Box& b = p.texts[j];
            EXPECT_FALSE(a.l < b.r && b.l < a.r && a.t < b.b && b.t < a.b)
                << "'" << a.text << "' overlaps '" << b.text << "'";
        }
        for (const auto& s : p.lines)
        {
            const double l = std::min(s.x1, s.x2), r = std::max(s.x1, s.x2);
            const double t = std::min(s.y1, s.y2), b = std::max(s.y1, s.y2);
            EXPECT_FALSE(l < a.r && a.l < r + 1e-9 && t < a.b && a.t < b + 1e-9)
                << "a " << s.what << " at " << s.x1 << "," << s.y1 << " .. " << s.x2 << "," << s.y2
                << " crosses '" << a.text << "'";
        }
    }
}

using Windows = std::map<std::string, std::vector<std::pair<double, double>>>;

// The shaded windows of a class, per lane name ("" for windows outside a sensor
// lane), with each rectangle checked against the plot's time axis.
Windows Shaded(const Picture& p, const char* cls)
{
    Windows out;
    const auto plot = p.svg.select_node("//rect[@class='plot']").node();
    EXPECT_TRUE(plot) << "the plot area is marked";
    const double x0 = Attr(plot, "x"), w = Attr(plot, "width"), end = Attr(plot, "data-end");
    for (const auto& r : p.All((std::string("//rect[@class='") + cls + "']").c_str()))
    {
        const double a = Attr(r, "data-start"), b = Attr(r, "data-end");
        EXPECT_NEAR(Attr(r, "x"), x0 + a / end * w, 0.06) << cls << " " << a;
        EXPECT_NEAR(Attr(r, "width"), std::max(1.0, (b - a) / end * w), 0.12) << cls << " " << a;
        const auto lane = r.parent();
        out[lane.attribute("data-name").as_string()].emplace_back(a, b);
    }
    return out;
}

// Every window of a class, whatever its lane.
std::set<std::pair<double, double>> AllShaded(const Picture& p, const char* cls)
{
    std::set<std::pair<double, double>> out;
    for (const auto& [lane, ws] : Shaded(p, cls))
    {
        out.insert(ws.begin(), ws.end());
    }
    return out;
}

// ---- runs built here -------------------------------------------------------------------

Event Ev(Event::Kind kind, double t, const std::string& text, uint32_t client = 0)
{
    return {.kind = kind, .t = t, .text = text, .client = client};
}

Event Log(double t, const std::string& text)
{
    return Ev(Event::Kind::Log, t, text + "\n");
}

RunResult FanRun(double end, const std::vector<std::string>& fans)
{
    RunResult r;
    r.end = end;
    for (const auto& name : fans)
    {
        r.samples.push_back({0, KTZMON_SENSOR_TYPE_FAN, name, 5000});
    }
    return r;
}

std::string Draw(const RunResult& r, const std::string& title = "t")
{
    ktzhost::Scenario s;
    s.title = title;
    std::ostringstream out;
    ktzhost::WriteTimelineSvg(out, s, r);
    return out.str();
}

TEST(Timeline, DelayWindowEndsAtExitOrExpiryAndAnOpenOneAtTheEnd)
{
    RunResult r = FanRun(100, {"FanX", "FanY", "FanZ"});
    r.events = {
        Log(10, "Fan sensor starting delay mode: name: 'FanX'"),
        Log(15, "Fan sensor in delay mode: name: 'FanX'"),
        Log(20, "Fan sensor starting delay mode: name: 'FanY'"),
        Log(25, "Fan sensor exiting delay mode: name: 'FanY'"),
        Log(30, "Fan sensor exiting delay mode: name: 'FanZ'"), // never started: no window
        Log(35, "Fan sensor delay mode expired: name: 'FanX'"),
        Log(40, "Fan sensor delay mode expired: name: 'FanX'"), // each later change logs it again
        Log(50, "Fan sensor exiting delay mode: name: 'FanX'"),
        Log(60, "Fan sensor starting delay mode: name: 'FanX'"),
    };
    const Picture p(Draw(r));
    const Windows expected = {{"FanX", {{10, 35}, {60, 100}}}, {"FanY", {{20, 25}}}};
    EXPECT_EQ(Shaded(p, "delay"), expected);
    ExpectReadable(p);
}

TEST(Timeline, KtzOffPeriodsFollowTheModulesSetting)
{
    RunResult r = FanRun(100, {"Fan1"});
    r.events = {
        Log(0, "KTZ setting: 1"),
        Log(50, "KTZ setting: 0"),
        Log(50, "KTZ setting change: prev: 1 curr: 0"),
        Log(60, "KTZ setting change: prev: 0 curr: 3"), // any value above 2 keeps monitoring off
        Log(70, "KTZ setting: 3"),                      // a read without a change changes nothing
        Log(80, "KTZ setting change: prev: 3 curr: 2"),
        Log(90, "KTZ setting change: prev: 2 curr: 0"),
    };
    EXPECT_EQ(AllShaded(Picture(Draw(r)), "ktz-off"),
              (std::set<std::pair<double, double>>{{50, 80}, {90, 100}}));

    RunResult off = FanRun(40, {"Fan1"});
    off.events = {Log(0, "KTZ setting: 0")};
    EXPECT_EQ(AllShaded(Picture(Draw(off)), "ktz-off"), (std::set<std::pair<double, double>>{{0, 40}}));
}

TEST(Timeline, CrowdedEventsAndLongNamesStayReadable)
{
    RunResult r =
        FanRun(100, {"A fan sensor whose name is far longer than the column beside the lanes", "F2"});
    r.samples.push_back({50, KTZMON_SENSOR_TYPE_FAN, "F2", 900});
    // Many clients doing different things close together, log events with
    // long texts, and events at the very end whose labels must turn left.
    for (uint32_t c = 1; c <= 40; ++c)
    {
        r.events.push_back(
            Ev(Event::Kind::Host, 10 + c * 0.5,
               "client " + std::to_string(c) + " asks for something " + std::string(c % 7, 'w'), c));
    }
    for (int i = 0; i < 5; ++i)
    {
        r.events.push_back(
            Ev(Event::Kind::Step, 60 + i,
               "chassis log event MSG" + std::to_string(i) + " posted " + std::string(200, 'M')));
    }
    r.events.push_back(Ev(Event::Kind::Step, 100, "KTZ setting set to 0"));
    r.events.push_back(Ev(Event::Kind::Host, 100, "client 3 disconnects", 3));
    const Picture p(Draw(r, std::string(300, 'W')));
    ExpectReadable(p);
    // Events that find no row keep a bar with their text as a tooltip, and
    // the picture says how many there are.
    const auto bars = p.All("//g[@class='event']");
    size_t labelled = 0;
    for (const auto& g : bars)
    {
        labelled += g.child("text") ? 1 : 0;
        EXPECT_FALSE(std::string(g.child("rect").child_value("title")).empty());
    }
    EXPECT_GT(labelled, 8u);
    EXPECT_LT(labelled, r.events.size());
    bool counted = false;
    for (const auto& b : p.texts)
    {
        counted = counted || b.text.find(std::to_string(r.events.size() - labelled) + " more") == 0;
    }
    EXPECT_TRUE(counted) << "the unlabelled events are counted";
    for (const char* kind : {"client", "log-event", "ktz", "disconnect"})
    {
        EXPECT_TRUE(p.svg.select_node(
            (std::string("//g[@class='legend-item'][@data-key='event-") + kind + "']").c_str()))
            << kind;
    }
}

TEST(Timeline, ABusyLargeChassisStaysWithinTheLimits)
{
    // 120 sensors that all change every second of a long run: more than any
    // height can hold and, drawn in full, far more than the size limit.
    RunResult r;
    r.end = 1000;
    for (int i = 0; i < 120; ++i)
    {
        const std::string name = "Fan" + std::to_string(i);
        for (int t = 0; t < 1000; ++t)
        {
            r.samples.push_back(
                {static_cast<double>(t), KTZMON_SENSOR_TYPE_FAN, name, (t + i) % 2 ? 5000 : 1500});
        }
    }
    const std::string svg = Draw(r);
    EXPECT_LE(svg.size(), ktzhost::kTimelineMaxBytes);
    const Picture p(svg);
    ExpectReadable(p);
    const auto lanes = p.All("//g[@class='lane sensor']");
    EXPECT_GT(lanes.size(), 5u) << "the limit still leaves room for some lanes";
    const auto summary = p.svg.select_node("//g[@class='summary']").node();
    EXPECT_EQ(summary.attribute("data-left-out").as_uint() + lanes.size(), 120u)
        << "every sensor not drawn is counted";
}

// ---- ktzmon-host runs ----------------------------------------------------------------

using ktzhosttest::TempPath;
using ktztest::ReadFile;

struct HostRun
{
    std::vector<json> records;
    std::string svg;
    double end = 0;
};

// ktzmon-host with --json and --timeline on `scenario` ("" for the demonstration).
HostRun RunTimelineHost(const std::string& scenario)
{
    HostRun run;
    const std::string svgPath = TempPath("run.svg");
    std::vector<std::string> args{"--json", "--timeline", svgPath};
    if (!scenario.empty())
    {
        args.push_back(scenario);
    }
    const ktztest::RunResult host = ktzhosttest::RunHost(args);
    EXPECT_EQ(host.status, 0) << host.out.substr(0, 2000);
    run.records = ktztest::JsonLines(host.out);
    for (const json& rec : run.records)
    {
        if (rec.value("kind", "") == "scenario")
        {
            run.end = rec.value("end", 0.0);
        }
    }
    run.svg = ReadFile(svgPath);
    std::remove(svgPath.c_str());
    return run;
}

// The delay-mode windows the module's log lines describe: from "starting" to
// the first "exiting" or "expired" of that sensor, or to the end of the run.
Windows LogWindows(const HostRun& run)
{
    Windows out;
    std::map<std::string, double> open;
    for (const auto& rec : run.records)
    {
        if (rec.value("kind", "") != "log")
        {
            continue;
        }
        const std::string text = rec.value("text", "");
        const auto q = text.find('\'');
        const std::string name = q == std::string::npos ? "" : text.substr(q + 1, text.rfind('\'') - q - 1);
        if (text.find("starting delay mode") != std::string::npos && !open.count(name))
        {
            open[name] = rec.value("t", 0.0);
        }
        else if ((text.find("exiting delay mode") != std::string::npos ||
                  text.find("delay mode expired") != std::string::npos) &&
                 open.count(name))
        {
            out[name].emplace_back(open[name], rec.value("t", 0.0));
            open.erase(name);
        }
    }
    for (const auto& [name, start] : open)
    {
        out[name].emplace_back(start, run.end);
    }
    return out;
}

// Renders the picture to PNG and returns the PNG's width and height.
std::pair<uint32_t, uint32_t> RenderPng(const std::string& svg)
{
    if (std::string(KTZHOST_RSVG_CONVERT).empty())
    {
        ADD_FAILURE()
            << "rsvg-convert was not found when the build was configured (apt-get install librsvg2-bin)";
        return {0, 0};
    }
    const std::string in = TempPath("render.svg"), png = TempPath("render.png");
    std::ofstream(in) << svg;
    const ktztest::RunResult render = ktztest::RunProgram({KTZHOST_RSVG_CONVERT, "-o", png, in});
    const std::string bytes = ReadFile(png);
    std::remove(in.c_str());
    std::remove(png.c_str());
    EXPECT_EQ(render.status, 0) << render.err;
    if (bytes.size() < 24 || bytes.compare(1, 3, "PNG") != 0)
    {
        ADD_FAILURE() << "no PNG was rendered";
        return {0, 0};
    }
    auto be32 = [&](size_t at)
    {
        return static_cast<uint32_t>(
            static_cast<unsigned char>(bytes[at]) << 24 | static_cast<unsigned char>(bytes[at + 1]) << 16 |
            static_cast<unsigned char>(bytes[at + 2]) << 8 | static_cast<unsigned char>(bytes[at + 3]));
    };
    return {be32(16), be32(20)}; // the IHDR chunk's width and height
}

TEST(TimelineRun, DemonstrationMatchesItsLogAndRenders)
{
    const HostRun run = RunTimelineHost("");
    ASSERT_FALSE(run.svg.empty());
    const Picture p(run.svg);
    ExpectReadable(p);

    // The shading is what the log says, and Fan3B's ends when its delay expires.
    const Windows shaded = Shaded(p, "delay");
    EXPECT_EQ(shaded, LogWindows(run));
    ASSERT_EQ(shaded.count("Fan3B"), 1u);
    EXPECT_EQ(shaded.at("Fan3B"), (std::vector<std::pair<double, double>>{{95, 120}}));
    EXPECT_EQ(AllShaded(p, "ktz-off"), (std::set<std::pair<double, double>>{{200, 220}}));

    // Every sensor message is a dot with the status it was sent with, and
    // every status drawn is in the legend.
    std::set<std::tuple<std::string, double, std::string>> sent, drawn;
    for (const auto& rec : run.records)
    {
        if (rec.value("type", "") == "sensor-data")
        {
            sent.emplace(rec["fields"]["name"], rec["t"], rec["fields"]["status_name"]);
        }
    }
    std::set<std::string> statuses;
    for (const auto& lane : p.All("//g[@class='lane sensor']"))
    {
        for (const auto& dot : lane.children())
        {
            if (std::string(dot.attribute("class").as_string()).rfind("received", 0) == 0)
            {
                drawn.emplace(lane.attribute("data-name").as_string(), Attr(dot, "data-t"),
                              dot.attribute("data-status").as_string());
                statuses.insert(dot.attribute("data-status").as_string());
            }
        }
    }
    EXPECT_EQ(drawn, sent);
    EXPECT_EQ(statuses, (std::set<std::string>{"normal", "non-critical", "critical", "unknown"}));
    for (const auto& st : statuses)
    {
        EXPECT_TRUE(p.svg.select_node(("//g[@data-key='status-" + st + "']").c_str())) << st;
    }

    const auto [w, h] = RenderPng(run.svg);
    EXPECT_EQ(w, static_cast<uint32_t>(p.width));
    EXPECT_EQ(h, static_cast<uint32_t>(p.height));
}

TEST(TimelineRun, ABusyLaneKeepsEveryCriticalValueWhenThinned)
{
    // A temperature that swings between normal and critical at every check of
    // a long run: far more messages than a lane draws dots for.
    std::ostringstream toml;
    toml << "title = \"busy\"\nend = 4000\n\n[chassis_temp]\nname = \"Inlet\"\nreading = 24\n\n"
         << "[[psu]]\nbay = 1\nfru_text = \"P\"\n\n[[client]]\nid = 1\n\n"
         << "[[step]]\nat = 1\naction = \"connect\"\nclient = 1\n\n";
    for (int i = 1; i < 790; ++i)
    {
        toml << "[[step]]\nat = " << 30 + i * 5 << "\naction = \"set-temp\"\nreading = " << (i % 2 ? 30 : 40)
             << "\nhealth = " << (i % 2 ? 0 : 2) << "\n\n";
    }
    const std::string path = TempPath("busy.toml");
    std::ofstream(path) << toml.str();
    const HostRun run = RunTimelineHost(path);
    std::remove(path.c_str());

    std::vector<std::pair<double, std::string>> sent; // time and status of every Inlet message
    for (const auto& rec : run.records)
    {
        if (rec.value("type", "") == "sensor-data" && rec["fields"]["name"] == "Inlet")
        {
            sent.emplace_back(rec["t"], rec["fields"]["status_name"]);
        }
    }
    ASSERT_GT(sent.size(), 600u);
    const Picture p(run.svg);
    ExpectReadable(p);
    const auto dots = p.All("//g[@data-name='Inlet']/*[@data-status]");
    ASSERT_GE(dots.size(), 20u);
    ASSERT_LT(dots.size(), sent.size() / 2) << "the lane is thinned";
    // Each dot stands for the messages from its time to its last one, and is
    // critical whenever one of them was: thinning never hides a critical value.
    size_t covered = 0;
    for (const auto& dot : dots)
    {
        const double from = Attr(dot, "data-t");
        const double to = dot.attribute("data-last") ? Attr(dot, "data-last") : from;
        bool critical = false;
        size_t n = 0;
        for (const auto& [t, status] : sent)
        {
            if (t >= from && t <= to)
            {
                critical = critical || status == "critical";
                ++n;
            }
        }
        EXPECT_EQ(n, dot.attribute("data-merged").as_uint(1)) << "dot at " << from;
        EXPECT_EQ(std::string(dot.attribute("data-status").as_string()) == "critical", critical)
            << "dot at " << from;
        covered += n;
    }
    EXPECT_EQ(covered, sent.size()) << "every message is in exactly one dot";
}

TEST(TimelineRun, LargeChassisIsSummarisedWithinTheLimitsAndRenders)
{
    // 255 two-sensor fans and 50 clients; a dip, a failure, a temperature
    // rise and the setting off and on, all else quiet.
    const HostRun run = RunTimelineHost(KTZHOST_LARGE_TOML);
    ASSERT_FALSE(run.svg.empty());
    EXPECT_LE(run.svg.size(), ktzhost::kTimelineMaxBytes);
    const Picture p(run.svg);
    ExpectReadable(p);
    EXPECT_EQ(Shaded(p, "delay"), LogWindows(run));

    // The sensors that changed are drawn and the quiet ones counted.
    std::set<std::string> names;
    for (const auto& lane : p.All("//g[@class='lane sensor']"))
    {
        names.insert(lane.attribute("data-name").as_string());
    }
    // A fan's health is one word for both its sensors and follows their
    // readings, so the other sensor of fan 10 is reported too. Fan 200's
    // sensors lie past the 255 fan sensor numbers the module hands out: its
    // failure shows only as the chassis value, and its twin never changes.
    EXPECT_EQ(names, (std::set<std::string>{"Fan10A", "Fan10B", "Fan200B", "Inlet"}));
    const auto summary = p.svg.select_node("//g[@class='summary']").node();
    EXPECT_EQ(summary.attribute("data-quiet").as_uint(), 255u * 2 + 3 - names.size());

    const auto [w, h] = RenderPng(run.svg);
    EXPECT_EQ(w, static_cast<uint32_t>(p.width));
    EXPECT_EQ(h, static_cast<uint32_t>(p.height));
}

} // namespace
