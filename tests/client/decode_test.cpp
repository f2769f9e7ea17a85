// The client message decoder: well-formed messages decode to their fields;
// truncated and inconsistent payloads are rejected with a reason, and the
// decoder never reads outside the bytes it is given (every payload below is
// handed over in a buffer of exactly its size, so the ASan build catches any
// read past it).
#include "ktzclient_decode.h"

#include <gtest/gtest.h>
#include <ktzmon/protocol.h>

#include <cstring>
#include <string>
#include <vector>

namespace
{

using Bytes = std::vector<uint8_t>;

void Put16(Bytes& b, size_t off, uint16_t v)
{
    b[off] = static_cast<uint8_t>(v);
    b[off + 1] = static_cast<uint8_t>(v >> 8);
}

void Put32(Bytes& b, size_t off, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
    {
        b[off + i] = static_cast<uint8_t>(v >> (8 * i));
    }
}

// A sensor data message as the module puts it on the wire.
Bytes Sensor(uint8_t type, uint8_t num, uint32_t reading, const std::string& name, bool thresholds = false)
{
    Bytes b(41 + name.size(), 0);
    b[0] = type;
    b[1] = 1;
    b[2] = 1;
    b[3] = num;
    b[4] = type;
    Put16(b, 6, thresholds ? 3 : 0);
    Put32(b, 8, reading);
    Put32(b, 12, 40);
    if (thresholds)
    {
        Put32(b, 28, 2000);
        Put32(b, 32, 1000);
    }
    std::memcpy(b.data() + 40, name.c_str(), name.size() + 1);
    return b;
}

Bytes Fru(uint8_t bay, const std::string& text)
{
    Bytes b(264, 0);
    b[0] = 1;
    b[1] = bay;
    Put16(b, 2, 256);
    Put32(b, 4, 8);
    std::memcpy(b.data() + 8, text.data(), text.size());
    return b;
}

// A chassis log event message: header, ID, optional argument block, optional text.
Bytes LogEvt(const std::string& id, const std::vector<std::string>* args, const std::string* text)
{
    Bytes b(24, 0);
    Put16(b, 0, 3);
    Put16(b, 2, 1);
    Put16(b, 4, 7);
    Put32(b, 8, 24);
    b.insert(b.end(), id.begin(), id.end());
    b.push_back(0);
    if (args != nullptr)
    {
        const size_t off = b.size();
        for (const auto& a : *args)
        {
            b.insert(b.end(), a.begin(), a.end());
            b.push_back(0);
        }
        b.push_back(0);
        Put32(b, 12, static_cast<uint32_t>(off));
        Put32(b, 16, static_cast<uint32_t>(b.size() - off));
    }
    if (text != nullptr)
    {
        Put32(b, 20, static_cast<uint32_t>(b.size()));
        b.insert(b.end(), text->begin(), text->end());
        b.push_back(0);
    }
    return b;
}

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

TEST(HostDecode, InconsistentSensorRecordsAreRejected)
{
    Bytes b = Sensor(1, 1, 10, "Fan1A");
    Put32(b, 12, static_cast<uint32_t>(b.size())); // name offset at the very end
    ExpectRejected(KTZMON_REQ_SENSOR_DATA, b, "name offset");

    b = Sensor(1, 1, 10, "Fan1A");
    Put32(b, 12, 0xFFFFFFF0u); // far past the end; must not wrap around
    ExpectRejected(KTZMON_REQ_SENSOR_DATA, b, "name offset");

    b = Sensor(1, 1, 10, "Fan1A");
    Put32(b, 12, 8); // inside the fixed fields
    ExpectRejected(KTZMON_REQ_SENSOR_DATA, b, "name offset");

    b = Sensor(1, 1, 10, "Fan1A");
    b.back() = 'x'; // name without its NUL
    ExpectRejected(KTZMON_REQ_SENSOR_DATA, b, "not terminated");

    b = Sensor(1, 1, 10, "Fan1A");
    b.push_back(0); // a byte after the name's NUL
    ExpectRejected(KTZMON_REQ_SENSOR_DATA, b, "name ends at byte 46");

    b = Sensor(9, 1, 10, "X");
    ExpectRejected(KTZMON_REQ_SENSOR_DATA, b, "unknown sensor type 9");

    b = Sensor(2, 1, 10, "X");
    b[2] = 4;
    ExpectRejected(KTZMON_REQ_SENSOR_DATA, b, "status 4");
}

TEST(HostDecode, InconsistentFixedSizeMessagesAreRejected)
{
    ExpectRejected(KTZMON_REQ_KTZ_SETTING, Bytes(9, 0), "expected 8");
    ExpectRejected(KTZMON_REQ_KTZ_SETTING, Bytes{1, 0, 0, 0, 2, 0, 0, 0}, "changed byte");

    Bytes f = Fru(1, "PSU");
    f.push_back(0);
    ExpectRejected(KTZMON_REQ_FRU_BY_NUM, f, "expected 264");
    f = Fru(1, "PSU");
    Put16(f, 2, 257); // one byte more than follows the header
    ExpectRejected(KTZMON_REQ_FRU_BY_NUM, f, "does not fit");
    f = Fru(1, "PSU");
    Put32(f, 4, 0xFFFFFFFFu);
    ExpectRejected(KTZMON_REQ_FRU_BY_NUM, f, "does not fit");
    f = Fru(1, "PSU");
    Put32(f, 4, 4); // data overlapping the header
    ExpectRejected(KTZMON_REQ_FRU_BY_NUM, f, "does not fit");

    ExpectRejected(KTZMON_REQ_DATA_SYNC_COMPLETE, Bytes(1, 0), "expected none");
    ExpectRejected(KTZMON_REQ_GET_KTZ_CAPS, Bytes(16, 0), "expected none");
    ExpectRejected(0x105, Bytes(8, 0), "unknown request type 0x105");
    EXPECT_FALSE(ktzclient::Decode(4, KTZMON_REQ_KTZ_SETTING, Bytes(8, 0)).ok);
    EXPECT_FALSE(ktzclient::Decode(KTZMON_REQ_CLASS, KTZMON_REQ_KTZ_SETTING, nullptr, 8).ok);
}

TEST(HostDecode, InconsistentLogEventsAreRejected)
{
    const std::vector<std::string> args = {"a", "bc"};
    const std::string text = "T";
    const Bytes good = LogEvt("ID1", &args, &text); // ID at 24, args at 28 (6 bytes), text at 34
    ASSERT_TRUE(DecodeExact(KTZMON_REQ_VQ_LOG_EVT, good, good.size()).ok);

    Bytes b = good;
    Put32(b, 8, static_cast<uint32_t>(b.size()));
    ExpectRejected(KTZMON_REQ_VQ_LOG_EVT, b, "message ID offset");

    b = good;
    Put32(b, 8, 4); // inside the header
    ExpectRejected(KTZMON_REQ_VQ_LOG_EVT, b, "message ID offset");

    b = LogEvt("ID1", nullptr, nullptr);
    b.back() = '!'; // the ID's NUL is gone
    ExpectRejected(KTZMON_REQ_VQ_LOG_EVT, b, "not terminated");

    b = good;
    Put32(b, 16, 40); // argument block longer than the payload
    ExpectRejected(KTZMON_REQ_VQ_LOG_EVT, b, "does not fit");

    b = good;
    Put32(b, 16, 0xFFFFFFFFu);
    ExpectRejected(KTZMON_REQ_VQ_LOG_EVT, b, "does not fit");

    b = good;
    Put32(b, 16, 3); // "a\0b": the second text runs past the block
    ExpectRejected(KTZMON_REQ_VQ_LOG_EVT, b, "not terminated within the block");

    b = good;
    Put32(b, 16, 5); // "a\0bc\0": no closing empty text inside the block
    ExpectRejected(KTZMON_REQ_VQ_LOG_EVT, b, "argument");

    b = good;
    Put32(b, 16, 0); // an argument block offset with no length
    ExpectRejected(KTZMON_REQ_VQ_LOG_EVT, b, "does not fit");

    b = LogEvt("ID1", nullptr, &text);
    Put32(b, 16, 2); // a length without an argument block
    ExpectRejected(KTZMON_REQ_VQ_LOG_EVT, b, "without an argument block");

    b = good;
    Put32(b, 20, 12); // text offset inside the header
    ExpectRejected(KTZMON_REQ_VQ_LOG_EVT, b, "event text offset");

    b = good;
    b.back() = 'x'; // the text's NUL is gone
    ExpectRejected(KTZMON_REQ_VQ_LOG_EVT, b, "not terminated");

    b = good;
    b.push_back(0); // one byte more than the parts add up to
    ExpectRejected(KTZMON_REQ_VQ_LOG_EVT, b, "add up to 36");

    b = good;
    Put32(b, 20, 0); // the text is still in the payload but not announced
    ExpectRejected(KTZMON_REQ_VQ_LOG_EVT, b, "add up to 34");
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
