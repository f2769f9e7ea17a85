// Decoded message fields by name.
#include "ktzclient_fields.h"

namespace ktzclient
{
namespace
{

struct ToJson
{
    nlohmann::json operator()(const KtzSetting& s) const
    {
        return {{"value", s.value}, {"changed", s.changed}};
    }
    nlohmann::json operator()(const SensorData& s) const
    {
        nlohmann::json j = {{"sensor_type", SensorTypeName(s.type)},
                            {"number", s.number},
                            {"name", s.name},
                            {"presence", s.presence},
                            {"status", s.status},
                            {"status_name", StatusName(s.status)},
                            {"class", s.sensorClass},
                            {"threshold_flags", s.thresholdFlags},
                            {"reading", s.Reading()}};
        if (s.type == 3 || s.type == 4)
        {
            j["reading_bits"] = BitNames(s.type, s.rawReading);
        }
        if (s.hasThresholds)
        {
            j["lnc"] = s.lncThreshold;
            j["lc"] = s.lcThreshold;
        }
        return j;
    }
    nlohmann::json operator()(const FruByNumber& f) const
    {
        // The printable start of the data, up to its first NUL.
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
    nlohmann::json operator()(const DataSyncComplete&) const { return nlohmann::json::object(); }
    nlohmann::json operator()(const LogEvent& e) const
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
    nlohmann::json operator()(const CapsQuery&) const { return nlohmann::json::object(); }
};

} // namespace

nlohmann::json Fields(const Message& msg)
{
    return std::visit(ToJson{}, msg.body);
}

} // namespace ktzclient
