// Sensor numbers on chassis larger than an 8-bit number can count: no two
// sensors of one type share a number, none is 0, and where numbering stops
// the log says so (bays past 255: tests/pwrsensors).
#include "sensormon_fixture.h"

#include <set>

namespace ktztest
{
namespace
{

class NumberingTest : public SensorMonTest
{
  protected:
    template <typename T> static void ExpectDistinctNonZero(const std::vector<T*>& sensors)
    {
        std::set<uint32_t> seen;
        for (const T* s : sensors)
        {
            EXPECT_NE(s->sensorNum, 0) << s->name;
            EXPECT_TRUE(seen.insert(s->sensorNum).second) << "number " << +s->sensorNum << " used twice";
        }
    }
};

TEST_F(NumberingTest, FanSensorNumbersStopAt255WithALogLine)
{
    LoadOnly();
    ktzplat::SetPlatformId(0x10);
    ktzplat::SetFanCounts(150, 0);
    auto fan = Fan1();
    fan.sensorCount = 2;
    for (uint32_t n = 1; n <= 150; ++n)
    {
        ktzplat::SetFan(n, fan);
    }
    KTZMonSensorMonFanSensorsAttach();
    const auto fans = Fans();
    ASSERT_EQ(fans.size(), 255u);
    ExpectDistinctNonZero(fans);
    EXPECT_EQ(fans.back()->sensorNum, 255);
    // Sensor 255 is fan 128's first; its second would have been number 256.
    EXPECT_EQ(fans.back()->fanNum, 128);
    EXPECT_EQ(fans.back()->fanSensorIndex, 1);
    EXPECT_EQ(
        CountLogged("Fan sensor numbers used up at 255, leaving out sensors from fanNum: 128 sensor: 2\n"),
        1u);
    KTZMonSensorMonFanSensorsDetach();
}

// Counts beyond 255 (also those whose 32-bit sum would wrap to a small
// number) are logged, and only fans 1 to 255 are probed.
TEST_F(NumberingTest, FanCountBeyond255IsLoggedAndProbingStopsAtFan255)
{
    LoadOnly();
    ktzplat::SetFan(255, Fan1());
    ktzplat::SetFan(256, Fan1());
    for (auto [a, b] : {std::pair{200u, 100u}, std::pair{0xFFFFFFFFu, 2u}})
    {
        ktzplat::SetFanCounts(a, b);
        const uint64_t calls = ktzplat::CallCount(ktzplat::Op::ThermalFanData);
        KTZMonSensorMonFanSensorsAttach();
        EXPECT_EQ(CountLogged("Fan count " + std::to_string(a) + "+" + std::to_string(b) +
                              " out of range, probing fans 1 to 255\n"),
                  1u);
        EXPECT_EQ(ktzplat::CallCount(ktzplat::Op::ThermalFanData), calls + 255);
        const auto fans = Fans();
        ASSERT_EQ(fans.size(), 2u);
        EXPECT_EQ(fans[1]->fanNum, 255);
        KTZMonSensorMonFanSensorsDetach();
    }

    // Exactly 255 is within range and says nothing.
    ktzplat::ClearLoggedMessages();
    ktzplat::SetFanCounts(255, 0);
    KTZMonSensorMonFanSensorsAttach();
    for (const auto& line : Logged())
    {
        EXPECT_EQ(line.find("out of range"), std::string::npos) << line;
    }
}

TEST_F(NumberingTest, StashRecordsWithZeroOrTakenNumbersAreLeftOut)
{
    LoadOnly();
    ktzplat::SetCapWordA(0x10);
    ktzplat::SetCapWordB(0x1);
    ktzplat::SetStashWord(1);
    // Numbers (a - 2) * 2 + b in 8 bits: 0, 1 (the chassis sensor's), 2, 2,
    // 0 again by wrapping, and 4.
    ktzplat::SetStash({{2, 0, 10, "Zero"},
                       {2, 1, 11, "SameAsChassis"},
                       {3, 0, 12, "Two"},
                       {2, 2, 13, "TwoAgain"},
                       {130, 0, 14, "Wrapped"},
                       {3, 2, 15, "Four"}});
    KTZMonSensorMonTempSensorsAttach();
    auto temps = Temps();
    ASSERT_EQ(temps.size(), 3u);
    ExpectDistinctNonZero(temps);
    EXPECT_STREQ(temps[0]->name, "Chassis");
    EXPECT_STREQ(temps[1]->name, "Two");
    EXPECT_EQ(temps[1]->sensorNum, 2);
    EXPECT_STREQ(temps[2]->name, "Four");
    EXPECT_EQ(temps[2]->sensorNum, 4);
    EXPECT_EQ(temps[2]->reading, 15);
    EXPECT_TRUE(Logged("Temperature sensor number 0 not usable, leaving out stash record: a: 2 b: 0\n"));
    EXPECT_TRUE(Logged("Temperature sensor number 1 not usable, leaving out stash record: a: 2 b: 1\n"));
    EXPECT_TRUE(Logged("Temperature sensor number 2 not usable, leaving out stash record: a: 2 b: 2\n"));
    EXPECT_TRUE(Logged("Temperature sensor number 0 not usable, leaving out stash record: a: 130 b: 0\n"));

    // A check pairs each record with its own sensor's data: only "Four"
    // changed, and it is sent under its own number. Checks do not repeat
    // the attach's log lines.
    ktzplat::ClearLoggedMessages();
    auto stash = ktzplat::GetStash();
    stash[5].reading = 40;
    ktzplat::SetStash(stash);
    Host().Clear();
    KTZMonSensorMonTempSensorsCheck(KTZMON_CHECK_HEALTH | KTZMON_CHECK_READING, 1);
    temps = Temps();
    EXPECT_EQ(temps[1]->reading, 12);
    EXPECT_EQ(temps[2]->reading, 40);
    EXPECT_EQ(Logged(), std::vector<std::string>{"Temperature sensor reading change: name: 'Four' prev: 15 "
                                                 "curr: 40 diff: +25\n"});
}

} // namespace
} // namespace ktztest
