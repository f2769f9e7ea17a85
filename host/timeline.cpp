// The timeline picture of a run as SVG. Everything drawn comes from the run
// itself: the values the simulated chassis held, the messages clients
// received, the module's own log lines (delay mode, KTZ setting) and the
// host's and the timeline's events, so the picture tells the same story as
// the transcript. Text is laid out with a conservative width estimate so no
// two labels overlap and no line crosses one.
#include "timeline.h"

#include "ktzclient_decode.h"

#include <ktzmon/protocol.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <sstream>
#include <string_view>

namespace ktzhost
{

double TimelineTextWidth(const std::string& text, double fontSize, bool bold)
{
    // Advance widths in em, rounded up from the widest common sans face.
    double em = 0;
    for (unsigned char c : text)
    {
        if ((c & 0xc0) == 0x80)
        {
            continue; // UTF-8 continuation byte: counted with its lead byte
        }
        if (c >= 0x80)
        {
            em += 1.0;
        }
        else if (std::string_view(" .,:;'!|ijlI()[]{}ft-\"/").find(static_cast<char>(c)) !=
                 std::string_view::npos)
        {
            em += 0.42;
        }
        else if (std::string_view("mwMW@%&").find(static_cast<char>(c)) != std::string_view::npos)
        {
            em += 1.05;
        }
        else if (c >= 'A' && c <= 'Z')
        {
            em += 0.82;
        }
        else
        {
            em += 0.68;
        }
    }
    return em * fontSize * (bold ? 1.12 : 1.0);
}

namespace
{

// ---- what the run says -------------------------------------------------------------

struct Window
{
    double start = 0;
    double end = 0;
};

// One dot: every client that received this value with this status at this time.
struct Mark
{
    double t = 0;
    int64_t value = 0;
    uint8_t status = 0; // 0 unknown, 1 normal, 2 non-critical, 3 critical
    std::string reading;
    std::vector<uint32_t> clients;
    size_t merged = 1; // messages this dot stands for when a busy lane is thinned
    double lastT = 0;  // ... and the last of their times
};

struct Lane
{
    uint8_t type = 0;
    std::string name;
    std::vector<std::pair<double, int64_t>> chassis; // step function
    std::vector<Mark> marks;
    std::vector<Window> delay;
    bool Active() const;
};

struct EventItem
{
    double t = 0;
    const char* kind = "";
    std::string label;
};

struct RunPicture
{
    std::vector<Lane> lanes;
    std::vector<EventItem> events;
    std::vector<Window> ktzOff;
    double end = 1;
};

bool Lane::Active() const
{
    if (!delay.empty())
    {
        return true;
    }
    for (const auto& [t, v] : chassis)
    {
        if (v != chassis.front().second)
        {
            return true;
        }
    }
    for (const auto& m : marks)
    {
        if (m.value != marks.front().value || m.status != marks.front().status)
        {
            return true;
        }
    }
    return false;
}

uint8_t KnownStatus(uint8_t status)
{
    return status <= 3 ? status : 0;
}

const char* StatusClass(uint8_t status)
{
    switch (status)
    {
    case 1: return "normal";
    case 2: return "non-critical";
    case 3: return "critical";
    default: return "unknown";
    }
}

// How bad a status is, for choosing the one dot that stands for many.
int Severity(uint8_t status)
{
    return status == 3 ? 3 : status == 2 ? 2 : status == 0 ? 1 : 0;
}

std::string QuotedName(const std::string& line)
{
    const auto a = line.find('\'');
    const auto b = line.rfind('\'');
    return (a != std::string::npos && b > a) ? line.substr(a + 1, b - a - 1) : "";
}

bool StartsWith(const std::string& s, const char* prefix)
{
    return s.rfind(prefix, 0) == 0;
}

// "1-3, 7, 9"
std::string IdRanges(std::vector<uint32_t> ids)
{
    std::sort(ids.begin(), ids.end());
    ids.erase(std::unique(ids.begin(), ids.end()), ids.end());
    std::string out;
    for (size_t i = 0; i < ids.size();)
    {
        size_t j = i;
        while (j + 1 < ids.size() && ids[j + 1] == ids[j] + 1)
        {
            ++j;
        }
        out += (out.empty() ? "" : ", ") + std::to_string(ids[i]);
        if (j > i)
        {
            out += (j == i + 1 ? ", " : "-") + std::to_string(ids[j]);
        }
        i = j + 1;
    }
    return out;
}

bool KtzEnables(unsigned long value)
{
    return value == 1 || value == 2;
}

// Host requests about a client ("client 7 connects") at one time, grouped so
// that fifty clients connecting together make one label.
void AddClientEvents(std::vector<EventItem>* out, double t,
                     std::map<std::string, std::vector<uint32_t>>* group)
{
    for (auto& [rest, ids] : *group)
    {
        const char* kind = rest == "connects" ? "connect" : rest == "disconnects" ? "disconnect" : "client";
        std::string label;
        if (ids.size() == 1)
        {
            label = "client " + std::to_string(ids.front()) + " " + rest;
        }
        else if (rest == "connects" || rest == "disconnects")
        {
            label = std::to_string(ids.size()) + " clients " + rest.substr(0, rest.size() - 1) + " (" +
                    IdRanges(ids) + ")";
        }
        else
        {
            label = "clients " + IdRanges(ids) + ": " + rest;
        }
        out->push_back({t, kind, label});
    }
    group->clear();
}

RunPicture Collect(const RunResult& r)
{
    RunPicture p;
    p.end = std::max(r.end, 1.0);
    auto lane = [&](uint8_t type, const std::string& name) -> Lane&
    {
        for (auto& l : p.lanes)
        {
            if (l.type == type && l.name == name)
            {
                return l;
            }
        }
        p.lanes.push_back(Lane{type, name, {}, {}, {}});
        return p.lanes.back();
    };
    for (const auto& smp : r.samples)
    {
        lane(smp.sensorType, smp.name).chassis.emplace_back(std::min(smp.t, p.end), smp.value);
    }

    // A delay-mode window opens with the module's "starting" line for that
    // sensor and closes with its "exiting" or "expired" line: once expired,
    // changes are sent again, so the hold-back is over.
    std::map<std::string, double> delayOpen;
    bool ktzKnown = false, ktzOn = true;
    double ktzOffSince = 0;
    auto setKtz = [&](double t, unsigned long value)
    {
        const bool on = KtzEnables(value);
        if (ktzKnown && on == ktzOn)
        {
            return;
        }
        if (!on)
        {
            ktzOffSince = t;
        }
        else if (ktzKnown)
        {
            p.ktzOff.push_back({ktzOffSince, t});
        }
        ktzKnown = true;
        ktzOn = on;
    };

    double groupT = -1;
    std::map<std::string, std::vector<uint32_t>> clientGroup;
    for (const auto& ev : r.events)
    {
        const double t = std::min(ev.t, p.end);
        if (t != groupT)
        {
            AddClientEvents(&p.events, groupT, &clientGroup);
            groupT = t;
        }
        if (ev.kind == Event::Kind::Message && ev.requestType == KTZMON_REQ_SENSOR_DATA)
        {
            const auto d = ktzclient::Decode(ev.requestClass, ev.requestType, ev.bytes);
            if (!d.ok)
            {
                continue;
            }
            const auto& sd = std::get<ktzclient::SensorData>(d.value.body);
            Lane& l = lane(sd.type, sd.name);
            const uint8_t status = KnownStatus(sd.status);
            if (!l.marks.empty() && l.marks.back().t == t && l.marks.back().value == sd.Reading() &&
                l.marks.back().status == status)
            {
                l.marks.back().clients.push_back(ev.client);
            }
            else
            {
                l.marks.push_back(
                    Mark{t, sd.Reading(), status, ktzclient::ReadingText(sd), {ev.client}, 1, t});
            }
        }
        else if (ev.kind == Event::Kind::Log)
        {
            const std::string& text = ev.text;
            if (StartsWith(text, "Fan sensor starting delay mode:"))
            {
                delayOpen.emplace(QuotedName(text), t); // an open window keeps its start
            }
            else if (StartsWith(text, "Fan sensor exiting delay mode:") ||
                     StartsWith(text, "Fan sensor delay mode expired:"))
            {
                const auto it = delayOpen.find(QuotedName(text));
                if (it != delayOpen.end())
                {
                    lane(KTZMON_SENSOR_TYPE_FAN, it->first).delay.push_back({it->second, t});
                    delayOpen.erase(it);
                }
            }
            else if (StartsWith(text, "KTZ setting change:"))
            {
                const auto at = text.find("curr:");
                if (at != std::string::npos)
                {
                    setKtz(t, std::strtoul(text.c_str() + at + 5, nullptr, 10));
                }
            }
            else if (!ktzKnown && StartsWith(text, "KTZ setting: "))
            {
                setKtz(t, std::strtoul(text.c_str() + 13, nullptr, 10));
            }
        }
        else if (ev.kind == Event::Kind::Host && ev.client != 0)
        {
            const std::string prefix = "client " + std::to_string(ev.client) + " ";
            if (StartsWith(ev.text, prefix.c_str()))
            {
                clientGroup[ev.text.substr(prefix.size())].push_back(ev.client);
            }
            else
            {
                p.events.push_back({t, "client", ev.text});
            }
        }
        else if (ev.kind == Event::Kind::Step && StartsWith(ev.text, "chassis log event"))
        {
            p.events.push_back({t, "log-event", ev.text.substr(8)});
        }
        else if (ev.kind == Event::Kind::Step && StartsWith(ev.text, "KTZ setting set to "))
        {
            p.events.push_back({t, "ktz", "KTZ setting " + ev.text.substr(19)});
        }
    }
    AddClientEvents(&p.events, groupT, &clientGroup);
    for (const auto& [name, start] : delayOpen)
    {
        lane(KTZMON_SENSOR_TYPE_FAN, name).delay.push_back({start, p.end});
    }
    if (ktzKnown && !ktzOn)
    {
        p.ktzOff.push_back({ktzOffSince, p.end});
    }
    std::stable_sort(p.events.begin(), p.events.end(),
                     [](const EventItem& a, const EventItem& b) { return a.t < b.t; });
    return p;
}

// At most `limit` dots in a lane: the run is cut into `limit` equal spans and
// each span keeps one dot, the one with the worst status (the latest of
// those), standing for all the messages of the span.
std::vector<Mark> Thin(const std::vector<Mark>& marks, size_t limit, double end)
{
    if (marks.size() <= limit || limit == 0)
    {
        return limit == 0 ? std::vector<Mark>{} : marks;
    }
    std::vector<Mark> out;
    size_t bucket = SIZE_MAX;
    for (const auto& m : marks)
    {
        const size_t b = std::min(limit - 1, static_cast<size_t>(m.t / end * static_cast<double>(limit)));
        if (out.empty() || b != bucket)
        {
            out.push_back(m);
            bucket = b;
            continue;
        }
        Mark& keep = out.back();
        const size_t merged = keep.merged + m.merged;
        const double first = keep.t;
        if (Severity(m.status) >= Severity(keep.status))
        {
            keep = m;
            keep.t = first;
        }
        keep.merged = merged;
        keep.lastT = m.lastT;
    }
    return out;
}

// ---- drawing -------------------------------------------------------------------------

std::string Esc(const std::string& s)
{
    std::string out;
    for (char c : s)
    {
        switch (c)
        {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        default:
            if (static_cast<unsigned char>(c) >= 0x20 || c == '\t')
            {
                out += c;
            }
        }
    }
    return out;
}

// Coordinates and times with one decimal, trailing ".0" dropped.
std::string N(double v)
{
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.1f", v);
    std::string s = buf;
    if (s.size() > 2 && s.compare(s.size() - 2, 2, ".0") == 0)
    {
        s.resize(s.size() - 2);
    }
    return s == "-0" ? "0" : s;
}

std::string ValueText(uint8_t type, int64_t v)
{
    if (type == KTZMON_SENSOR_TYPE_PWR_SUPPLY || type == KTZMON_SENSOR_TYPE_PWR_RED)
    {
        char buf[24];
        std::snprintf(buf, sizeof buf, "0x%02llx", static_cast<unsigned long long>(v));
        return buf;
    }
    return std::to_string(v);
}

// Cuts `text` so that it fits in `width` pixels, marking the cut with "...".
std::string Fit(const std::string& text, double width, double fontSize, bool bold = false)
{
    if (TimelineTextWidth(text, fontSize, bold) <= width)
    {
        return text;
    }
    std::string s = text;
    while (!s.empty() && TimelineTextWidth(s + "...", fontSize, bold) > width)
    {
        s.pop_back();
        while (!s.empty() && (static_cast<unsigned char>(s.back()) & 0xc0) == 0x80)
        {
            s.pop_back(); // never leave half a UTF-8 sequence
        }
        if (!s.empty() && static_cast<unsigned char>(s.back()) >= 0xc0)
        {
            s.pop_back();
        }
    }
    return s + "...";
}

struct Box
{
    double l, t, r, b;
    bool Overlaps(const Box& o, double gap) const
    {
        return l < o.r + gap && o.l < r + gap && t < o.b + gap && o.t < b + gap;
    }
};

const char* EventColor(const std::string& kind)
{
    if (kind == "connect")
    {
        return "#1e8449";
    }
    if (kind == "disconnect")
    {
        return "#b03a2e";
    }
    if (kind == "log-event")
    {
        return "#b9770e";
    }
    if (kind == "ktz")
    {
        return "#7d3c98";
    }
    return "#148f96";
}

const char* StatusColor(uint8_t status)
{
    switch (status)
    {
    case 1: return "#1e8449";
    case 2: return "#d68910";
    case 3: return "#c0392b";
    default: return "#7f8c8d";
    }
}

constexpr double kFont = 11, kSmall = 9;
constexpr int kLeft = 200, kPlotW = 1000, kWidth = kLeft + kPlotW + 40;
constexpr int kFullLaneH = 56, kCompactLaneH = 36;
constexpr size_t kMaxFullLanes = 24; // one lane per sensor up to this many sensors
constexpr int kEventRowH = 13, kMaxEventRows = 8;
constexpr size_t kMaxMarksPerLane = 150;

class Svg
{
  public:
    std::ostringstream out;

