// Odd answers from the platform: names that fill their fields without a
// NUL, counts larger than the buffers, readings at the limits of their types,
// a service that fails for one bay and not the next (a setting value with
// stray bytes: the setting monitor's suite). The module stays inside its
// buffers (these run under AddressSanitizer too), keeps what it can and
// sends only well-formed records, checked here as a client decodes them.
#include "core/global.h"

#include "sensormon_fixture.h"

#include <cstring>
#include <string>

namespace ktztest
{
namespace
{

constexpr uint32_t kFanRecordSize = 76;
constexpr uint32_t kTempEntrySize = 40;
constexpr uint32_t kStashRecordSize = 24;

void Put32(std::vector<uint8_t>& b, uint32_t off, uint32_t v)
{
    std::memcpy(b.data() + off, &v, sizeof v); // the platform answers in host order
}

class OddPlatformTest : public SensorMonTest
{
  protected:
    // The sensor records received, as a client decodes them; each must be
    // framed as a client relies on: the name at offset 40 running to the
    // record's last byte, its only NUL.
    std::vector<Sensor> Received(uint8_t type)
    {
        const auto msgs = SensorMsgs(type);
        const auto sensors = SensorsIn(msgs, type);
        EXPECT_EQ(sensors.size(), msgs.size());
        for (size_t i = 0; i < msgs.size() && i < sensors.size(); ++i)
        {
            EXPECT_EQ(Hex(msgs[i].bytes.data() + KTZMON_SENSOR_OFF_NAME_OFFSET, 4), "28 00 00 00");
            EXPECT_EQ(msgs[i].bytes.back(), 0) << "name not terminated by the record's last byte";
            EXPECT_EQ(sensors[i].name.size(), msgs[i].bytes.size() - 41) << "NUL inside the name";
        }
        return sensors;
    }
};

TEST_F(OddPlatformTest, FanRecordWithFullNamesAndExtremeValues)
{
    // Two sensors whose names fill their 16-byte fields with no NUL after
    // them, readings and thresholds at the top of their range, PWM 255.
    std::vector<uint8_t> rec(kFanRecordSize, 0xFF);
    std::memset(rec.data() + 4, 'A', 16);
    std::memset(rec.data() + 20, 'B', 16);
    Put32(rec, 36, 1);
    Put32(rec, 40, 0xFFFFFFFFu);
    rec[46] = 2;
    Put32(rec, 60, 0xFFFFFFFFu);
    Put32(rec, 64, 0);
    ktzplat::SetPlatformId(0x10);
    ktzplat::SetRawFanAnswer(1, rec);
    LoadOnly();
    KTZMonSensorMonFanSensorsAttach();
    ASSERT_EQ(Fans().size(), 2u);

    ASSERT_EQ(Host().Connect(kClient), 0u);
    Host().Clear();
    KTZMonSensorMonFanSensorsSendToClient(nullptr);
    const auto fans = Received(1);
    ASSERT_EQ(fans.size(), 2u);
    EXPECT_EQ(fans[0].name, std::string(16, 'A'));
    EXPECT_EQ(fans[1].name, std::string(16, 'B'));
    EXPECT_EQ(fans[0].num, 1);
    EXPECT_EQ(fans[1].num, 2);
    EXPECT_EQ(fans[0].reading, 0xFFFFFFFFu);
    EXPECT_EQ(fans[1].reading, 0u);
    EXPECT_EQ(fans[0].lnc, 0xFFFFFFFFu);
    EXPECT_EQ(SensorMsgs(1)[0].bytes[2], 0) << "health 0xFFFFFFFF has no status";

    // At the top of the range a check finds nothing new; a reading of 0 under
    // a top threshold is held back, not sent.
    Host().Clear();
    KTZMonSensorMonFanSensorsCheck(KTZMON_CHECK_HEALTH | KTZMON_CHECK_READING, 0);
    EXPECT_TRUE(SensorMsgs().empty());
    Put32(rec, 60, 0);
    ktzplat::SetRawFanAnswer(1, rec);
    KTZMonSensorMonFanSensorsCheck(KTZMON_CHECK_HEALTH | KTZMON_CHECK_READING, 0);
    EXPECT_TRUE(SensorMsgs().empty());
    EXPECT_TRUE(Logged("Fan sensor starting delay mode: name: '" + std::string(16, 'A') + "'\n"));
}

TEST_F(OddPlatformTest, TemperatureCountsLargerThanTheBuffers)
{
    ktzplat::SetCapWordA(0x10);
    ktzplat::SetCapWordB(0x1);
    ktzplat::SetStashWord(1);
    // The thermal service claims 255 entries and fills its 8 with names that
    // run past their 21-byte fields; the stash claims 255 records and fills
    // 7 whose names fill their fields, readings at both signed limits.
    std::vector<uint8_t> entries(8 * kTempEntrySize, 'T');
    Put32(entries, 28, 0);
    entries[32] = 0x80; // -128
    ktzplat::SetRawThermalAnswer(entries, 255, std::vector<uint8_t>(8, 0));
    std::vector<uint8_t> stash(7 * kStashRecordSize, 'S');
    for (uint8_t i = 0; i < 7; ++i)
    {
        uint8_t* r = stash.data() + i * kStashRecordSize;
        r[0] = 3;
        r[1] = i; // numbers 2 to 8
        r[2] = (i % 2 == 0) ? 0x7F : 0x80;
    }
    ktzplat::SetRawStashAnswer(stash, 255);
    LoadOnly();
    KTZMonSensorMonTempSensorsAttach();
    const auto temps = Temps();
    ASSERT_EQ(temps.size(), 8u);

    ASSERT_EQ(Host().Connect(kClient), 0u);
    Host().Clear();
    KTZMonSensorMonTempSensorsSendToClient(nullptr);
    const auto sent = Received(2);
    ASSERT_EQ(sent.size(), 8u);
    EXPECT_EQ(sent[0].name, std::string(20, 'T'));
    EXPECT_EQ(sent[0].reading, 0xFFFFFF80u) << "-128 sign-extended";
    EXPECT_EQ(sent[0].num, 1);
    for (uint32_t i = 1; i < 8; ++i)
    {
        SCOPED_TRACE(i);
        EXPECT_EQ(sent[i].name, std::string(20, 'S'));
        EXPECT_EQ(sent[i].num, i + 1);
        EXPECT_EQ(sent[i].reading, (i % 2 == 1) ? 127u : 0xFFFFFF80u);
    }

    // A check against the same answer finds no change at the limits.
    Host().Clear();
    KTZMonSensorMonTempSensorsCheck(KTZMON_CHECK_HEALTH | KTZMON_CHECK_READING, 1);
    EXPECT_TRUE(SensorMsgs().empty());
}

TEST_F(OddPlatformTest, OneBayFailingDoesNotCostTheOthers)
{
    ktzplat::SetPsuBayCount(4);
    const ktzplat::PsuBay good{.presence = 1, .state = 1};
    for (uint32_t n = 1; n <= 4; ++n)
    {
        ktzplat::SetPsuBay(n, good);
    }
    auto presenceFails = good;
    presenceFails.presenceResult = -5;
    ktzplat::SetPsuBay(2, presenceFails);
    auto alertFails = good;
    alertFails.alertResult = -6;
    ktzplat::SetPsuBay(3, alertFails);
    LoadOnly();
    KTZMonSensorMonPwrSupplySensorsAttach();
    const auto psus = ListOf<KTZMonPwrSupplySensor>(g_pKTZMonSensorMonData->pwrSupplySensors);
    ASSERT_EQ(psus.size(), 2u);
    EXPECT_EQ(psus[0]->sensorNum, 1);
    EXPECT_EQ(psus[1]->sensorNum, 4);

    ASSERT_EQ(Host().Connect(kClient), 0u);
    Host().Clear();
    KTZMonSensorMonPwrSupplySensorsSendToClient(nullptr);
    const auto sent = Received(3);
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0].name, "PS-1");
    EXPECT_EQ(sent[1].name, "PS-4");
    EXPECT_EQ(sent[1].num, 4);
}

} // namespace
} // namespace ktztest
