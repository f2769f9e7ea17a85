// Sensor monitor framework: readiness timing, check scheduling, the pass
// period and its bounds, stopping, data-sync-complete and the client fan-out
// without a monitor.
#include "sensormon_fixture.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <map>
#include <string>
#include <thread>
#include <utility>

namespace ktztest
{
namespace
{
using ktzplat::CallCount;
using ktzplat::Op;

constexpr const char* kFanFound = "Fan sensor found: name: 'FAN1' presence: 1 health: 1 reading: 5000 "
                                  "lncThreshold: 1000 lcThreshold: 500\n";

TEST_F(SensorMonTest, BothChecksDueGiveOneCallAndHealthOnlyPassIgnoresReadings)
{
    WriteIni(
        "[Fan Sensor]\nreadingcheckinterval.secs=10\n[Temperature Sensor]\nreadingcheckinterval.secs=0\n");
    StartWithClient();
    Pass(6);
    ASSERT_EQ(SensorMsgs().size(), 2u);
    auto fan = Fan1();
    fan.reading1 = 9000;
    fan.lncThreshold = 1100;
    ktzplat::SetFan(1, fan);
    ktzplat::SetChassisTemp({"Chassis", 0, 40});

    // At +5 only health is due: the reading and threshold changes stay quiet.
    uint64_t calls = CallCount(Op::ThermalFanData);
    Pass();
    EXPECT_EQ(CallCount(Op::ThermalFanData), calls + 1);
    EXPECT_EQ(SensorMsgs().size(), 2u);
    for (const auto& line : Logged())
    {
        EXPECT_EQ(line.find("sensor reading change"), std::string::npos) << line;
        EXPECT_EQ(line.find("lncThreshold change"), std::string::npos) << line;
    }

    // At +10 both are due: one call, one message with the new values.
    calls = CallCount(Op::ThermalFanData);
    Pass();
    EXPECT_EQ(CallCount(Op::ThermalFanData), calls + 1);
    ASSERT_EQ(SensorMsgs(1).size(), 2u);
    EXPECT_EQ(ktz::LoadLE32(SensorMsgs(1)[1].bytes.data(), KTZMON_SDR_OFF_READING), 9000u);

    // A health change in a health-only pass stores and sends the current
    // reading with it.
    fan.health = 2;
    fan.reading1 = 7000;
    ktzplat::SetFan(1, fan);
    Pass();
    ASSERT_EQ(SensorMsgs(1).size(), 3u);
    EXPECT_EQ(SensorMsgs(1)[2].bytes[KTZMON_SDR_OFF_STATUS], 3);
    EXPECT_EQ(ktz::LoadLE32(SensorMsgs(1)[2].bytes.data(), KTZMON_SDR_OFF_READING), 7000u);
    EXPECT_EQ(SensorMsgs(2).size(), 1u);
}

TEST_F(SensorMonTest, WallClockStepBackMakesEveryIntervalDue)
{
    WriteIni("[Fan Sensor]\nhealthcheckinterval.secs=60\nreadingcheckinterval.secs=60\n");
    StartWithClient();
    ktzplat::SetClock(kStartTime - 100);
    Pass();
    EXPECT_TRUE(Logged(kFanFound));

    uint64_t calls = CallCount(Op::ThermalFanData);
    Pass();
    EXPECT_EQ(CallCount(Op::ThermalFanData), calls);
    ktzplat::SetClock(ktzplat::NowMs() / 1000 - 1000);
    Pass();
    EXPECT_EQ(CallCount(Op::ThermalFanData), calls + 1);
}

// Attached at Load, the types are first asked whether they are ready 30
// seconds after the start; data-sync-complete follows the last type, once.
TEST_F(SensorMonTest, AttachAtLoadAsksAfterThirtySecondsAndSyncFollowsTheLastTypeOnce)
{
    MakePowerReady();
    StartWithClient();
    Pass(5);
    EXPECT_EQ(CallCount(Op::ThermalFanData), 0u);
    EXPECT_TRUE(SensorMsgs().empty());
    Pass();
    EXPECT_TRUE(Logged(kFanFound));
    const auto types = Host().Types(kClient);
    ASSERT_FALSE(types.empty());
    EXPECT_EQ(types.back(), KTZMON_REQ_DATA_SYNC_COMPLETE);
    EXPECT_EQ(CountType(KTZMON_REQ_DATA_SYNC_COMPLETE), 1u);
    std::vector<uint8_t> order;
    for (const auto& m : SensorMsgs())
    {
        order.push_back(m.bytes[0]);
    }
    EXPECT_EQ(order, (std::vector<uint8_t>{1, 2, 3, 4}));
    Pass(3);
    EXPECT_EQ(CountType(KTZMON_REQ_DATA_SYNC_COMPLETE), 1u);
}

// While the fan type cannot attach, data-sync-complete waits and nothing
// else does. A client that connects meanwhile gets the sensors and FRU
// records of the attached types and no data-sync-complete; it gets the
// broadcast one when the fans attach.
TEST_F(SensorMonTest, TypeNotReadyHoldsBackOnlyDataSyncCompleteForEveryClient)
{
    constexpr uint32_t kLate = 8;
    MakePowerReady();
    ktzplat::PsuBay bay = ktzplat::GetPsuBay(1);
    bay.fruReadable = true;
    bay.fru = {'P', 'S', 'U'};
    ktzplat::SetPsuBay(1, bay);
    ktzplat::RemoveFan(1);
    StartWithClient();
    Pass(8);
    // Only data-sync-complete waits for the fans; the other types are sent
    // and checked as usual.
    ASSERT_EQ(CountType(KTZMON_REQ_DATA_SYNC_COMPLETE), 0u);
    EXPECT_EQ(CountLogged("ThermalGetFanData failed: fanNum: 1 rc: -1\n"), 3u);
    ktzplat::SetChassisTemp({"Chassis", 0, 30});
    Pass();
    EXPECT_EQ(SensorMsgs(2).size(), 2u);
    EXPECT_EQ(SensorMsgs(3).size(), 1u);
    EXPECT_EQ(SensorMsgs(4).size(), 1u);

    ASSERT_EQ(Host().Connect(kLate), 0u);
    std::vector<std::string> got;
    const auto describe = [](const ReceivedMsg& m)
    {
        if (m.requestType == KTZMON_REQ_SENSOR_DATA)
        {
            return "sensor type " + std::to_string(m.bytes.at(0));
        }
        char text[16];
        std::snprintf(text, sizeof text, "0x%X", static_cast<unsigned>(m.requestType));
        return std::string(text);
    };
    for (const auto& m : Host().Messages(kLate))
    {
        got.push_back(describe(m));
    }
    EXPECT_EQ(got, (std::vector<std::string>{"0x100", "0x200", "sensor type 2", "sensor type 3",
                                             "sensor type 4", "0x102"}));

    ktzplat::SetFan(1, Fan1());
    Host().Clear();
    Pass();
    for (const uint32_t id : {kClient, kLate})
    {
        got.clear();
        for (const auto& m : Host().Messages(id))
        {
            got.push_back(describe(m));
        }
        EXPECT_EQ(got, (std::vector<std::string>{"sensor type 1", "0x103"})) << "client " << id;
    }
}

// A run-time attach asks every type at the first pass: the ready delay is
// forced to 0 in the table from then on, whatever the INI file says. The
// table outlives Unload, so the forced 0 is the next Load's default unless
// the file names a delay (the fixture restores the built-in table for the
// next test).
TEST_F(SensorMonTest, RunTimeAttachForcesTheReadyDelayUntilAFileNamesOne)
{
    WriteIni("[Fan Sensor]\nreadycheckinterval.secs=40\n");
    LoadAndStart();
    ASSERT_EQ(Host().Connect(kClient), 0u);
    EXPECT_EQ(g_KTZMonSensorTypeTable[0].readyCheck, 30u) << "the table as the module starts with it";
    SetKtzSetting("1");
    ASSERT_TRUE(WaitIdle());
    for (const auto& row : g_KTZMonSensorTypeTable)
    {
        EXPECT_EQ(row.readyCheck, 0u) << row.name;
    }
    EXPECT_TRUE(Logged("Fan Sensor: readingTolerance: 5 readyCheck: 0 healthCheck: 5 readingCheck: 5\n"));
    EXPECT_TRUE(Logged(
        "Power Redundancy Sensor: readingTolerance: 0 readyCheck: 0 healthCheck: 5 readingCheck: 0\n"));
    Pass();
    EXPECT_EQ(SensorMsgs().size(), 2u) << "the fans and the temperature were asked at the first pass";
    StopAndUnload();

    WriteIni("");
    Host().Clear();
    ktzplat::ClearLoggedMessages();
    LoadAndStart();
    ASSERT_EQ(Host().Connect(kClient), 0u);
    EXPECT_TRUE(Logged("Fan Sensor: readingTolerance: 5 readyCheck: 0 healthCheck: 5 readingCheck: 5\n"));
    Pass();
    EXPECT_EQ(SensorMsgs(1).size(), 1u) << "the fans were asked at the first pass";
    StopAndUnload();

    WriteIni("[Fan Sensor]\nreadycheckinterval.secs=30\n");
    ktzplat::ClearLoggedMessages();
    LoadAndStart();
    EXPECT_TRUE(Logged("Fan Sensor: readingTolerance: 5 readyCheck: 30 healthCheck: 5 readingCheck: 5\n"));
}

// A row with both intervals 0 is sent once when it attaches and never
// checked again, whatever its sensors do.
TEST_F(SensorMonTest, RowWithBothIntervalsZeroIsSentOnceAndNeverChecked)
{
    WriteIni("[Temperature Sensor]\nhealthcheckinterval.secs=0\nreadingcheckinterval.secs=0\n");
    StartWithClient();
    Pass(6);
    ASSERT_EQ(SensorMsgs(2).size(), 1u);
    ASSERT_EQ(g_KTZMonSensorTypeTable[1].attached, 1);
    const uint64_t calls = CallCount(Op::ThermalSensorData);
    ktzplat::SetChassisTemp({"Chassis", 2, 90});
    Pass(4);
    EXPECT_EQ(CallCount(Op::ThermalSensorData), calls) << "the temperature check ran";
    EXPECT_EQ(SensorMsgs(2).size(), 1u);
    EXPECT_EQ(SensorMsgs(1).size(), 1u) << "the fans were not part of the change";
    for (const auto& line : Logged())
    {
        EXPECT_EQ(line.find("Temperature sensor health change"), std::string::npos) << line;
    }
}

// A client connects from another thread while a pass is sending changes
// (started from the pass's own change line, so the overlap is certain). The
// client must get every sensor exactly once, with its current value: in its
// picture when the connect waits for the pass, never both, never neither.
TEST_F(SensorMonTest, ConnectOverlappingAPassGetsEachSensorOnceWithItsCurrentValue)
{
    MakePowerReady();
    StartWithClient();
    Pass(6);
    ASSERT_EQ(CountType(KTZMON_REQ_DATA_SYNC_COMPLETE), 1u);
    const size_t sensors = SensorMsgs().size();
    ASSERT_EQ(sensors, 4u);

    struct Overlap
    {
        std::string trigger; // the change line that starts the connect
        FakeHost* host = nullptr;
        uint32_t client = 0;
        std::thread connector;
        std::atomic<uint32_t> status{0xBAD};
    };
    const struct
    {
        const char* trigger;
        uint32_t fanReading;
        int8_t temp;
    } rounds[] = {
        {"Fan sensor reading change: name: 'FAN1' prev: 5000 curr: 3000 diff: -2000\n", 3000, 40},
        {"Temperature sensor reading change: name: 'Chassis' prev: 40 curr: 10 diff: -30\n", 4000, 10},
    };
    uint32_t client = 20;
    for (const auto& round : rounds)
    {
        SCOPED_TRACE(round.trigger);
        Overlap ov;
        ov.trigger = round.trigger;
        ov.host = &Host();
        ov.client = ++client;
        ktzplat::SetLogObserver(
            [](const std::string& msg, void* ctx)
            {
                auto* o = static_cast<Overlap*>(ctx);
                if (msg != o->trigger || o->connector.joinable())
                {
                    return;
                }
                o->connector = std::thread([o] { o->status = o->host->Connect(o->client); });
                // Give a connect that does not wait for the pass every chance
                // to run into it.
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            },
            &ov);
        auto fan = Fan1();
        fan.reading1 = round.fanReading;
        ktzplat::SetFan(1, fan);
        ktzplat::SetChassisTemp({"Chassis", 0, round.temp});
        Pass();
        ktzplat::SetLogObserver(nullptr, nullptr);
        ASSERT_TRUE(ov.connector.joinable()) << "the pass never logged the change";
        ov.connector.join();
        ASSERT_EQ(ov.status.load(), 0u);

        std::map<std::pair<uint8_t, uint8_t>, std::vector<uint32_t>> readings;
        size_t syncs = 0;
        for (const auto& m : Host().Messages(ov.client))
        {
            if (m.requestType == KTZMON_REQ_SENSOR_DATA)
            {
                readings[{m.bytes.at(KTZMON_SDR_OFF_SENSOR_TYPE), m.bytes.at(KTZMON_SDR_OFF_SENSOR_NUM)}]
                    .push_back(ktz::LoadLE32(m.bytes.data(), KTZMON_SDR_OFF_READING));
            }
            syncs += m.requestType == KTZMON_REQ_DATA_SYNC_COMPLETE ? 1 : 0;
        }
        EXPECT_EQ(readings.size(), sensors) << "a sensor never reached the client";
        for (const auto& [key, values] : readings)
        {
            EXPECT_EQ(values.size(), 1u) << "sensor type " << int(key.first) << " #" << int(key.second);
        }
        const std::pair<uint8_t, uint8_t> fanKey{1, 1}, tempKey{2, 1};
        EXPECT_EQ(readings[fanKey], std::vector<uint32_t>{round.fanReading});
        EXPECT_EQ(readings[tempKey], std::vector<uint32_t>{static_cast<uint32_t>(int32_t{round.temp})});
        EXPECT_EQ(syncs, 1u);
    }
}

TEST_F(SensorMonTest, StopWhileWaitingEndsTheThreadWithoutAPass)
{
    WriteIni("[Fan Sensor]\nreadycheckinterval.secs=0\n");
    StartWithClient();
    EXPECT_EQ(Host().Stop(), 0u);
    EXPECT_TRUE(Logged("Sensor monitoring stopped\n"));
    EXPECT_EQ(CallCount(Op::ThermalFanData), 0u);
}

// The pass period from the INI file is raised to one second and capped at one day.
TEST_F(SensorMonTest, PassPeriodIsKeptBetweenOneSecondAndOneDay)
{
    for (const auto& [value, period] :
         {std::pair{"0", 1}, std::pair{"-5", 1}, std::pair{"2147483647", 86400}})
    {
        SCOPED_TRACE(value);
        WriteIni(std::string("[Sensor Monitor]\nsensorscheckinterval.secs=") + value +
                 "\n[Fan Sensor]\nreadycheckinterval.secs=0\n");
        g_KTZMonSensorTypeTable[0].readyCheck = 30;
        ktzplat::ClearLoggedMessages();
        const uint64_t calls = CallCount(Op::ThermalFanData);
        StartWithClient();
        EXPECT_TRUE(Logged("Sensor Monitor: sensorsCheck: " + std::to_string(period) + "\n"));
        ktzplat::AdvanceClock(period - 1);
        EXPECT_EQ(CallCount(Op::ThermalFanData), calls);
        ktzplat::AdvanceClock(1);
        EXPECT_TRUE(Logged(kFanFound));
        StopAndUnload();
    }
}

int g_rowCalls = 0;
void ProbeSend(KTZMonClient* /*client*/)
{
    ++g_rowCalls;
}

TEST_F(SensorMonTest, ClientFanOutWithoutMonitorSendsNothing)
{
    LoadAndStart();
    ktzplat::InjectFault(Op::EventCreate);
    SetKtzSetting("1");
    ASSERT_TRUE(ktztest::WaitIdle());
    ASSERT_EQ(ktzplat::FailCount(Op::EventCreate), 1u);
    ASSERT_EQ(g_pKTZMonSensorMonData, nullptr);

    // Rows that would walk their lists (or claim to be attached) are never
    // reached while there is no monitor record.
    g_rowCalls = 0;
    for (auto& row : g_KTZMonSensorTypeTable)
    {
        row.SendToClient = ProbeSend;
        row.FRUsSendToClient = ProbeSend;
        row.attached = 1;
    }
    EXPECT_EQ(KTZMonSensorMonSensorsAttached(), 0);
    ASSERT_EQ(Host().Connect(kClient), 0u);
    RestoreSensorTypeTable();
    EXPECT_EQ(g_rowCalls, 0);
    EXPECT_EQ(CountType(KTZMON_REQ_KTZ_SETTING), 1u);
    EXPECT_TRUE(SensorMsgs().empty());
    EXPECT_EQ(CountType(KTZMON_REQ_DATA_SYNC_COMPLETE), 0u);
}

} // namespace
} // namespace ktztest
