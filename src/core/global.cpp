// Global state and locks: the shared 20-byte record, its getters and
// get-and-set operations under the global-data lock, the monitor lock, and
// the monitor-switch lock.
#include "core/global.h"

#include "core/platform.h"
#include "core/platinfo.h"

void* g_pKTZMonGlobalMonLock = nullptr;
void* g_pKTZMonGlobalDataLock = nullptr;
KTZMonGlobalData* g_pKTZMonGlobalData = nullptr;

namespace
{
void* g_switchLock = nullptr;

void DestroyMutex(void*& handle)
{
    void* h = handle;
    handle = nullptr;
    if (h != nullptr)
    {
        SMMutexDestroy(h);
    }
}

// Reads one field under the global-data lock.
template <typename T> T GetField(T KTZMonGlobalData::*field)
{
    KTZMonGlobalDataLock();
    T value = g_pKTZMonGlobalData->*field;
    KTZMonGlobalDataUnlock();
    return value;
}

// Stores a value and returns the one it replaced, under the global-data lock.
template <typename T> T GetAndSetField(T KTZMonGlobalData::*field, T value)
{
    KTZMonGlobalDataLock();
    T old = g_pKTZMonGlobalData->*field;
    g_pKTZMonGlobalData->*field = value;
    KTZMonGlobalDataUnlock();
    return old;
}

int32_t GetFlag(int16_t KTZMonGlobalData::*field)
{
    return GetField(field);
}

int32_t GetAndSetFlag(int16_t KTZMonGlobalData::*field, int32_t value)
{
    return GetAndSetField(field, static_cast<int16_t>(value));
}
} // namespace

uint32_t KTZMonGlobalAttach(void)
{
    g_pKTZMonGlobalMonLock = SMMutexCreate(0);
    if (g_pKTZMonGlobalMonLock == nullptr)
    {
        return STATUS_NO_RESOURCES;
    }
    g_pKTZMonGlobalDataLock = SMMutexCreate(0);
    if (g_pKTZMonGlobalDataLock == nullptr)
    {
        DestroyMutex(g_pKTZMonGlobalMonLock);
        return STATUS_NO_RESOURCES;
    }
    g_switchLock = SMMutexCreate(0);
    if (g_switchLock == nullptr)
    {
        DestroyMutex(g_pKTZMonGlobalDataLock);
        DestroyMutex(g_pKTZMonGlobalMonLock);
        return STATUS_NO_RESOURCES;
    }
    auto* data = static_cast<KTZMonGlobalData*>(SMAllocMem(sizeof(KTZMonGlobalData)));
    if (data == nullptr)
    {
        DestroyMutex(g_switchLock);
        DestroyMutex(g_pKTZMonGlobalDataLock);
        DestroyMutex(g_pKTZMonGlobalMonLock);
        return STATUS_NO_RESOURCES;
    }
    *data = KTZMonGlobalData{};
    if ((ktz::PlatInfoWord(ktz::kPlatOffCapWordB) & ktz::kPlatCapBChassisLogProxy) != 0)
    {
        data->chassisLogProxySupported = 1;
    }
    g_pKTZMonGlobalData = data;
    return STATUS_OK;
}

void KTZMonGlobalDetach(void)
{
    if (g_pKTZMonGlobalData == nullptr)
    {
        return;
    }
    // Taking the data lock waits out any accessor still inside the record;
    // the lock is released again before it is destroyed.
    KTZMonGlobalDataLock();
    KTZMonGlobalData* data = g_pKTZMonGlobalData;
    g_pKTZMonGlobalData = nullptr;
    SMFreeMem(data);
    KTZMonGlobalDataUnlock();
    DestroyMutex(g_pKTZMonGlobalDataLock);
    DestroyMutex(g_switchLock);
    DestroyMutex(g_pKTZMonGlobalMonLock);
}

void KTZMonGlobalMonLock(void)
{
    (void)SMMutexLock(g_pKTZMonGlobalMonLock, -1);
}
void KTZMonGlobalMonUnlock(void)
{
    (void)SMMutexUnLock(g_pKTZMonGlobalMonLock);
}
void KTZMonGlobalDataLock(void)
{
    (void)SMMutexLock(g_pKTZMonGlobalDataLock, -1);
}
void KTZMonGlobalDataUnlock(void)
{
    (void)SMMutexUnLock(g_pKTZMonGlobalDataLock);
}

namespace ktz
{
void MonitorSwitchLock()
{
    (void)SMMutexLock(g_switchLock, -1);
}
void MonitorSwitchUnlock()
{
    (void)SMMutexUnLock(g_switchLock);
}
} // namespace ktz

uint32_t KTZMonGlobalGetKTZSetting(void)
{
    return GetField(&KTZMonGlobalData::ktzSetting);
}
uint32_t KTZMonGlobalGetAndSetKTZSetting(uint32_t ktzSetting)
{
    return GetAndSetField(&KTZMonGlobalData::ktzSetting, ktzSetting);
}
int32_t KTZMonGlobalGetIsModuleExiting(void)
{
    return GetFlag(&KTZMonGlobalData::moduleExiting);
}
int32_t KTZMonGlobalGetAndSetModuleExiting(int32_t value)
{
    return GetAndSetFlag(&KTZMonGlobalData::moduleExiting, value);
}
int32_t KTZMonGlobalGetChassisLogProxySupported(void)
{
    return GetFlag(&KTZMonGlobalData::chassisLogProxySupported);
}
int32_t KTZMonGlobalGetLogMonAttached(void)
{
    return GetFlag(&KTZMonGlobalData::logMonAttached);
}
int32_t KTZMonGlobalGetAndSetLogMonAttached(int32_t value)
{
    return GetAndSetFlag(&KTZMonGlobalData::logMonAttached, value);
}
int32_t KTZMonGlobalGetLogMonStarted(void)
{
    return GetFlag(&KTZMonGlobalData::logMonStarted);
}
int32_t KTZMonGlobalGetAndSetLogMonStarted(int32_t value)
{
    return GetAndSetFlag(&KTZMonGlobalData::logMonStarted, value);
}
int32_t KTZMonGlobalGetSensorMonAttached(void)
{
    return GetFlag(&KTZMonGlobalData::sensorMonAttached);
}
int32_t KTZMonGlobalGetAndSetSensorMonAttached(int32_t value)
{
    return GetAndSetFlag(&KTZMonGlobalData::sensorMonAttached, value);
}
int32_t KTZMonGlobalGetSensorMonStarted(void)
{
    return GetFlag(&KTZMonGlobalData::sensorMonStarted);
}
int32_t KTZMonGlobalGetAndSetSensorMonStarted(int32_t value)
{
    return GetAndSetFlag(&KTZMonGlobalData::sensorMonStarted, value);
}
int32_t KTZMonGlobalGetSensorMonStopping(void)
{
    return GetFlag(&KTZMonGlobalData::sensorMonStopping);
}
int32_t KTZMonGlobalGetAndSetSensorMonStopping(int32_t value)
{
    return GetAndSetFlag(&KTZMonGlobalData::sensorMonStopping, value);
}
