// KTZ setting monitor, record and value: attaching and detaching the monitor
// record (wake-up semaphore, notification handle), reading and parsing the
// configuration value, the enabled test, and the setting message to clients.
// The monitor thread and the change check live in cfgmon_thread.cpp.
#include "cfgmon/cfgmon.h"

#include "core/global.h"
#include "core/log.h"
#include "core/platform.h"
#include "core/status.h"

#include <cstdlib>

KTZMonCfgMonData* g_pKTZMonCfgMonData = nullptr; // declared exported in cfgmon.h

namespace
{
constexpr const char* kKtzSettingKey = "ZNB_KelvanorMode";
constexpr int32_t kCfgInstance = -1;
constexpr int64_t kCfgFlags = 0x402;
constexpr uint32_t kCfgBufSize = 32;

// Frees the record and clears the exported pointer.
void FreeRecord()
{
    KTZMonCfgMonData* data = g_pKTZMonCfgMonData;
    g_pKTZMonCfgMonData = nullptr;
    SMFreeMem(data);
}

bool IsSpace(char c)
{
    return c == ' ' || (c >= '\t' && c <= '\r');
}

// Parses the configuration text as an unsigned 32-bit number in base 0
// ("0x" hexadecimal, leading 0 octal, else decimal; parsing stops at the
// first character that does not fit; no digits at all gives 0). A magnitude
// beyond 32 bits gives 0xFFFFFFFF and a leading '-' negates modulo 2^32, the
// same on a 64-bit host as on the 32-bit target.
uint32_t ParseSetting(const char* text)
{
    const char* p = text;
    while (IsSpace(*p))
    {
        ++p;
    }
    bool negative = false;
    if (*p == '+' || *p == '-')
    {
        negative = (*p == '-');
        ++p;
    }
    // strtoull would accept a second sign or more white space here; the
    // number must start right after the one sign.
    if (*p < '0' || *p > '9')
    {
        return 0;
    }
    unsigned long long magnitude = std::strtoull(p, nullptr, 0);
    if (magnitude > 0xFFFFFFFFull)
    {
        return 0xFFFFFFFFu;
    }
    auto value = static_cast<uint32_t>(magnitude);
    return negative ? 0u - value : value;
}
} // namespace

uint32_t KTZMonCfgMonAttach(void)
{
    auto* data = static_cast<KTZMonCfgMonData*>(SMAllocMem(sizeof(KTZMonCfgMonData)));
    if (data == nullptr)
    {
        return STATUS_NO_RESOURCES;
    }
    uint32_t ktzSetting = 0;
    data->wakeSemaphore = nullptr;
    data->thread = nullptr;
    data->notifyHandle = nullptr;
    g_pKTZMonCfgMonData = data;

    data->wakeSemaphore = SMSemaphoreCreate(0, 0);
    if (data->wakeSemaphore == nullptr)
    {
        FreeRecord();
        return STATUS_SETUP_FAILED;
    }
    if (os_notify_init(&data->notifyHandle, KTZMonCfgMonKTZSettingCfgChgHandler) != 0)
    {
        data->notifyHandle = nullptr;
        goto destroySemaphore;
    }
    if (KTZMonCfgMonGetKTZSettingCfgMgr(&ktzSetting) != 0)
    {
        goto uninitNotify;
    }
    (void)KTZMonGlobalGetAndSetKTZSetting(ktzSetting);
    return STATUS_OK;

uninitNotify:
    (void)os_notify_uninit(&data->notifyHandle);
    data->notifyHandle = nullptr;
destroySemaphore:
    SMSemaphoreDestroy(data->wakeSemaphore);
    data->wakeSemaphore = nullptr;
    FreeRecord();
    return STATUS_SETUP_FAILED;
}

void KTZMonCfgMonDetach(void)
{
    KTZMonCfgMonData* data = g_pKTZMonCfgMonData;
    if (data == nullptr)
    {
        return;
    }
    // A thread left running would wait on a semaphore about to go away.
    KTZMonCfgMonThreadStop();
    if (data->notifyHandle != nullptr)
    {
        (void)os_notify_uninit(&data->notifyHandle);
        data->notifyHandle = nullptr;
    }
    if (data->wakeSemaphore != nullptr)
    {
        SMSemaphoreDestroy(data->wakeSemaphore);
        data->wakeSemaphore = nullptr;
    }
    FreeRecord();
}

int32_t KTZMonCfgMonGetKTZSettingCfgMgr(uint32_t* pKTZSetting)
{
    char buf[kCfgBufSize];
    if (cfgGetByName(kCfgInstance, kCfgFlags, kKtzSettingKey, buf, kCfgBufSize) != 0)
    {
        return -1;
    }
    // The service promises a terminated text but nothing enforces it; never
    // read past the buffer.
    buf[kCfgBufSize - 1] = '\0';
    uint32_t ktzSetting = ParseSetting(buf);
    *pKTZSetting = ktzSetting;
    KTZMonLogMsg("KTZ setting: %u\n", ktzSetting);
    return 0;
}

int32_t KTZMonCfgMonIsKTZMonitoringEnabled(const uint32_t* pKTZSetting)
{
    static constexpr int32_t kEnabledBySetting[] = {0, 1, 1};
    uint32_t ktzSetting = (pKTZSetting != nullptr) ? *pKTZSetting : KTZMonGlobalGetKTZSetting();
    if (ktzSetting >= sizeof(kEnabledBySetting) / sizeof(kEnabledBySetting[0]))
    {
        return 0;
    }
    return kEnabledBySetting[ktzSetting];
}

uint32_t KTZMonCfgMonSendKTZSettingToClient(KTZMonClient* client, const uint32_t* pKTZSetting,
                                            uint8_t settingChanged)
{
    uint32_t ktzSetting = (pKTZSetting != nullptr) ? *pKTZSetting : KTZMonGlobalGetKTZSetting();
    return KTZMonClientMgrSendKTZSettingToClient(client, ktzSetting, settingChanged);
}
