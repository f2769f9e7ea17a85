// Power supply and power redundancy sensors: what each bay and the
// redundancy sensor send to clients, how Check follows the power-supply
// service, the FRU-by-number bytes on the wire, and odd bay counts.
#include "sensormon/sensormon.h"
#include "support/module_fixture.h"

#include <gtest/gtest.h>
#include <ktzmon/protocol.h>

#include <cstdio>
#include <string>
#include <vector>

namespace
{

using ktzplat::InjectFault;
using ktzplat::Op;
using ktzplat::PsuBay;
using Lines = std::vector<std::string>;

constexpr uint32_t kClient = 1;

PsuBay Bay(uint32_t presence, uint32_t state = 1, uint32_t alert = 0, bool fruReadable = false)
{
    return {.presence = presence, .state = state, .alert = alert, .fruReadable = fruReadable};
}

// Power messages one client received, in order: a sensor as
// "<name> t<type> c<class> n<num> p<presence> s<status> r<reading hex>", a
// FRU record as "FRU <bay>". Fans and temperatures are left out.
Lines PowerMessages(ktztest::FakeHost& host)
{
    Lines out;
    for (const auto& m : host.Messages(kClient))
    {
        const auto& b = m.bytes;
        char text[128];
        if (m.requestType == KTZMON_REQ_SENSOR_DATA && b.size() > 40 && b[KTZMON_SENSOR_OFF_TYPE] >= 3)
        {
            const uint32_t reading =
                b[8] | (b[9] << 8) | (b[10] << 16) | (static_cast<uint32_t>(b[11]) << 24);
            std::snprintf(text, sizeof text, "%s t%u c%u n%u p%u s%u r%02X",
                          reinterpret_cast<const char*>(b.data() + KTZMON_SENSOR_OFF_NAME), b[0], b[4], b[3],
                          b[1], b[2], reading);
            out.push_back(text);
        }
        else if (m.requestType == KTZMON_REQ_FRU_BY_NUM && b.size() > 1)
        {
            out.push_back("FRU " + std::to_string(b[KTZMON_FRU_OFF_NUM]));
        }
    }
    return out;
}

// The module runs with monitoring off and one client connected; the sensor
// monitor record is created by hand (no monitor thread), so each test drives
// the row operations itself.
class PwrSensorsTest : public ktztest::ModuleTest
{
  protected:
    void SetUp() override
    {
        ModuleTest::SetUp();
        ASSERT_NO_FATAL_FAILURE(LoadAndStart());
        ASSERT_EQ(Host().Connect(kClient), 0u);
        ASSERT_EQ(KTZMonSensorMonAttach(2), 0u);
        Clear();
    }

    void TearDown() override
    {
        KTZMonSensorMonDetach();
        ModuleTest::TearDown();
    }

