// Decoding what a recording host's clients received (see received.h).
#include "support/received.h"

#include <ktzmon/protocol.h>

namespace ktztest
{

namespace
{

uint32_t Le32(const std::vector<uint8_t>& b, size_t off)
{
    return b.at(off) | (b.at(off + 1) << 8) | (b.at(off + 2) << 16) |
           (static_cast<uint32_t>(b.at(off + 3)) << 24);
}

uint16_t Le16(const std::vector<uint8_t>& b, size_t off)
{
    return static_cast<uint16_t>(b.at(off) | (b.at(off + 1) << 8));
}

std::string TextAt(const std::vector<uint8_t>& b, size_t off)
{
    std::string s;
    for (size_t i = off; i < b.size() && b[i] != 0; ++i)
    {
        s.push_back(static_cast<char>(b[i]));
    }
    return s;
}

} // namespace

std::vector<Sensor> SensorsIn(const std::vector<ReceivedMsg>& msgs, uint8_t type)
{
    std::vector<Sensor> out;
    for (const auto& m : msgs)
    {
        const auto& b = m.bytes;
        if (m.requestType != KTZMON_REQ_SENSOR_DATA || b.size() <= KTZMON_SENSOR_DATA_FIXED_SIZE ||
            (type != 0 && b[KTZMON_SENSOR_OFF_TYPE] != type))
        {
            continue;
        }
        out.push_back({.type = b[KTZMON_SENSOR_OFF_TYPE],
                       .num = b[KTZMON_SENSOR_OFF_NUM],
                       .presence = b[KTZMON_SENSOR_OFF_PRESENCE],
                       .status = b[KTZMON_SENSOR_OFF_STATUS],
                       .reading = Le32(b, KTZMON_SENSOR_OFF_READING),
                       .lnc = Le32(b, KTZMON_SENSOR_OFF_LNC),
                       .lc = Le32(b, KTZMON_SENSOR_OFF_LC),
                       .name = TextAt(b, Le32(b, KTZMON_SENSOR_OFF_NAME_OFFSET))});
    }
    return out;
}

std::vector<LogEvent> LogEventsIn(const std::vector<ReceivedMsg>& msgs)
{
    std::vector<LogEvent> out;
    for (const auto& m : msgs)
    {
        const auto& b = m.bytes;
        if (m.requestType != KTZMON_REQ_VQ_LOG_EVT || b.size() < KTZMON_LOG_EVT_HEADER_SIZE)
        {
            continue;
        }
        LogEvent e;
        e.value1 = Le16(b, KTZMON_LOG_EVT_OFF_VALUE1);
        e.value2 = Le16(b, KTZMON_LOG_EVT_OFF_VALUE2);
        e.value3 = Le16(b, KTZMON_LOG_EVT_OFF_VALUE3);
        e.messageId = TextAt(b, Le32(b, KTZMON_LOG_EVT_OFF_MSGID_OFF));
        size_t args = Le32(b, KTZMON_LOG_EVT_OFF_ARGS_OFF);
        const size_t argsEnd = args + Le32(b, KTZMON_LOG_EVT_OFF_ARGS_LEN);
        while (args != 0 && args < argsEnd && args < b.size() && b[args] != 0)
        {
            e.args.push_back(TextAt(b, args));
            args += e.args.back().size() + 1;
        }
        if (const uint32_t text = Le32(b, KTZMON_LOG_EVT_OFF_TEXT_OFF); text != 0)
        {
            e.text = TextAt(b, text);
        }
        out.push_back(e);
    }
    return out;
}

std::vector<std::vector<uint8_t>> FruDataIn(const std::vector<ReceivedMsg>& msgs, uint8_t bay)
{
    std::vector<std::vector<uint8_t>> out;
    for (const auto& m : msgs)
    {
        if (m.requestType == KTZMON_REQ_FRU_BY_NUM && m.bytes.size() == KTZMON_FRU_SIZE &&
            m.bytes[KTZMON_FRU_OFF_NUM] == bay)
        {
            out.emplace_back(m.bytes.begin() + KTZMON_FRU_OFF_DATA, m.bytes.end());
        }
    }
    return out;
}

std::vector<std::pair<uint32_t, uint8_t>> KtzSettingsIn(const std::vector<ReceivedMsg>& msgs)
{
    std::vector<std::pair<uint32_t, uint8_t>> out;
    for (const auto& m : msgs)
    {
        if (m.requestType == KTZMON_REQ_KTZ_SETTING && m.bytes.size() == KTZMON_KTZ_SETTING_SIZE)
        {
            out.emplace_back(Le32(m.bytes, KTZMON_KTZ_SETTING_OFF_VALUE),
                             m.bytes[KTZMON_KTZ_SETTING_OFF_CHANGED]);
        }
    }
    return out;
}

size_t CountType(const std::vector<ReceivedMsg>& msgs, uint32_t type)
{
    size_t n = 0;
    for (const auto& m : msgs)
    {
        n += m.requestType == type ? 1 : 0;
    }
    return n;
}

} // namespace ktztest
