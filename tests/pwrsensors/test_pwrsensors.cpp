// Power supply and power redundancy sensors: what each bay and the
// redundancy sensor send to clients, how Check follows the power-supply
// service, the FRU-by-number bytes on the wire, and odd bay counts.
#include "sensormon/sensormon.h"
#include "support/module_fixture.h"

#include <gtest/gtest.h>
#include <ktzmon/protocol.h>

#include <string>
#include <vector>

namespace
{

using ktzplat::InjectFault;
using ktzplat::Op;
using ktzplat::PsuBay;

constexpr uint32_t kClient = 1;

struct SensorMsg
{
    uint8_t type = 0;
    uint8_t presence = 0;
    uint8_t status = 0;
    uint8_t num = 0;
    uint8_t cls = 0;
    uint32_t reading = 0;
    std::string name;
};

uint32_t LE32(const std::vector<uint8_t>& b, size_t off)
{
    return b[off] | (b[off + 1] << 8) | (b[off + 2] << 16) | (static_cast<uint32_t>(b[off + 3]) << 24);
}

PsuBay Present(uint32_t state = 1, uint32_t alert = 0, bool fruReadable = false)
{
    PsuBay bay;
    bay.presence = 1;
    bay.state = state;
    bay.alert = alert;
    bay.fruReadable = fruReadable;
    return bay;
}

// The module is loaded and started with monitoring off and one client
// connected; the sensor monitor record is created by hand (no monitor
// thread), so each test drives the row operations itself.
class PwrSensorsTest : public ktztest::ModuleTest
{
  protected:
    void SetUp() override
    {
        ModuleTest::SetUp();
        ASSERT_NO_FATAL_FAILURE(LoadAndStart());
        ASSERT_EQ(Host().Connect(kClient), 0u);
        ASSERT_EQ(KTZMonSensorMonAttach(2), 0u);
        Host().Clear();
        ktzplat::ClearLoggedMessages();
    }

    void TearDown() override
    {
        KTZMonSensorMonDetach();
        ModuleTest::TearDown();
    }

    std::vector<SensorMsg> Sensors()
    {
        std::vector<SensorMsg> out;
        for (const auto& m : Host().Messages(kClient))
        {
            if (m.requestType != KTZMON_REQ_SENSOR_DATA)
            {
                continue;
            }
            EXPECT_GE(m.bytes.size(), 41u);
            SensorMsg s;
            s.type = m.bytes[KTZMON_SENSOR_OFF_TYPE];
            s.presence = m.bytes[KTZMON_SENSOR_OFF_PRESENCE];
            s.status = m.bytes[KTZMON_SENSOR_OFF_STATUS];
            s.num = m.bytes[KTZMON_SENSOR_OFF_NUM];
            s.cls = m.bytes[KTZMON_SENSOR_OFF_CLASS];
            s.reading = LE32(m.bytes, KTZMON_SENSOR_OFF_READING);
            s.name = reinterpret_cast<const char*>(m.bytes.data() + KTZMON_SENSOR_OFF_NAME);
            out.push_back(s);
        }
        return out;
    }

    std::vector<ktztest::ReceivedMsg> Frus()
    {
        std::vector<ktztest::ReceivedMsg> out;
        for (const auto& m : Host().Messages(kClient))
        {
            if (m.requestType == KTZMON_REQ_FRU_BY_NUM)
            {
                out.push_back(m);
            }
        }
        return out;
    }

    // Attaches the power-supply row and sends every sensor to all clients.
    std::vector<SensorMsg> AttachAndSend()
    {
        KTZMonSensorMonPwrSupplySensorsAttach();
        KTZMonSensorMonPwrSupplySensorsSendToClient(nullptr);
        return Sensors();
    }

    void ClearRecords()
    {
        Host().Clear();
        ktzplat::ClearLoggedMessages();
    }