    Lines Sent() { return PowerMessages(Host()); }
    void Clear()
    {
        Host().Clear();
        ktzplat::ClearLoggedMessages();
    }
    // Attaches the power-supply row, sends every sensor and returns what was sent.
    Lines AttachAndSend()
    {
        KTZMonSensorMonPwrSupplySensorsAttach();
        KTZMonSensorMonPwrSupplySensorsSendToClient(nullptr);
        return Sent();
    }
    static void Health() { KTZMonSensorMonPwrSupplySensorsCheck(KTZMON_CHECK_HEALTH, 0); }
};

// ---- power supplies -------------------------------------------------------------------

TEST_F(PwrSensorsTest, AttachReportsPresentAndEmptyBays)
{
    ktzplat::SetPsuBayCount(2);
    ktzplat::SetPsuBay(1, Bay(1));
    EXPECT_EQ(AttachAndSend(), (Lines{"PS-1 t3 c3 n1 p1 s1 r01", "PS-2 t3 c3 n2 p0 s0 r0A"}));
    EXPECT_EQ(Logged(),
              (Lines{
                  "Power supply sensor found: name: 'PS-1' presence: 1 state: 1 alert: 0 fruReady: 0\n",
                  "Power supply sensor found: name: 'PS-2' presence: 0 state: 0 alert: 0 fruReady: 0\n",
                  " Power supply reading update: name: 'PS-1' reading: 0x1 : sensorState: 1 \n",
                  " Power supply reading update: name: 'PS-2' reading: 0xA : sensorState: 0 \n",
              }));

    // PS-1's request record cannot be allocated (the first allocation of the
    // walk): no message and no update line for it, while PS-2, whose line
    // can be logged, is sent as usual.
    Clear();
    InjectFault(Op::Alloc, 0, 1);
    KTZMonSensorMonPwrSupplySensorsSendToClient(nullptr);
    EXPECT_EQ(ktzplat::FailCount(Op::Alloc), 1u);
    ktzplat::ClearFaults();
    EXPECT_EQ(Sent(), (Lines{"PS-2 t3 c3 n2 p0 s0 r0A"}));
    EXPECT_EQ(Logged(),
              (Lines{" Power supply reading update: name: 'PS-2' reading: 0xA : sensorState: 0 \n"}));
}

TEST_F(PwrSensorsTest, InsertionSendsSensorThenFruOnceAndRemovalResetsIt)
{
    // The state stays 1 throughout, so each presence change is seen in the
    // cycle it happens. FRU data that reads while the bay is empty is never sent.
    const PsuBay empty = Bay(0, 1, 0, true);
    ktzplat::SetPsuBayCount(1);
    ktzplat::SetPsuBay(1, empty);
    KTZMonSensorMonPwrSupplySensorsAttach();
    Health();
    EXPECT_TRUE(Sent().empty());

    Clear();
    ktzplat::SetPsuBay(1, Bay(1, 1, 0, true));
    Health();
    EXPECT_EQ(Logged(), (Lines{
                            "Power supply presence change: name: 'PS-1' prev: 0 curr: 1\n",
                            " Power supply reading update: name: 'PS-1' reading: 0x1 : sensorState: 1 \n",
                            "Power supply FRU ready change: name: 'PS-1' prev: 0 curr: 1\n",
                        }));
    EXPECT_EQ(Sent(), (Lines{"PS-1 t3 c3 n1 p1 s1 r01", "FRU 1"}));

    // Nothing changed: nothing sent, the FRU is not probed again.
    Clear();
    const auto fruCalls = ktzplat::CallCount(Op::PsuRawFru);
    Health();
    EXPECT_TRUE(Sent().empty());
    EXPECT_EQ(ktzplat::CallCount(Op::PsuRawFru), fruCalls);

    // Removal: reading 0x0A, no FRU message, none in the FRU walk either.
    Clear();
    ktzplat::SetPsuBay(1, empty);
    Health();
    KTZMonSensorMonPwrSupplyFRUsSendToClient(nullptr);
    EXPECT_EQ(Sent(), (Lines{"PS-1 t3 c3 n1 p0 s0 r0A"}));

    // Put back with its FRU not yet readable, then readable: the FRU goes
    // out again, once.
    Clear();
    ktzplat::SetPsuBay(1, Bay(1, 1, 0, false));
    Health();
    ktzplat::SetPsuBay(1, Bay(1, 1, 0, true));
    Health();
    Health();
    EXPECT_EQ(Sent(), (Lines{"PS-1 t3 c3 n1 p1 s1 r01", "FRU 1"}));
}

TEST_F(PwrSensorsTest, StateTwoOrZeroIsStoredAndEndsTheBaysCycle)
{
    ktzplat::SetPsuBayCount(1);
    for (uint32_t newState : {2u, 0u})
    {
        SCOPED_TRACE(newState);
        ktzplat::SetPsuBay(1, Bay(1));
        KTZMonSensorMonPwrSupplySensorsAttach();
        Clear();

        ktzplat::SetPsuBay(1, Bay(1, newState, 21811, true));
        const auto presenceCalls = ktzplat::CallCount(Op::PsuPresence);
        const auto fruCalls = ktzplat::CallCount(Op::PsuRawFru);
        Health();
        EXPECT_EQ(Logged(), (Lines{"Power supply state change: name: 'PS-1' prev: 1 curr: " +
                                   std::to_string(newState) + "\n"}));
        EXPECT_TRUE(Sent().empty());
        EXPECT_EQ(ktzplat::CallCount(Op::PsuPresence), presenceCalls);
        EXPECT_EQ(ktzplat::CallCount(Op::PsuRawFru), fruCalls);

        // Next cycle: the alert and the FRU are picked up. Alert 21811 is
        // critical without a reading bit.
        Clear();
        Health();
        EXPECT_EQ(Logged(), (Lines{
                                "Power supply alert state change: name: 'PS-1' prev: 0 curr: 21811\n",
                                " Power supply reading update: name: 'PS-1' reading: 0x1 : sensorState: 1 \n",
                                "Power supply FRU ready change: name: 'PS-1' prev: 0 curr: 1\n",
                            }));
        EXPECT_EQ(Sent(), (Lines{"PS-1 t3 c3 n1 p1 s3 r01", "FRU 1"}));
        KTZMonSensorMonPwrSupplySensorsDetach();
    }
}

TEST_F(PwrSensorsTest, FailedStateIsCriticalUntilItRecovers)
{
    ktzplat::SetPsuBayCount(1);
    ktzplat::SetPsuBay(1, Bay(1));
    KTZMonSensorMonPwrSupplySensorsAttach();
    Clear();
    ktzplat::SetPsuBay(1, Bay(1, 6));
    Health();
    EXPECT_TRUE(Logged("Power supply state change: name: 'PS-1' prev: 1 curr: 6\n"));
    ktzplat::SetPsuBay(1, Bay(1, 1));
    Health();
    EXPECT_EQ(Sent(), (Lines{"PS-1 t3 c3 n1 p1 s3 r03", "PS-1 t3 c3 n1 p1 s1 r01"}));

    // Failed service calls are not changes.
    Clear();
    ktzplat::SetPsuBay(1, Bay(0, 6, 21810));
    for (Op op : {Op::PsuState, Op::PsuPresence, Op::PsuAlert})
    {
        InjectFault(op, 0, ktzplat::kForever);
    }
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
        const char* want;
    };
    const Row rows[] = {
        {1, 1, 21810, "p1 s3 r09"}, {1, 6, 21810, "p1 s3 r0B"}, {1, 1, 21812, "p1 s3 r21"},
        {1, 1, 21813, "p1 s3 r21"}, {1, 1, 21814, "p1 s3 r21"}, {1, 6, 21815, "p1 s3 r23"},
        {1, 6, 21812, "p1 s3 r23"}, {1, 1, 21811, "p1 s3 r01"}, {1, 6, 21816, "p1 s3 r03"},
        {1, 1, 21809, "p1 s3 r01"}, {0, 6, 21810, "p0 s0 r0A"}, {7, 6, 21810, "p1 s0 r00"},
    };
    ktzplat::SetPsuBayCount(1);
    for (const Row& r : rows)
    {
        SCOPED_TRACE(testing::Message() << r.presence << "/" << r.state << "/" << r.alert);
        ktzplat::SetPsuBay(1, Bay(r.presence, r.state, r.alert));
        Clear();
        EXPECT_EQ(AttachAndSend(), (Lines{std::string("PS-1 t3 c3 n1 ") + r.want}));
        KTZMonSensorMonPwrSupplySensorsDetach();
    }
}

