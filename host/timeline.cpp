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
#include <set>
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
constexpr int kEventRowH = 13;
constexpr size_t kMaxEventRows = 8;
constexpr size_t kMaxMarksPerLane = 150;

struct Budget
{
    size_t maxLanes = SIZE_MAX;
    size_t maxMarks = kMaxMarksPerLane;
};

// Chassis-time steps between axis labels: round numbers, at most 20 of them.
double AxisStep(double end)
{
    double step = 5;
    for (double next : {10.0, 30.0, 60.0, 120.0, 300.0, 600.0, 1800.0, 3600.0})
    {
        if (end / step <= 20)
        {
            break;
        }
        step = next;
    }
    while (end / step > 20)
    {
        step *= 2;
    }
    return step;
}

// One drawing of a run within a budget. The parts are laid out top to bottom
// first, so the height is known, and then drawn.
class Drawing
{
  public:
    Drawing(const Scenario& s, const RunPicture& p, const Budget& budget)
        : p_(p), budget_(budget), title_(s.title.empty() ? "ktzmon-host timeline" : s.title)
    {
    }

    std::string Svg()
    {
        ChooseLanes();
        Heading();
        Legend();
        PlaceEvents();
        PlaceLanes();
        EventsLane();
        Axis();
        for (size_t i = 0; i < drawn_.size(); ++i)
        {
            SensorLane(*drawn_[i], i);
        }
        Grid();
        Summary();

        std::ostringstream doc;
        doc << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
        doc << "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" << kWidth << "\" height=\"" << height_
            << "\" viewBox=\"0 0 " << kWidth << " " << height_ << "\" font-family=\"sans-serif\">\n";
        doc << "<title>" << Esc(title_) << "</title>\n";
        doc << "<rect x=\"0\" y=\"0\" width=\"" << kWidth << "\" height=\"" << height_
            << "\" fill=\"white\"/>\n";
        doc << out_.str() << "</svg>\n";
        return doc.str();
    }

  private:
    struct PlacedEvent
    {
        const EventItem* ev;
        int row; // -1: in the strip of unlabelled events
        double textX;
        bool before; // label on the left of the bar
        std::string label;
    };

    static constexpr double kPlotRight = kLeft + kPlotW;

    double X(double t) const { return kLeft + std::clamp(t, 0.0, p_.end) / p_.end * kPlotW; }

    // Every text is written with its own size, weight and anchor, so that its
    // box can be told from the element alone.
    void Text(double x, double y, const std::string& text, double size, const char* fill = "#000000",
              bool bold = false, const char* anchor = "start")
    {
        out_ << "<text x=\"" << N(x) << "\" y=\"" << N(y) << "\" font-size=\"" << N(size) << "\"";
        if (bold)
        {
            out_ << " font-weight=\"bold\"";
        }
        if (std::string_view(anchor) != "start")
        {
            out_ << " text-anchor=\"" << anchor << "\"";
        }
        out_ << " fill=\"" << fill << "\">" << Esc(text) << "</text>\n";
    }

    // Which lanes are drawn: all of them on a small chassis; on a large one
    // only those in which something changed (PlaceLanes cuts them to the height).
    void ChooseLanes()
    {
        compact_ = p_.lanes.size() > kMaxFullLanes;
        laneH_ = compact_ ? kCompactLaneH : kFullLaneH;
        for (const auto& l : p_.lanes)
        {
            if (compact_ && !l.Active())
            {
                ++quiet_;
                ++quietByType_[ktzclient::SensorTypeName(l.type)];
            }
            else
            {
                drawn_.push_back(&l);
            }
        }
    }

    void Heading()
    {
        Text(10, 20, Fit(title_, kWidth - 20, 14, true), 14, "#000000", true);
        Text(10, 38,
             Fit("chassis seconds across, from Load (0) to the end of the run (" + N(p_.end) +
                     "); one lane per sensor" + (compact_ ? ", those in which something changed" : ""),
                 kWidth - 20, kFont),
             kFont, "#333333");
        y_ = 46;
    }

