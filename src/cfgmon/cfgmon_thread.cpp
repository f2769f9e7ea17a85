// KTZ setting monitor, activity: the monitor thread that follows change
// notifications of the setting, its start and stop, the notification
// callback, and the change check that switches log and sensor monitoring on
// and off and tells every client.
#include "cfgmon/cfgmon.h"
#include "core/global.h"
#include "core/log.h"
#include "core/platform.h"
#include "core/status.h"
#include "logmon/logmon.h"
#include "sensormon/sensormon.h"

#include <atomic>

namespace
{
constexpr const char* kKtzSettingKey = "ZNB_KelvanorMode";
constexpr uint32_t kNotifyAfterWake = 111;
constexpr uint32_t kSensorAttachAtRunTime = 2;

// Set by the thread's stop before it wakes the thread: the thread leaves its
// loop on it even when the module-exiting flag is not set (a failed module
// start stops this monitor without setting that flag).
std::atomic<int32_t> g_stopThread{0};

bool StopRequested()
{
    return g_stopThread.load(std::memory_order_acquire) != 0;
}

void WakeThread(KTZMonCfgMonData* data)
{
    (void)SMSemaphoreRelease(data->wakeSemaphore, 1, nullptr);
}
} // namespace

uint32_t KTZMonCfgMonStartMonitor(void)
{
    return KTZMonCfgMonThreadStart();
}

void KTZMonCfgMonStopMonitor(void)
{
    KTZMonCfgMonThreadStop();
}

uint32_t KTZMonCfgMonThreadStart(void)
{
    KTZMonCfgMonData* data = g_pKTZMonCfgMonData;
    if (data == nullptr)
    {
        return STATUS_SETUP_FAILED;
    }
    if (data->thread != nullptr)
    {
        return STATUS_OK;
    }
    g_stopThread.store(0, std::memory_order_release);
    data->thread = SMThreadStart(KTZMonCfgMonThread, nullptr);
    return (data->thread != nullptr) ? STATUS_OK : STATUS_SETUP_FAILED;
}

void KTZMonCfgMonThreadStop(void)
{
    KTZMonCfgMonData* data = g_pKTZMonCfgMonData;
    if (data == nullptr || data->thread == nullptr)
    {
        return;
    }
    // The flag goes up before the wake-up, so the thread sees it as soon as
    // it has taken this (or any earlier pending) count. SMThreadStop then
    // waits for the thread to unregister and end; a check it may be running
    // finishes first.
    g_stopThread.store(1, std::memory_order_release);
    WakeThread(data);
    (void)SMThreadStop(data->thread);
    data->thread = nullptr;
}

uintptr_t KTZMonCfgMonThread(void* arg)
{
    (void)arg;
    KTZMonCfgMonData* data = g_pKTZMonCfgMonData;
    int32_t status = os_notify_register_cfgchg(kKtzSettingKey, data->notifyHandle);
    if (status != 0)
    {
        return static_cast<uintptr_t>(static_cast<intptr_t>(status));
    }
    while (KTZMonGlobalGetIsModuleExiting() == 0 && !StopRequested())
    {
        // Waits until a change notification or the thread's stop adds a
        // count; notifications that arrive during a check are counted and
        // each leads to one more check.
        (void)SMSemaphoreAcquireWait(data->wakeSemaphore, -1);
        (void)os_notify(kNotifyAfterWake);
        if (KTZMonGlobalGetIsModuleExiting() == 1 || StopRequested())
        {
            break;
        }
        KTZMonCfgMonCheckKTZSetting();
    }
    status = os_notify_unregister(data->notifyHandle);
    return static_cast<uintptr_t>(static_cast<intptr_t>(status));
}

int32_t KTZMonCfgMonKTZSettingCfgChgHandler(void* arg1, void* arg2)
{
    (void)arg1;
    (void)arg2;
    return SMSemaphoreRelease(g_pKTZMonCfgMonData->wakeSemaphore, 1, nullptr);
}