    static void Health() { KTZMonSensorMonPwrSupplySensorsCheck(KTZMON_CHECK_HEALTH, 0); }
};

// ---- power supplies -------------------------------------------------------------------

TEST_F(PwrSensorsTest, AttachReportsPresentAndEmptyBays)
{
    ktzplat::SetPsuBayCount(2);
    ktzplat::SetPsuBay(1, Present());
    const auto sensors = AttachAndSend();
    ASSERT_EQ(sensors.size(), 2u);
    EXPECT_EQ(sensors[0].name, "PS-1");
    EXPECT_EQ(sensors[0].type, 3);
    EXPECT_EQ(sensors[0].cls, 3);
    EXPECT_EQ(sensors[0].num, 1);
    EXPECT_EQ(sensors[0].presence, 1);
    EXPECT_EQ(sensors[0].status, 1);
    EXPECT_EQ(sensors[0].reading, 0x01u);
    EXPECT_EQ(sensors[1].name, "PS-2");
    EXPECT_EQ(sensors[1].num, 2);
    EXPECT_EQ(sensors[1].presence, 0);
    EXPECT_EQ(sensors[1].status, 0);
    EXPECT_EQ(sensors[1].reading, 0x0Au);
    EXPECT_TRUE(
        Logged("Power supply sensor found: name: 'PS-1' presence: 1 state: 1 alert: 0 fruReady: 0\n"));
    EXPECT_TRUE(
        Logged("Power supply sensor found: name: 'PS-2' presence: 0 state: 0 alert: 0 fruReady: 0\n"));
    EXPECT_EQ(CountLogged(" Power supply reading update: name: 'PS-2' reading: 0xA : sensorState: 0 \n"), 1u);
    EXPECT_TRUE(Frus().empty());

    // A request record that cannot be allocated: no message, no update line.
    ClearRecords();
    InjectFault(Op::Alloc, 0, ktzplat::kForever);
    KTZMonSensorMonPwrSupplySensorsSendToClient(nullptr);
    ktzplat::ClearFaults();
    EXPECT_TRUE(Host().Messages().empty());
    EXPECT_TRUE(Logged().empty());
}

TEST_F(PwrSensorsTest, InsertionSendsSensorThenFruOnceAndRemovalResetsIt)
{
    // The bay's state stays 1 throughout, so each presence change is seen in
    // the cycle it happens. FRU data that reads while the bay is empty is
    // never sent.
    PsuBay empty;
    empty.state = 1;
    empty.fruReadable = true;
    ktzplat::SetPsuBayCount(1);
    ktzplat::SetPsuBay(1, empty);
    AttachAndSend();
    ClearRecords();
    Health();
    EXPECT_TRUE(Host().Messages().empty());

    ktzplat::SetPsuBay(1, Present(1, 0, true));
    Health();
    EXPECT_EQ(Logged(), (std::vector<std::string>{
                            "Power supply presence change: name: 'PS-1' prev: 0 curr: 1\n",
                            " Power supply reading update: name: 'PS-1' reading: 0x1 : sensorState: 1 \n",
                            "Power supply FRU ready change: name: 'PS-1' prev: 0 curr: 1\n",
                        }));
    EXPECT_EQ(Host().Types(kClient), (std::vector<uint32_t>{KTZMON_REQ_SENSOR_DATA, KTZMON_REQ_FRU_BY_NUM}));
    ASSERT_EQ(Sensors().size(), 1u);
    EXPECT_EQ(Sensors()[0].reading, 0x01u);

    // Nothing changed: nothing sent, the FRU is not probed again.
    ClearRecords();
    const auto fruCalls = ktzplat::CallCount(Op::PsuRawFru);
    Health();
    EXPECT_TRUE(Host().Messages().empty());
    EXPECT_EQ(ktzplat::CallCount(Op::PsuRawFru), fruCalls);

    // Removal: reading 0x0A and no FRU message; the FRU list is empty.
    ClearRecords();
    ktzplat::SetPsuBay(1, empty);
    Health();
    EXPECT_EQ(Host().Types(kClient), (std::vector<uint32_t>{KTZMON_REQ_SENSOR_DATA}));
    EXPECT_EQ(Sensors()[0].reading, 0x0Au);
    KTZMonSensorMonPwrSupplyFRUsSendToClient(nullptr);
    EXPECT_TRUE(Frus().empty());

    // Put back with its FRU not yet readable: sensor only, then the FRU once
    // it can be read.
    ClearRecords();
    ktzplat::SetPsuBay(1, Present(1, 0, false));
    Health();
    EXPECT_EQ(Host().Types(kClient), (std::vector<uint32_t>{KTZMON_REQ_SENSOR_DATA}));
    ClearRecords();
    ktzplat::SetPsuBay(1, Present(1, 0, true));
    Health();
    Health();
    EXPECT_EQ(Host().Types(kClient), (std::vector<uint32_t>{KTZMON_REQ_FRU_BY_NUM}));
    EXPECT_EQ(CountLogged("Power supply FRU ready change: name: 'PS-1' prev: 0 curr: 1\n"), 1u);
}

TEST_F(PwrSensorsTest, StateTwoOrZeroIsStoredAndEndsTheBaysCycle)
{
    for (uint32_t newState : {2u, 0u})
    {
        SCOPED_TRACE(newState);
        ktzplat::SetPsuBayCount(1);
        ktzplat::SetPsuBay(1, Present(1));
        KTZMonSensorMonPwrSupplySensorsAttach();
        ClearRecords();

        ktzplat::SetPsuBay(1, Present(newState, 21811, true));
        const auto presenceCalls = ktzplat::CallCount(Op::PsuPresence);
        const auto fruCalls = ktzplat::CallCount(Op::PsuRawFru);
        Health();
        EXPECT_EQ(Logged(),
                  (std::vector<std::string>{"Power supply state change: name: 'PS-1' prev: 1 curr: " +
                                            std::to_string(newState) + "\n"}));
        EXPECT_TRUE(Host().Messages().empty());
        EXPECT_EQ(ktzplat::CallCount(Op::PsuPresence), presenceCalls);
        EXPECT_EQ(ktzplat::CallCount(Op::PsuRawFru), fruCalls);

        // Next cycle: the state is the stored one; the alert and the FRU are
        // picked up. Alert 21811 is critical without a reading bit.
        ClearRecords();
        Health();
        EXPECT_EQ(Logged(), (std::vector<std::string>{
                                "Power supply alert state change: name: 'PS-1' prev: 0 curr: 21811\n",
                                " Power supply reading update: name: 'PS-1' reading: 0x1 : sensorState: 1 \n",
                                "Power supply FRU ready change: name: 'PS-1' prev: 0 curr: 1\n",
                            }));
        ASSERT_EQ(Sensors().size(), 1u);
        EXPECT_EQ(Sensors()[0].status, 3);
        EXPECT_EQ(Frus().size(), 1u);
        KTZMonSensorMonPwrSupplySensorsDetach();
    }
}

TEST_F(PwrSensorsTest, FailedStateIsCriticalUntilItRecovers)
{
    ktzplat::SetPsuBayCount(1);
    ktzplat::SetPsuBay(1, Present(1));
    KTZMonSensorMonPwrSupplySensorsAttach();
    ClearRecords();

    ktzplat::SetPsuBay(1, Present(6));
    Health();
    EXPECT_TRUE(Logged("Power supply state change: name: 'PS-1' prev: 1 curr: 6\n"));
    ASSERT_EQ(Sensors().size(), 1u);
    EXPECT_EQ(Sensors()[0].status, 3);
    EXPECT_EQ(Sensors()[0].reading, 0x03u);

    ClearRecords();
    ktzplat::SetPsuBay(1, Present(1));
    Health();
    ASSERT_EQ(Sensors().size(), 1u);
    EXPECT_EQ(Sensors()[0].status, 1);
    EXPECT_EQ(Sensors()[0].reading, 0x01u);

    // A failed service call is not a change.
    ClearRecords();
    InjectFault(Op::PsuState, 0, ktzplat::kForever);
    InjectFault(Op::PsuPresence, 0, ktzplat::kForever);
    InjectFault(Op::PsuAlert, 0, ktzplat::kForever);
    Health();
    ktzplat::ClearFaults();
    EXPECT_TRUE(Host().Messages().empty());
    EXPECT_TRUE(Logged().empty());
}

TEST_F(PwrSensorsTest, StateAndAlertMapToStatusAndReading)
{
    struct Row
    {
        uint32_t presence, state, alert;
        uint8_t wantPresence, wantStatus;
        uint32_t wantReading;
    };
    const Row rows[] = {
        {1, 1, 21810, 1, 3, 0x09}, {1, 6, 21810, 1, 3, 0x0B}, {1, 1, 21812, 1, 3, 0x21},
        {1, 1, 21813, 1, 3, 0x21}, {1, 1, 21814, 1, 3, 0x21}, {1, 6, 21815, 1, 3, 0x23},
        {1, 6, 21812, 1, 3, 0x23}, {1, 1, 21811, 1, 3, 0x01}, {1, 6, 21816, 1, 3, 0x03},
        {1, 1, 21809, 1, 3, 0x01}, {0, 6, 21810, 0, 0, 0x0A}, {7, 6, 21810, 1, 0, 0x00},
    };
    ktzplat::SetPsuBayCount(1);
    for (const Row& r : rows)
    {
        SCOPED_TRACE(testing::Message() << r.presence << "/" << r.state << "/" << r.alert);
        PsuBay bay;
        bay.presence = r.presence;
        bay.state = r.state;
        bay.alert = r.alert;
        ktzplat::SetPsuBay(1, bay);
        ClearRecords();
        const auto sensors = AttachAndSend();
        ASSERT_EQ(sensors.size(), 1u);
        EXPECT_EQ(sensors[0].presence, r.wantPresence);
        EXPECT_EQ(sensors[0].status, r.wantStatus);
        EXPECT_EQ(sensors[0].reading, r.wantReading);
        KTZMonSensorMonPwrSupplySensorsDetach();
    }
}

TEST_F(PwrSensorsTest, AttachSkipsFailedBaysAndStopsWhenOutOfMemory)
{
    ktzplat::SetPsuBayCount(3);
    // Bay 2's state call fails (bay 1 made one successful state call first).
    InjectFault(Op::PsuState, 1, 1);
    auto sensors = AttachAndSend();
    ASSERT_EQ(sensors.size(), 2u);
    EXPECT_EQ(sensors[0].name, "PS-1");
    EXPECT_EQ(sensors[1].name, "PS-3");
    EXPECT_EQ(sensors[1].num, 3);
    // Bay 2 stays unmonitored even once it answers.
    ktzplat::SetPsuBay(2, Present());
    ClearRecords();
    Health();
    EXPECT_TRUE(Host().Messages().empty());
    KTZMonSensorMonPwrSupplySensorsDetach();

    // The second record cannot be allocated (bay 1's record and its log
    // line take the first two allocations): PS-3 is not tried either.
    ktzplat::SetPsuBay(2, PsuBay{});
    ClearRecords();
    const auto presenceCalls = ktzplat::CallCount(Op::PsuPresence);
    InjectFault(Op::Alloc, 2, 1);
    KTZMonSensorMonPwrSupplySensorsAttach();
    ktzplat::ClearFaults();
    EXPECT_TRUE(
        Logged("Power supply sensor found: name: 'PS-1' presence: 0 state: 0 alert: 0 fruReady: 0\n"));
    EXPECT_EQ(ktzplat::CallCount(Op::PsuPresence) - presenceCalls, 2u);
    KTZMonSensorMonPwrSupplySensorsSendToClient(nullptr);
    sensors = Sensors();
    ASSERT_EQ(sensors.size(), 1u);
    EXPECT_EQ(sensors[0].name, "PS-1");
}

TEST_F(PwrSensorsTest, ReadingOnlyCheckRunsOnlyTheFruTest)
{
    ktzplat::SetPsuBayCount(1);
    ktzplat::SetPsuBay(1, Present(1));
    KTZMonSensorMonPwrSupplySensorsAttach();
    ClearRecords();

    ktzplat::SetPsuBay(1, Present(6, 21810, true));
    KTZMonSensorMonPwrSupplySensorsCheck(KTZMON_CHECK_READING, 0);
    EXPECT_EQ(Logged(),
              (std::vector<std::string>{"Power supply FRU ready change: name: 'PS-1' prev: 0 curr: 1\n"}));
    EXPECT_EQ(Host().Types(kClient), (std::vector<uint32_t>{KTZMON_REQ_FRU_BY_NUM}));
}

TEST_F(PwrSensorsTest, FruByNumberBytesOnTheWire)
{
    PsuBay bay = Present(1, 0, true);
    for (int i = 0; i < 256; ++i)
    {
        bay.fru.push_back(static_cast<uint8_t>(255 - i));
    }
    ktzplat::SetPsuBayCount(3);
    ktzplat::SetPsuBay(2, bay);
    ktzplat::SetPsuBay(3, Present(1, 0, false));
    KTZMonSensorMonPwrSupplySensorsAttach();
    EXPECT_TRUE(
        Logged("Power supply sensor found: name: 'PS-2' presence: 1 state: 1 alert: 0 fruReady: 1\n"));
    KTZMonSensorMonPwrSupplyFRUsSendToClient(nullptr);

    const auto frus = Frus();
    ASSERT_EQ(frus.size(), 1u);
    ASSERT_EQ(frus[0].bytes.size(), 264u);
    EXPECT_EQ(frus[0].requestClass, KTZMON_REQ_CLASS);
    EXPECT_EQ(ktztest::Hex(frus[0].bytes.data(), 8), "01 02 00 01 08 00 00 00");
    EXPECT_EQ(std::vector<uint8_t>(frus[0].bytes.begin() + 8, frus[0].bytes.end()), bay.fru);

    // FRU data unreadable at send time: no message, nothing leaked.
    ClearRecords();
    InjectFault(Op::PsuRawFru);
    KTZMonSensorMonPwrSupplyFRUsSendToClient(nullptr);
    EXPECT_TRUE(Frus().empty());
    EXPECT_EQ(KTZMonSensorMonPwrSupplyIsFRUReady(2), 1);
    EXPECT_EQ(KTZMonSensorMonPwrSupplyIsFRUReady(3), 0);
}

TEST_F(PwrSensorsTest, BayCountsOutsideTheEightBitRange)
{
    // Only bay 300 holds a PSU: with 300 bays, probing ends at 255.
    ktzplat::SetPsuBay(300, Present());
    ktzplat::SetPsuBay(255, PsuBay{});
    for (int32_t count : {0, -1, 300})
    {
        ktzplat::SetPsuBayCount(count);
        EXPECT_EQ(KTZMonSensorMonPwrSupplySensorsReady(), 0) << count;
        EXPECT_EQ(KTZMonSensorMonPwrRedSensorsReady(), 0) << count;
    }
    ktzplat::SetPsuBay(255, Present());
    EXPECT_EQ(KTZMonSensorMonPwrSupplySensorsReady(), 1);
    EXPECT_EQ(KTZMonSensorMonPwrRedSensorsReady(), 1);

    ClearRecords();
    const auto calls = ktzplat::CallCount(Op::PsuPresence);
    auto sensors = AttachAndSend();
    EXPECT_EQ(ktzplat::CallCount(Op::PsuPresence) - calls, 255u);
    ASSERT_EQ(sensors.size(), 255u);
    EXPECT_EQ(sensors.back().name, "PS-255");
    EXPECT_EQ(sensors.back().num, 255);
    EXPECT_EQ(sensors.back().presence, 1);
    EXPECT_EQ(CountLogged("Power supply bay count 300 out of range, probing bays 1 to 255\n"), 1u);
    KTZMonSensorMonPwrSupplySensorsDetach();

    for (int32_t count : {-1, 0})
    {
        ktzplat::SetPsuBayCount(count);
        ClearRecords();
        const auto before = ktzplat::CallCount(Op::PsuPresence);
        EXPECT_TRUE(AttachAndSend().empty());
        EXPECT_EQ(ktzplat::CallCount(Op::PsuPresence), before);
        EXPECT_EQ(Logged("Power supply bay count -1 out of range, probing no bays\n"), count == -1);
    }
}

// ---- power redundancy ----------------------------------------------------------------------

TEST_F(PwrSensorsTest, RedundancyConfigAndStateMapToPresenceStatusReading)
{
    struct Row
    {
        uint32_t config, state;
        uint8_t wantPresence, wantStatus;
        uint32_t wantReading;
    };
    const Row rows[] = {
        {0, 1, 0, 0, 0x00}, {0, 2, 0, 0, 0x00}, {1, 0, 1, 3, 0x20}, {4, 1, 1, 1, 0x01}, {2, 2, 1, 3, 0x02},
        {1, 3, 1, 2, 0x04}, {2, 4, 1, 0, 0x00}, {3, 9, 1, 0, 0x00}, {5, 1, 2, 0, 0x00}, {99, 3, 2, 0, 0x00},
    };
    for (const Row& r : rows)
    {
        SCOPED_TRACE(testing::Message() << r.config << "/" << r.state);
        ktzplat::SetRedundancy(r.config, r.state);
        ClearRecords();
        KTZMonSensorMonPwrRedSensorsAttach();
        KTZMonSensorMonPwrRedSensorsSendToClient(nullptr);
        const auto sensors = Sensors();
        ASSERT_EQ(sensors.size(), 1u);
        EXPECT_EQ(sensors[0].name, "Power Redundancy");
        EXPECT_EQ(sensors[0].type, 4);
        EXPECT_EQ(sensors[0].cls, 4);
        EXPECT_EQ(sensors[0].num, 1);
        EXPECT_EQ(sensors[0].presence, r.wantPresence);
        EXPECT_EQ(sensors[0].status, r.wantStatus);
        EXPECT_EQ(sensors[0].reading, r.wantReading);
        EXPECT_EQ(Logged(), (std::vector<std::string>{
                                "Power redundancy sensor found: name: 'Power Redundancy' "
                                "config: " +
                                std::to_string(r.config) + " state: " + std::to_string(r.state) + "\n"}));
        KTZMonSensorMonPwrRedSensorsDetach();
    }
}

TEST_F(PwrSensorsTest, RedundancyChangesLogEachValueAndSendOnce)
{
    ktzplat::SetRedundancy(1, 3);
    KTZMonSensorMonPwrRedSensorsAttach();
    ClearRecords();

    ktzplat::SetRedundancy(2, 1);
    KTZMonSensorMonPwrRedSensorsCheck(KTZMON_CHECK_READING, 0);
    EXPECT_TRUE(Host().Messages().empty());

    KTZMonSensorMonPwrRedSensorsCheck(KTZMON_CHECK_HEALTH, 0);
    EXPECT_EQ(Logged(), (std::vector<std::string>{
                            "Power redundancy config change: name: 'Power Redundancy' prev: 1 curr: 2\n",
                            "Power redundancy state change: name: 'Power Redundancy' prev: 3 curr: 1\n",
                        }));
    auto sensors = Sensors();
    ASSERT_EQ(sensors.size(), 1u);
    EXPECT_EQ(sensors[0].status, 1);
    EXPECT_EQ(sensors[0].reading, 0x01u);

    // A failing configuration call does not hide a state change.
    ClearRecords();
    ktzplat::SetRedundancy(0, 3);
    InjectFault(Op::PsuRedundancy);
    KTZMonSensorMonPwrRedSensorsCheck(KTZMON_CHECK_HEALTH, 0);
    EXPECT_EQ(Logged(), (std::vector<std::string>{
                            "Power redundancy state change: name: 'Power Redundancy' prev: 1 curr: 3\n"}));
    sensors = Sensors();
    ASSERT_EQ(sensors.size(), 1u);
    EXPECT_EQ(sensors[0].presence, 1);
    EXPECT_EQ(sensors[0].reading, 0x04u);

    ClearRecords();
    KTZMonSensorMonPwrRedFRUsSendToClient(nullptr);
    EXPECT_TRUE(Host().Messages().empty());
}

TEST_F(PwrSensorsTest, RedundancyCallFailingAtAttachLeavesNoSensor)
{
    ktzplat::SetRedundancy(1, 1);
    for (Op op : {Op::PsuRedundancy, Op::PsuRedundancyState})
    {
        SCOPED_TRACE(ktzplat::OpName(op));
        InjectFault(op);
        KTZMonSensorMonPwrRedSensorsAttach();
        ktzplat::SetRedundancy(2, 2);
        KTZMonSensorMonPwrRedSensorsCheck(KTZMON_CHECK_HEALTH, 0);
        KTZMonSensorMonPwrRedSensorsSendToClient(nullptr);
        EXPECT_TRUE(Host().Messages().empty());
        EXPECT_TRUE(Logged().empty());
        EXPECT_TRUE(SMSLListIsEmpty(&g_pKTZMonSensorMonData->pwrRedSensors));
    }
}

// ---- both types ------------------------------------------------------------------------------

TEST_F(PwrSensorsTest, RowOperationsWithoutMonitorRecordDoNothing)
{
    ktzplat::SetPsuBayCount(1);
    ktzplat::SetPsuBay(1, Present(1, 0, true));
    ktzplat::SetRedundancy(1, 1);
    KTZMonSensorMonPwrSupplySensorsAttach();
    KTZMonSensorMonPwrRedSensorsAttach();
    KTZMonSensorMonDetach();
    ASSERT_EQ(g_pKTZMonSensorMonData, nullptr);
    ClearRecords();

    KTZMonSensorMonPwrSupplySensorsAttach();
    KTZMonSensorMonPwrSupplySensorsCheck(KTZMON_CHECK_HEALTH | KTZMON_CHECK_READING, 0);
    KTZMonSensorMonPwrSupplySensorsSendToClient(nullptr);
    KTZMonSensorMonPwrSupplyFRUsSendToClient(nullptr);
    KTZMonSensorMonPwrSupplySensorsDetach();
    KTZMonSensorMonPwrRedSensorsAttach();
    KTZMonSensorMonPwrRedSensorsCheck(KTZMON_CHECK_HEALTH, 0);
    KTZMonSensorMonPwrRedSensorsSendToClient(nullptr);
    KTZMonSensorMonPwrRedSensorsDetach();
    EXPECT_TRUE(Host().Messages().empty());
    EXPECT_TRUE(Logged().empty());
}

// Through the monitor thread: the rows attach once a PSU is present, send
// their picture, and follow a removal at the next health check.
using PwrMonitorTest = ktztest::ModuleTest;

// Power messages one client received: "S<type>/<num>" for sensor data,
// "F<bay>" for FRU records.
std::vector<std::string> PowerMessages(ktztest::FakeHost& host)
{
    std::vector<std::string> out;
    for (const auto& m : host.Messages(kClient))
    {
        if (m.requestType == KTZMON_REQ_SENSOR_DATA && m.bytes[KTZMON_SENSOR_OFF_TYPE] >= 3)
        {
            out.push_back("S" + std::to_string(m.bytes[KTZMON_SENSOR_OFF_TYPE]) + "/" +
                          std::to_string(m.bytes[KTZMON_SENSOR_OFF_NUM]));
        }
        else if (m.requestType == KTZMON_REQ_FRU_BY_NUM)
        {
            out.push_back("F" + std::to_string(m.bytes[KTZMON_FRU_OFF_NUM]));
        }
    }
    return out;
}

TEST_F(PwrMonitorTest, PowerRowsAttachAndFollowChangesThroughTheMonitor)
{
    ktzplat::SetPsuBayCount(2);
    ktzplat::SetRedundancy(1, 1);
    SetKtzSetting("1");
    ASSERT_NO_FATAL_FAILURE(LoadAndStart());
    ASSERT_EQ(Host().Connect(kClient), 0u);

    // No PSU present: neither row attaches.
    ktzplat::AdvanceClock(40);
    ASSERT_TRUE(ktzplat::WaitIdle());
    EXPECT_TRUE(PowerMessages(Host()).empty());

    PsuBay bay = Present(1, 0, true);
    bay.fru.assign(256, 0x5A);
    ktzplat::SetPsuBay(2, bay);
    ktzplat::AdvanceClock(5);
    ASSERT_TRUE(ktzplat::WaitIdle());
    EXPECT_TRUE(
        Logged("Power supply sensor found: name: 'PS-2' presence: 1 state: 1 alert: 0 fruReady: 1\n"));
    EXPECT_TRUE(Logged("Power redundancy sensor found: name: 'Power Redundancy' config: 1 state: 1\n"));
    EXPECT_EQ(PowerMessages(Host()), (std::vector<std::string>{"S3/1", "S3/2", "F2", "S4/1"}));

    // Pulled: the service reports state 0 first, which holds the bay's
    // other tests back for one health check.
    Host().Clear();
    ktzplat::SetPsuBay(2, PsuBay{});
    ktzplat::AdvanceClock(5);
    ASSERT_TRUE(ktzplat::WaitIdle());
    EXPECT_TRUE(Logged("Power supply state change: name: 'PS-2' prev: 1 curr: 0\n"));
    EXPECT_TRUE(PowerMessages(Host()).empty());
    ktzplat::AdvanceClock(5);
    ASSERT_TRUE(ktzplat::WaitIdle());
    EXPECT_TRUE(Logged("Power supply presence change: name: 'PS-2' prev: 1 curr: 0\n"));
    EXPECT_EQ(PowerMessages(Host()), (std::vector<std::string>{"S3/2"}));
}

} // namespace
