// Decoding and describing the KTZ Monitor's client messages. Every read goes
// through a bounds-checked cursor over the caller's bytes; every text must end
// with its NUL inside the area that holds it.
#include "ktzclient_decode.h"

#include <ktzmon/protocol.h>

#include <cstdio>
#include <cstring>

namespace ktzclient
{
namespace
{

struct TypeName
{
    uint32_t type;
    const char* name;
};

constexpr TypeName kTypeNames[] = {
    {KTZMON_REQ_KTZ_SETTING, "ktz-setting"},  {KTZMON_REQ_SENSOR_DATA, "sensor-data"},
    {KTZMON_REQ_FRU_BY_NUM, "fru-by-number"}, {KTZMON_REQ_DATA_SYNC_COMPLETE, "data-sync-complete"},
    {KTZMON_REQ_VQ_LOG_EVT, "log-event"},     {KTZMON_REQ_GET_KTZ_CAPS, "caps-query"},
};

uint16_t Le16(const uint8_t* p)
{
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

uint32_t Le32(const uint8_t* p)
{
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

std::string Fmt(const char* fmt, unsigned long long a, unsigned long long b = 0, unsigned long long c = 0)
{
    char buf[256];
    std::snprintf(buf, sizeof buf, fmt, a, b, c);
    return buf;
}

// The NUL-terminated text starting at `off` and ending before `end`; false
// when no NUL lies in [off, end).
bool TextAt(const uint8_t* data, size_t off, size_t end, std::string* out)
{
    if (off >= end)
    {
        return false;
    }
    const void* nul = std::memchr(data + off, 0, end - off);
    if (nul == nullptr)
    {
        return false;
    }
    out->assign(reinterpret_cast<const char*>(data + off), static_cast<const uint8_t*>(nul) - (data + off));
    return true;
}

template <typename T> Result<T> Fail(std::string msg)
{
    Result<T> r;
    r.error = std::move(msg);
    return r;
}

Result<Message> DecodeKtzSetting(const uint8_t* d, size_t n, Message msg)
{
    if (n != KTZMON_KTZ_SETTING_SIZE)
    {
        return Fail<Message>(
            Fmt("ktz-setting: payload is %llu bytes, expected %llu", n, KTZMON_KTZ_SETTING_SIZE));
    }
    KtzSetting s;
    s.value = Le32(d + KTZMON_KTZ_SETTING_OFF_VALUE);
    const uint8_t changed = d[KTZMON_KTZ_SETTING_OFF_CHANGED];
    if (changed > 1)
    {
        return Fail<Message>(Fmt("ktz-setting: changed byte is %llu, expected 0 or 1", changed));
    }
    s.changed = changed == 1;
    msg.body = s;
    return {true, {}, msg};
}

Result<Message> DecodeSensorData(const uint8_t* d, size_t n, Message msg)
{
    if (n < KTZMON_SENSOR_DATA_FIXED_SIZE + 1)
    {
        return Fail<Message>(Fmt("sensor-data: payload is %llu bytes, at least %llu expected", n,
                                 KTZMON_SENSOR_DATA_FIXED_SIZE + 1));
    }
    SensorData s;
    s.type = d[KTZMON_SENSOR_OFF_TYPE];
    s.presence = d[KTZMON_SENSOR_OFF_PRESENCE];
    s.status = d[KTZMON_SENSOR_OFF_STATUS];
    s.number = d[KTZMON_SENSOR_OFF_NUM];
    s.sensorClass = d[KTZMON_SENSOR_OFF_CLASS];
    s.thresholdFlags = Le16(d + KTZMON_SENSOR_OFF_THR_FLAGS);
    s.rawReading = Le32(d + KTZMON_SENSOR_OFF_READING);
    s.nameOffset = Le32(d + KTZMON_SENSOR_OFF_NAME_OFFSET);
    if (s.type < KTZMON_SENSOR_TYPE_FAN || s.type > KTZMON_SENSOR_TYPE_PWR_RED)
    {
        return Fail<Message>(Fmt("sensor-data: unknown sensor type %llu", s.type));
    }
    if (s.status > 3)
    {
        return Fail<Message>(Fmt("sensor-data: status %llu out of range 0..3", s.status));
    }
    if (s.nameOffset < KTZMON_SENSOR_DATA_FIXED_SIZE || s.nameOffset >= n)
    {
        return Fail<Message>(Fmt("sensor-data: name offset %llu outside the name area [%llu, %llu)",
                                 s.nameOffset, KTZMON_SENSOR_DATA_FIXED_SIZE, n));
    }
    if (!TextAt(d, s.nameOffset, n, &s.name))
    {
        return Fail<Message>(
            Fmt("sensor-data: name at offset %llu is not terminated within %llu bytes", s.nameOffset, n));
    }
    if (s.nameOffset + s.name.size() + 1 != n)
    {
        return Fail<Message>(Fmt("sensor-data: name ends at byte %llu but the payload is %llu bytes",
                                 s.nameOffset + s.name.size() + 1, n));
    }
    s.hasThresholds = s.thresholdFlags == 3;
    if (s.hasThresholds)
    {
        s.lncThreshold = Le32(d + KTZMON_SENSOR_OFF_LNC);
        s.lcThreshold = Le32(d + KTZMON_SENSOR_OFF_LC);
    }
    msg.body = s;
    return {true, {}, msg};
}

Result<Message> DecodeFru(const uint8_t* d, size_t n, Message msg)
{
    if (n != KTZMON_FRU_SIZE)
    {
        return Fail<Message>(Fmt("fru-by-number: payload is %llu bytes, expected %llu", n, KTZMON_FRU_SIZE));
    }
    FruByNumber f;
    f.kind = d[KTZMON_FRU_OFF_KIND];
    f.bay = d[KTZMON_FRU_OFF_NUM];
    f.dataLength = Le16(d + KTZMON_FRU_OFF_DATA_LEN);
    f.dataOffset = Le32(d + KTZMON_FRU_OFF_DATA_OFF);
    if (f.dataOffset < KTZMON_FRU_OFF_DATA || f.dataOffset > n || f.dataLength > n - f.dataOffset)
    {
        return Fail<Message>(Fmt("fru-by-number: data at offset %llu, length %llu does not fit in %llu bytes",
                                 f.dataOffset, f.dataLength, n));
    }
    f.data.assign(d + f.dataOffset, d + f.dataOffset + f.dataLength);
    msg.body = f;
    return {true, {}, msg};
}

// The argument block: texts closed by an empty text, filling exactly
// [off, off + len).
bool ArgsAt(const uint8_t* d, size_t off, size_t len, std::vector<std::string>* out, std::string* why)
{
    const size_t end = off + len;
    size_t pos = off;
    while (true)
    {
        std::string t;
        if (!TextAt(d, pos, end, &t))
        {
            *why = Fmt("argument at offset %llu is not terminated within the block ending at %llu", pos, end);
            return false;
        }
        pos += t.size() + 1;
        if (t.empty())
        {
            break;
        }
        out->push_back(std::move(t));
    }
    if (pos != end)
    {
        *why = Fmt("argument block closes at %llu but its length says %llu", pos, end);
        return false;
    }
    return true;
}

Result<Message> DecodeLogEvent(const uint8_t* d, size_t n, Message msg)
{
    const size_t hdr = KTZMON_LOG_EVT_HEADER_SIZE;
    if (n < hdr + 1)
    {
        return Fail<Message>(Fmt("log-event: payload is %llu bytes, at least %llu expected", n, hdr + 1));
    }
    LogEvent e;
    e.values[0] = Le16(d + KTZMON_LOG_EVT_OFF_VALUE1);
    e.values[1] = Le16(d + KTZMON_LOG_EVT_OFF_VALUE2);
    e.values[2] = Le16(d + KTZMON_LOG_EVT_OFF_VALUE3);
    e.messageIdOffset = Le32(d + KTZMON_LOG_EVT_OFF_MSGID_OFF);
    e.argsOffset = Le32(d + KTZMON_LOG_EVT_OFF_ARGS_OFF);
    e.argsLength = Le32(d + KTZMON_LOG_EVT_OFF_ARGS_LEN);
    e.textOffset = Le32(d + KTZMON_LOG_EVT_OFF_TEXT_OFF);

    if (e.messageIdOffset < hdr || e.messageIdOffset >= n)
    {
        return Fail<Message>(
            Fmt("log-event: message ID offset %llu outside [%llu, %llu)", e.messageIdOffset, hdr, n));
    }
    if (!TextAt(d, e.messageIdOffset, n, &e.messageId))
    {
        return Fail<Message>(Fmt("log-event: message ID at offset %llu is not terminated within %llu bytes",
                                 e.messageIdOffset, n));
    }
    size_t expected = hdr + e.messageId.size() + 1;

    if (e.argsOffset == 0)
    {
        if (e.argsLength != 0)
        {
            return Fail<Message>(
                Fmt("log-event: argument length %llu without an argument block", e.argsLength));
        }
    }
    else
    {
        if (e.argsOffset < hdr || e.argsOffset >= n || e.argsLength == 0 || e.argsLength > n - e.argsOffset)
        {
            return Fail<Message>(
                Fmt("log-event: argument block at %llu, length %llu does not fit in %llu bytes", e.argsOffset,
                    e.argsLength, n));
        }
        std::string why;
        if (!ArgsAt(d, e.argsOffset, e.argsLength, &e.args, &why))
        {
            return Fail<Message>("log-event: " + why);
        }
        e.hasArgs = true;
        expected += e.argsLength;
    }

    if (e.textOffset != 0)
    {
        if (e.textOffset < hdr || e.textOffset >= n)
        {
            return Fail<Message>(
                Fmt("log-event: event text offset %llu outside [%llu, %llu)", e.textOffset, hdr, n));
        }
        if (!TextAt(d, e.textOffset, n, &e.text))
        {
            return Fail<Message>(Fmt(
                "log-event: event text at offset %llu is not terminated within %llu bytes", e.textOffset, n));
        }
        e.hasText = true;
        expected += e.text.size() + 1;
    }

    if (expected != n)
    {
        return Fail<Message>(
            Fmt("log-event: the parts add up to %llu bytes but the payload is %llu", expected, n));
    }
    msg.body = e;
    return {true, {}, msg};
}

} // namespace

const char* RequestTypeName(uint32_t requestType)
{
    for (const auto& t : kTypeNames)
    {
        if (t.type == requestType)
        {
            return t.name;
        }
    }
    return "unknown";
}

uint32_t RequestTypeByName(const std::string& name)
{
    for (const auto& t : kTypeNames)
    {
        if (name == t.name)
        {
            return t.type;
        }
    }
    return 0;
}

int64_t SensorData::Reading() const
{
    if (type == KTZMON_SENSOR_TYPE_TEMP)
    {
        return static_cast<int32_t>(rawReading);
    }
    return rawReading;
}

Result<Message> Decode(uint32_t requestClass, uint32_t requestType, const uint8_t* data, size_t size)
{
    Message msg;
    msg.requestClass = requestClass;
    msg.requestType = requestType;
    if (requestClass != KTZMON_REQ_CLASS)
    {
        return Fail<Message>(
            Fmt("request class %llu is not the KTZ class %llu", requestClass, KTZMON_REQ_CLASS));
    }
    if (data == nullptr && size != 0)
    {
        return Fail<Message>(Fmt("%llu bytes announced without data", size));
    }
    switch (requestType)
    {
    case KTZMON_REQ_KTZ_SETTING: return DecodeKtzSetting(data, size, msg);
    case KTZMON_REQ_SENSOR_DATA: return DecodeSensorData(data, size, msg);
    case KTZMON_REQ_FRU_BY_NUM: return DecodeFru(data, size, msg);
    case KTZMON_REQ_VQ_LOG_EVT: return DecodeLogEvent(data, size, msg);
    case KTZMON_REQ_DATA_SYNC_COMPLETE:
    case KTZMON_REQ_GET_KTZ_CAPS:
        if (size != 0)
        {
            return Fail<Message>(std::string(RequestTypeName(requestType)) +
                                 Fmt(": carries %llu bytes, expected none", size));
        }
        if (requestType == KTZMON_REQ_DATA_SYNC_COMPLETE)
        {
            msg.body = DataSyncComplete{};
        }
        else
        {
            msg.body = CapsQuery{};
        }
        return {true, {}, msg};
    default: return Fail<Message>(Fmt("unknown request type 0x%llx", requestType));
    }
}

Result<CapsReply> DecodeCapsReply(const uint8_t* data, size_t size)
{
    if (data == nullptr || size < KTZMON_CAPS_RSP_SIZE)
    {
        return Fail<CapsReply>(
            Fmt("caps reply: %llu bytes, at least %llu expected", data ? size : 0, KTZMON_CAPS_RSP_SIZE));
    }
    return {true, {}, CapsReply{Le32(data + KTZMON_CAPS_RSP_OFF_CAPS)}};
}

const char* SensorTypeName(uint8_t type)
{
    switch (type)
    {
    case KTZMON_SENSOR_TYPE_FAN: return "fan";
    case KTZMON_SENSOR_TYPE_TEMP: return "temperature";
    case KTZMON_SENSOR_TYPE_PWR_SUPPLY: return "power-supply";
    case KTZMON_SENSOR_TYPE_PWR_RED: return "power-redundancy";
    default: return "unknown";
    }
}

const char* StatusName(uint8_t status)
{
    static const char* const kNames[] = {"unknown", "normal", "non-critical", "critical"};
    return status < 4 ? kNames[status] : "invalid";
}

std::string BitNames(uint8_t type, uint32_t reading)
{
    struct Bit
    {
        uint32_t mask;
        const char* name;
    };
    static const Bit kPsu[] = {
        {0x01, "present"}, {0x02, "failure"}, {0x08, "input-lost"}, {0x20, "input-out-of-range"}};
    static const Bit kRed[] = {{0x01, "fully-redundant"},
                               {0x02, "redundancy-lost"},
                               {0x04, "redundancy-degraded"},
                               {0x20, "non-redundant-insufficient"}};
    const Bit* bits = type == KTZMON_SENSOR_TYPE_PWR_SUPPLY ? kPsu : kRed;
    std::string out;
    uint32_t known = 0;
    for (size_t i = 0; i < 4; ++i)
    {
        known |= bits[i].mask;
        if (reading & bits[i].mask)
        {
            out += out.empty() ? "" : "|";
            out += bits[i].name;
        }
    }
    if (reading & ~known)
    {
        out += out.empty() ? "" : "|";
        out += Fmt("0x%llx", reading & ~known);
    }
    return out.empty() ? "none" : out;
}

std::string ReadingText(const SensorData& s)
{
    switch (s.type)
    {
    case KTZMON_SENSOR_TYPE_FAN: return std::to_string(s.rawReading);
    case KTZMON_SENSOR_TYPE_TEMP: return std::to_string(static_cast<int32_t>(s.rawReading));
    default: return Fmt("0x%02llx", s.rawReading) + " " + BitNames(s.type, s.rawReading);
    }
}

std::string CapsText(uint32_t caps)
{
    std::string names;
    if (caps & KTZMON_CAP_BASE)
    {
        names = "base";
    }
    if (caps & KTZMON_CAP_VQ_LOG_EVT)
    {
        names += names.empty() ? "log-event" : "|log-event";
    }
    return Fmt("0x%llx", caps) + (names.empty() ? "" : " (" + names + ")");
}

std::string Hex(const uint8_t* data, size_t size)
{
    std::string out;
    out.reserve(size * 3);
    char b[4];
    for (size_t i = 0; i < size; ++i)
    {
        std::snprintf(b, sizeof b, "%02x", data[i]);
        if (i != 0)
        {
            out += ' ';
        }
        out += b;
    }
    return out;
}

namespace
{
std::string Quote(const std::string& s)
{
    return "'" + s + "'";
}

struct Describer
{
    std::string operator()(const KtzSetting& s) const
    {
        return "value=" + std::to_string(s.value) + " changed=" + (s.changed ? "yes" : "no");
    }
    std::string operator()(const SensorData& s) const
    {
        std::string t = std::string(SensorTypeName(s.type)) + " #" + std::to_string(s.number) + " " +
                        Quote(s.name) + " presence=" + std::to_string(s.presence) +
                        " status=" + StatusName(s.status) + " reading=" + ReadingText(s);
        if (s.hasThresholds)
        {
            t += " lnc=" + std::to_string(s.lncThreshold) + " lc=" + std::to_string(s.lcThreshold);
        }
        return t;
    }
    std::string operator()(const FruByNumber& f) const
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
        return "kind=" + std::to_string(f.kind) + " bay=" + std::to_string(f.bay) +
               " length=" + std::to_string(f.dataLength) + " offset=" + std::to_string(f.dataOffset) +
               " data=" + Quote(text);
    }
    std::string operator()(const DataSyncComplete&) const { return ""; }
    std::string operator()(const LogEvent& e) const
    {
        std::string t = "values=" + std::to_string(e.values[0]) + "," + std::to_string(e.values[1]) + "," +
                        std::to_string(e.values[2]) + " id=" + Quote(e.messageId);
        if (e.hasArgs)
        {
            t += " args=[";
            for (size_t i = 0; i < e.args.size(); ++i)
            {
                t += (i ? "," : "") + Quote(e.args[i]);
            }
            t += "]";
        }
        if (e.hasText)
        {
            t += " text=" + Quote(e.text);
        }
        return t;
    }
    std::string operator()(const CapsQuery&) const { return ""; }
};
} // namespace

std::string Describe(const Message& msg)
{
    std::string detail = std::visit(Describer{}, msg.body);
    return std::string(RequestTypeName(msg.requestType)) + (detail.empty() ? "" : " " + detail);
}

} // namespace ktzclient
