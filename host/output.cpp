// Transcript, JSON lines and SVG timeline of a run.
#include "output.h"

#include "fields.h"
#include "ktzclient_decode.h"

#include <ktzmon/protocol.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdio>
#include <map>
#include <memory>
#include <set>
#include <variant>

namespace ktzhost
{
namespace
{

std::string Printf(const char* fmt, double v)
{
    char buf[64];
    std::snprintf(buf, sizeof buf, fmt, v);
    return buf;
}

std::string Who(const Event& ev)
{
    switch (ev.kind)
    {
    case Event::Kind::Host: return "host";
    case Event::Kind::Step: return "chassis";
    case Event::Kind::Message: return "client " + std::to_string(ev.client);
    case Event::Kind::Log: return "module log";
    case Event::Kind::Removed: return "module";
    default: return "ktzmon-host";
    }
}

std::string Chomp(const std::string& s)
{
    std::string out = s;
    while (!out.empty() && out.back() == '\n')
    {
        out.pop_back();
    }
    for (char& c : out)
    {
        if (c == '\n')
        {
            c = ' ';
        }
    }
    return out;
}

std::string MessageText(const Event& ev)
{
    const auto d = ktzclient::Decode(ev.requestClass, ev.requestType, ev.bytes);
    std::string t = d.ok ? ktzclient::Describe(d.value)
                         : std::string(ktzclient::RequestTypeName(ev.requestType)) + " MALFORMED: " + d.error;
    if (ev.status != 0)
    {
        t += "  [client answers status " + std::to_string(ev.status) + "]";
    }
    if (ev.rspLen != 0 && ev.requestType != KTZMON_REQ_GET_KTZ_CAPS)
    {
        t += "  [client answers " + std::to_string(ev.rspLen) + " bytes of data]";
    }
    if (ev.requestType == KTZMON_REQ_GET_KTZ_CAPS)
    {
        const auto caps = ktzclient::DecodeCapsReply(ev.response.data(), ev.response.size());
        t += "  [client answers " + std::to_string(ev.rspLen) + " bytes" +
             (caps.ok ? ": caps " + ktzclient::CapsText(caps.value.caps) : "") + "]";
    }
    return t;
}

std::string EventText(const Event& ev)
{
    switch (ev.kind)
    {
    case Event::Kind::Host:
        if (ev.text == "Load" || ev.text == "Unload" || ev.text == "Start-monitor" ||
            ev.text == "Stop-monitor")
        {
            return ev.text + " -> status " + std::to_string(ev.status) + (ev.ok ? "" : "  FAILED");
        }
        return ev.text + (ev.ok ? "" : "  FAILED (status " + std::to_string(ev.status) + ")");
    case Event::Kind::Message: return MessageText(ev);
    case Event::Kind::Log: return Chomp(ev.text);
    default: return ev.text;
    }
}

constexpr size_t kHexPerLine = 16;

void HexLines(std::ostream& out, const std::vector<uint8_t>& bytes, const std::string& indent,
              const char* label = "")
{
    for (size_t off = 0; off < bytes.size(); off += kHexPerLine)
    {
        char head[32];
        std::snprintf(head, sizeof head, "%04zx: ", off);
        const size_t n = std::min(kHexPerLine, bytes.size() - off);
        out << indent << label << head << ktzclient::Hex(bytes.data() + off, n) << "\n";
    }
}

// Messages received per client and type.
std::map<uint32_t, std::map<uint32_t, unsigned>> Counts(const RunResult& r)
{
    std::map<uint32_t, std::map<uint32_t, unsigned>> c;
    for (const auto& ev : r.events)
    {
        if (ev.kind == Event::Kind::Message)
        {
            c[ev.client][ev.requestType] += 1;
        }
    }
    return c;
}

} // namespace

namespace
{

// The transcript: a header, one aligned line per event as it happens, then
// the message counts, the expectations and the result.
class TranscriptWriter : public RunWriter
{
  public:
    TranscriptWriter(std::ostream& out, const OutputOptions& o) : out_(out), o_(o) {}

    void Begin(const Scenario& s) override
    {
        if (!s.title.empty())
        {
            out_ << s.title << "\n";
        }
        if (!s.description.empty())
        {
            out_ << s.description << (s.description.back() == '\n' ? "" : "\n");
        }
        out_ << "\n";
        char head[128];
        std::snprintf(head, sizeof head, "%8s  %-12s  %s\n", "t (s)", "who", "what");
        out_ << head << std::flush;
    }

