// Client-side decoder of the messages the KTZ Monitor sends to a client and of
// the capability reply a client gets from the module. It reads only the bytes
// it is given (little-endian wire order), checks every size, offset and
// terminator before it uses them, and rejects a malformed payload with a
// readable error instead of reading past the buffer. It depends on nothing but
// the public protocol header and the standard library, so a client writer can
// take it as it is.
#ifndef KTZCLIENT_DECODE_H
#define KTZCLIENT_DECODE_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <variant>
#include <vector>

namespace ktzclient
{

// Short stable names of the request types ("ktz-setting", "sensor-data",
// "fru-by-number", "data-sync-complete", "log-event", "caps-query"), and the
// reverse lookup (0 when the name is unknown).
const char* RequestTypeName(uint32_t requestType);
uint32_t RequestTypeByName(const std::string& name);

struct KtzSetting
{
    uint32_t value = 0;
    bool changed = false; // sent because the setting changed (to every client)
};

struct SensorData
{
    uint8_t type = 0; // 1 fan, 2 temperature, 3 power supply, 4 power redundancy
    uint8_t presence = 0;
    uint8_t status = 0; // 0 unknown, 1 normal, 2 non-critical, 3 critical
    uint8_t number = 0;
    uint8_t sensorClass = 0;
    uint16_t thresholdFlags = 0;
    uint32_t rawReading = 0; // the 32-bit word as sent
    uint32_t nameOffset = 0;
    std::string name;
    bool hasThresholds = false; // thresholdFlags == 3
    uint32_t lncThreshold = 0;
    uint32_t lcThreshold = 0;

    // The reading in its type's meaning: fans unsigned, temperatures signed.
    int64_t Reading() const;
};

struct FruByNumber
{
    uint8_t kind = 0;
    uint8_t bay = 0;
    uint16_t dataLength = 0;
    uint32_t dataOffset = 0;
    std::vector<uint8_t> data;
};

struct DataSyncComplete
{
};

struct LogEvent
{
    uint16_t values[3] = {0, 0, 0};
    uint32_t messageIdOffset = 0;
    uint32_t argsOffset = 0;
    uint32_t argsLength = 0;
    uint32_t textOffset = 0;
    std::string messageId;
    bool hasArgs = false;
    std::vector<std::string> args;
    bool hasText = false;
    std::string text;
};

struct CapsQuery
{
};

using Body = std::variant<KtzSetting, SensorData, FruByNumber, DataSyncComplete, LogEvent, CapsQuery>;

struct Message
{
    uint32_t requestClass = 0;
    uint32_t requestType = 0;
    Body body;
};

struct CapsReply
{
    uint32_t caps = 0;
};

// A decode either yields a value or an error text saying what is wrong and
// where.
template <typename T> struct Result
{
    bool ok = false;
    std::string error;
    T value{};
};

// Decodes one module-to-client message. `data` may be null when `size` is 0.
Result<Message> Decode(uint32_t requestClass, uint32_t requestType, const uint8_t* data, size_t size);
inline Result<Message> Decode(uint32_t requestClass, uint32_t requestType, const std::vector<uint8_t>& bytes)
{
    return Decode(requestClass, requestType, bytes.data(), bytes.size());
}

// Decodes the module's answer to a client's capability query.
Result<CapsReply> DecodeCapsReply(const uint8_t* data, size_t size);

// Texts for people.
const char* SensorTypeName(uint8_t type);     // "fan", "temperature", "power-supply", "power-redundancy"
const char* StatusName(uint8_t status);       // "unknown", "normal", "non-critical", "critical"
std::string ReadingText(const SensorData& s); // "5400", "-3", "0x09 present|input-lost"
std::string BitNames(uint8_t type, uint32_t reading); // "present|failure" for the power types
std::string Describe(const Message& msg);             // one line: type name and every decoded field
std::string CapsText(uint32_t caps);                  // "0x3 (base|log-event)"
std::string Hex(const uint8_t* data, size_t size);    // "02 00 00 00"

} // namespace ktzclient

#endif
