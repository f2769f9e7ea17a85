// The chassis source seam: with a source installed, every thermal, stash,
// power-supply and redundancy call and the platform description answer from
// it, with the platform's record layouts, limits and injected faults; with it
// removed, the simulated chassis answers again.
#include "core/platform.h"

#include "chassis_source.h"

#include <gtest/gtest.h>

#include <cstring>

namespace
{

using ktzplat::Op;

// A source with fixed answers, counting its calls.
class FixedSource : public ktzplat::ChassisSource
{
  public:
    void Describe(unsigned char* record, size_t size) override
    {
        ASSERT_EQ(size, ktzplat::kPlatInfoSize);
        const uint32_t bays = 3;
        std::memcpy(record + 28, &bays, 4);
    }
    int32_t GetFan(uint32_t fanNum, ktzplat::Fan* fan) override
    {
        if (fanNum != 1)
        {
            return 7;
        }
        fan->name1 = "A-name-longer-than-fifteen";
        fan->reading1 = 4321;
        fan->lcThreshold = 100;
        fan->lncThreshold = 120;
        fan->health = 3;
        return 0;
    }
    int32_t GetTemperatures(ktzplat::TempEntry* chassis, std::vector<ktzplat::TempEntry>* extra) override
    {
        *chassis = {"Chassis", 0, -5};
        extra->assign(9, ktzplat::TempEntry{"More", 1, 50});
        return 0;
    }
    int32_t GetStash(std::vector<ktzplat::StashRecord>* records) override
    {
        records->assign(9, ktzplat::StashRecord{2, 3, -7, "a-stash-name-of-23-chars"});
        return 0;
    }
    int32_t GetPsuPresence(uint32_t bay, uint32_t* presence) override
    {
        *presence = bay;
        return 0;
    }
    int32_t GetPsuState(uint32_t, uint32_t* state) override
    {
        *state = 6;
        return 0;
    }
    int32_t GetPsuAlert(uint32_t, uint32_t*) override { return 5; }
    int32_t GetPsuFru(uint32_t bay, std::vector<uint8_t>* fru) override
    {
        fru->assign(bay == 1 ? 300 : 4, 0xAB);
        return 0;
    }
    int32_t GetRedundancy(uint32_t* config, uint32_t* state) override
    {
        *config = 2;
        *state = 3;
        return 0;
    }
};

class ChassisSourceTest : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        ktzplat::Reset();
        ktzplat::SetPsuBayCount(1);
        ktzplat::UseChassisSource(std::make_shared<FixedSource>());
    }
    void TearDown() override
    {
        ktzplat::UseChassisSource(nullptr);
        ktzplat::Reset();
    }
};

TEST_F(ChassisSourceTest, ThermalRecordsAreBuiltFromTheSource)
{
    unsigned char fan[76];
    std::memset(fan, 0xEE, sizeof fan);
    ASSERT_EQ(ThermalGetFanData(1, fan), 0);
    uint32_t word = 0;
    std::memcpy(&word, fan + 60, 4);
    EXPECT_EQ(word, 4321u);
    std::memcpy(&word, fan + 40, 4);
    EXPECT_EQ(word, 3u);
    std::memcpy(&word, fan + 68, 4);
    EXPECT_EQ(word, 120u);
    EXPECT_EQ(ThermalGetFanData(2, fan), 7); // the source's result, unchanged

    // The records' layouts and the cut names are the platform suite's; here
    // the source's values go in, at most 8 entries however many it reports.
    unsigned char entries[8 * 40 + 40];
    std::memset(entries, 0xEE, sizeof entries);
    uint8_t count = 0, nums[8] = {};
    ASSERT_EQ(ThermalGetSensorData(entries, &count, nums), 0);
    EXPECT_EQ(count, 8);
    EXPECT_EQ(static_cast<int8_t>(entries[32]), -5);
    EXPECT_EQ(entries[8 * 40], 0xEE); // nothing written past the eighth entry

    unsigned char stash[8 * 24];
    std::memset(stash, 0xEE, sizeof stash);
    ASSERT_EQ(bm_get_stash_temp_sensor_data(stash, &count), 0);
    EXPECT_EQ(count, 7);
    EXPECT_EQ(static_cast<int8_t>(stash[2]), -7);
    EXPECT_EQ(stash[7 * 24], 0xEE);
}

TEST_F(ChassisSourceTest, PowerCallsDescriptionAndFaultsFollowTheSource)
{
    auto* info = static_cast<unsigned char*>(_gPlatInfo());
    int32_t bays = 0;
    std::memcpy(&bays, info + 28, 4);
    EXPECT_EQ(bays, 3);

    uint32_t v = 0;
    ASSERT_EQ(mms_psu_presence_get(2, &v), 0);
    EXPECT_EQ(v, 2u);
    ASSERT_EQ(mms_psu_state_get(1, &v), 0);
    EXPECT_EQ(v, 6u);
    EXPECT_EQ(mms_psu_health_alert_state_get(1, &v), 5);
    ASSERT_EQ(mms_psu_redundancy_get(&v), 0);
    EXPECT_EQ(v, 2u);
    ASSERT_EQ(psu_redundancy_state_get(&v), 0);
    EXPECT_EQ(v, 3u);

    // FRU data: at most the buffer and 256 bytes, zero-padded.
    uint8_t fru[300];
    std::memset(fru, 0xEE, sizeof fru);
    ASSERT_EQ(mms_psu_raw_fru_get(1, fru, 300), 0);
    EXPECT_EQ(fru[255], 0xAB);
    EXPECT_EQ(fru[256], 0xEE);
    ASSERT_EQ(mms_psu_raw_fru_get(2, fru, 256), 0);
    EXPECT_EQ(fru[3], 0xAB);
    EXPECT_EQ(fru[4], 0);
    EXPECT_EQ(fru[255], 0);

    // Injected faults apply to the installed source as to the simulation.
    ktzplat::InjectFault(Op::PsuPresence, 0, 1, -9);
    EXPECT_EQ(mms_psu_presence_get(1, &v), -9);
    EXPECT_EQ(mms_psu_presence_get(1, &v), 0);
    EXPECT_EQ(ktzplat::CallCount(Op::PsuPresence), 3u);

    // Removed: the simulated chassis answers again.
    ktzplat::UseChassisSource(nullptr);
    std::memcpy(&bays, static_cast<unsigned char*>(_gPlatInfo()) + 28, 4);
    EXPECT_EQ(bays, 1);
    EXPECT_EQ(mms_psu_presence_get(2, &v), 0);
    EXPECT_EQ(v, 0u);
}

} // namespace