    void Add(const Event& ev) override
    {
        if (ev.kind == Event::Kind::Log && !o_.showLog)
        {
            return;
        }
        const std::string indent(8 + 2 + 12 + 2, ' ');
        char line[64];
        std::snprintf(line, sizeof line, "%8.1f  %-12s  ", ev.t, Who(ev).c_str());
        out_ << line << EventText(ev) << "\n";
        if (o_.hex &&
            (ev.kind == Event::Kind::Message || (ev.kind == Event::Kind::Host && !ev.bytes.empty())))
        {
            HexLines(out_, ev.bytes, indent);
            if (ev.kind == Event::Kind::Message && !ev.response.empty())
            {
                HexLines(out_, ev.response, indent, "answer ");
            }
        }
        out_ << std::flush;
    }

    void End(const Scenario& s, const RunResult& r) override
    {
        out_ << "\nMessages received\n";
        for (const auto& [client, types] : Counts(r))
        {
            out_ << "  client " << client << ":";
            for (const auto& [type, n] : types)
            {
                out_ << " " << ktzclient::RequestTypeName(type) << " " << n;
            }
            out_ << "\n";
        }
        out_ << "\nExpectations\n";
        unsigned unmet = 0;
        if (r.interrupted)
        {
            out_ << "  not checked: the run was interrupted\n";
        }
        else if (s.expectations.empty())
        {
            out_ << "  none: nothing was checked\n";
        }
        for (const auto& oc : r.outcomes)
        {
            unmet += oc.ok ? 0 : 1;
            out_ << "  " << (oc.ok ? "ok      " : "FAILED  ") << "line " << oc.expectation.line << ": "
                 << oc.expectation.Describe() << " (" << oc.detail << ")\n";
        }
        out_ << "\n";
        if (r.ok)
        {
            out_ << (s.expectations.empty() ? "Result: ok, the run completed (no expectations to check)\n"
                                            : "Result: ok, the run went as the scenario expects\n");
        }
        else if (r.interrupted)
        {
            out_ << "Result: INTERRUPTED at t=" << Seconds(r.end) << "\n";
        }
        else
        {
            out_ << "Result: FAILED\n";
            if (unmet != 0)
            {
                out_ << "  " << unmet << " expectation(s) not met (listed above)\n";
            }
        }
        for (const auto& f : r.failures)
        {
            out_ << "  " << f << "\n";
        }
        out_ << std::flush;
    }

  private:
    std::ostream& out_;
    OutputOptions o_;
};

// One JSON object per line.
class JsonWriter : public RunWriter
{
  public:
    JsonWriter(std::ostream& out, const OutputOptions& o) : out_(out), o_(o) {}

    void Begin(const Scenario& s) override
    {
        Line(nlohmann::json{{"kind", "scenario"},
                            {"title", s.title},
                            {"end", s.end},
                            {"expectations", s.expectations.size()}});
    }

    void Add(const Event& ev) override
    {
        using nlohmann::json;
        if (ev.kind == Event::Kind::Log && !o_.showLog)
        {
            return;
        }
        json j = {{"t", ev.t}};
        switch (ev.kind)
        {
        case Event::Kind::Host:
            j["kind"] = "host";
            j["text"] = ev.text;
            j["status"] = ev.status;
            j["ok"] = ev.ok;
            if (ev.client != 0)
            {
                j["client"] = ev.client;
            }
            if (!ev.bytes.empty())
            {
                const auto caps = ktzclient::DecodeCapsReply(ev.bytes.data(), ev.bytes.size());
                if (caps.ok)
                {
                    j["caps"] = caps.value.caps;
                }
                if (o_.hex)
                {
                    j["hex"] = ktzclient::Hex(ev.bytes.data(), ev.bytes.size());
                }
            }
            break;
        case Event::Kind::Step:
            j["kind"] = "step";
            j["text"] = ev.text;
            break;
        case Event::Kind::Log:
            j["kind"] = "log";
            j["text"] = Chomp(ev.text);
            break;
        case Event::Kind::Note:
            j["kind"] = "note";
            j["text"] = ev.text;
            j["ok"] = ev.ok;
            break;
        case Event::Kind::Removed:
            j["kind"] = "removed";
            j["client"] = ev.client;
            j["text"] = ev.text;
            break;
        case Event::Kind::Message:
        {
            j["kind"] = "message";
            j["client"] = ev.client;
            j["type"] = ktzclient::RequestTypeName(ev.requestType);
            j["type_code"] = ev.requestType;
            j["size"] = ev.bytes.size();
            j["status"] = ev.status;
            j["response_length"] = ev.rspLen;
            const auto d = ktzclient::Decode(ev.requestClass, ev.requestType, ev.bytes);
            if (d.ok)
            {
                j["fields"] = Fields(d.value);
            }
            else
            {
                j["error"] = d.error;
            }
            if (ev.requestType == KTZMON_REQ_GET_KTZ_CAPS)
            {
                const auto caps = ktzclient::DecodeCapsReply(ev.response.data(), ev.response.size());
                if (caps.ok)
                {
                    j["answer_caps"] = caps.value.caps;
                }
            }
            if (o_.hex)
            {
                j["hex"] = ktzclient::Hex(ev.bytes.data(), ev.bytes.size());
                if (!ev.response.empty())
                {
                    j["answer_hex"] = ktzclient::Hex(ev.response.data(), ev.response.size());
                }
            }
            break;
        }
        }
        // A step's action and values, a note's file, a removal's reason.
        for (const auto& f : ev.fields)
        {
            std::visit([&](const auto& v) { j[f.key] = v; }, f.value);
        }
        Line(j);
    }

