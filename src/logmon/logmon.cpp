// Chassis log monitor lifecycle: the data record and its lock (attach,
// detach), the queue capacity setting, and registering and removing the
// data event listener (start, stop).
#include "logmon/logmon.h"

#include "core/ini.h"
#include "core/log.h"

KTZMonLogMonData* g_pKTZMonLogMonData = nullptr;
void* g_pKTZMonLogMonDataLock = nullptr;

namespace
{
constexpr const char* kIniSection = "Log Monitor";
constexpr const char* kIniKeyQueueMax = "logevtqsize.max";
} // namespace

uint32_t KTZMonLogMonAttach(void)
{
    g_pKTZMonLogMonDataLock = SMMutexCreate(0);
    if (g_pKTZMonLogMonDataLock == nullptr)
    {
        return STATUS_NO_RESOURCES;
    }
    auto* data = static_cast<KTZMonLogMonData*>(SMAllocMem(sizeof(KTZMonLogMonData)));
    if (data == nullptr)
    {
        void* lock = g_pKTZMonLogMonDataLock;
        g_pKTZMonLogMonDataLock = nullptr;
        SMMutexDestroy(lock);
        return STATUS_NO_RESOURCES;
    }
    SMSLListInitNoAlloc(&data->logEvtQ);
    data->maxLogEvtQEntries = KTZMON_LOG_EVT_Q_DEFAULT_MAX;
    data->numLogEvtQEntries = 0;
    g_pKTZMonLogMonData = data;

    // Without an INI path the capacity stays at its default; attach goes on.
    (void)KTZMonLogMonCfgCheck();
    return STATUS_OK;
}

void KTZMonLogMonDetach(void)
{
    if (g_pKTZMonLogMonDataLock == nullptr)
    {
        return;
    }
    KTZMonLogMonLogEvtQFreeAll();

    // Taking the data lock waits out a queue operation still under way; it is
    // released again before the mutex is destroyed, as a held mutex cannot be.
    KTZMonLogMonDataLock();
    KTZMonLogMonData* data = g_pKTZMonLogMonData;
    g_pKTZMonLogMonData = nullptr;
    SMFreeMem(data);
    void* lock = g_pKTZMonLogMonDataLock;
    KTZMonLogMonDataUnlock();
    g_pKTZMonLogMonDataLock = nullptr;
    SMMutexDestroy(lock);
}

uint32_t KTZMonLogMonStartMonitor(void)
{
    const int32_t status = SMILAddEventListener(KTZMonLogMonEventListener);
    if (status != 0)
    {
        return static_cast<uint32_t>(status);
    }
    // Events are delivered whether or not the data manager is ready yet; the
    // answer is only asked for.
    (void)SMILIsDataManagerReady();
    KTZMonLogMsg("Chassis Log monitoring started\n");
    return STATUS_OK;
}

void KTZMonLogMonStopMonitor(void)
{
    (void)SMILRemoveEventListener(KTZMonLogMonEventListener);
    KTZMonLogMsg("Chassis Log monitoring stopped\n");
}

uint32_t KTZMonLogMonCfgCheck(void)
{
    // Nothing to configure while the monitor is not attached.
    if (g_pKTZMonLogMonData == nullptr)
    {
        return STATUS_NOT_READY;
    }
    char* path = KTZMonIniGetIniPathFileName(KTZMON_INI_STATIC);
    if (path == nullptr)
    {
        return STATUS_NO_RESOURCES;
    }
    KTZMonLogMonDataLock();
    const uint32_t current = g_pKTZMonLogMonData->maxLogEvtQEntries;
    KTZMonLogMonDataUnlock();

    const uint32_t maxEntries = KTZMonIniGetKeyValueUnSigned32(path, kIniSection, kIniKeyQueueMax, current);

    KTZMonLogMonDataLock();
    g_pKTZMonLogMonData->maxLogEvtQEntries = maxEntries;
    KTZMonLogMonDataUnlock();

    KTZMonLogMsg("Log Monitor: maxLogEvtQEntries: %u\n", maxEntries);
    KTZMonIniFreeIniPathFileName(path);
    return STATUS_OK;
}
