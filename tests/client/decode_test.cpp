// The client message decoder: well-formed messages decode to their fields;
// truncated and inconsistent payloads are rejected with a reason, and the
// decoder never reads outside the bytes it is given (every payload below is
// handed over in a buffer of exactly its size, so the ASan build catches any
// read past it).
#include "ktzclient_decode.h"
#include "payloads.h"

#include <gtest/gtest.h>
#include <ktzmon/protocol.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace
{

using namespace ktzclient_test;

ktzclient::Result<ktzclient::Message> DecodeExact(uint32_t type, const Bytes& b, size_t n)
{
    // A heap block of exactly n bytes: any read beyond it is an ASan error.
    std::unique_ptr<uint8_t[]> exact(n != 0 ? new uint8_t[n] : nullptr);
    if (n != 0)
    {
        std::memcpy(exact.get(), b.data(), n);
    }
    return ktzclient::Decode(KTZMON_REQ_CLASS, type, exact.get(), n);
}

void ExpectRejected(uint32_t type, const Bytes& b, const std::string& hint)
{
    const auto r = DecodeExact(type, b, b.size());
    EXPECT_FALSE(r.ok) << "accepted: " << ktzclient::Hex(b.data(), b.size());
    EXPECT_NE(r.error.find(hint), std::string::npos)
        << "error '" << r.error << "' does not mention '" << hint << "'";
}

TEST(HostDecode, WellFormedMessagesDecodeToTheirFields)
{
    const Bytes setting = {0x02, 0, 0, 0, 0x01, 0, 0, 0};
    auto r = DecodeExact(KTZMON_REQ_KTZ_SETTING, setting, setting.size());
    ASSERT_TRUE(r.ok) << r.error;
    const auto& ks = std::get<ktzclient::KtzSetting>(r.value.body);
    EXPECT_EQ(ks.value, 2u);
    EXPECT_TRUE(ks.changed);

    const Bytes fan = Sensor(1, 3, 5400, "Fan2A", true);
    ASSERT_EQ(fan.size(), 46u);
    r = DecodeExact(KTZMON_REQ_SENSOR_DATA, fan, fan.size());
    ASSERT_TRUE(r.ok) << r.error;
    const auto& sf = std::get<ktzclient::SensorData>(r.value.body);
    EXPECT_EQ(sf.name, "Fan2A");
    EXPECT_EQ(sf.number, 3);
    EXPECT_EQ(sf.Reading(), 5400);
    EXPECT_TRUE(sf.hasThresholds);
    EXPECT_EQ(sf.lncThreshold, 2000u);
    EXPECT_EQ(sf.lcThreshold, 1000u);
    EXPECT_EQ(ktzclient::Describe(r.value),
              "sensor-data fan #3 'Fan2A' presence=1 status=normal reading=5400 lnc=2000 lc=1000");

    // Temperatures are a signed byte sign-extended; fans with the same word are unsigned.
    const Bytes cold = Sensor(2, 1, 0xFFFFFFFDu, "Inlet");
    r = DecodeExact(KTZMON_REQ_SENSOR_DATA, cold, cold.size());
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(std::get<ktzclient::SensorData>(r.value.body).Reading(), -3);
    EXPECT_EQ(ktzclient::ReadingText(std::get<ktzclient::SensorData>(r.value.body)), "-3");
    const Bytes fast = Sensor(1, 1, 0xFFFFFFFDu, "F");
    r = DecodeExact(KTZMON_REQ_SENSOR_DATA, fast, fast.size());
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(std::get<ktzclient::SensorData>(r.value.body).Reading(), 4294967293LL);
    EXPECT_FALSE(std::get<ktzclient::SensorData>(r.value.body).hasThresholds);

    EXPECT_EQ(ktzclient::BitNames(3, 0x23), "present|failure|input-out-of-range");
    EXPECT_EQ(ktzclient::BitNames(3, 0x0A), "failure|input-lost");
    EXPECT_EQ(ktzclient::BitNames(4, 0x04), "redundancy-degraded");
    EXPECT_EQ(ktzclient::BitNames(4, 0x20), "non-redundant-insufficient");
    EXPECT_EQ(ktzclient::BitNames(4, 0x41), "fully-redundant|0x40");

    const Bytes fru = Fru(2, "PSU 2400W");
    r = DecodeExact(KTZMON_REQ_FRU_BY_NUM, fru, fru.size());
    ASSERT_TRUE(r.ok) << r.error;
    const auto& f = std::get<ktzclient::FruByNumber>(r.value.body);
    EXPECT_EQ(f.bay, 2);
    ASSERT_EQ(f.data.size(), 256u);
    EXPECT_EQ(std::string(f.data.begin(), f.data.begin() + 9), "PSU 2400W");

    const std::vector<std::string> args = {"a", "bc"};
    const std::string text = "Fan failed.";
    const Bytes ev = LogEvt("FAN001", &args, &text);
    r = DecodeExact(KTZMON_REQ_VQ_LOG_EVT, ev, ev.size());
    ASSERT_TRUE(r.ok) << r.error;
    const auto& e = std::get<ktzclient::LogEvent>(r.value.body);
    EXPECT_EQ(e.messageId, "FAN001");
    EXPECT_EQ(e.argsLength, 6u); // "a\0bc\0\0"
    EXPECT_EQ(e.args, args);
    EXPECT_EQ(e.text, text);
    EXPECT_EQ(e.values[0], 3);
    EXPECT_EQ(e.values[2], 7);

    // Six-character ID, no argument block, no text: 31 bytes.
    const Bytes bare = LogEvt("ABC123", nullptr, nullptr);
    ASSERT_EQ(bare.size(), 31u);
    r = DecodeExact(KTZMON_REQ_VQ_LOG_EVT, bare, bare.size());
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_FALSE(std::get<ktzclient::LogEvent>(r.value.body).hasArgs);
    EXPECT_FALSE(std::get<ktzclient::LogEvent>(r.value.body).hasText);

    // An empty argument block is one NUL.
    const std::vector<std::string> none;
    const Bytes emptyArgs = LogEvt("X", &none, nullptr);
    r = DecodeExact(KTZMON_REQ_VQ_LOG_EVT, emptyArgs, emptyArgs.size());
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_TRUE(std::get<ktzclient::LogEvent>(r.value.body).hasArgs);
    EXPECT_EQ(std::get<ktzclient::LogEvent>(r.value.body).argsLength, 1u);

    EXPECT_TRUE(ktzclient::Decode(KTZMON_REQ_CLASS, KTZMON_REQ_DATA_SYNC_COMPLETE, nullptr, 0).ok);
    EXPECT_TRUE(ktzclient::Decode(KTZMON_REQ_CLASS, KTZMON_REQ_GET_KTZ_CAPS, nullptr, 0).ok);

    const uint8_t caps[16] = {0x03};
    const auto c = ktzclient::DecodeCapsReply(caps, sizeof caps);
    ASSERT_TRUE(c.ok);
    EXPECT_EQ(c.value.caps, 3u);
    EXPECT_EQ(ktzclient::CapsText(3), "0x3 (base|log-event)");
}

TEST(HostDecode, EveryTruncationIsRejectedWithoutReadingPastTheEnd)
{
    const std::vector<std::string> args = {"PS-2", "x"};
    const std::string text = "Power supply removed.";
    const struct
    {
        uint32_t type;
        Bytes bytes;
    } valid[] = {
        {KTZMON_REQ_KTZ_SETTING, {1, 0, 0, 0, 0, 0, 0, 0}},
        {KTZMON_REQ_SENSOR_DATA, Sensor(1, 1, 5400, "Fan1A", true)},
        {KTZMON_REQ_SENSOR_DATA, Sensor(4, 1, 1, "Power Redundancy")},
        {KTZMON_REQ_FRU_BY_NUM, Fru(1, "PSU")},
        {KTZMON_REQ_VQ_LOG_EVT, LogEvt("PSU0003", &args, &text)},
        {KTZMON_REQ_VQ_LOG_EVT, LogEvt("PSU0003", nullptr, &text)},
    };
    for (const auto& v : valid)
    {
        ASSERT_TRUE(DecodeExact(v.type, v.bytes, v.bytes.size()).ok) << ktzclient::RequestTypeName(v.type);
        for (size_t n = 0; n < v.bytes.size(); ++n)
        {
            const auto r = DecodeExact(v.type, v.bytes, n);
            EXPECT_FALSE(r.ok) << ktzclient::RequestTypeName(v.type) << " cut to " << n
                               << " bytes was accepted";
            EXPECT_FALSE(r.error.empty());
        }
    }
    EXPECT_FALSE(ktzclient::DecodeCapsReply(Bytes(15, 0).data(), 15).ok);
}

// Whole payloads that say something impossible, each a valid one with a
// field changed or a byte added or taken away: rejected with a reason that
// names what is wrong.
TEST(HostDecode, InconsistentPayloadsAreRejected)
{
    const std::vector<std::string> args = {"a", "bc"};
    const std::string text = "T";
    const Bytes fan = Sensor(1, 1, 10, "Fan1A");
    const Bytes fru = Fru(1, "PSU");
    const Bytes ev = LogEvt("ID1", &args, &text); // ID at 24, args at 28 (6 bytes), text at 34
    ASSERT_TRUE(DecodeExact(KTZMON_REQ_VQ_LOG_EVT, ev, ev.size()).ok);
    auto set = [](Bytes b, size_t off, uint32_t v, size_t width = 4)
    {
        for (size_t i = 0; i < width; ++i)
        {
            b[off == SIZE_MAX ? b.size() - 1 : off + i] = static_cast<uint8_t>(v >> (8 * i));
        }
        return b;
    };
    auto longer = [](Bytes b)
    {
        b.push_back(0);
        return b;
    };
    constexpr size_t kLast = SIZE_MAX; // the last byte, with a width of 1
    const uint32_t sensor = KTZMON_REQ_SENSOR_DATA, frus = KTZMON_REQ_FRU_BY_NUM, log = KTZMON_REQ_VQ_LOG_EVT;
    struct Case
    {
        uint32_t type;
        Bytes bytes;
        const char* hint;
    };
    const Case cases[] = {
        {sensor, set(fan, 12, static_cast<uint32_t>(fan.size())), "name offset"}, // at the very end
        {sensor, set(fan, 12, 0xFFFFFFF0u), "name offset"},  // far past the end; must not wrap around
        {sensor, set(fan, 12, 8), "name offset"},            // inside the fixed fields
        {sensor, set(fan, kLast, 'x', 1), "not terminated"}, // the name's NUL is gone
        {sensor, longer(fan), "name ends at byte 46"},
        {sensor, Sensor(9, 1, 10, "X"), "unknown sensor type 9"},
        {sensor, set(Sensor(2, 1, 10, "X"), 2, 4, 1), "status 4"},
        {KTZMON_REQ_KTZ_SETTING, Bytes(9, 0), "expected 8"},
        {KTZMON_REQ_KTZ_SETTING, {1, 0, 0, 0, 2, 0, 0, 0}, "changed byte"},
        {frus, longer(fru), "expected 264"},
        {frus, set(fru, 2, 257, 2), "does not fit"}, // one byte more than follows the header
        {frus, set(fru, 4, 0xFFFFFFFFu), "does not fit"},
        {frus, set(fru, 4, 4), "does not fit"}, // data overlapping the header
        {KTZMON_REQ_DATA_SYNC_COMPLETE, Bytes(1, 0), "expected none"},
        {KTZMON_REQ_GET_KTZ_CAPS, Bytes(16, 0), "expected none"},
        {0x105, Bytes(8, 0), "unknown request type 0x105"},
        {log, set(ev, 8, static_cast<uint32_t>(ev.size())), "message ID offset"},
        {log, set(ev, 8, 4), "message ID offset"}, // inside the header
        {log, set(LogEvt("ID1", nullptr, nullptr), kLast, '!', 1), "not terminated"},
        {log, set(ev, 16, 40), "does not fit"}, // an argument block longer than the payload
        {log, set(ev, 16, 0xFFFFFFFFu), "does not fit"},
        {log, set(ev, 16, 3), "not terminated within the block"}, // "a\0b": the second text runs past it
        {log, set(ev, 16, 5), "argument"},     // "a\0bc\0": no closing empty text inside the block
        {log, set(ev, 16, 0), "does not fit"}, // an argument block offset with no length
        {log, set(LogEvt("ID1", nullptr, &text), 16, 2), "without an argument block"},
        {log, set(ev, 20, 12), "event text offset"},     // inside the header
        {log, set(ev, kLast, 'x', 1), "not terminated"}, // the text's NUL is gone
        {log, longer(ev), "add up to 36"},
        {log, set(ev, 20, 0), "add up to 34"}, // the text is still in the payload but not announced
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(&c - cases);
        ExpectRejected(c.type, c.bytes, c.hint);
    }
    EXPECT_FALSE(ktzclient::Decode(4, KTZMON_REQ_KTZ_SETTING, Bytes(8, 0)).ok);
    EXPECT_FALSE(ktzclient::Decode(KTZMON_REQ_CLASS, KTZMON_REQ_KTZ_SETTING, nullptr, 8).ok);
}

TEST(HostDecode, RequestTypeNamesRoundTrip)
{
    for (uint32_t t : {KTZMON_REQ_KTZ_SETTING, KTZMON_REQ_SENSOR_DATA, KTZMON_REQ_FRU_BY_NUM,
                       KTZMON_REQ_DATA_SYNC_COMPLETE, KTZMON_REQ_VQ_LOG_EVT, KTZMON_REQ_GET_KTZ_CAPS})
    {
        EXPECT_EQ(ktzclient::RequestTypeByName(ktzclient::RequestTypeName(t)), t);
    }
    EXPECT_EQ(ktzclient::RequestTypeByName("sensor"), 0u);
}

} // namespace