    // One item per mark and colour the picture uses, flowing left to right.
    void Legend()
    {
        out_ << "<g class=\"legend\">\n";
        double x = 10;
        int y = y_ + 4;
        auto item = [&](const std::string& key, const std::string& text, const std::string& swatch)
        {
            const double w = 16 + TimelineTextWidth(text, kFont);
            if (x + w > kWidth - 10)
            {
                x = 10;
                y += 16;
            }
            out_ << "<g class=\"legend-item\" data-key=\"" << key << "\">";
            // `swatch` is drawn in a 12x12 cell whose top left corner is (0,0).
            out_ << "<g transform=\"translate(" << N(x) << "," << y << ")\">" << swatch << "</g>\n";
            Text(x + 16, y + 10, text, kFont, "#333333");
            out_ << "</g>\n";
            x += w + 18;
        };
        item("chassis", "chassis value",
             "<line x1=\"0\" y1=\"6\" x2=\"12\" y2=\"6\" stroke=\"#7f8c8d\" stroke-width=\"2\"/>");
        item("status-normal", "received: normal", "<circle cx=\"6\" cy=\"6\" r=\"3.5\" fill=\"#1e8449\"/>");
        item("status-non-critical", "non-critical", "<path d=\"M6 1.5l4.5 8h-9z\" fill=\"#d68910\"/>");
        item("status-critical", "critical",
             "<rect x=\"2.5\" y=\"2.5\" width=\"7\" height=\"7\" fill=\"#c0392b\"/>");
        item("status-unknown", "unknown",
             "<circle cx=\"6\" cy=\"6\" r=\"3\" fill=\"white\" stroke=\"#7f8c8d\" stroke-width=\"1.5\"/>");
        item("delay", "fan delay mode: changes held back",
             "<rect width=\"12\" height=\"12\" fill=\"#f5b041\" fill-opacity=\"0.35\"/>");
        item("ktz-off", "KTZ setting off: no monitoring",
             "<rect width=\"12\" height=\"12\" fill=\"#5d6d7e\" fill-opacity=\"0.15\"/>");
        for (const auto& [kind, text] :
             std::vector<std::pair<const char*, const char*>>{{"connect", "client connects"},
                                                              {"disconnect", "client disconnects"},
                                                              {"client", "other client request"},
                                                              {"log-event", "chassis log event posted"},
                                                              {"ktz", "KTZ setting changed"}})
        {
            item(std::string("event-") + kind, text,
                 std::string("<rect x=\"5\" width=\"2\" height=\"12\" fill=\"") + EventColor(kind) + "\"/>");
        }
        out_ << "</g>\n";
        y_ = y + 22;
    }

    // Each event is a short bar at its time with its label beside it, in the
    // first row where the label fits (on the bar's left near the right edge);
    // events that find no row keep their bar, with the label as its tooltip,
    // in a strip below the rows.
    void PlaceEvents()
    {
        std::vector<std::vector<std::pair<double, double>>> rows;
        for (const auto& ev : p_.events)
        {
            const double x = X(ev.t);
            const std::string label = Fit(ev.label, kPlotW * 0.45, kSmall);
            const double w = TimelineTextWidth(label, kSmall);
            const bool before = x + 4 + w > kWidth - 4;
            const double l = before ? x - 4 - w : x - 1;
            const double r = before ? x + 1 : x + 4 + w;
            int row = -1;
            for (size_t i = 0; i < kMaxEventRows && row < 0; ++i)
            {
                if (i == rows.size())
                {
                    rows.emplace_back();
                }
                bool free = true;
                for (const auto& [a, b] : rows[i])
                {
                    free = free && (r + 6 <= a || b + 6 <= l);
                }
                if (free)
                {
                    row = static_cast<int>(i);
                    rows[i].emplace_back(l, r);
                }
            }
            unlabelled_ += row < 0 ? 1 : 0;
            events_.push_back({&ev, row, before ? x - 4 : x + 4, before, label});
        }
        size_t used = 0;
        for (size_t i = 0; i < rows.size(); ++i)
        {
            used = rows[i].empty() ? used : i + 1;
        }
        eventsTop_ = y_;
        const int rowsH = static_cast<int>(std::max<size_t>(used, 1)) * kEventRowH;
        stripTop_ = eventsTop_ + 4 + rowsH;
        eventsH_ = 4 + rowsH + (unlabelled_ > 0 ? 14 : 0) + 6;
    }

    // The lanes below the axis: as many as the height limit leaves room for,
    // with the summary lines and the bottom axis.
    void PlaceLanes()
    {
        axisY_ = eventsTop_ + eventsH_ + 14;
        lanesTop_ = axisY_ + 6;
        const int tailH = 2 * 16 + 10 + 24 + 12;
        const size_t room =
            static_cast<size_t>(std::max(0, (kTimelineMaxHeight - lanesTop_ - tailH) / laneH_));
        const size_t cap = std::min(room, budget_.maxLanes);
        if (drawn_.size() > cap)
        {
            leftOut_ = drawn_.size() - cap;
            drawn_.resize(cap);
        }
        lanesBottom_ = lanesTop_ + static_cast<int>(drawn_.size()) * laneH_;
        tailY_ = lanesBottom_;
        if (quiet_ > 0 || leftOut_ > 0)
        {
            tailY_ += 8 + (quiet_ > 0 ? 16 : 0) + (leftOut_ > 0 ? 16 : 0);
        }
        bottomAxis_ = drawn_.size() > 8;
        height_ = tailY_ + (bottomAxis_ ? 24 : 0) + 12;
    }

