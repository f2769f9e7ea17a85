// Transcript and JSON lines of ktzmon-watch.
#include "output.h"

#include "ktzclient_decode.h"
#include "ktzclient_fields.h"

#include <ktzmon/protocol.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace ktzwatch
{
namespace
{

constexpr size_t kHexPerLine = 16;
// Continuation lines start under the "what" column.
const std::string kIndent(8 + 2 + 12 + 2, ' ');

std::string Line(double t, const std::string& who, const std::string& what)
{
    char head[64];
    std::snprintf(head, sizeof head, "%8.1f  %-12s  ", t, who.c_str());
    return head + what;
}

void HexLines(std::ostream& out, const uint8_t* bytes, size_t size, const char* label)
{
    for (size_t off = 0; off < size; off += kHexPerLine)
    {
        char head[32];
        std::snprintf(head, sizeof head, "%04zx: ", off);
        out << kIndent << label << head << ktzclient::Hex(bytes + off, std::min(kHexPerLine, size - off))
            << "\n";
    }
}

// The 16 bytes this client answered to a capability query.
std::vector<uint8_t> CapsAnswer(const ktzc_message& m)
{
    std::vector<uint8_t> a(KTZMON_CAPS_RSP_SIZE, 0);
    for (size_t i = 0; i < 4; ++i)
    {
        a[i] = static_cast<uint8_t>(m.answered_caps >> (8 * i));
    }
    a.resize(std::min<size_t>(a.size(), m.response_size));
    return a;
}

bool IsCapsQuery(const ktzc_message& m)
{
    return m.request_class == KTZMON_REQ_CLASS && m.request_type == KTZMON_REQ_GET_KTZ_CAPS &&
           m.response_size != 0;
}

} // namespace

void PrintMessage(std::ostream& out, const OutputOptions& o, double t, uint32_t clientId,
                  const ktzc_message& m)
{
    const bool caps = IsCapsQuery(m);
    const std::vector<uint8_t> answer = caps ? CapsAnswer(m) : std::vector<uint8_t>();
    if (o.json)
    {
        nlohmann::json j = {{"kind", "message"},   {"t", t},
                            {"client", clientId},  {"seq", m.seq},
                            {"type", m.type_name}, {"type_code", m.request_type},
                            {"size", m.raw_size}};
        const auto d = ktzclient::Decode(m.request_class, m.request_type, m.raw, m.raw_size);
        if (d.ok)
        {
            j["fields"] = ktzclient::Fields(d.value);
        }
        else
        {
            j["error"] = d.error;
        }
        if (caps)
        {
            j["answer_caps"] = m.answered_caps;
        }
        if (o.hex)
        {
            j["hex"] = ktzclient::Hex(m.raw, m.raw_size);
            if (caps)
            {
                j["answer_hex"] = ktzclient::Hex(answer.data(), answer.size());
            }
        }
        out << j.dump() << "\n";
        return;
    }
    std::string what = m.text;
    if (caps)
    {
        what += "  [client answers " + std::to_string(answer.size()) + " bytes: caps " +
                ktzclient::CapsText(m.answered_caps) + "]";
    }
    out << Line(t, "client " + std::to_string(clientId), what) << "\n";
    if (o.hex)
    {
        HexLines(out, m.raw, m.raw_size, "");
        if (caps)
        {
            HexLines(out, answer.data(), answer.size(), "answer ");
        }
    }
}

void PrintNote(std::ostream& out, const OutputOptions& o, double t, const char* kind, uint32_t clientId,
               const std::string& text)
{
    if (o.json)
    {
        nlohmann::json j = {{"kind", kind}, {"t", t}, {"text", text}};
        if (clientId != 0)
        {
            j["client"] = clientId;
        }
        out << j.dump() << "\n";
        return;
    }
    out << Line(t, "ktzmon-watch", text) << "\n";
}

} // namespace ktzwatch