TEST_F(PwrSensorsTest, AttachSkipsFailedBaysAndStopsWhenOutOfMemory)
{
    ktzplat::SetPsuBayCount(3);
    // Bay 2's state call fails (bay 1 made one successful state call first);
    // bay 2 stays unmonitored even once it answers.
    InjectFault(Op::PsuState, 1, 1);
    EXPECT_EQ(AttachAndSend(), (Lines{"PS-1 t3 c3 n1 p0 s0 r0A", "PS-3 t3 c3 n3 p0 s0 r0A"}));
    ktzplat::SetPsuBay(2, Bay(1));
    Clear();
    Health();
    EXPECT_TRUE(Sent().empty());
    KTZMonSensorMonPwrSupplySensorsDetach();

    // The second record cannot be allocated (bay 1's record and its log
    // line take the first two allocations): bay 3 is not tried either.
    ktzplat::SetPsuBay(2, PsuBay{});
    const auto presenceCalls = ktzplat::CallCount(Op::PsuPresence);
    InjectFault(Op::Alloc, 2, 1);
    KTZMonSensorMonPwrSupplySensorsAttach();
    ktzplat::ClearFaults();
    EXPECT_TRUE(
        Logged("Power supply sensor found: name: 'PS-1' presence: 0 state: 0 alert: 0 fruReady: 0\n"));
    EXPECT_EQ(ktzplat::CallCount(Op::PsuPresence) - presenceCalls, 2u);
    Clear();
    KTZMonSensorMonPwrSupplySensorsSendToClient(nullptr);
    EXPECT_EQ(Sent(), (Lines{"PS-1 t3 c3 n1 p0 s0 r0A"}));
}

