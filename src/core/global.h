// Global state shared by the subsystems: the KTZ setting and the 16-bit
// flags (monitors attached/started/stopping, module exiting, chassis log
// proxy supported), each read and changed under the global-data lock; and the
// monitor lock, held for one whole piece of monitoring work.
//
// Lock order: monitor lock, then subsystem data locks (log event queue, then
// client data), then the global-data lock, always last.
#ifndef KTZMON_CORE_GLOBAL_H
#define KTZMON_CORE_GLOBAL_H

#include "core/export.h"
#include "core/status.h"

#include <cstdint>

struct KTZMonGlobalData
{
    uint32_t ktzSetting;
    int16_t moduleExiting;
    int16_t chassisLogProxySupported;
    int16_t logMonAttached;
    int16_t logMonStarted;
    int16_t sensorMonAttached;
    int16_t sensorMonStarted;
    int16_t sensorMonStopping;
};
static_assert(sizeof(KTZMonGlobalData) == 20, "the global record is 20 bytes");

KTZMON_API void* g_pKTZMonGlobalMonLock;
KTZMON_API void* g_pKTZMonGlobalDataLock;
KTZMON_API KTZMonGlobalData* g_pKTZMonGlobalData;

KTZMON_API uint32_t KTZMonGlobalAttach(void);
KTZMON_API void KTZMonGlobalDetach(void);

KTZMON_API void KTZMonGlobalMonLock(void);
KTZMON_API void KTZMonGlobalMonUnlock(void);
KTZMON_API void KTZMonGlobalDataLock(void);
KTZMON_API void KTZMonGlobalDataUnlock(void);

KTZMON_API uint32_t KTZMonGlobalGetKTZSetting(void);
KTZMON_API uint32_t KTZMonGlobalGetAndSetKTZSetting(uint32_t ktzSetting);
KTZMON_API int32_t KTZMonGlobalGetIsModuleExiting(void);
KTZMON_API int32_t KTZMonGlobalGetAndSetModuleExiting(int32_t value);
KTZMON_API int32_t KTZMonGlobalGetChassisLogProxySupported(void);
KTZMON_API int32_t KTZMonGlobalGetLogMonAttached(void);
KTZMON_API int32_t KTZMonGlobalGetAndSetLogMonAttached(int32_t value);
KTZMON_API int32_t KTZMonGlobalGetLogMonStarted(void);
KTZMON_API int32_t KTZMonGlobalGetAndSetLogMonStarted(int32_t value);
KTZMON_API int32_t KTZMonGlobalGetSensorMonAttached(void);
KTZMON_API int32_t KTZMonGlobalGetAndSetSensorMonAttached(int32_t value);
KTZMON_API int32_t KTZMonGlobalGetSensorMonStarted(void);
KTZMON_API int32_t KTZMonGlobalGetAndSetSensorMonStarted(int32_t value);
KTZMON_API int32_t KTZMonGlobalGetSensorMonStopping(void);
KTZMON_API int32_t KTZMonGlobalGetAndSetSensorMonStopping(int32_t value);

// The monitor-switch lock serialises switching the log and sensor monitors
// on and off: the KTZ setting check holds it for a whole check and
// Stop-monitor holds it while it stops the monitors, so the two can never
// stop or detach the same monitor twice. It is taken before the monitor lock
// and is never needed by a monitor thread, so stopping a monitor thread while
// holding it cannot deadlock. Created and destroyed with the global record.
namespace ktz
{
void MonitorSwitchLock();
void MonitorSwitchUnlock();
} // namespace ktz

#endif
