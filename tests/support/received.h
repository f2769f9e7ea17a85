// What the clients of a recording host received, decoded at each message's
// documented offsets (the wire is little-endian whatever the machine), for
// suites that judge the picture a client holds rather than its bytes. The
// suites that check the bytes themselves read them at their offsets.
#ifndef KTZTEST_RECEIVED_H
#define KTZTEST_RECEIVED_H

#include "support/fake_host.h"

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace ktztest
{

// One sensor data message: the name is read where its offset field points.
struct Sensor
{
    uint8_t type = 0;
    uint8_t num = 0;
    uint8_t presence = 0;
    uint8_t status = 0;
    uint32_t reading = 0;
    uint32_t lnc = 0;
    uint32_t lc = 0;
    std::string name;
};

// One chassis log event message.
struct LogEvent
{
    uint16_t value1 = 0, value2 = 0, value3 = 0;
    std::string messageId;
    std::vector<std::string> args;
    std::string text;
};

// The sensor data messages (of one sensor type, or all) in the order received.
std::vector<Sensor> SensorsIn(const std::vector<ReceivedMsg>& msgs, uint8_t type = 0);
std::vector<LogEvent> LogEventsIn(const std::vector<ReceivedMsg>& msgs);
// The data areas of the FRU-by-number messages of one bay.
std::vector<std::vector<uint8_t>> FruDataIn(const std::vector<ReceivedMsg>& msgs, uint8_t bay);
// The KTZ setting messages: {value, setting-changed byte}.
std::vector<std::pair<uint32_t, uint8_t>> KtzSettingsIn(const std::vector<ReceivedMsg>& msgs);
// Messages of one request type.
size_t CountType(const std::vector<ReceivedMsg>& msgs, uint32_t type);

} // namespace ktztest

#endif