TEST_F(PwrSensorsTest, ReadingOnlyCheckRunsOnlyTheFruTest)
{
    ktzplat::SetPsuBayCount(1);
    ktzplat::SetPsuBay(1, Bay(1));
    KTZMonSensorMonPwrSupplySensorsAttach();
    Clear();
    ktzplat::SetPsuBay(1, Bay(1, 6, 21810, true));
    KTZMonSensorMonPwrSupplySensorsCheck(KTZMON_CHECK_READING, 0);
    EXPECT_EQ(Logged(), (Lines{"Power supply FRU ready change: name: 'PS-1' prev: 0 curr: 1\n"}));
    EXPECT_EQ(Sent(), (Lines{"FRU 1"}));
}

TEST_F(PwrSensorsTest, FruByNumberBytesOnTheWire)
{
    PsuBay bay = Bay(1, 1, 0, true);
    for (int i = 0; i < 256; ++i)
    {
        bay.fru.push_back(static_cast<uint8_t>(255 - i));
    }
    ktzplat::SetPsuBayCount(3);
    ktzplat::SetPsuBay(2, bay);
    ktzplat::SetPsuBay(3, Bay(1, 1, 0, false));
    KTZMonSensorMonPwrSupplySensorsAttach();
    EXPECT_TRUE(
        Logged("Power supply sensor found: name: 'PS-2' presence: 1 state: 1 alert: 0 fruReady: 1\n"));
    Clear();
    KTZMonSensorMonPwrSupplyFRUsSendToClient(nullptr);

    const auto msgs = Host().Messages(kClient);
    ASSERT_EQ(msgs.size(), 1u);
    EXPECT_EQ(msgs[0].requestType, KTZMON_REQ_FRU_BY_NUM);
    ASSERT_EQ(msgs[0].bytes.size(), 264u);
    EXPECT_EQ(ktztest::Hex(msgs[0].bytes.data(), 8), "01 02 00 01 08 00 00 00");
    EXPECT_EQ(std::vector<uint8_t>(msgs[0].bytes.begin() + 8, msgs[0].bytes.end()), bay.fru);

    // FRU data unreadable at send time: no message (and nothing leaked).
    Clear();
    InjectFault(Op::PsuRawFru);
    KTZMonSensorMonPwrSupplyFRUsSendToClient(nullptr);
    EXPECT_TRUE(Sent().empty());
    EXPECT_EQ(KTZMonSensorMonPwrSupplyIsFRUReady(2), 1);
    EXPECT_EQ(KTZMonSensorMonPwrSupplyIsFRUReady(3), 0);
}

TEST_F(PwrSensorsTest, BayCountsOutsideTheEightBitRange)
{
    // Only bay 300 holds a PSU: with 300 bays, probing ends at 255.
    ktzplat::SetPsuBay(300, Bay(1));
    for (int32_t count : {0, -1, 300})
    {
        ktzplat::SetPsuBayCount(count);
        EXPECT_EQ(KTZMonSensorMonPwrSupplySensorsReady(), 0) << count;
        EXPECT_EQ(KTZMonSensorMonPwrRedSensorsReady(), 0) << count;
    }
    ktzplat::SetPsuBay(255, Bay(1));
    EXPECT_EQ(KTZMonSensorMonPwrSupplySensorsReady(), 1);
    EXPECT_EQ(KTZMonSensorMonPwrRedSensorsReady(), 1);

    const auto calls = ktzplat::CallCount(Op::PsuPresence);
    const Lines sent = AttachAndSend();
    EXPECT_EQ(ktzplat::CallCount(Op::PsuPresence) - calls, 255u);
    ASSERT_EQ(sent.size(), 255u);
    EXPECT_EQ(sent.back(), "PS-255 t3 c3 n255 p1 s1 r01");
    EXPECT_EQ(CountLogged("Power supply bay count 300 out of range, probing bays 1 to 255\n"), 1u);
    KTZMonSensorMonPwrSupplySensorsDetach();

    for (int32_t count : {-1, 0})
    {
        ktzplat::SetPsuBayCount(count);
        Clear();
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
        const char* want;
    };
    const Row rows[] = {
        {0, 1, "p0 s0 r00"}, {0, 2, "p0 s0 r00"},  {1, 0, "p1 s3 r20"}, {4, 1, "p1 s1 r01"},
        {2, 2, "p1 s3 r02"}, {1, 3, "p1 s2 r04"},  {2, 4, "p1 s0 r00"}, {3, 9, "p1 s0 r00"},
        {5, 1, "p2 s0 r00"}, {99, 3, "p2 s0 r00"},
    };
    for (const Row& r : rows)
    {
        SCOPED_TRACE(testing::Message() << r.config << "/" << r.state);
        ktzplat::SetRedundancy(r.config, r.state);
        Clear();
        KTZMonSensorMonPwrRedSensorsAttach();
        KTZMonSensorMonPwrRedSensorsSendToClient(nullptr);
        EXPECT_EQ(Sent(), (Lines{std::string("Power Redundancy t4 c4 n1 ") + r.want}));
        EXPECT_EQ(Logged(), (Lines{"Power redundancy sensor found: name: 'Power Redundancy' config: " +
                                   std::to_string(r.config) + " state: " + std::to_string(r.state) + "\n"}));
        KTZMonSensorMonPwrRedSensorsDetach();
    }
}

