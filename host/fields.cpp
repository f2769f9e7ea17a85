// Decoded message fields by name.
#include "fields.h"

#include <cstdlib>

namespace ktzhost
{
namespace
{

struct ToJson
{
    nlohmann::json operator()(const ktzclient::KtzSetting& s) const
    {
        return {{"value", s.value}, {"changed", s.changed}};
    }
    nlohmann::json operator()(const ktzclient::SensorData& s) const
    {
        nlohmann::json j = {{"sensor_type", ktzclient::SensorTypeName(s.type)},
                            {"number", s.number},
                            {"name", s.name},
                            {"presence", s.presence},
                            {"status", s.status},
                            {"status_name", ktzclient::StatusName(s.status)},
                            {"class", s.sensorClass},
                            {"threshold_flags", s.thresholdFlags},
                            {"reading", s.Reading()}};
        if (s.type == 3 || s.type == 4)
        {
            j["reading_bits"] = ktzclient::BitNames(s.type, s.rawReading);
        }
        if (s.hasThresholds)
        {
            j["lnc"] = s.lncThreshold;
            j["lc"] = s.lcThreshold;
        }
        return j;
    }
    nlohmann::json operator()(const ktzclient::FruByNumber& f) const
    {
        std::string text;
        for (uint8_t c : f.data)
        {
            if (c == 0)
            {
                break;
            }
            text += (c >= 0x20 && c < 0x7f) ? static_cast<char>(c) : '.';
        }
        return {{"kind", f.kind},
                {"bay", f.bay},
                {"length", f.dataLength},
                {"offset", f.dataOffset},
                {"data_text", text}};
    }
    nlohmann::json operator()(const ktzclient::DataSyncComplete&) const { return nlohmann::json::object(); }
    nlohmann::json operator()(const ktzclient::LogEvent& e) const
    {
        nlohmann::json j = {
            {"value1", e.values[0]}, {"value2", e.values[1]}, {"value3", e.values[2]}, {"id", e.messageId}};
        if (e.hasArgs)
        {
            j["args"] = e.args;
        }
        if (e.hasText)
        {
            j["text"] = e.text;
        }
        return j;
    }
    nlohmann::json operator()(const ktzclient::CapsQuery&) const { return nlohmann::json::object(); }
};

bool Matches(const nlohmann::json& v, const std::string& want)
{
    if (v.is_string())
    {
        return v.get<std::string>() == want;
    }
    if (v.is_boolean())
    {
        const bool b = v.get<bool>();
        return want == (b ? "1" : "0") || want == (b ? "true" : "false");
    }
    if (v.is_number_integer() || v.is_number_unsigned())
    {
        char* end = nullptr;
        const long long w = std::strtoll(want.c_str(), &end, 0);
        if (end == want.c_str() || *end != '\0')
        {
            return false;
        }
        return v.is_number_unsigned() ? v.get<unsigned long long>() == static_cast<unsigned long long>(w)
                                      : v.get<long long>() == w;
    }
    if (v.is_array())
    {
        std::string joined;
        for (const auto& e : v)
        {
            joined += (joined.empty() ? "" : ",") + (e.is_string() ? e.get<std::string>() : e.dump());
        }
        return joined == want;
    }
    return false;
}

} // namespace

nlohmann::json Fields(const ktzclient::Message& msg)
{
    return std::visit(ToJson{}, msg.body);
}

bool FieldsMatch(const nlohmann::json& fields, const std::map<std::string, std::string>& where)
{
    for (const auto& [key, want] : where)
    {
        if (!fields.contains(key))
        {
            return false;
        }
        bool ok = Matches(fields[key], want);
        if (!ok && key == "status" && fields.contains("status_name"))
        {
            ok = Matches(fields["status_name"], want);
        }
        if (!ok)
        {
            return false;
        }
    }
    return true;
}

} // namespace ktzhost
