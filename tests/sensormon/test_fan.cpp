// Fan sensors: the tolerance band, the delay mode, enumeration and the
// sensor data record on the wire.
#include "sensormon_fixture.h"

namespace ktztest
{
namespace
{
TEST(FanReadingBand, EdgesOfTheBand)
{
    for (uint32_t c = 5; c <= 15; ++c)
    {
        EXPECT_EQ(KTZMonSensorMonFanSensorCheckReading(10, c, 5), 0) << c;
    }
    EXPECT_EQ(KTZMonSensorMonFanSensorCheckReading(10, 4, 5), 1);
    EXPECT_EQ(KTZMonSensorMonFanSensorCheckReading(10, 16, 5), 1);
    // The lower bound never falls below 1, so a drop to 0 always counts.
    EXPECT_EQ(KTZMonSensorMonFanSensorCheckReading(3, 0, 5), 1);
    EXPECT_EQ(KTZMonSensorMonFanSensorCheckReading(3, 1, 5), 0);
    EXPECT_EQ(KTZMonSensorMonFanSensorCheckReading(3, 8, 5), 0);
    EXPECT_EQ(KTZMonSensorMonFanSensorCheckReading(0, 0, 5), 0);
    EXPECT_EQ(KTZMonSensorMonFanSensorCheckReading(0, 6, 5), 1);
    // The upper bound stops below 0xFFFFFFFF, without wrapping.
    EXPECT_EQ(KTZMonSensorMonFanSensorCheckReading(0xFFFFFFF0u, 0xFFFFFFFEu, 100), 0);
    EXPECT_EQ(KTZMonSensorMonFanSensorCheckReading(0xFFFFFFF0u, 0xFFFFFFFFu, 100), 1);
    EXPECT_EQ(KTZMonSensorMonFanSensorCheckReading(0xFFFFFFFFu, 0xFFFFFFFFu, 5), 0);
    EXPECT_EQ(KTZMonSensorMonFanSensorCheckReading(0xFFFFFFFFu, 0xFFFFFFFAu, 5), 0);
    EXPECT_EQ(KTZMonSensorMonFanSensorCheckReading(0xFFFFFFFFu, 0xFFFFFFF9u, 5), 1);
    EXPECT_EQ(KTZMonSensorMonFanSensorCheckReading(10, 11, 0), 1);
}

class FanTest : public SensorMonTest
{
  protected:
    // Started, the fan attached and sent once; returns the fan's settings.
    ktzplat::Fan Attached()
    {
        StartWithClient();
        Pass(6);
        EXPECT_EQ(SensorMsgs(1).size(), 1u);
        return Fan1();
    }
};

TEST_F(FanTest, LowReadingIsHeldBackUntilTheDelayExpires)
{
    auto fan = Attached();
    fan.reading1 = 900;
    ktzplat::SetFan(1, fan);
    Pass();
    EXPECT_TRUE(Logged("Fan sensor starting delay mode: name: 'FAN1'\n"));
    EXPECT_TRUE(Logged("Fan sensor reading below threshold: name: 'FAN1' reading: 900 lncThreshold: 1000 "
                       "lcThreshold: 500 PWM: 0\n"));
    for (size_t k = 1; k <= 4; ++k)
    {
        Pass();
        EXPECT_EQ(CountLogged("Fan sensor in delay mode: name: 'FAN1'\n"), k);
        EXPECT_EQ(SensorMsgs(1).size(), 1u);
    }
    Pass();
    EXPECT_EQ(CountLogged("Fan sensor delay mode expired: name: 'FAN1'\n"), 1u);
    ASSERT_EQ(SensorMsgs(1).size(), 2u);
    EXPECT_EQ(ktz::LoadLE32(SensorMsgs(1)[1].bytes.data(), KTZMON_SDR_OFF_READING), 900u);
    EXPECT_EQ(CountLogged("Fan sensor exiting delay mode: name: 'FAN1'\n"), 0u);
}

TEST_F(FanTest, DipThatRecoversWithinTheDelayIsNeverSent)
{
    auto fan = Attached();
    fan.reading1 = 900;
    ktzplat::SetFan(1, fan);
    Pass(2);
    fan.reading1 = 5003;
    ktzplat::SetFan(1, fan);
    Pass();
    EXPECT_EQ(CountLogged("Fan sensor exiting delay mode: name: 'FAN1'\n"), 1u);
    Pass(6);
    EXPECT_EQ(SensorMsgs(1).size(), 1u);
    EXPECT_EQ(CountLogged("Fan sensor starting delay mode: name: 'FAN1'\n"), 1u);

    // A threshold change above the threshold goes out at once.
    fan.lcThreshold = 600;
    ktzplat::SetFan(1, fan);
    Pass();
    EXPECT_TRUE(Logged("Fan sensor lcThreshold change: name: 'FAN1' prev: 500 curr: 600 diff: +100\n"));
    EXPECT_EQ(SensorMsgs(1).size(), 2u);
}

TEST_F(FanTest, SensorDataRecordOnTheWire)
{
    Attached();
    const auto msgs = SensorMsgs(1);
    ASSERT_EQ(msgs.size(), 1u);
    EXPECT_EQ(Hex(msgs[0].bytes), "01 01 01 01 01 00 03 00 88 13 00 00 28 00 00 00 "
                                  "00 00 00 00 00 00 00 00 00 00 00 00 E8 03 00 00 "
                                  "F4 01 00 00 00 00 00 00 46 41 4E 31 00");
}

TEST_F(FanTest, MultiSensorPlatformsEnumerateEverySensor)
{
    LoadOnly();
    auto fan = Fan1();
    fan.sensorCount = 2;
    ktzplat::SetFan(1, fan);
    for (uint32_t id : {0x10u, 0x11u, 0x12u, 0x13u, 0x20u, 0x21u, 0x14u})
    {
        SCOPED_TRACE(id);
        ktzplat::SetPlatformId(id);
        KTZMonSensorMonFanSensorsAttach();
        const auto fans = Fans();
        ASSERT_EQ(fans.size(), id == 0x14 ? 1u : 2u);
        EXPECT_STREQ(fans[0]->name, "FAN1");
        EXPECT_EQ(fans[0]->reading, 5000u);
        if (fans.size() == 2)
        {
            EXPECT_STREQ(fans[1]->name, "FAN1B");
            EXPECT_EQ(fans[1]->reading, 4000u);
            EXPECT_EQ(fans[1]->fanSensorIndex, 2);
            EXPECT_EQ(fans[1]->sensorNum, 2);
        }
        KTZMonSensorMonFanSensorsDetach();
    }
    fan.sensorCount = 0;
    ktzplat::SetFan(1, fan);
    ktzplat::SetPlatformId(0x10);
    KTZMonSensorMonFanSensorsAttach();
    EXPECT_TRUE(Fans().empty());
}

TEST_F(FanTest, FailedFansAndAllocationsLeaveNumberGaps)
{
    LoadOnly();
    ktzplat::SetFanCounts(2, 1);
    auto fan = Fan1();
    fan.result = -7;
    ktzplat::SetFan(2, fan);
    ktzplat::SetFan(3, Fan1());
    KTZMonSensorMonFanSensorsAttach();
    EXPECT_TRUE(Logged("ThermalGetFanData failed: fanNum: 2 rc: -7\n"));
    auto fans = Fans();
    ASSERT_EQ(fans.size(), 2u);
    EXPECT_EQ(fans[1]->fanNum, 3);
    EXPECT_EQ(fans[1]->sensorNum, 2);
    KTZMonSensorMonFanSensorsDetach();

    ktzplat::SetFan(2, Fan1());
    ktzplat::InjectFault(ktzplat::Op::Alloc);
    KTZMonSensorMonFanSensorsAttach();
    fans = Fans();
    ASSERT_EQ(fans.size(), 2u);
    EXPECT_EQ(fans[0]->fanNum, 2);
    EXPECT_EQ(fans[0]->sensorNum, 2);
    EXPECT_EQ(fans[1]->sensorNum, 3);
}

TEST_F(FanTest, FanNumbersStopAt255)
{
    LoadOnly();
    ktzplat::SetFan(255, Fan1());
    ktzplat::SetFan(256, Fan1());
    for (auto counts : {std::pair{200u, 100u}, std::pair{0xFFFFFFFFu, 2u}})
    {
        ktzplat::SetFanCounts(counts.first, counts.second);
        const uint64_t calls = ktzplat::CallCount(ktzplat::Op::ThermalFanData);
        KTZMonSensorMonFanSensorsAttach();
        EXPECT_EQ(ktzplat::CallCount(ktzplat::Op::ThermalFanData), calls + 255);
        const auto fans = Fans();
        ASSERT_EQ(fans.size(), 2u);
        EXPECT_EQ(fans[1]->fanNum, 255);
        KTZMonSensorMonFanSensorsDetach();
    }
}

} // namespace
} // namespace ktztest