    // The periods with the KTZ setting off, over a lane's background.
    void KtzOff(int top, int h)
    {
        for (const auto& w : p_.ktzOff)
        {
            out_ << "<rect class=\"ktz-off\" data-start=\"" << N(w.start) << "\" data-end=\"" << N(w.end)
                 << "\" x=\"" << N(X(w.start)) << "\" y=\"" << top << "\" width=\""
                 << N(std::max(1.0, X(w.end) - X(w.start))) << "\" height=\"" << h
                 << "\" fill=\"#5d6d7e\" fill-opacity=\"0.15\"><title>KTZ setting off t=" << N(w.start)
                 << ".." << N(w.end) << "</title></rect>\n";
        }
    }

    void EventsLane()
    {
        out_ << "<g class=\"lane events\" data-lane=\"events\">\n";
        KtzOff(eventsTop_, eventsH_);
        Text(10, eventsTop_ + 11, "events", kFont, "#000000", true);
        if (unlabelled_ > 0)
        {
            Text(10, stripTop_ + 10, std::to_string(unlabelled_) + " more (see tooltips)", kSmall, "#666666");
        }
        const int baseY = eventsTop_ + eventsH_;
        out_ << "<line class=\"baseline\" x1=\"" << kLeft << "\" y1=\"" << baseY << "\" x2=\""
             << N(kPlotRight) << "\" y2=\"" << baseY << "\" stroke=\"#999999\"/>\n";
        std::set<std::pair<long, std::string>> stripBars;
        for (const auto& pe : events_)
        {
            const double x = X(pe.ev->t);
            const char* color = EventColor(pe.ev->kind);
            // One bar per pixel and kind in the strip, whatever the number of events.
            if (pe.row < 0 && !stripBars.emplace(std::lround(x), pe.ev->kind).second)
            {
                continue;
            }
            const int top = pe.row < 0 ? stripTop_ : eventsTop_ + 4 + pe.row * kEventRowH;
            out_ << "<g class=\"event\" data-kind=\"" << pe.ev->kind << "\" data-t=\"" << N(pe.ev->t)
                 << "\">";
            out_ << "<rect class=\"event-mark\" x=\"" << N(x - 1) << "\" y=\"" << top
                 << "\" width=\"2\" height=\"11\" fill=\"" << color << "\"><title>t=" << N(pe.ev->t) << " "
                 << Esc(pe.ev->label) << "</title></rect>";
            if (pe.row >= 0)
            {
                Text(pe.textX, top + 9, pe.label, kSmall, color, false, pe.before ? "end" : "start");
            }
            out_ << "</g>\n";
        }
        out_ << "</g>\n";
    }

    // Time labels above the lanes (and below them on a tall picture), and the
    // plot's frame, which also tells the time scale.
    void Axis()
    {
        const double step = AxisStep(p_.end);
        for (double t = 0; t <= p_.end + 1e-9; t += step)
        {
            gridT_.push_back(t);
        }
        out_ << "<g class=\"axis\">\n";
        for (double t : gridT_)
        {
            Text(X(t), axisY_, N(t), kSmall + 1, "#333333", false, "middle");
            if (bottomAxis_)
            {
                Text(X(t), tailY_ + 16, N(t), kSmall + 1, "#333333", false, "middle");
            }
        }
        out_ << "</g>\n";
        out_ << "<rect class=\"plot\" x=\"" << kLeft << "\" y=\"" << lanesTop_ << "\" width=\"" << kPlotW
             << "\" height=\"" << lanesBottom_ - lanesTop_ << "\" data-end=\"" << N(p_.end)
             << "\" fill=\"none\" stroke=\"#cccccc\"/>\n";
    }

