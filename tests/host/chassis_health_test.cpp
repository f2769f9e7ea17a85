// The simulated thermal service's fan health: reported as set, or derived from
// the readings and thresholds when asked to (the host simulator asks for every
// fan whose health its scenario does not give).
#include "core/platform.h"

#include "ktzplatform_control.h"

#include <gtest/gtest.h>

#include <cstring>

namespace
{

constexpr uint32_t kNormal = 1;
constexpr uint32_t kCritical = 2;
constexpr uint32_t kNonCritical = 3;

// The health word of the 76-byte fan record, read at its offset.
uint32_t ReportedHealth(const ktzplat::Fan& fan)
{
    ktzplat::SetFan(1, fan);
    unsigned char rec[76] = {};
    EXPECT_EQ(ThermalGetFanData(1, rec), 0);
    uint32_t health = 0;
    std::memcpy(&health, rec + 40, sizeof health);
    return health;
}

ktzplat::Fan TwoSensorFan(uint32_t r1, uint32_t r2)
{
    // Health 7: a value no derivation gives, to see which is reported.
    return {.health = 7,
            .sensorCount = 2,
            .reading1 = r1,
            .reading2 = r2,
            .lncThreshold = 2000,
            .lcThreshold = 1000,
            .deriveHealth = true};
}

class ChassisHealth : public ::testing::Test
{
  protected:
    void SetUp() override { ktzplat::Reset(); }
    void TearDown() override { ktzplat::Reset(); }
};

TEST_F(ChassisHealth, ThresholdsAreInclusiveAndTheWorseSensorWins)
{
    EXPECT_EQ(ReportedHealth(TwoSensorFan(5000, 5000)), kNormal);
    EXPECT_EQ(ReportedHealth(TwoSensorFan(2001, 5000)), kNormal);
    EXPECT_EQ(ReportedHealth(TwoSensorFan(2000, 5000)), kNonCritical); // at the threshold
    EXPECT_EQ(ReportedHealth(TwoSensorFan(1001, 5000)), kNonCritical);
    EXPECT_EQ(ReportedHealth(TwoSensorFan(1000, 5000)), kCritical);
    EXPECT_EQ(ReportedHealth(TwoSensorFan(0, 5000)), kCritical);
    // One health word per fan: the worse of the two sensors, whichever it is.
    EXPECT_EQ(ReportedHealth(TwoSensorFan(5000, 900)), kCritical);
    EXPECT_EQ(ReportedHealth(TwoSensorFan(1500, 900)), kCritical);
    EXPECT_EQ(ReportedHealth(TwoSensorFan(900, 1500)), kCritical);
    EXPECT_EQ(ReportedHealth(TwoSensorFan(5000, 1500)), kNonCritical);
}

TEST_F(ChassisHealth, OnlyThePresentSensorsAndGivenThresholdsCount)
{
    // A one-sensor fan ignores whatever its second reading holds.
    ktzplat::Fan one = TwoSensorFan(5000, 0);
    one.sensorCount = 1;
    EXPECT_EQ(ReportedHealth(one), kNormal);
    // A threshold of 0 is no threshold.
    ktzplat::Fan noLc = TwoSensorFan(500, 5000);
    noLc.lcThreshold = 0;
    EXPECT_EQ(ReportedHealth(noLc), kNonCritical);
    noLc.lncThreshold = 0;
    EXPECT_EQ(ReportedHealth(noLc), kNormal);
    // An absent fan, and any fan unless asked, reports the health as set.
    ktzplat::Fan absent = TwoSensorFan(0, 0);
    absent.presence = 0;
    EXPECT_EQ(ReportedHealth(absent), 7u);
    ktzplat::Fan given = TwoSensorFan(0, 0);
    given.deriveHealth = false;
    EXPECT_EQ(ReportedHealth(given), 7u);
    EXPECT_FALSE(ktzplat::Fan{}.deriveHealth) << "off by default, so existing chassis keep their health";
}

} // namespace