TEST_F(PwrSensorsTest, RedundancyChangesLogEachValueAndSendOnce)
{
    ktzplat::SetRedundancy(1, 3);
    KTZMonSensorMonPwrRedSensorsAttach();
    Clear();
    ktzplat::SetRedundancy(2, 1);
    KTZMonSensorMonPwrRedSensorsCheck(KTZMON_CHECK_READING, 0);
    EXPECT_TRUE(Sent().empty());

    KTZMonSensorMonPwrRedSensorsCheck(KTZMON_CHECK_HEALTH, 0);
    EXPECT_EQ(Logged(), (Lines{
                            "Power redundancy config change: name: 'Power Redundancy' prev: 1 curr: 2\n",
                            "Power redundancy state change: name: 'Power Redundancy' prev: 3 curr: 1\n",
                        }));
    EXPECT_EQ(Sent(), (Lines{"Power Redundancy t4 c4 n1 p1 s1 r01"}));

    // A failing configuration call does not hide a state change; no FRUs.
    Clear();
    ktzplat::SetRedundancy(0, 3);
    InjectFault(Op::PsuRedundancy);
    KTZMonSensorMonPwrRedSensorsCheck(KTZMON_CHECK_HEALTH, 0);
    KTZMonSensorMonPwrRedFRUsSendToClient(nullptr);
    EXPECT_EQ(Logged(), (Lines{"Power redundancy state change: name: 'Power Redundancy' prev: 1 curr: 3\n"}));
    EXPECT_EQ(Sent(), (Lines{"Power Redundancy t4 c4 n1 p1 s2 r04"}));
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
    }
}

// ---- both types ------------------------------------------------------------------------------

TEST_F(PwrSensorsTest, RowOperationsWithoutMonitorRecordDoNothing)
{
    ktzplat::SetPsuBayCount(1);
    ktzplat::SetPsuBay(1, Bay(1, 1, 0, true));
    ktzplat::SetRedundancy(1, 1);
    KTZMonSensorMonDetach();
    ASSERT_EQ(g_pKTZMonSensorMonData, nullptr);

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

// Through the monitor thread: the rows attach once a PSU is present and send
// their picture (how a bay follows a removal is the row tests' above).
using PwrMonitorTest = ktztest::ModuleTest;

TEST_F(PwrMonitorTest, PowerRowsAttachThroughTheMonitorOnceASupplyIsPresent)
{
    ktzplat::SetPsuBayCount(2);
    ktzplat::SetRedundancy(1, 1);
    SetKtzSetting("1");
    ASSERT_NO_FATAL_FAILURE(LoadAndStart());
    ASSERT_EQ(Host().Connect(kClient), 0u);

    // No PSU present: neither row attaches.
    ktzplat::AdvanceClock(40);
    ASSERT_TRUE(ktztest::WaitIdle());
    EXPECT_TRUE(PowerMessages(Host()).empty());

    ktzplat::SetPsuBay(2, Bay(1, 1, 0, true));
    ktzplat::AdvanceClock(5);
    ASSERT_TRUE(ktztest::WaitIdle());
    EXPECT_EQ(PowerMessages(Host()), (Lines{"PS-1 t3 c3 n1 p0 s0 r0A", "PS-2 t3 c3 n2 p1 s1 r01", "FRU 2",
                                            "Power Redundancy t4 c4 n1 p1 s1 r01"}));
}

} // namespace
