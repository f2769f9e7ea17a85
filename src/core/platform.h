// The C interface of the chassis platform services the module calls: the
// support library (memory, locks, threads, lists, INI values, rotated log
// files, export context, data-event listeners), the platform description,
// the configuration and notification services, thermal, the blade-management
// stash, the power-supply service and bounded formatting.
//
// The module only calls these functions. On the target they come from the
// platform's closed libraries; on a workstation the stand-in library
// (libktzplatform) provides them with real behaviour.
//
// Handles are pointer-sized and NULL on failure. Every documented 32-bit
// word keeps its width; where a word carries a pointer, a pointer type is
// used (exactly 32 bits on the target).
#ifndef KTZMON_CORE_PLATFORM_H
#define KTZMON_CORE_PLATFORM_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C"
{
#endif

    // ---- memory ----------------------------------------------------------------
    void* SMAllocMem(uint32_t size);
    void SMFreeMem(void* p);
    // Frees what the library allocated for the caller (a path from
    // SMMakePathFileNameByPIDAndType).
    void SMFreeGeneric(void* p);

    // ---- mutexes, semaphores, events ---------------------------------------------
    // Timeouts in milliseconds; -1 waits without limit.
    void* SMMutexCreate(uint32_t flags);
    int32_t SMMutexLock(void* mutex, int32_t timeoutMs);
    int32_t SMMutexUnLock(void* mutex);
    void SMMutexDestroy(void* mutex);

    void* SMSemaphoreCreate(uint32_t initialCount, uint32_t flags);
    int32_t SMSemaphoreAcquireWait(void* sem, int32_t timeoutMs);
    // Adds `count` to the semaphore, waking that many waiters.
    int32_t SMSemaphoreRelease(void* sem, int32_t count, int32_t* pPrevCount);
    void SMSemaphoreDestroy(void* sem);

    void* SMEventCreate(uint32_t manualReset, uint32_t initialState, uint32_t flags);
    // Returns when the event is set or the time is up.
    int32_t SMEventWait(void* event, int32_t timeoutMs);
    int32_t SMEventSet(void* event);
    void SMEventDestroy(void* event);

    // ---- threads ------------------------------------------------------------------
    typedef uintptr_t (*SMThreadFunc)(void* arg);
    // Runs func(arg) on a new thread; returns its handle or NULL.
    void* SMThreadStart(SMThreadFunc func, void* arg);
    // Waits until the thread has ended and releases its handle. The caller makes
    // the thread leave its loop first.
    int32_t SMThreadStop(void* thread);

    // ---- lists --------------------------------------------------------------------
    // A head is two words {first, last}. A singly linked entry is {next, data}, a
    // doubly linked entry {next, prev, data}, each followed by its data area;
    // `data` points to that area. A walk follows `next` from `first`.
    typedef struct SMListHead
    {
        void* first;
        void* last;
    } SMListHead;

    typedef struct SMSLListEntry
    {
        struct SMSLListEntry* next;
        void* data;
    } SMSLListEntry;

    typedef struct SMDLListEntry
    {
        struct SMDLListEntry* next;
        struct SMDLListEntry* prev;
        void* data;
    } SMDLListEntry;

    void SMSLListInitNoAlloc(SMListHead* head);
    SMSLListEntry* SMSLListEntryAlloc(uint32_t dataSize);
    void SMSLListInsertEntryAtTail(SMListHead* head, SMSLListEntry* entry);
    SMSLListEntry* SMSLListRemoveEntryAtHead(SMListHead* head);
    void SMSLListEntryFree(SMSLListEntry* entry);
    int32_t SMSLListIsEmpty(SMListHead* head);

    // A walk function returns 0 for the entry sought, -1 to go on.
    typedef int32_t (*SMDLListWalkFunc)(void* key, SMDLListEntry* entry);

    void SMDLListInitNoAlloc(SMListHead* head);
    SMDLListEntry* SMDLListEntryAlloc(uint32_t dataSize);
    void SMDLListInsertEntryAtTail(SMListHead* head, SMDLListEntry* entry);
    SMDLListEntry* SMDLListRemoveEntryAtHead(SMListHead* head);
    void SMDLListEntryFree(SMDLListEntry* entry);
    SMDLListEntry* SMDLListWalkAtHead(SMListHead* head, void* key, SMDLListWalkFunc walk);
    // Unlinks the entry; does not free it.
    void SMDLListDeleteEntry(SMListHead* head, SMDLListEntry* entry);

    // ---- INI files and paths -----------------------------------------------------------
    enum
    {
        SM_INI_TYPE_BOOLEAN = 4, // 16-bit
        SM_INI_TYPE_U32 = 5,
        SM_INI_TYPE_S32 = 6,
    };

    // Leaves the value read, or the default when the key is absent, at `value`.
    int32_t SMReadINIPathFileValue(const char* section, const char* key, uint32_t type, void* value,
                                   uint32_t* pValueSize, const void* pDefault, uint32_t defaultSize,
                                   const char* pathFileName, int32_t flags);
    // Returns a newly allocated full path (free with SMFreeGeneric) or NULL.
    char* SMMakePathFileNameByPIDAndType(uint32_t productID, uint32_t pathType, const char* subDir,
                                         const char* fileName);

    // ---- rotated log files -------------------------------------------------------------
    int32_t SMFileRotateCheck(const char* pathFileName, uint32_t force, uint32_t keep);
    int32_t SMFileLogMsgToRotatedLog(const char* msg, const char* pathFileName, uint32_t maxSize,
                                     uint32_t keep, uint32_t flags);

    // ---- export context ------------------------------------------------------------------
    void SMGetExportContext(uintptr_t* pContext);
    // Saves the context in force into *pSave and installs *pContext.
    void SMSetExportContext(uintptr_t* pSave, const uintptr_t* pContext);
    // Reinstates the context saved in *pSave.
    void SMResetExportContext(const uintptr_t* pSave);

    // ---- data events ---------------------------------------------------------------------
    typedef int32_t (*SMILEventListener)(void* dataEvent);
    int32_t SMILAddEventListener(SMILEventListener listener);
    int32_t SMILRemoveEventListener(SMILEventListener listener);
    int32_t SMILIsDataManagerReady(void);

    // ---- platform description --------------------------------------------------------------
    // Returns the platform's read-only description record (32-bit words in the
    // processor's byte order at fixed offsets).
    void* _gPlatInfo(void);

    // ---- configuration and notification ------------------------------------------------------
    // Fills `buf` with the value's NUL-terminated text; 0 on success.
    int32_t cfgGetByName(int32_t instance, int64_t flags, const char* key, char* buf, uint32_t bufSize);

    typedef int32_t (*OSNotifyCallback)(void* arg1, void* arg2);
    int32_t os_notify_init(void** pHandle, OSNotifyCallback callback);
    int32_t os_notify_register_cfgchg(const char* key, void* handle);
    int32_t os_notify(uint32_t code);
    int32_t os_notify_unregister(void* handle);
    int32_t os_notify_uninit(void** pHandle);

    // ---- thermal and stash -------------------------------------------------------------------
    // Fills a 76-byte fan record; 0 on success.
    int32_t ThermalGetFanData(uint32_t fanNum, void* fanData);
    // Fills 40-byte temperature entries, their count and their numbers; 0 on success.
    int32_t ThermalGetSensorData(void* entries, uint8_t* pCount, uint8_t* sensorNums);
    // Fills up to 7 stash records of 24 bytes and their count; 0 on success.
    int32_t bm_get_stash_temp_sensor_data(void* records, uint8_t* pCount);

    // ---- power supplies ------------------------------------------------------------------------
    int32_t mms_psu_presence_get(uint32_t bay, uint32_t* pPresence);
    int32_t mms_psu_state_get(uint32_t bay, uint32_t* pState);
    int32_t mms_psu_health_alert_state_get(uint32_t bay, uint32_t* pAlert);
    int32_t mms_psu_raw_fru_get(uint32_t bay, uint8_t* buf, uint32_t bufSize);
    int32_t mms_psu_redundancy_get(uint32_t* pConfig);
    int32_t psu_redundancy_state_get(uint32_t* pState);

    // ---- bounded formatting ------------------------------------------------------------------------
    // Formats into buf (at most size - 1 characters and a NUL); returns the number
    // of characters written, or -1 when the text did not fit (buf then holds "").
    int sprintf_s(char* buf, size_t size, const char* format, ...) __attribute__((format(printf, 3, 4)));

#ifdef __cplusplus
}
#endif

#endif
