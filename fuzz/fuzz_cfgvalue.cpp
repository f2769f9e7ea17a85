// libFuzzer target for the configuration value the KTZ setting is read
// from. Each input is the value's raw bytes as the configuration service
// hands them over (any length, no terminator, stray bytes), optionally with
// the service failing. The module reads and parses it with the diagnostic
// log attached; it aborts when the reading does not match what the module
// logged or the enabled test disagrees with the value, or when memory is
// left behind.
#include "cfgmon/cfgmon.h"
#include "core/log.h"

#include "harness.h"

#include <string>
#include <vector>

namespace
{

constexpr const char* kKey = "ZNB_KelvanorMode";

void SetUpOnce()
{
    static bool done = false;
    if (done)
    {
        return;
    }
    done = true;
    // Nothing registered for the key: setting the value notifies no one.
    (void)ktzfuzz::SetUpPlatform("fuzz_cfgvalue", "0");
    if (KTZMonLogAttach() != 0)
    {
        ktzfuzz::Fail("log did not attach");
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    SetUpOnce();
    // The first byte picks a failing service call now and then.
    const bool serviceFails = size > 0 && data[0] == 0xEE;
    const uint64_t liveBefore = ktzplat::GetAllocStats().liveBytes;
    ktzplat::ConfigSetRaw(kKey, std::vector<char>(data, data + size));
    if (serviceFails)
    {
        ktzplat::InjectFault(ktzplat::Op::CfgGetByName, 0, 1, -4);
    }
    ktzplat::ClearLoggedMessages();

    uint32_t setting = 0xA5A5A5A5u;
    const int32_t rc = KTZMonCfgMonGetKTZSettingCfgMgr(&setting);
    if (serviceFails != (rc != 0))
    {
        ktzfuzz::Fail("result does not follow the service");
    }
    if (rc == 0)
    {
        const auto logged = ktzplat::LoggedMessages();
        if (logged.size() != 1 || logged[0] != "KTZ setting: " + std::to_string(setting) + "\n")
        {
            ktzfuzz::Fail("reading and its log line differ");
        }
        const int32_t enabled = KTZMonCfgMonIsKTZMonitoringEnabled(&setting);
        if (enabled != ((setting == 1 || setting == 2) ? 1 : 0))
        {
            ktzfuzz::Fail("enabled test disagrees with the setting");
        }
    }
    else if (setting != 0xA5A5A5A5u)
    {
        ktzfuzz::Fail("failed read wrote the setting");
    }
    ktzplat::ClearFaults();
    ktzplat::ClearLoggedMessages();
    if (ktzplat::GetAllocStats().liveBytes != liveBefore)
    {
        ktzfuzz::Fail("reading the setting left memory behind");
    }
    return 0;
}
