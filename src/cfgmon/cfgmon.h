// KTZ setting monitor: reads the chassis configuration value
// "ZNB_KelvanorMode", keeps the module's copy in the global state, tells
// whether a value enables monitoring, and runs a thread that follows change
// notifications, switches log and sensor monitoring on and off and tells
// every client.
#ifndef KTZMON_CFGMON_CFGMON_H
#define KTZMON_CFGMON_CFGMON_H

#include "clients/clientmgr.h"
#include "core/export.h"

#include <cstdint>

struct KTZMonCfgMonData
{
    void* wakeSemaphore; // counting semaphore; one count per change notification
    void* thread;        // monitor thread, null while none runs
    void* notifyHandle;  // from os_notify_init, null when not initialised
};

KTZMON_API KTZMonCfgMonData* g_pKTZMonCfgMonData;

KTZMON_API uint32_t KTZMonCfgMonAttach(void);
KTZMON_API void KTZMonCfgMonDetach(void);
KTZMON_API uint32_t KTZMonCfgMonStartMonitor(void);
KTZMON_API void KTZMonCfgMonStopMonitor(void);
KTZMON_API uint32_t KTZMonCfgMonThreadStart(void);
KTZMON_API void KTZMonCfgMonThreadStop(void);
KTZMON_API uintptr_t KTZMonCfgMonThread(void* arg);
KTZMON_API int32_t KTZMonCfgMonKTZSettingCfgChgHandler(void* arg1, void* arg2);
KTZMON_API int32_t KTZMonCfgMonGetKTZSettingCfgMgr(uint32_t* pKTZSetting);
KTZMON_API int32_t KTZMonCfgMonIsKTZMonitoringEnabled(const uint32_t* pKTZSetting);
KTZMON_API uint32_t KTZMonCfgMonSendKTZSettingToClient(KTZMonClient* client, const uint32_t* pKTZSetting,
                                                       uint8_t settingChanged);
KTZMON_API void KTZMonCfgMonCheckKTZSetting(void);
KTZMON_API uint32_t KTZMonCfgMonStartLogMonitoring(void);
KTZMON_API uint32_t KTZMonCfgMonStopLogMonitoring(void);
KTZMON_API uint32_t KTZMonCfgMonStartSensorMonitoring(void);
KTZMON_API uint32_t KTZMonCfgMonStopSensorMonitoring(void);

#endif
