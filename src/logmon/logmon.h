// Chassis log monitor: receives the platform's chassis log data events,
// turns each into a chassis log event message, forwards it to the clients
// with the chassis-log capability, or queues it (bounded FIFO) for the next
// such client while none is connected.
//
// Lock order: global monitor lock, then the queue data lock, then the client
// data lock inside a send.
#ifndef KTZMON_LOGMON_LOGMON_H
#define KTZMON_LOGMON_LOGMON_H

#include "clients/clientmgr.h"
#include "core/export.h"
#include "core/platform.h"

#include <cstdint>

struct KTZMonLogMonData
{
    SMListHead logEvtQ; // singly linked; data areas hold KTZMonLogEvtQEntry
    uint32_t maxLogEvtQEntries;
    uint32_t numLogEvtQEntries;
};

struct KTZMonLogEvtQEntry
{
    uint8_t* pLogEvt; // owned by the entry
    uint32_t logEvtSize;
};

// Data event record offsets.
inline constexpr uint32_t KTZMON_DE_OFF_SIZE = 0;
inline constexpr uint32_t KTZMON_DE_OFF_TYPE = 4;
inline constexpr uint32_t KTZMON_DE_OFF_VALUE1 = 24;
inline constexpr uint32_t KTZMON_DE_OFF_VALUE2 = 26;
inline constexpr uint32_t KTZMON_DE_OFF_VALUE3 = 28;
inline constexpr uint32_t KTZMON_DE_OFF_FLAGS = 32;
inline constexpr uint32_t KTZMON_DE_OFF_MSGID = 36;
inline constexpr uint32_t KTZMON_DE_OFF_TEXT = 44;
inline constexpr uint32_t KTZMON_DE_OFF_ARGS = 60;
inline constexpr uint32_t KTZMON_DE_TYPE_CHASSIS_LOG = 18;
inline constexpr uint32_t KTZMON_DE_CHASSIS_LOG_MIN_SIZE = 72;
inline constexpr uint32_t KTZMON_DE_FLAG_FORWARD = 0x800;
inline constexpr uint32_t KTZMON_LOG_EVT_HDR_SIZE = 24;
inline constexpr uint32_t KTZMON_LOG_EVT_Q_DEFAULT_MAX = 16;

KTZMON_API KTZMonLogMonData* g_pKTZMonLogMonData;
KTZMON_API void* g_pKTZMonLogMonDataLock;

KTZMON_API uint32_t KTZMonLogMonAttach(void);
KTZMON_API void KTZMonLogMonDetach(void);
KTZMON_API uint32_t KTZMonLogMonStartMonitor(void);
KTZMON_API void KTZMonLogMonStopMonitor(void);
KTZMON_API uint32_t KTZMonLogMonCfgCheck(void);
KTZMON_API int32_t KTZMonLogMonEventListener(void* dataEvent);
KTZMON_API void KTZMonLogMonVQLogEvt(void* dataEvent);
KTZMON_API void* KTZMonLogMonDataEventGetPtrByOffset(void* dataEvent, uint32_t offset);
KTZMON_API uint32_t KTZMonLogMonLogEvtQAddEvent(uint8_t* logEvt, uint32_t logEvtSize);
KTZMON_API int32_t KTZMonLogMonLogEvtQIsEmpty(void);
KTZMON_API void KTZMonLogMonLogEvtQSendAllToClient(KTZMonClient* client);
KTZMON_API void KTZMonLogMonLogEvtQFreeAll(void);
KTZMON_API void KTZMonLogMonDataLock(void);
KTZMON_API void KTZMonLogMonDataUnlock(void);

#endif
