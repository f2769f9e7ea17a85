// Temperature sensors: the signed 8-bit tolerance band, the stash sensors,
// collection from a clean buffer and the sensor data record on the wire.
#include "sensormon_fixture.h"

#include <cstring>

namespace ktztest
{
namespace
{
class TempTest : public SensorMonTest
{
  protected:
    void SetUp() override
    {
        SensorMonTest::SetUp();
        ktzplat::SetCapWordA(0x10);
        ktzplat::SetCapWordB(0x1);
        ktzplat::SetStashWord(1);
    }

    // Compares a stored reading with a current one in a reading check run
    // the way a pass runs it; returns whether the sensor was sent.
    bool ChangeSent(int8_t stored, int8_t current, uint32_t tolerance)
    {
        ktzplat::SetChassisTemp({"Chassis", 0, current});
        const size_t before = SensorMsgs(2).size();
        KTZMonGlobalMonLock();
        Temps().at(0)->reading = stored;
        KTZMonSensorMonTempSensorsCheck(KTZMON_CHECK_READING, tolerance);
        KTZMonGlobalMonUnlock();
        return SensorMsgs(2).size() > before;
    }
};

TEST_F(TempTest, SignedToleranceBandAndHealthChange)
{
    ktzplat::SetCapWordB(0);
    StartWithClient();
    Pass(6);
    ASSERT_EQ(Temps().size(), 1u);

    for (int8_t c : {19, 20, 21})
    {
        EXPECT_FALSE(ChangeSent(20, c, 1)) << int(c);
    }
    EXPECT_TRUE(ChangeSent(20, 18, 1));
    EXPECT_TRUE(ChangeSent(20, 22, 1));
    EXPECT_TRUE(ChangeSent(-127, -128, 5));
    EXPECT_FALSE(ChangeSent(-127, -122, 5));
    EXPECT_FALSE(ChangeSent(127, 122, 5));
    EXPECT_TRUE(ChangeSent(127, 121, 5));
    EXPECT_TRUE(ChangeSent(124, 127, 5));
    // A configured tolerance counts by its low byte, signed: 200 is -56, 256 is 0.
    EXPECT_TRUE(ChangeSent(20, 20, 200));
    EXPECT_FALSE(ChangeSent(20, 20, 256));
    EXPECT_TRUE(ChangeSent(20, 21, 256));
    EXPECT_TRUE(
        Logged("Temperature sensor reading change: name: 'Chassis' prev: -127 curr: -128 diff: -1\n"));

    // A health change is logged with its own line and sent with the reading
    // of the moment, also in a check of health only.
    ktzplat::ClearLoggedMessages();
    const size_t before = SensorMsgs(2).size();
    ktzplat::SetChassisTemp({"Chassis", 2, 26});
    KTZMonGlobalMonLock();
    KTZMonSensorMonTempSensorsCheck(KTZMON_CHECK_HEALTH, 1);
    KTZMonGlobalMonUnlock();
    EXPECT_EQ(Logged(), std::vector<std::string>{"Temperature sensor health change: name: 'Chassis' prev: 0 "
                                                 "curr: 2\n"});
    const auto msgs = SensorMsgs(2);
    ASSERT_EQ(msgs.size(), before + 1);
    EXPECT_EQ(msgs.back().bytes[KTZMON_SDR_OFF_STATUS], 3);
    EXPECT_EQ(ktz::LoadLE32(msgs.back().bytes.data(), KTZMON_SDR_OFF_READING), 26u);
}

TEST_F(TempTest, NegativeReadingOnTheWire)
{
    ktzplat::SetCapWordB(0);
    ktzplat::SetChassisTemp({"Amb", 4, -5});
    StartWithClient();
    Pass(6);
    const auto msgs = SensorMsgs(2);
    ASSERT_EQ(msgs.size(), 1u);
    EXPECT_EQ(Hex(msgs[0].bytes), "02 01 03 01 02 00 00 00 FB FF FF FF 28 00 00 00 "
                                  "00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 "
                                  "00 00 00 00 00 00 00 00 41 6D 62 00");
}

TEST_F(TempTest, StashAddsUpToSevenSensors)
{
    LoadOnly();
    std::vector<ktzplat::StashRecord> stash;
    for (uint8_t i = 0; i < 8; ++i)
    {
        stash.push_back(ktzplat::StashRecord{3, i, static_cast<int8_t>(-i), "S" + std::to_string(i)});
    }
    stash[0] = ktzplat::StashRecord{0, 1, 7, "ABCDEFGHIJKLMNOPQRSTUVWXYZ"};
    stash[1] = ktzplat::StashRecord{200, 3, 8, "B"};
    ktzplat::SetStash(stash);
    KTZMonSensorMonTempSensorsAttach();
    const auto temps = Temps();
    ASSERT_EQ(temps.size(), 8u);
    EXPECT_EQ(temps[0]->sensorNum, 1);
    EXPECT_STREQ(temps[1]->name, "ABCDEFGHIJKLMNOPQRST");
    EXPECT_EQ(temps[1]->sensorNum, 253); // (0 - 2) * 2 + 1 in 8 bits
    EXPECT_EQ(temps[2]->sensorNum, 143); // (200 - 2) * 2 + 3 in 8 bits
    EXPECT_EQ(temps[7]->reading, -6);
    EXPECT_STREQ(temps[7]->name, "S6");
    EXPECT_TRUE(Logged("Temperature sensor found: name: 'S6' health: 0 reading: -6\n"));
    KTZMonSensorMonTempSensorsDetach();

    // Each of the three platform conditions is needed for the stash.
    for (int missing = 0; missing < 3; ++missing)
    {
        ktzplat::SetCapWordA(missing == 0 ? 0xEF : 0x10);
        ktzplat::SetCapWordB(missing == 1 ? 0xFE : 0x1);
        ktzplat::SetStashWord(missing == 2 ? 0 : 1);
        KTZMonSensorMonTempSensorsAttach();
        EXPECT_EQ(Temps().size(), 1u) << missing;
        KTZMonSensorMonTempSensorsDetach();
    }
}

TEST_F(TempTest, StashFailureFailsTheWholeCollection)
{
    LoadOnly();
    ktzplat::InjectFault(ktzplat::Op::StashTemp, 0, 1, -9);
    EXPECT_EQ(KTZMonSensorMonTempSensorsReady(), 0);
    EXPECT_TRUE(Logged("KTZonGetTempSensorData: bm_get_stash_temp_sensor_data:  failed: rc: -9\n"));
    ktzplat::InjectFault(ktzplat::Op::ThermalSensorData, 0, 1, -4);
    EXPECT_EQ(KTZMonSensorMonTempSensorsReady(), 0);
    EXPECT_TRUE(Logged("KTZonGetTempSensorData failed: rc: -4\n"));
    EXPECT_EQ(KTZMonSensorMonTempSensorsReady(), 1);
}

TEST_F(TempTest, CollectionStartsFromAZeroedBuffer)
{
    ktzplat::SetStash({{2, 5, 33, "Blade"}});
    uint8_t entries[KTZMON_TEMP_MAX_ENTRIES * KTZMON_TEMP_ENTRY_SIZE];
    uint8_t nums[KTZMON_TEMP_MAX_ENTRIES];
    uint8_t count = 0;
    std::memset(entries, 0xAA, sizeof entries);
    std::memset(nums, 0xAA, sizeof nums);
    ASSERT_EQ(KTZonGetTempSensorData(entries, &count, nums), 0);
    ASSERT_EQ(count, 2);
    EXPECT_EQ(nums[1], 5);
    EXPECT_EQ(ktz::LoadU32(entries + KTZMON_TEMP_ENTRY_SIZE, 28), 0u); // the stash entry's health
    EXPECT_EQ(entries[KTZMON_TEMP_ENTRY_SIZE + 32], 33);
    for (uint32_t i = 2 * KTZMON_TEMP_ENTRY_SIZE; i < sizeof entries; ++i)
    {
        ASSERT_EQ(entries[i], 0) << i;
    }
    EXPECT_EQ(nums[2], 0);
}

TEST_F(TempTest, RecordsBeyondAShorterCollectionStayUntouched)
{
    ktzplat::SetStash({{2, 4, 40, "A"}, {2, 2, 41, "B"}, {2, 3, 42, "C"}});
    StartWithClient();
    Pass(6);
    ASSERT_EQ(SensorMsgs(2).size(), 4u);
    ktzplat::SetStash({{2, 4, 40, "A"}});
    Pass(2);
    EXPECT_EQ(SensorMsgs(2).size(), 4u);
    EXPECT_EQ(Temps().at(3)->reading, 42);
    ktzplat::SetChassisTemp({"Chassis", 2, 25});
    Pass();
    ASSERT_EQ(SensorMsgs(2).size(), 5u);
    EXPECT_EQ(SensorMsgs(2)[4].bytes[KTZMON_SDR_OFF_STATUS], 3);
}

} // namespace
} // namespace ktztest
