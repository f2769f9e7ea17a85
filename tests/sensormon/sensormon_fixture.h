// Fixture for the sensor monitor suite: a one-fan, one-temperature chassis,
// and helpers to
// read the sensor lists and the sensor data messages a client received.
#ifndef KTZTEST_SENSORMON_FIXTURE_H
#define KTZTEST_SENSORMON_FIXTURE_H

#include "core/byteorder.h"
#include "core/global.h"
#include "sensormon/sensormon.h"
#include "support/module_fixture.h"
#include "support/received.h"

#include <array>
#include <vector>

namespace ktztest
{

class SensorMonTest : public ModuleTest
{
  protected:
    static constexpr uint32_t kClient = 7;

    void SetUp() override
    {
        ModuleTest::SetUp();
        ktzplat::SetPlatformId(0x14);
        ktzplat::SetFanCounts(1, 0);
        ktzplat::SetFan(1, Fan1());
        ktzplat::SetChassisTemp({"Chassis", 0, 25});
    }

    static ktzplat::Fan Fan1()
    {
        return {.name1 = "FAN1",
                .name2 = "FAN1B",
                .reading1 = 5000,
                .reading2 = 4000,
                .lncThreshold = 1000,
                .lcThreshold = 500};
    }

    // Power supply and power redundancy rows become ready as well.
    static void MakePowerReady()
    {
        ktzplat::SetPsuBayCount(1);
        ktzplat::SetPsuBay(1, {.presence = 1});
        ktzplat::SetRedundancy(1, 1);
    }

    // Monitoring enabled at load (attach reason 1), started, one client.
    void StartWithClient()
    {
        SetKtzSetting("1");
        ASSERT_TRUE(ktztest::WaitIdle());
        LoadAndStart();
        ASSERT_EQ(Host().Connect(kClient), 0u);
    }

    // Loaded with monitoring enabled and no thread: the per-type operations
    // can be called directly.
    void LoadOnly()
    {
        SetKtzSetting("1");
        ASSERT_TRUE(ktztest::WaitIdle());
        ASSERT_EQ(Host().Load(), 0u);
        ASSERT_NE(g_pKTZMonSensorMonData, nullptr);
    }

    static void Pass(int passes = 1) { ktzplat::AdvanceClock(5 * passes); }

    // Sensor data messages the client received (of one sensor type, or all).
    std::vector<ReceivedMsg> SensorMsgs(uint8_t type = 0)
    {
        std::vector<ReceivedMsg> out;
        for (const auto& m : Host().Messages(kClient))
        {
            if (m.requestType == KTZMON_REQ_SENSOR_DATA && (type == 0 || m.bytes.at(0) == type))
            {
                out.push_back(m);
            }
        }
        return out;
    }

    size_t CountType(uint32_t requestType)
    {
        return ktztest::CountType(Host().Messages(kClient), requestType);
    }

    template <typename T> static std::vector<T*> ListOf(SMListHead& head)
    {
        std::vector<T*> out;
        for (auto* e = static_cast<SMSLListEntry*>(head.first); e != nullptr; e = e->next)
        {
            out.push_back(static_cast<T*>(e->data));
        }
        return out;
    }
    static std::vector<KTZMonFanSensor*> Fans()
    {
        return ListOf<KTZMonFanSensor>(g_pKTZMonSensorMonData->fanSensors);
    }
    static std::vector<KTZMonTempSensor*> Temps()
    {
        return ListOf<KTZMonTempSensor>(g_pKTZMonSensorMonData->tempSensors);
    }
};

} // namespace ktztest

#endif
