// Decoded message fields by name: one table per message type gives each
// field's name, kind, range and how it is read from the decoded message.
#include "ktzclient_fields.h"

#include <ktzmon/protocol.h>

#include <cstdlib>
#include <type_traits>

namespace ktzclient
{
namespace
{

using nlohmann::json;
namespace kc = ktzclient;

constexpr int64_t kU8 = 0xFF;
constexpr int64_t kU16 = 0xFFFF;
constexpr int64_t kU32 = 0xFFFFFFFFll;

template <class M> struct Field
{
    FieldDef def;
    bool (*present)(const M&); // null: in every message of the type
    json (*get)(const M&);
};

FieldDef Num(const char* name, int64_t lo, int64_t hi, bool always = true)
{
    return {name, FieldKind::Number, lo, hi, {}, always};
}

// A field of any value of its kind, in every message of the type.
FieldDef Any(const char* name, FieldKind kind)
{
    FieldDef def;
    def.name = name;
    def.kind = kind;
    return def;
}

std::vector<std::string> StatusNames()
{
    return {kc::StatusName(0), kc::StatusName(1), kc::StatusName(2), kc::StatusName(3)};
}

std::vector<std::string> SensorTypeNames()
{
    return {kc::SensorTypeName(KTZMON_SENSOR_TYPE_FAN), kc::SensorTypeName(KTZMON_SENSOR_TYPE_TEMP),
            kc::SensorTypeName(KTZMON_SENSOR_TYPE_PWR_SUPPLY),
            kc::SensorTypeName(KTZMON_SENSOR_TYPE_PWR_RED)};
}

template <class M> const std::vector<Field<M>>& TableOf();

template <> const std::vector<Field<kc::KtzSetting>>& TableOf()
{
    using M = kc::KtzSetting;
    static const std::vector<Field<M>> t = {
        {Num("value", 0, kU32), nullptr, [](const M& m) -> json { return m.value; }},
        {Any("changed", FieldKind::Flag), nullptr, [](const M& m) -> json { return m.changed; }},
    };
    return t;
}

template <> const std::vector<Field<kc::SensorData>>& TableOf()
{
    using M = kc::SensorData;
    auto powerType = [](const M& m)
    { return m.type == KTZMON_SENSOR_TYPE_PWR_SUPPLY || m.type == KTZMON_SENSOR_TYPE_PWR_RED; };
    auto thresholds = [](const M& m) { return m.hasThresholds; };
    static const std::vector<Field<M>> t = {
        {{"sensor_type", FieldKind::Text, 0, 0, SensorTypeNames(), true},
         nullptr,
         [](const M& m) -> json { return kc::SensorTypeName(m.type); }},
        {Num("number", 0, kU8), nullptr, [](const M& m) -> json { return m.number; }},
        {Any("name", FieldKind::Text), nullptr, [](const M& m) -> json { return m.name; }},
        {Num("presence", 0, kU8), nullptr, [](const M& m) -> json { return m.presence; }},
        {{"status", FieldKind::Status, 0, 3, StatusNames(), true},
         nullptr,
         [](const M& m) -> json { return m.status; }},
        {{"status_name", FieldKind::Text, 0, 0, StatusNames(), true},
         nullptr,
         [](const M& m) -> json { return kc::StatusName(m.status); }},
        {Num("class", 0, kU8), nullptr, [](const M& m) -> json { return m.sensorClass; }},
        {Num("threshold_flags", 0, kU16), nullptr, [](const M& m) -> json { return m.thresholdFlags; }},
        // Fans read unsigned 32-bit, temperatures signed 8-bit, the power types a bit set.
        {Num("reading", -128, kU32), nullptr, [](const M& m) -> json { return m.Reading(); }},
        {{"reading_bits", FieldKind::Text, 0, 0, {}, false},
         powerType,
         [](const M& m) -> json { return kc::BitNames(m.type, m.rawReading); }},
        {Num("lnc", 0, kU32, false), thresholds, [](const M& m) -> json { return m.lncThreshold; }},
        {Num("lc", 0, kU32, false), thresholds, [](const M& m) -> json { return m.lcThreshold; }},
    };
    return t;
}

template <> const std::vector<Field<kc::FruByNumber>>& TableOf()
{
    using M = kc::FruByNumber;
    static const std::vector<Field<M>> t = {
        {Num("kind", 0, kU8), nullptr, [](const M& m) -> json { return m.kind; }},
        {Num("bay", 0, kU8), nullptr, [](const M& m) -> json { return m.bay; }},
        {Num("length", 0, kU16), nullptr, [](const M& m) -> json { return m.dataLength; }},
        {Num("offset", 0, kU32), nullptr, [](const M& m) -> json { return m.dataOffset; }},
        {Any("data_text", FieldKind::Text), nullptr,
         [](const M& m) -> json
         {
             // The data up to its first NUL, unprintable bytes shown as dots.
             std::string text;
             for (uint8_t c : m.data)
             {
                 if (c == 0)
                 {
                     break;
                 }
                 text += (c >= 0x20 && c < 0x7f) ? static_cast<char>(c) : '.';
             }
             return text;
         }},
    };
    return t;
}

template <> const std::vector<Field<kc::LogEvent>>& TableOf()
{
    using M = kc::LogEvent;
    static const std::vector<Field<M>> t = {
        {Num("value1", 0, kU16), nullptr, [](const M& m) -> json { return m.values[0]; }},
        {Num("value2", 0, kU16), nullptr, [](const M& m) -> json { return m.values[1]; }},
        {Num("value3", 0, kU16), nullptr, [](const M& m) -> json { return m.values[2]; }},
        {Any("id", FieldKind::Text), nullptr, [](const M& m) -> json { return m.messageId; }},
        {{"args", FieldKind::List, 0, 0, {}, false},
         [](const M& m) { return m.hasArgs; },
         [](const M& m) -> json { return m.args; }},
        {{"text", FieldKind::Text, 0, 0, {}, false},
         [](const M& m) { return m.hasText; },
         [](const M& m) -> json { return m.text; }},
    };
    return t;
}

template <> const std::vector<Field<kc::DataSyncComplete>>& TableOf()
{
    static const std::vector<Field<kc::DataSyncComplete>> t;
    return t;
}

template <> const std::vector<Field<kc::CapsQuery>>& TableOf()
{
    static const std::vector<Field<kc::CapsQuery>> t;
    return t;
}

template <class M> std::vector<FieldDef> Defs()
{
    std::vector<FieldDef> out;
    for (const auto& f : TableOf<M>())
    {
        out.push_back(f.def);
    }
    return out;
}

const std::map<uint32_t, std::vector<FieldDef>>& AllDefs()
{
    static const std::map<uint32_t, std::vector<FieldDef>> all = {
        {KTZMON_REQ_KTZ_SETTING, Defs<kc::KtzSetting>()},
        {KTZMON_REQ_SENSOR_DATA, Defs<kc::SensorData>()},
        {KTZMON_REQ_FRU_BY_NUM, Defs<kc::FruByNumber>()},
        {KTZMON_REQ_DATA_SYNC_COMPLETE, Defs<kc::DataSyncComplete>()},
        {KTZMON_REQ_VQ_LOG_EVT, Defs<kc::LogEvent>()},
        {KTZMON_REQ_GET_KTZ_CAPS, Defs<kc::CapsQuery>()},
    };
    return all;
}

bool Matches(const json& v, const std::string& want)
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

const std::vector<FieldDef>& FieldsOf(uint32_t requestType)
{
    static const std::vector<FieldDef> none;
    const auto& all = AllDefs();
    const auto it = all.find(requestType);
    return it == all.end() ? none : it->second;
}

const FieldDef* FindField(uint32_t requestType, const std::string& name)
{
    for (const auto& [type, defs] : AllDefs())
    {
        if (requestType != 0 && type != requestType)
        {
            continue;
        }
        for (const auto& f : defs)
        {
            if (name == f.name)
            {
                return &f;
            }
        }
    }
    return nullptr;
}

std::string FieldNames(uint32_t requestType)
{
    std::string out;
    for (const auto& [type, defs] : AllDefs())
    {
        if (requestType != 0 && type != requestType)
        {
            continue;
        }
        for (const auto& f : defs)
        {
            out += (out.empty() ? "" : ", ") + std::string(f.name);
        }
    }
    return out;
}

json Fields(const kc::Message& msg)
{
    return std::visit(
        [](const auto& m) -> json
        {
            json j = json::object();
            for (const auto& f : TableOf<std::decay_t<decltype(m)>>())
            {
                if (f.present == nullptr || f.present(m))
                {
                    j[f.def.name] = f.get(m);
                }
            }
            return j;
        },
        msg.body);
}

bool FieldsMatch(const json& fields, const std::map<std::string, std::string>& where)
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

} // namespace ktzclient