    void End(const Scenario&, const RunResult& r) override
    {
        using nlohmann::json;
        json unmet = json::array();
        for (const auto& oc : r.outcomes)
        {
            Line(json{{"kind", "expect"},
                      {"line", oc.expectation.line},
                      {"text", oc.expectation.Describe()},
                      {"ok", oc.ok},
                      {"detail", oc.detail}});
            if (!oc.ok)
            {
                unmet.push_back(oc.expectation.line);
            }
        }
        json counts = json::object();
        for (const auto& [client, types] : Counts(r))
        {
            json c = json::object();
            for (const auto& [type, n] : types)
            {
                c[ktzclient::RequestTypeName(type)] = n;
            }
            counts[std::to_string(client)] = c;
        }
        Line(json{{"kind", "result"},
                  {"ok", r.ok},
                  {"interrupted", r.interrupted},
                  {"end", r.end},
                  {"checked", r.outcomes.size()},
                  {"unmet", unmet},
                  {"failures", r.failures},
                  {"messages", counts}});
    }

  private:
    void Line(const nlohmann::json& j) { out_ << j.dump() << "\n" << std::flush; }

    std::ostream& out_;
    OutputOptions o_;
};

} // namespace

std::unique_ptr<RunWriter> MakeRunWriter(std::ostream& out, const OutputOptions& o)
{
    if (o.json)
    {
        return std::make_unique<JsonWriter>(out, o);
    }
    return std::make_unique<TranscriptWriter>(out, o);
}

void WriteTranscript(std::ostream& out, const Scenario& s, const RunResult& r, const OutputOptions& o)
{
    TranscriptWriter w(out, o);
    w.Begin(s);
    for (const auto& ev : r.events)
    {
        w.Add(ev);
    }
    w.End(s, r);
}

void WriteJson(std::ostream& out, const Scenario& s, const RunResult& r, const OutputOptions& o)
{
    JsonWriter w(out, o);
    w.Begin(s);
    for (const auto& ev : r.events)
    {
        w.Add(ev);
    }
    w.End(s, r);
}

// ---- timeline picture --------------------------------------------------------------

namespace
{

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

struct Lane
{
    uint8_t type = 0;
    std::string name;
    std::vector<std::pair<double, int64_t>> platform;    // step function
    std::vector<std::pair<double, int64_t>> received;    // marks
    std::vector<std::string> receivedBy;                 // "client 7"
    std::vector<std::pair<double, double>> delayWindows; // fan delay mode
    int64_t lo = 0, hi = 0;
};

std::string QuotedName(const std::string& line)
{
    const auto a = line.find('\'');
    const auto b = line.rfind('\'');
    return (a != std::string::npos && b > a) ? line.substr(a + 1, b - a - 1) : "";
}

std::string ValueText(uint8_t type, int64_t v)
{
    if (type == KTZMON_SENSOR_TYPE_PWR_SUPPLY || type == KTZMON_SENSOR_TYPE_PWR_RED)
    {
        char buf[16];
        std::snprintf(buf, sizeof buf, "0x%02llx", static_cast<unsigned long long>(v));
        return buf;
    }
    return std::to_string(v);
}

} // namespace

void WriteTimelineSvg(std::ostream& out, const Scenario& s, const RunResult& r)
{
    std::vector<Lane> lanes;
    auto lane = [&](uint8_t type, const std::string& name) -> Lane&
    {
        for (auto& l : lanes)
        {
            if (l.type == type && l.name == name)
            {
                return l;
            }
        }
        lanes.push_back(Lane{type, name, {}, {}, {}, {}, 0, 0});
        return lanes.back();
    };
    for (const auto& smp : r.samples)
    {
        lane(smp.sensorType, smp.name).platform.emplace_back(smp.t, smp.value);
    }
    struct Tick
    {
        double t;
        std::string label;
        std::string color;
    };
    std::vector<Tick> ticks;
    std::map<std::string, double> delayStart;
    for (const auto& ev : r.events)
    {
        if (ev.kind == Event::Kind::Message && ev.requestType == KTZMON_REQ_SENSOR_DATA)
        {
            const auto d = ktzclient::Decode(ev.requestClass, ev.requestType, ev.bytes);
            if (d.ok)
            {
                const auto& sd = std::get<ktzclient::SensorData>(d.value.body);
                Lane& l = lane(sd.type, sd.name);
                l.received.emplace_back(ev.t, sd.Reading());
                l.receivedBy.push_back("client " + std::to_string(ev.client) + ": " +
                                       ktzclient::ReadingText(sd) + " " + ktzclient::StatusName(sd.status));
            }
        }
        else if (ev.kind == Event::Kind::Log)
        {
            if (ev.text.rfind("Fan sensor starting delay mode:", 0) == 0)
            {
                delayStart[QuotedName(ev.text)] = ev.t;
            }
            else if (ev.text.rfind("Fan sensor exiting delay mode:", 0) == 0)
            {
                const std::string name = QuotedName(ev.text);
                auto it = delayStart.find(name);
                if (it != delayStart.end())
                {
                    lane(KTZMON_SENSOR_TYPE_FAN, name).delayWindows.emplace_back(it->second, ev.t);
                    delayStart.erase(it);
                }
            }
        }
        else if (ev.kind == Event::Kind::Host && ev.client != 0)
        {
            ticks.push_back(
                {ev.t, ev.text, ev.text.find("disconnect") != std::string::npos ? "#b03a2e" : "#1e8449"});
        }
        else if (ev.kind == Event::Kind::Step &&
                 (ev.text.rfind("chassis log event", 0) == 0 || ev.text.rfind("KTZ setting", 0) == 0))
        {
            ticks.push_back({ev.t, ev.text, ev.text.rfind("KTZ", 0) == 0 ? "#7d3c98" : "#b9770e"});
        }
    }
    for (const auto& [name, start] : delayStart)
    {
        lane(KTZMON_SENSOR_TYPE_FAN, name).delayWindows.emplace_back(start, r.end);
    }

    const double end = std::max(r.end, 1.0);
    const int left = 190, plotW = 1000, laneH = 64, top = 70, eventsH = 70;
    const int height = top + eventsH + static_cast<int>(lanes.size()) * laneH + 40;
    const int width = left + plotW + 30;
    auto X = [&](double t) { return left + t / end * plotW; };

    out << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
    out << "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" << width << "\" height=\"" << height
        << "\" viewBox=\"0 0 " << width << " " << height
        << "\" font-family=\"sans-serif\" font-size=\"11\">\n";
    out << "<title>" << Esc(s.title.empty() ? "ktzmon-host timeline" : s.title) << "</title>\n";
    out << "<rect x=\"0\" y=\"0\" width=\"" << width << "\" height=\"" << height << "\" fill=\"white\"/>\n";
    out << "<text x=\"10\" y=\"20\" font-size=\"14\" font-weight=\"bold\">" << Esc(s.title) << "</text>\n";
    out << "<text x=\"10\" y=\"38\">chassis seconds across; grey line: the chassis value; dots: what clients "
           "received; shaded: fan delay mode</text>\n";

    // Time axis
    const int axisY = top - 8;
    out << "<g class=\"axis\">\n";
    const double stepT = end <= 60 ? 5 : end <= 200 ? 10 : end <= 600 ? 30 : 60;
    for (double t = 0; t <= end + 1e-9; t += stepT)
    {
        out << "<line x1=\"" << X(t) << "\" y1=\"" << axisY << "\" x2=\"" << X(t) << "\" y2=\"" << height - 30
            << "\" stroke=\"#eeeeee\"/>\n";
        out << "<text x=\"" << X(t) << "\" y=\"" << axisY - 4 << "\" text-anchor=\"middle\">"
            << Printf("%.0f", t) << "</text>\n";
    }
    out << "</g>\n";

    // Events lane
    int y0 = top;
    out << "<g class=\"lane events\" data-lane=\"events\">\n";
    out << "<text x=\"10\" y=\"" << y0 + 14 << "\" font-weight=\"bold\">events</text>\n";
    out << "<line x1=\"" << left << "\" y1=\"" << y0 + eventsH - 6 << "\" x2=\"" << left + plotW << "\" y2=\""
        << y0 + eventsH - 6 << "\" stroke=\"#999999\"/>\n";
    int row = 0;
    for (const auto& tk : ticks)
    {
        const double x = X(tk.t);
        out << "<line class=\"tick\" x1=\"" << x << "\" y1=\"" << y0 + 4 << "\" x2=\"" << x << "\" y2=\""
            << y0 + eventsH - 6 << "\" stroke=\"" << tk.color
            << "\" stroke-width=\"2\"><title>t=" << Printf("%.1f", tk.t) << " " << Esc(tk.label)
            << "</title></line>\n";
        out << "<text x=\"" << x + 3 << "\" y=\"" << y0 + 14 + 12 * (row % 4) << "\" fill=\"" << tk.color
            << "\" font-size=\"9\">" << Esc(tk.label) << "</text>\n";
        ++row;
    }
    out << "</g>\n";
    y0 += eventsH;

    for (auto& l : lanes)
    {
        bool any = false;
        for (const auto& [t, v] : l.platform)
        {
            l.lo = any ? std::min(l.lo, v) : v;
            l.hi = any ? std::max(l.hi, v) : v;
            any = true;
        }
        for (const auto& [t, v] : l.received)
        {
            l.lo = any ? std::min(l.lo, v) : v;
            l.hi = any ? std::max(l.hi, v) : v;
            any = true;
        }
        const double span = l.hi > l.lo ? static_cast<double>(l.hi - l.lo) : 1.0;
        const int yTop = y0 + 10, yBot = y0 + laneH - 10;
        auto Y = [&](int64_t v) {
            return l.hi > l.lo ? yBot - (static_cast<double>(v - l.lo) / span) * (yBot - yTop)
                               : (yTop + yBot) / 2.0;
        };
        out << "<g class=\"lane sensor\" data-sensor-type=\"" << ktzclient::SensorTypeName(l.type)
            << "\" data-name=\"" << Esc(l.name) << "\">\n";
        out << "<rect x=\"" << left << "\" y=\"" << y0 << "\" width=\"" << plotW << "\" height=\"" << laneH
            << "\" fill=\"" << ((&l - &lanes[0]) % 2 ? "#fafafa" : "#f2f4f7") << "\"/>\n";
        out << "<text x=\"10\" y=\"" << y0 + laneH / 2 << "\" font-weight=\"bold\">" << Esc(l.name)
            << "</text>\n";
        out << "<text x=\"10\" y=\"" << y0 + laneH / 2 + 13 << "\" fill=\"#666666\">"
            << ktzclient::SensorTypeName(l.type) << " " << ValueText(l.type, l.lo) << ".."
            << ValueText(l.type, l.hi) << "</text>\n";
        for (const auto& [a, b] : l.delayWindows)
        {
            out << "<rect class=\"delay\" x=\"" << X(a) << "\" y=\"" << y0 << "\" width=\""
                << std::max(1.0, X(b) - X(a)) << "\" height=\"" << laneH
                << "\" fill=\"#f5b041\" fill-opacity=\"0.35\"><title>delay mode t=" << Printf("%.1f", a)
                << ".." << Printf("%.1f", b) << "</title></rect>\n";
        }
        if (!l.platform.empty())
        {
            out << "<polyline class=\"platform\" fill=\"none\" stroke=\"#7f8c8d\" stroke-width=\"2\" "
                   "points=\"";
            double lastY = Y(l.platform.front().second);
            out << X(0) << "," << lastY;
            for (const auto& [t, v] : l.platform)
            {
                out << " " << X(t) << "," << lastY << " " << X(t) << "," << Y(v);
                lastY = Y(v);
            }
            out << " " << X(end) << "," << lastY << "\"/>\n";
        }
        int64_t prev = 0;
        bool first = true;
        for (size_t i = 0; i < l.received.size(); ++i)
        {
            const auto& [t, v] = l.received[i];
            out << "<circle class=\"received\" cx=\"" << X(t) << "\" cy=\"" << Y(v)
                << "\" r=\"3.5\" fill=\"#2e86c1\"><title>t=" << Printf("%.1f", t) << " "
                << Esc(l.receivedBy[i]) << "</title></circle>\n";
            if (first || v != prev)
            {
                out << "<text x=\"" << X(t) + 4 << "\" y=\"" << Y(v) - 5
                    << "\" fill=\"#2e86c1\" font-size=\"9\">" << ValueText(l.type, v) << "</text>\n";
            }
            prev = v;
            first = false;
        }
        out << "</g>\n";
        y0 += laneH;
    }
    out << "</svg>\n";
}

} // namespace ktzhost
