// libFuzzer target for the INI file the module reads, "ktzmonst32.ini".
// Each input is the file's contents, which the platform serves from memory; the
// first byte picks which of the module's readers run (the diagnostic log's
// switch, the chassis log queue capacity, the sensor monitor's interval and
// every sensor type's tolerance and check intervals). It aborts when a value
// the module keeps lies outside what the module promises (the sensor check
// interval is clamped) or when memory is left behind.
#include "core/log.h"
#include "logmon/logmon.h"
#include "sensormon/sensormon.h"

#include "harness.h"

#include <array>
#include <cstdio>
#include <string>

namespace
{

std::string g_iniPath;
std::array<KTZMonSensorType, KTZMON_SENSOR_TYPE_COUNT> g_table{};
KTZMonSensorMonData g_sensorMon{};

void SetUpOnce()
{
    static bool done = false;
    if (done)
    {
        return;
    }
    done = true;
    g_iniPath = ktzfuzz::SetUpPlatform("fuzz_ini", "0") + "/ktzmonst32.ini";
    ktzplat::SetLoggedMessageLimit(0); // every line is still formatted
    if (KTZMonLogAttach() != 0 || KTZMonLogMonAttach() != 0)
    {
        ktzfuzz::Fail("log or log monitor did not attach");
    }
    for (uint32_t i = 0; i < KTZMON_SENSOR_TYPE_COUNT; ++i)
    {
        g_table[i] = g_KTZMonSensorTypeTable[i];
    }
}

// The platform reads the file's contents from memory, parsed by the same
// reader as a file on disk: no open, write and close per input.
void SetIni(const uint8_t* data, size_t size)
{
    static std::string text;
    text.assign(reinterpret_cast<const char*>(data), size);
    ktzplat::SetIniText(g_iniPath, text);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    SetUpOnce();
    const uint8_t readers = size > 0 ? data[0] : 0xFF;
    SetIni(size > 0 ? data + 1 : data, size > 0 ? size - 1 : 0);
    const uint64_t liveBefore = ktzplat::GetAllocStats().liveBytes;

    if ((readers & 0x1) != 0)
    {
        g_pKTZMonLogData->logFlags = KTZMON_LOG_FLAG_TO_FILE;
        KTZMonLogCfgCheck();
        if ((g_pKTZMonLogData->logFlags & ~KTZMON_LOG_FLAG_TO_FILE) != 0)
        {
            ktzfuzz::Fail("log switch sets bits other than bit 0");
        }
        g_pKTZMonLogData->logFlags = KTZMON_LOG_FLAG_TO_FILE;
    }
    if ((readers & 0x2) != 0)
    {
        g_pKTZMonLogMonData->maxLogEvtQEntries = KTZMON_LOG_EVT_Q_DEFAULT_MAX;
        (void)KTZMonLogMonCfgCheck();
    }
    if ((readers & 0x4) != 0)
    {
        // With and without the monitor record, as at load and at run time.
        const bool withRecord = (readers & 0x8) != 0;
        g_sensorMon.sensorsCheck = 5;
        g_pKTZMonSensorMonData = withRecord ? &g_sensorMon : nullptr;
        (void)KTZMonSensorMonCfgCheck((readers >> 4) & 0x3);
        g_pKTZMonSensorMonData = nullptr;
        if (withRecord && g_sensorMon.sensorsCheck < 1)
        {
            ktzfuzz::Fail("sensor check interval below one second");
        }
        for (uint32_t i = 0; i < KTZMON_SENSOR_TYPE_COUNT; ++i)
        {
            g_KTZMonSensorTypeTable[i] = g_table[i];
        }
    }
    ktzplat::ClearFaults();
    if (ktzplat::GetAllocStats().liveBytes != liveBefore)
    {
        ktzfuzz::Fail("reading the INI file left memory behind");
    }
    return 0;
}