    void SensorLane(const Lane& l, size_t index)
    {
        const int y0 = lanesTop_ + static_cast<int>(index) * laneH_;
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
        const double yTop = y0 + 16, yBot = y0 + laneH_ - 7;
        auto Y = [&](int64_t v)
        {
            return hi > lo ? yBot - static_cast<double>(v - lo) / static_cast<double>(hi - lo) * (yBot - yTop)
                           : (yTop + yBot) / 2;
        };

        out_ << "<g class=\"lane sensor\" data-sensor-type=\"" << ktzclient::SensorTypeName(l.type)
             << "\" data-name=\"" << Esc(l.name) << "\">\n";
        out_ << "<rect x=\"" << kLeft << "\" y=\"" << y0 << "\" width=\"" << kPlotW << "\" height=\""
             << laneH_ << "\" fill=\"" << (index % 2 ? "#fafafa" : "#f2f4f7") << "\"/>\n";
        KtzOff(y0, laneH_);
        const double nameY = compact_ ? y0 + 14 : y0 + laneH_ / 2.0 - 1;
        Text(10, nameY, Fit(l.name, kLeft - 20, kFont, true), kFont, "#000000", true);
        const std::string range =
            ValueText(l.type, lo) + (hi > lo ? ".." + ValueText(l.type, hi) : std::string());
        Text(10, nameY + 14,
             Fit(std::string(ktzclient::SensorTypeName(l.type)) + " " + range, kLeft - 20, kSmall + 1),
             kSmall + 1, "#666666");
        for (const auto& w : l.delay)
        {
            out_ << "<rect class=\"delay\" data-start=\"" << N(w.start) << "\" data-end=\"" << N(w.end)
                 << "\" x=\"" << N(X(w.start)) << "\" y=\"" << y0 << "\" width=\""
                 << N(std::max(1.0, X(w.end) - X(w.start))) << "\" height=\"" << laneH_
                 << "\" fill=\"#f5b041\" fill-opacity=\"0.35\"><title>delay mode t=" << N(w.start) << ".."
                 << N(w.end) << "</title></rect>\n";
        }
        if (!l.chassis.empty())
        {
            out_ << "<polyline class=\"platform\" fill=\"none\" stroke=\"#7f8c8d\" stroke-width=\"2\" "
                    "points=\"";
            double lastY = Y(l.chassis.front().second);
            out_ << N(X(0)) << "," << N(lastY);
            for (const auto& [t, v] : l.chassis)
            {
                if (Y(v) != lastY)
                {
                    out_ << " " << N(X(t)) << "," << N(lastY) << " " << N(X(t)) << "," << N(Y(v));
                    lastY = Y(v);
                }
            }
            out_ << " " << N(X(p_.end)) << "," << N(lastY) << "\"/>\n";
        }
        std::vector<Box> labels;
        const Mark* prev = nullptr;
        for (const auto& m : Thin(l.marks, budget_.maxMarks, p_.end))
        {
            const double x = X(m.t), y = Y(m.value);
            Dot(x, y, m);
            // The value beside its dot where it changes, unless it would hit
            // another label or leave the lane.
            if (prev == nullptr || m.value != prev->value)
            {
                const std::string text = ValueText(l.type, m.value);
                const double w = TimelineTextWidth(text, kSmall);
                const bool before = x + 5 + w > kPlotRight - 2;
                const double tx = before ? x - 5 : x + 5;
                const Box box{before ? tx - w : tx, y - 5 - kSmall, before ? tx : tx + w,
                              y - 5 + kSmall * 0.3};
                bool free = box.t >= y0 && box.b <= y0 + laneH_;
                for (const auto& b : labels)
                {
                    free = free && !b.Overlaps(box, 2);
                }
                if (free)
                {
                    labels.push_back(box);
                    Text(tx, y - 5, text, kSmall, "#1f4e79", false, before ? "end" : "start");
                }
            }
            prev = &m;
        }
        valueBoxes_.insert(valueBoxes_.end(), labels.begin(), labels.end());
        out_ << "</g>\n";
    }

    // A received-value dot; its shape tells the status as well as its colour.
    void Dot(double x, double y, const Mark& m)
    {
        const char* color = StatusColor(m.status);
        const char* element = m.status == 2 ? "path" : m.status == 3 ? "rect" : "circle";
        out_ << "<" << element << " class=\"received status-" << StatusClass(m.status) << "\" ";
        switch (m.status)
        {
        case 1:
            out_ << "cx=\"" << N(x) << "\" cy=\"" << N(y) << "\" r=\"3.5\" fill=\"" << color << "\"";
            break;
        case 2:
            out_ << "d=\"M" << N(x) << " " << N(y - 4.5) << "l4.5 8h-9z\" fill=\"" << color << "\"";
            break;
        case 3:
            out_ << "x=\"" << N(x - 3.5) << "\" y=\"" << N(y - 3.5) << "\" width=\"7\" height=\"7\" fill=\""
                 << color << "\"";
            break;
        default:
            out_ << "cx=\"" << N(x) << "\" cy=\"" << N(y) << "\" r=\"3\" fill=\"white\" stroke=\"" << color
                 << "\" stroke-width=\"1.5\"";
            break;
        }
        out_ << " data-t=\"" << N(m.t) << "\" data-value=\"" << m.value << "\" data-status=\""
             << StatusClass(m.status) << "\"";
        std::string tip = "t=" + N(m.t);
        if (m.merged > 1)
        {
            out_ << " data-merged=\"" << m.merged << "\" data-last=\"" << N(m.lastT) << "\"";
            tip = std::to_string(m.merged) + " messages t=" + N(m.t) + ".." + N(m.lastT) + ", worst";
        }
        tip += std::string(" ") + StatusClass(m.status) + " " + m.reading + " (client" +
               (m.clients.size() > 1 ? "s " : " ") + IdRanges(m.clients) + ")";
        out_ << "><title>" << Esc(tip) << "</title></" << element << ">\n";
    }

