// Transcript and JSON lines of a run.
#include "output.h"

#include "ktzclient_decode.h"
#include "ktzclient_fields.h"

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
                j["fields"] = ktzclient::Fields(d.value);
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

} // namespace ktzhost
