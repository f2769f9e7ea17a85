// The reference chassis and the minimal in-process host (see chassis.h).
#include "chassis.h"

#include "sensormon/sensormon.h"
#include "support/temp_dir.h"

#include "ktzplatform_control.h"

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <unistd.h>

namespace ktzbench
{

namespace
{
constexpr const char* kKtzSettingKey = "ZNB_KelvanorMode";
constexpr int64_t kStartTime = 1000000;
constexpr uint32_t kCapsRspLen = 16;
constexpr uint32_t kSettleSecs = 35; // the 30-second settling delay and one pass

uint32_t g_caps[256];
bool g_recording = false;
std::vector<SentMsg> g_sent;
std::unique_ptr<ktztest::TempDir> g_dir; // the platform's INI and log folders

uint32_t HostClientDispatch(uint32_t clientID, uint32_t /*requestClass*/, uint32_t requestType,
                            void* /*pInBuf*/, uint32_t inBufSize, void* pOutBuf, uint32_t outBufSize,
                            uint32_t* pOutBytesReturned, uint32_t /*trailer*/)
{
    uint32_t rspLen = 0;
    if (requestType == 0x200 && pOutBuf != nullptr && outBufSize >= kCapsRspLen)
    {
        auto* out = static_cast<uint8_t*>(pOutBuf);
        const uint32_t caps = g_caps[clientID & 0xFF];
        std::memset(out, 0, kCapsRspLen);
        for (int i = 0; i < 4; ++i)
        {
            out[i] = static_cast<uint8_t>(caps >> (8 * i));
        }
        rspLen = kCapsRspLen;
    }
    if (pOutBytesReturned != nullptr)
    {
        *pOutBytesReturned = rspLen;
    }
    if (g_recording)
    {
        g_sent.push_back({clientID, requestType, inBufSize, outBufSize});
    }
    return 0;
}

// The sensor type table as the module starts with it: a benchmark may change
// its intervals, and the table outlives every Load.
const auto kBuiltInTypeTable = []
{
    std::vector<KTZMonSensorType> t(g_KTZMonSensorTypeTable,
                                    g_KTZMonSensorTypeTable + KTZMON_SENSOR_TYPE_COUNT);
    return t;
}();

KTZMonHostClientDispatchFn g_table[4] = {&HostClientDispatch, nullptr, nullptr, nullptr};
KTZMonHostEnv g_env{g_table};

ChassisShape g_shape = kReferenceChassis;

void SetUpChassis(const ChassisShape& shape)
{
    g_shape = shape;
    ktzplat::SetPlatformId(0x10);
    ktzplat::SetCapWordA(0x10);
    ktzplat::SetCapWordB(0x1 | 0x4); // stash and chassis log proxy
    ktzplat::SetStashWord(1);
    for (uint32_t n = 1; n <= shape.fans; ++n)
    {
        ktzplat::Fan fan;
        fan.name1 = "Fan" + std::to_string(n) + "A";
        fan.name2 = "Fan" + std::to_string(n) + "B";
        fan.sensorCount = shape.sensorsPerFan;
        fan.pwm = 40;
        fan.reading1 = 5400;
        fan.reading2 = 5300;
        fan.lncThreshold = 2000;
        fan.lcThreshold = 1000;
        ktzplat::SetFan(n, fan);
    }
    ktzplat::SetFanCounts(shape.fans, 0);
    ktzplat::SetChassisTemp({"Chassis Inlet", 0, 24});
    std::vector<ktzplat::StashRecord> stash;
    for (uint32_t i = 0; i < shape.stashTemps; ++i)
    {
        // Locator codes giving sensor numbers 2, 3, ...: number 1 is the
        // chassis sensor's.
        stash.push_back({static_cast<uint8_t>(2 + i / 2), static_cast<uint8_t>(2 + i % 2), 27,
                         "Blade " + std::to_string(i + 2) + " Ambient"});
    }
    ktzplat::SetStash(stash);
    for (uint32_t bay = 1; bay <= shape.bays; ++bay)
    {
        ktzplat::PsuBay psu;
        psu.presence = 1;
        psu.state = 1;
        psu.alert = 0;
        psu.fruReadable = true;
        const std::string text = "PWR-SUPPLY 2400W S/N 000" + std::to_string(bay);
        psu.fru.assign(text.begin(), text.end());
        ktzplat::SetPsuBay(bay, psu);
    }
    ktzplat::SetPsuBayCount(static_cast<int32_t>(shape.bays));
    ktzplat::SetRedundancy(1, 1);
}
} // namespace

const ChassisShape& CurrentShape()
{
    return g_shape;
}

void SetUpPlatform(bool logToFile, const ChassisShape& shape)
{
    ktzplat::Reset();
    for (uint32_t i = 0; i < KTZMON_SENSOR_TYPE_COUNT; ++i)
    {
        g_KTZMonSensorTypeTable[i] = kBuiltInTypeTable[i];
    }
    g_dir = std::make_unique<ktztest::TempDir>();
    std::filesystem::create_directories(g_dir->File("ini"));
    std::filesystem::create_directories(g_dir->File("log"));
    ktzplat::SetIniDir(g_dir->File("ini"));
    ktzplat::SetLogRoot(g_dir->File("log"));
    {
        std::ofstream ini(g_dir->File("ini/ktzmonst32.ini"));
        ini << "[KTZ Monitor]\nlog.msgtofile = " << (logToFile ? "true" : "false") << "\n";
    }
    ktzplat::UseVirtualClock(kStartTime);
    SetUpChassis(shape);
    ktzplat::ConfigSet(kKtzSettingKey, "1");
    (void)ktzplat::WaitIdle();
    for (uint32_t& caps : g_caps)
    {
        caps = kCapsBase;
    }
}

void TearDownPlatform()
{
    (void)ktzplat::WaitIdle();
    ktzplat::Reset();
    g_dir.reset();
}

bool LoadStartAttach(std::string* why)
{
    if (const uint32_t rc = Load(); rc != 0)
    {
        *why = "Load returned " + std::to_string(rc);
        return false;
    }
    if (const uint32_t rc = Start(); rc != 0)
    {
        *why = "Start-monitor returned " + std::to_string(rc);
        return false;
    }
    ktzplat::AdvanceClock(kSettleSecs);
    if (KTZMonSensorMonSensorsAttached() != 1)
    {
        *why = "the sensor types did not attach";
        return false;
    }
    return true;
}

bool StopUnload()
{
    const uint32_t stop = Stop();
    const uint32_t unload = Unload();
    return stop == 0 && unload == 0;
}

uint32_t Dispatch(uint32_t code, uint32_t clientID)
{
    uint32_t outLen = 0;
    if (code == KTZMON_HOST_REQ_LOAD)
    {
        void* env = &g_env;
        return KTZMON_RCESPDispatch(code, 0, 0, &env, sizeof env, nullptr, 0, &outLen);
    }
    if (code == KTZMON_HOST_REQ_CLIENT_CONNECTED || code == KTZMON_HOST_REQ_CLIENT_DISCONNECTED)
    {
        return KTZMON_RCESPDispatch(code, 0, 0, &clientID, sizeof clientID, nullptr, 0, &outLen);
    }
    return KTZMON_RCESPDispatch(code, 0, 0, nullptr, 0, nullptr, 0, &outLen);
}

uint32_t Load()
{
    return Dispatch(KTZMON_HOST_REQ_LOAD, 0);
}
uint32_t Start()
{
    return Dispatch(KTZMON_HOST_REQ_START_MONITOR, 0);
}
uint32_t Stop()
{
    return Dispatch(KTZMON_HOST_REQ_STOP_MONITOR, 0);
}
uint32_t Unload()
{
    return Dispatch(KTZMON_HOST_REQ_UNLOAD, 0);
}
uint32_t Connect(uint32_t clientID)
{
    return Dispatch(KTZMON_HOST_REQ_CLIENT_CONNECTED, clientID);
}
uint32_t Disconnect(uint32_t clientID)
{
    return Dispatch(KTZMON_HOST_REQ_CLIENT_DISCONNECTED, clientID);
}

void SetClientCaps(uint32_t clientID, uint32_t caps)
{
    g_caps[clientID & 0xFF] = caps;
}

bool ConnectClients(uint32_t count, uint32_t caps)
{
    for (uint32_t i = 0; i < count; ++i)
    {
        SetClientCaps(kFirstClientID + i, caps);
        if (Connect(kFirstClientID + i) != 0)
        {
            return false;
        }
    }
    return true;
}

void DisconnectClients(uint32_t count)
{
    for (uint32_t i = 0; i < count; ++i)
    {
        (void)Disconnect(kFirstClientID + i);
    }
}

KTZMonHostClientDispatchFn HostCallback()
{
    return &HostClientDispatch;
}

void StartRecording()
{
    g_sent.clear();
    g_recording = true;
}

std::vector<SentMsg> StopRecording()
{
    g_recording = false;
    std::vector<SentMsg> out;
    out.swap(g_sent);
    return out;
}

Session::Session(bool logToFile, uint32_t clients, uint32_t caps, const ChassisShape& shape)
{
    SetUpPlatform(logToFile, shape);
    loaded_ = true;
    if (!LoadStartAttach(&error_))
    {
        return;
    }
    if (!ConnectClients(clients, caps))
    {
        error_ = "a client connect failed";
    }
    clients_ = clients;
}

Session::~Session()
{
    DisconnectClients(clients_);
    if (loaded_)
    {
        (void)StopUnload();
    }
    TearDownPlatform();
}

std::vector<uint8_t> ReferenceLogEvent()
{
    ktzplat::ChassisLogEvent ev;
    ev.messageId = "PSU0100";
    ev.value1 = 3;
    ev.value2 = 1;
    ev.hasArgs = true;
    ev.args = {"4"};
    ev.hasText = true;
    ev.text = "Power supply bay 4 is empty.";
    return ktzplat::BuildChassisLogEvent(ev);
}

} // namespace ktzbench