    // Grid lines through the lanes, each cut where a value label sits.
    void Grid()
    {
        out_ << "<g class=\"grid\">\n";
        for (double t : gridT_)
        {
            const double x = X(t);
            std::vector<std::pair<double, double>> gaps;
            for (const auto& b : valueBoxes_)
            {
                if (x >= b.l - 1 && x <= b.r + 1)
                {
                    gaps.emplace_back(b.t - 1, b.b + 1);
                }
            }
            std::sort(gaps.begin(), gaps.end());
            double from = lanesTop_;
            auto segment = [&](double a, double b)
            {
                if (b - a > 0.5)
                {
                    out_ << "<line x1=\"" << N(x) << "\" y1=\"" << N(a) << "\" x2=\"" << N(x) << "\" y2=\""
                         << N(b) << "\" stroke=\"#d5d8dc\" stroke-width=\"0.7\"/>\n";
                }
            };
            for (const auto& [a, b] : gaps)
            {
                segment(from, a);
                from = std::max(from, b);
            }
            segment(from, lanesBottom_);
        }
        out_ << "</g>\n";
    }

    // What was not drawn: the quiet sensors by type, and the changing ones the
    // limits left out.
    void Summary()
    {
        if (quiet_ == 0 && leftOut_ == 0)
        {
            return;
        }
        int y = lanesBottom_ + 8;
        out_ << "<g class=\"summary\" data-quiet=\"" << quiet_ << "\" data-left-out=\"" << leftOut_
             << "\">\n";
        if (quiet_ > 0)
        {
            std::string text =
                std::to_string(quiet_) + " quiet sensors not drawn (the same value and status all run):";
            const char* sep = " ";
            for (const auto& [type, n] : quietByType_)
            {
                text += sep + std::to_string(n) + " " + type;
                sep = ", ";
            }
            y += 16;
            Text(10, y - 4, Fit(text, kWidth - 20, kFont), kFont, "#333333");
        }
        if (leftOut_ > 0)
        {
            y += 16;
            Text(10, y - 4,
                 Fit(std::to_string(leftOut_) + " more sensors changed but are not drawn, to keep the "
                                                "picture small: see the transcript",
                     kWidth - 20, kFont),
                 kFont, "#b03a2e");
        }
        out_ << "</g>\n";
    }

    const RunPicture& p_;
    const Budget budget_;
    const std::string title_;
    std::ostringstream out_;

    bool compact_ = false;
    int laneH_ = kFullLaneH;
    std::vector<const Lane*> drawn_;
    std::map<std::string, size_t> quietByType_;
    size_t quiet_ = 0, leftOut_ = 0;

    std::vector<PlacedEvent> events_;
    size_t unlabelled_ = 0;
    int y_ = 0, eventsTop_ = 0, eventsH_ = 0, stripTop_ = 0;
    int axisY_ = 0, lanesTop_ = 0, lanesBottom_ = 0, tailY_ = 0, height_ = 0;
    bool bottomAxis_ = false;
    std::vector<double> gridT_;
    std::vector<Box> valueBoxes_; // value labels in the lanes, which the grid must not cross
};

} // namespace

void WriteTimelineSvg(std::ostream& out, const Scenario& s, const RunResult& r)
{
    const RunPicture picture = Collect(r);
    // The layout bounds the height; the size is bounded by drawing fewer lanes
    // and fewer dots per lane until it fits.
    Budget budget;
    std::string svg = Drawing(s, picture, budget).Svg();
    for (int i = 0; i < 12 && svg.size() > kTimelineMaxBytes; ++i)
    {
        budget.maxLanes = std::min(budget.maxLanes, picture.lanes.size()) / 2;
        budget.maxMarks /= 2;
        svg = Drawing(s, picture, budget).Svg();
    }
    out << svg;
}

} // namespace ktzhost