    // Every text is written with its own size, weight and anchor, so that its
    // box can be told from the element alone.
    void Text(double x, double y, const std::string& text, double size, const char* fill = "#000000",
              bool bold = false, const char* anchor = "start", const char* cls = nullptr)
    {
        out << "<text";
        if (cls != nullptr)
        {
            out << " class=\"" << cls << "\"";
        }
        out << " x=\"" << N(x) << "\" y=\"" << N(y) << "\" font-size=\"" << N(size) << "\"";
        if (bold)
        {
            out << " font-weight=\"bold\"";
        }
        if (std::string_view(anchor) != "start")
        {
            out << " text-anchor=\"" << anchor << "\"";
        }
        out << " fill=\"" << fill << "\">" << Esc(text) << "</text>\n";
    }

    // A received-value dot; its shape tells the status as well as its colour.
    void Dot(double x, double y, uint8_t status, const std::string& attrs, const std::string& title)
    {
        const char* color = StatusColor(status);
        const std::string cls = std::string("received status-") + StatusClass(status);
        switch (status)
        {
        case 1:
            out << "<circle class=\"" << cls << "\" cx=\"" << N(x) << "\" cy=\"" << N(y)
                << "\" r=\"3.5\" fill=\"" << color << "\"";
            break;
        case 2:
            out << "<path class=\"" << cls << "\" d=\"M" << N(x) << " " << N(y - 4.5)
                << "l4.5 8h-9z\" fill=\"" << color << "\"";
            break;
        case 3:
            out << "<rect class=\"" << cls << "\" x=\"" << N(x - 3.5) << "\" y=\"" << N(y - 3.5)
                << "\" width=\"7\" height=\"7\" fill=\"" << color << "\"";
            break;
        default:
            out << "<circle class=\"" << cls << "\" cx=\"" << N(x) << "\" cy=\"" << N(y)
                << "\" r=\"3\" fill=\"white\" stroke=\"" << color << "\" stroke-width=\"1.5\"";
            break;
        }
        out << attrs << "><title>" << Esc(title) << "</title></"
            << (status == 2   ? "path"
                : status == 3 ? "rect"
                              : "circle")
            << ">\n";
    }
};

struct Budget
{
    size_t maxLanes = SIZE_MAX;
    size_t maxMarks = kMaxMarksPerLane;
};

std::string Render(const Scenario& s, const RunPicture& p, const Budget& budget)
{
    const double end = p.end;
    auto X = [&](double t) { return kLeft + std::clamp(t, 0.0, end) / end * kPlotW; };
    const double plotRight = kLeft + kPlotW;
    Svg svg;
    auto& out = svg.out;

    // Which lanes are drawn: all of them on a small chassis; on a large one
    // only those in which something changed, as many as the height allows.
    const bool compact = p.lanes.size() > kMaxFullLanes;
    const int laneH = compact ? kCompactLaneH : kFullLaneH;
    std::vector<const Lane*> drawn;
    std::map<std::string, size_t> quietByType;
    size_t quiet = 0, activeLeftOut = 0;
    for (const auto& l : p.lanes)
    {
        if (compact && !l.Active())
        {
            ++quiet;
            ++quietByType[ktzclient::SensorTypeName(l.type)];
        }
        else
        {
            drawn.push_back(&l);
        }
    }

    // ---- heading and legend
    int y = 20;
    const std::string title = s.title.empty() ? "ktzmon-host timeline" : s.title;
    svg.Text(10, y, Fit(title, kWidth - 20, 14, true), 14, "#000000", true);
    y += 18;
    svg.Text(10, y,
             Fit("chassis seconds across, from Load (0) to the end of the run (" + N(end) +
                     "); one lane per sensor" + (compact ? ", those in which something changed" : ""),
                 kWidth - 20, kFont),
             kFont, "#333333");
    y += 8;

    out << "<g class=\"legend\">\n";
    double lx = 10;
    int ly = y + 4;
    auto legendItem = [&](const char* key, const std::string& text, const std::string& swatch)
    {
        const double w = 16 + TimelineTextWidth(text, kFont);
        if (lx + w > kWidth - 10)
        {
            lx = 10;
            ly += 16;
        }
        out << "<g class=\"legend-item\" data-key=\"" << key << "\">";
        // `swatch` is drawn in a 12x12 cell whose top left corner is (0,0).
        out << "<g transform=\"translate(" << N(lx) << "," << ly << ")\">" << swatch << "</g>\n";
        svg.Text(lx + 16, ly + 10, text, kFont, "#333333");
        out << "</g>\n";
        lx += w + 18;
    };
    legendItem("chassis", "chassis value",
               "<line x1=\"0\" y1=\"6\" x2=\"12\" y2=\"6\" stroke=\"#7f8c8d\" stroke-width=\"2\"/>");
    legendItem("status-normal", "received: normal", "<circle cx=\"6\" cy=\"6\" r=\"3.5\" fill=\"#1e8449\"/>");
    legendItem("status-non-critical", "non-critical", "<path d=\"M6 1.5l4.5 8h-9z\" fill=\"#d68910\"/>");
    legendItem("status-critical", "critical",
               "<rect x=\"2.5\" y=\"2.5\" width=\"7\" height=\"7\" fill=\"#c0392b\"/>");
    legendItem("status-unknown", "unknown",
               "<circle cx=\"6\" cy=\"6\" r=\"3\" fill=\"white\" stroke=\"#7f8c8d\" stroke-width=\"1.5\"/>");
    legendItem("delay", "fan delay mode: changes held back",
               "<rect width=\"12\" height=\"12\" fill=\"#f5b041\" fill-opacity=\"0.35\"/>");
    legendItem("ktz-off", "KTZ setting off: no monitoring",
               "<rect width=\"12\" height=\"12\" fill=\"#5d6d7e\" fill-opacity=\"0.15\"/>");
    for (const auto& [kind, text] :
         std::vector<std::pair<const char*, const char*>>{{"connect", "client connects"},
                                                          {"disconnect", "client disconnects"},
                                                          {"client", "other client request"},
                                                          {"log-event", "chassis log event posted"},
                                                          {"ktz", "KTZ setting changed"}})
    {
        legendItem((std::string("event-") + kind).c_str(), text,
                   std::string("<rect x=\"5\" width=\"2\" height=\"12\" fill=\"") + EventColor(kind) +
                       "\"/>");
    }
    out << "</g>\n";
    y = ly + 22;

    // ---- events lane: each event is a short bar at its time with its label
    // beside it, in the first row where the label fits; events that find no
    // row keep their bar (with the label as its tooltip) in a strip below.
    std::vector<std::vector<std::pair<double, double>>> rows;
    struct Placed
    {
        const EventItem* ev;
        int row; // -1: in the strip
        double textX;
        bool before; // label on the left of the bar
        std::string label;
    };
    std::vector<Placed> placed;
    size_t unlabelled = 0;
    for (const auto& ev : p.events)
    {
        const double x = X(ev.t);
        const std::string label = Fit(ev.label, kPlotW * 0.45, kSmall);
        const double w = TimelineTextWidth(label, kSmall);
        const bool before = x + 4 + w > kWidth - 4;
        const double l = before ? x - 4 - w : x - 1;
        const double r = before ? x + 1 : x + 4 + w;
        int row = -1;
        for (int i = 0; i < kMaxEventRows && row < 0; ++i)
        {
            if (static_cast<size_t>(i) == rows.size())
            {
                rows.emplace_back();
            }
            bool free = true;
            for (const auto& [a, b] : rows[static_cast<size_t>(i)])
            {
                free = free && (r + 6 <= a || b + 6 <= l);
            }
            if (free)
            {
                row = i;
                rows[static_cast<size_t>(i)].emplace_back(l, r);
            }
        }
        unlabelled += row < 0 ? 1 : 0;
        placed.push_back({&ev, row, before ? x - 4 : x + 4, before, label});
    }
    while (!rows.empty() && rows.back().empty())
    {
        rows.pop_back();
    }
    const int eventsTop = y;
    const int rowsH = static_cast<int>(std::max<size_t>(rows.size(), 1)) * kEventRowH;
    const int stripTop = eventsTop + 4 + rowsH;
    const int eventsH = 4 + rowsH + (unlabelled > 0 ? 14 : 0) + 6;

    const int axisY = eventsTop + eventsH + 14;
    const int lanesTop = axisY + 6;
    // Room for the summary lines and the bottom axis, then as many lanes as the
    // height limit leaves.
    const int tailH = 2 * 16 + 10 + 24;
    const size_t laneRoom = static_cast<size_t>(std::max(0, (kTimelineMaxHeight - lanesTop - tailH) / laneH));
    const size_t laneCap = std::min(laneRoom, budget.maxLanes);
    if (drawn.size() > laneCap)
    {
        activeLeftOut = drawn.size() - laneCap;
        drawn.resize(laneCap);
    }
    const int lanesBottom = lanesTop + static_cast<int>(drawn.size()) * laneH;
    int tailY = lanesBottom;
    if (quiet > 0 || activeLeftOut > 0)
    {
        tailY += 8 + (quiet > 0 ? 16 : 0) + (activeLeftOut > 0 ? 16 : 0);
    }
    const bool bottomAxis = drawn.size() > 8;
    const int height = tailY + (bottomAxis ? 24 : 0) + 12;

    // The periods with the KTZ setting off, over a lane's background.
    auto ktzOff = [&](int top, int h)
    {
        for (const auto& w : p.ktzOff)
        {
            out << "<rect class=\"ktz-off\" data-start=\"" << N(w.start) << "\" data-end=\"" << N(w.end)
                << "\" x=\"" << N(X(w.start)) << "\" y=\"" << top << "\" width=\""
                << N(std::max(1.0, X(w.end) - X(w.start))) << "\" height=\"" << h
                << "\" fill=\"#5d6d7e\" fill-opacity=\"0.15\"><title>KTZ setting off t=" << N(w.start) << ".."
                << N(w.end) << "</title></rect>\n";
        }
    };

    out << "<g class=\"lane events\" data-lane=\"events\">\n";
    ktzOff(eventsTop, eventsH);
    svg.Text(10, eventsTop + 11, "events", kFont, "#000000", true);
    if (unlabelled > 0)
    {
        svg.Text(10, stripTop + 10, std::to_string(unlabelled) + " more (see tooltips)", kSmall, "#666666");
    }
    out << "<line class=\"baseline\" x1=\"" << kLeft << "\" y1=\"" << eventsTop + eventsH << "\" x2=\""
        << N(plotRight) << "\" y2=\"" << eventsTop + eventsH << "\" stroke=\"#999999\"/>\n";
    std::map<std::pair<long, std::string>, bool> stripBars;
    for (const auto& pl : placed)
    {
        const double x = X(pl.ev->t);
        const char* color = EventColor(pl.ev->kind);
        if (pl.row < 0)
        {
            // One bar per pixel and kind in the strip, whatever the number of events.
            if (!stripBars.emplace(std::make_pair(std::lround(x), pl.ev->kind), true).second)
            {
                continue;
            }
        }
        const int top = pl.row < 0 ? stripTop : eventsTop + 4 + pl.row * kEventRowH;
        out << "<g class=\"event\" data-kind=\"" << pl.ev->kind << "\" data-t=\"" << N(pl.ev->t) << "\">";
        out << "<rect class=\"event-mark\" x=\"" << N(x - 1) << "\" y=\"" << top
            << "\" width=\"2\" height=\"11\" fill=\"" << color << "\"><title>t=" << N(pl.ev->t) << " "
            << Esc(pl.ev->label) << "</title></rect>";
        if (pl.row >= 0)
        {
            svg.Text(pl.textX, top + 9, pl.label, kSmall, color, false, pl.before ? "end" : "start");
        }
        out << "</g>\n";
    }
    out << "</g>\n";

    // ---- time axis above the lanes (and below them on a tall picture); grid
    // lines run through the lanes only, and break around value labels.
    const double stepT = end <= 60     ? 5
                         : end <= 200  ? 10
                         : end <= 600  ? 30
                         : end <= 1800 ? 60
                         : end <= 6000 ? 300
                                       : 600;
    std::vector<double> gridT;
    for (double t = 0; t <= end + 1e-9 && gridT.size() < 200; t += stepT)
    {
        gridT.push_back(t);
    }
    out << "<g class=\"axis\">\n";
    for (double t : gridT)
    {
        svg.Text(X(t), axisY, N(t), kSmall + 1, "#333333", false, "middle");
        if (bottomAxis)
        {
            svg.Text(X(t), tailY + 16, N(t), kSmall + 1, "#333333", false, "middle");
        }
    }
    out << "</g>\n";
    out << "<rect class=\"plot\" x=\"" << kLeft << "\" y=\"" << lanesTop << "\" width=\"" << kPlotW
        << "\" height=\"" << lanesBottom - lanesTop << "\" data-end=\"" << N(end)
        << "\" fill=\"none\" stroke=\"#cccccc\"/>\n";

    std::vector<Box> valueBoxes; // value labels in the lanes, which the grid must not cross
    for (size_t i = 0; i < drawn.size(); ++i)
    {
        const Lane& l = *drawn[i];
        const int y0 = lanesTop + static_cast<int>(i) * laneH;
        const std::vector<Mark> marks = Thin(l.marks, budget.maxMarks, end);
        int64_t lo = 0, hi = 0;
        bool any = false;
        auto widen = [&](int64_t v)
        {
            lo = any ? std::min(lo, v) : v;
            hi = any ? std::max(hi, v) : v;
            any = true;
        };
        for (const auto& [t, v] : l.chassis)
        {
            widen(v);
        }
        for (const auto& m : l.marks)
        {
            widen(m.value);
        }
        const double yTop = y0 + 16, yBot = y0 + laneH - 7;
        auto Y = [&](int64_t v)
        {
            return hi > lo ? yBot - static_cast<double>(v - lo) / static_cast<double>(hi - lo) * (yBot - yTop)
                           : (yTop + yBot) / 2;
        };

        out << "<g class=\"lane sensor\" data-sensor-type=\"" << ktzclient::SensorTypeName(l.type)
            << "\" data-name=\"" << Esc(l.name) << "\">\n";
        out << "<rect x=\"" << kLeft << "\" y=\"" << y0 << "\" width=\"" << kPlotW << "\" height=\"" << laneH
            << "\" fill=\"" << (i % 2 ? "#fafafa" : "#f2f4f7") << "\"/>\n";
        ktzOff(y0, laneH);
        const double nameY = compact ? y0 + 14 : y0 + laneH / 2.0 - 1;
        svg.Text(10, nameY, Fit(l.name, kLeft - 20, kFont, true), kFont, "#000000", true);
        svg.Text(10, nameY + 14,
                 Fit(std::string(ktzclient::SensorTypeName(l.type)) + " " + ValueText(l.type, lo) + ".." +
                         ValueText(l.type, hi),
                     kLeft - 20, kSmall + 1),
                 kSmall + 1, "#666666");
        for (const auto& w : l.delay)
        {
            out << "<rect class=\"delay\" data-start=\"" << N(w.start) << "\" data-end=\"" << N(w.end)
                << "\" x=\"" << N(X(w.start)) << "\" y=\"" << y0 << "\" width=\""
                << N(std::max(1.0, X(w.end) - X(w.start))) << "\" height=\"" << laneH
                << "\" fill=\"#f5b041\" fill-opacity=\"0.35\"><title>delay mode t=" << N(w.start) << ".."
                << N(w.end) << "</title></rect>\n";
        }
        if (!l.chassis.empty())
        {
            out << "<polyline class=\"platform\" fill=\"none\" stroke=\"#7f8c8d\" stroke-width=\"2\" "
                   "points=\"";
            double lastY = Y(l.chassis.front().second);
            out << N(X(0)) << "," << N(lastY);
            for (const auto& [t, v] : l.chassis)
            {
                if (Y(v) != lastY)
                {
                    out << " " << N(X(t)) << "," << N(lastY) << " " << N(X(t)) << "," << N(Y(v));
                    lastY = Y(v);
                }
            }
            out << " " << N(X(end)) << "," << N(lastY) << "\"/>\n";
        }
        std::vector<Box> laneLabels;
        bool first = true;
        int64_t prev = 0;
        for (const auto& m : marks)
        {
            const double x = X(m.t), yv = Y(m.value);
            std::string tip = "t=" + N(m.t);
            if (m.merged > 1)
            {
                tip = std::to_string(m.merged) + " messages t=" + N(m.t) + ".." + N(m.lastT) + ", worst";
            }
            tip += std::string(" ") + StatusClass(m.status) + " " + m.reading + " (client" +
                   (m.clients.size() > 1 ? "s " : " ") + IdRanges(m.clients) + ")";
            std::string attrs = " data-t=\"" + N(m.t) + "\" data-value=\"" + std::to_string(m.value) +
                                "\" data-status=\"" + StatusClass(m.status) + "\"";
            if (m.merged > 1)
            {
                attrs += " data-merged=\"" + std::to_string(m.merged) + "\" data-last=\"" + N(m.lastT) + "\"";
            }
            svg.Dot(x, yv, m.status, attrs, tip);
            if (first || m.value != prev)
            {
                const std::string text = ValueText(l.type, m.value);
                const double w = TimelineTextWidth(text, kSmall);
                const bool before = x + 5 + w > plotRight - 2;
                const double tx = before ? x - 5 : x + 5;
                const Box box{before ? tx - w : tx, yv - 5 - kSmall, before ? tx : tx + w,
                              yv - 5 + kSmall * 0.3};
                bool free = box.t >= y0 && box.b <= y0 + laneH;
                for (const auto& b : laneLabels)
                {
                    free = free && !b.Overlaps(box, 2);
                }
                if (free)
                {
                    laneLabels.push_back(box);
                    svg.Text(tx, yv - 5, text, kSmall, "#1f4e79", false, before ? "end" : "start", "value");
                }
            }
            prev = m.value;
            first = false;
        }
        valueBoxes.insert(valueBoxes.end(), laneLabels.begin(), laneLabels.end());
        out << "</g>\n";
    }

    // Grid lines through the lanes, each cut where a value label sits.
    out << "<g class=\"grid\">\n";
    for (double t : gridT)
    {
        const double x = X(t);
        std::vector<std::pair<double, double>> gaps;
        for (const auto& b : valueBoxes)
        {
            if (x >= b.l - 1 && x <= b.r + 1)
            {
                gaps.emplace_back(b.t - 1, b.b + 1);
            }
        }
        std::sort(gaps.begin(), gaps.end());
        double from = lanesTop;
        auto segment = [&](double a, double b)
        {
            if (b - a > 0.5)
            {
                out << "<line x1=\"" << N(x) << "\" y1=\"" << N(a) << "\" x2=\"" << N(x) << "\" y2=\"" << N(b)
                    << "\" stroke=\"#d5d8dc\" stroke-width=\"0.7\"/>\n";
            }
        };
        for (const auto& [a, b] : gaps)
        {
            segment(from, a);
            from = std::max(from, b);
        }
        segment(from, lanesBottom);
    }
    out << "</g>\n";

    if (quiet > 0 || activeLeftOut > 0)
    {
        int ty = lanesBottom + 8;
        out << "<g class=\"summary\" data-quiet=\"" << quiet << "\" data-left-out=\"" << activeLeftOut
            << "\">\n";
        if (quiet > 0)
        {
            std::string text =
                std::to_string(quiet) + " quiet sensors not drawn (the same value and status all run):";
            const char* sep = " ";
            for (const auto& [type, n] : quietByType)
            {
                text += sep + std::to_string(n) + " " + type;
                sep = ", ";
            }
            ty += 16;
            svg.Text(10, ty - 4, Fit(text, kWidth - 20, kFont), kFont, "#333333");
        }
        if (activeLeftOut > 0)
        {
            ty += 16;
            svg.Text(10, ty - 4,
                     Fit(std::to_string(activeLeftOut) + " more sensors changed but are not drawn, to keep "
                                                         "the picture small: see the transcript",
                         kWidth - 20, kFont),
                     kFont, "#b03a2e");
        }
        out << "</g>\n";
    }

    std::ostringstream doc;
    doc << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
    doc << "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" << kWidth << "\" height=\"" << height
        << "\" viewBox=\"0 0 " << kWidth << " " << height << "\" font-family=\"sans-serif\">\n";
    doc << "<title>" << Esc(title) << "</title>\n";
    doc << "<rect x=\"0\" y=\"0\" width=\"" << kWidth << "\" height=\"" << height << "\" fill=\"white\"/>\n";
    doc << out.str() << "</svg>\n";
    return doc.str();
}

} // namespace

void WriteTimelineSvg(std::ostream& out, const Scenario& s, const RunResult& r)
{
    const RunPicture picture = Collect(r);
    // The layout bounds the height; the size is bounded by drawing fewer lanes
    // and fewer dots per lane until it fits.
    Budget budget;
    std::string svg = Render(s, picture, budget);
    for (int i = 0; i < 12 && svg.size() > kTimelineMaxBytes; ++i)
    {
        budget.maxLanes = std::min(budget.maxLanes, picture.lanes.size()) / 2;
        budget.maxMarks /= 2;
        svg = Render(s, picture, budget);
    }
    out << svg;
}

} // namespace ktzhost
