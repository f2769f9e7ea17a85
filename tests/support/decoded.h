// Module messages as the client library hands them over, decoded, for the
// suites that feed the programs built on it (the exporter's series, the
// Redfish service's resources). The suite links the client decoder.
#ifndef KTZTEST_DECODED_H
#define KTZTEST_DECODED_H

#include "ktzclient_decode.h"

#include <algorithm>
#include <cstdint>
#include <string>
#include <utility>

namespace ktztest
{

inline ktzclient::Message Decoded(uint32_t type, ktzclient::Body body)
{
    return {3, type, std::move(body)};
}

inline ktzclient::Message SettingMsg(uint32_t value, bool changed)
{
    return Decoded(0x100, ktzclient::KtzSetting{value, changed});
}

// A sensor record without thresholds.
inline ktzclient::Message SensorMsg(uint8_t type, uint8_t number, const std::string& name, uint32_t raw,
                                    uint8_t status = 1, uint8_t presence = 1)
{
    return Decoded(0x101, ktzclient::SensorData{.type = type,
                                                .presence = presence,
                                                .status = status,
                                                .number = number,
                                                .sensorClass = type,
                                                .rawReading = raw,
                                                .name = name});
}

// A fan with its lower thresholds at 2000 (non-critical) and 1000 RPM (critical).
inline ktzclient::Message FanMsg(uint8_t number, const std::string& name, uint32_t rpm, uint8_t status = 1)
{
    ktzclient::Message m = SensorMsg(1, number, name, rpm, status);
    auto& s = std::get<ktzclient::SensorData>(m.body);
    s.thresholdFlags = 3;
    s.hasThresholds = true;
    s.lncThreshold = 2000;
    s.lcThreshold = 1000;
    return m;
}

// A bay's FRU record holding `text` (as the simulated chassis's do).
inline ktzclient::Message FruMsg(uint8_t bay, const std::string& text)
{
    ktzclient::FruByNumber f{.kind = 1, .bay = bay, .dataLength = 256, .dataOffset = 8, .data = {}};
    f.data.assign(256, 0);
    std::copy(text.begin(), text.end(), f.data.begin());
    return Decoded(0x102, f);
}

inline ktzclient::Message SyncMsg()
{
    return Decoded(0x103, ktzclient::DataSyncComplete{});
}

inline ktzclient::Message LogMsg(const std::string& id)
{
    return Decoded(0x104, ktzclient::LogEvent{.messageId = id});
}

} // namespace ktztest

#endif