void KTZMonCfgMonCheckKTZSetting(void)
{
    // The switch lock keeps the module's stop from stopping and detaching the
    // same monitors as this check. The module's stop raises the exiting flag
    // before it takes the lock, so a check that gets the lock after it finds
    // the flag set and leaves everything to the stop.
    ktz::MonitorSwitchLock();
    if (KTZMonGlobalGetIsModuleExiting() == 1)
    {
        ktz::MonitorSwitchUnlock();
        return;
    }
    uint32_t curr = 0;
    if (KTZMonCfgMonGetKTZSettingCfgMgr(&curr) != 0)
    {
        ktz::MonitorSwitchUnlock();
        return;
    }
    uint32_t prev = KTZMonGlobalGetKTZSetting();
    if (curr == prev)
    {
        ktz::MonitorSwitchUnlock();
        return;
    }
    KTZMonLogMsg("KTZ setting change: prev: %u curr: %u\n", prev, curr);

    // Under the monitor lock a connecting client gets either the old value
    // and then the change message, or the new value: never neither.
    KTZMonGlobalMonLock();
    (void)KTZMonGlobalGetAndSetKTZSetting(curr);
    if (KTZMonCfgMonIsKTZMonitoringEnabled(&curr) == 1)
    {
        // Clients hear of the change before any new sensor data or log event.
        (void)KTZMonCfgMonSendKTZSettingToClient(nullptr, &curr, 1);
        if (KTZMonGlobalGetChassisLogProxySupported() == 1)
        {
            (void)KTZMonCfgMonStartLogMonitoring();
        }
        (void)KTZMonCfgMonStartSensorMonitoring();
        KTZMonGlobalMonUnlock();
    }
    else
    {
        // Stopping the sensor monitor waits for its thread, which takes the
        // monitor lock on every pass: raise its stopping flag under the lock,
        // then release the lock before stopping it.
        (void)KTZMonGlobalGetAndSetSensorMonStopping(1);
        KTZMonGlobalMonUnlock();
        (void)KTZMonCfgMonStopSensorMonitoring();
        if (KTZMonGlobalGetChassisLogProxySupported() == 1)
        {
            (void)KTZMonCfgMonStopLogMonitoring();
        }
        // Clients hear of the change only once nothing more is forwarded.
        KTZMonGlobalMonLock();
        (void)KTZMonCfgMonSendKTZSettingToClient(nullptr, &curr, 1);
        KTZMonGlobalMonUnlock();
    }
    ktz::MonitorSwitchUnlock();
}

uint32_t KTZMonCfgMonStartLogMonitoring(void)
{
    if (KTZMonGlobalGetLogMonStarted() == 1)
    {
        return STATUS_OK;
    }
    // A disabling change that lands while Start-monitor is between starting
    // this thread and starting the monitors leaves them attached but not
    // started: start that monitor rather than attach a second one over it.
    if (KTZMonGlobalGetLogMonAttached() != 1)
    {
        const uint32_t status = KTZMonLogMonAttach();
        if (status != STATUS_OK)
        {
            return status;
        }
        (void)KTZMonGlobalGetAndSetLogMonAttached(1);
    }
    const uint32_t status = KTZMonLogMonStartMonitor();
    if (status == STATUS_OK)
    {
        (void)KTZMonGlobalGetAndSetLogMonStarted(1);
    }
    else
    {
        KTZMonLogMonDetach();
        (void)KTZMonGlobalGetAndSetLogMonAttached(0);
    }
    return status;
}

uint32_t KTZMonCfgMonStopLogMonitoring(void)
{
    if (KTZMonGlobalGetLogMonStarted() == 0)
    {
        return STATUS_OK;
    }
    KTZMonLogMonStopMonitor();
    (void)KTZMonGlobalGetAndSetLogMonStarted(0);
    KTZMonLogMonDetach();
    (void)KTZMonGlobalGetAndSetLogMonAttached(0);
    return STATUS_OK;
}

uint32_t KTZMonCfgMonStartSensorMonitoring(void)
{
    if (KTZMonGlobalGetSensorMonStarted() == 1)
    {
        return STATUS_OK;
    }
    // As for the log monitor: an attached monitor is started, not attached
    // again.
    if (KTZMonGlobalGetSensorMonAttached() != 1)
    {
        const uint32_t status = KTZMonSensorMonAttach(kSensorAttachAtRunTime);
        if (status != STATUS_OK)
        {
            return status;
        }
        (void)KTZMonGlobalGetAndSetSensorMonAttached(1);
    }
    const uint32_t status = KTZMonSensorMonStartMonitor();
    if (status == STATUS_OK)
    {
        (void)KTZMonGlobalGetAndSetSensorMonStarted(1);
    }
    else
    {
        KTZMonSensorMonDetach();
        (void)KTZMonGlobalGetAndSetSensorMonAttached(0);
    }
    return status;
}

uint32_t KTZMonCfgMonStopSensorMonitoring(void)
{
    if (KTZMonGlobalGetSensorMonStarted() == 0)
    {
        return STATUS_OK;
    }
    KTZMonSensorMonStopMonitor();
    (void)KTZMonGlobalGetAndSetSensorMonStarted(0);
    KTZMonSensorMonDetach();
    (void)KTZMonGlobalGetAndSetSensorMonAttached(0);
    return STATUS_OK;
}
