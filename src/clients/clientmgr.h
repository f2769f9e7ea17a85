// Client registry and client messages: the list of connected clients with
// their capability masks and reservations, the connect exchange, and every
// message the module sends to a client (little-endian on the wire) through
// the host's client dispatch.
//
// Locks: the global monitor lock is taken before the client data lock, never
// after it. The client data lock guards the list links and every record's
// reserveCount and deletePending; it is never held while a message is sent,
// a line is logged or another subsystem is called.
#ifndef KTZMON_CLIENTS_CLIENTMGR_H
#define KTZMON_CLIENTS_CLIENTMGR_H

#include "core/export.h"
#include "core/platform.h"
#include "core/status.h"

#include <ktzmon/protocol.h>

#include <cstdint>

// Request class, types and capability bits come from the public protocol
// header shared with client writers.

struct KTZMonClient
{
    uint32_t clientID;
    uint32_t ktzCaps;
    int32_t reserveCount;
    int16_t deletePending;
};

struct KTZMonClientMgrData
{
    SMListHead clientList; // doubly linked; data areas hold KTZMonClient
    uint32_t ktzCaps;      // the module's own capability mask
};

inline constexpr uint32_t KTZMON_DISPATCH_TRAILER = 10000;

inline constexpr uint32_t KTZMON_KTZ_SETTING_MSG_SIZE = 8;
inline constexpr uint32_t KTZMON_KTZ_CAPS_RSP_SIZE = 16;

KTZMON_API KTZMonClientMgrData* g_pKTZMonClientMgrData;
KTZMON_API void* g_pKTZMonClientMgrDataLock;

// ---- registry ----------------------------------------------------------------
KTZMON_API uint32_t KTZMonClientMgrAttach(void);
KTZMON_API void KTZMonClientMgrDetach(void);
KTZMON_API uint32_t KTZMonClientMgrStartMonitor(void);
KTZMON_API void KTZMonClientMgrStopMonitor(void);
KTZMON_API uint32_t KTZMonClientMgrClientConnected(uint32_t clientID);
KTZMON_API uint32_t KTZMonClientMgrClientDisconnected(uint32_t clientID);
KTZMON_API uint32_t KTZMonClientMgrAddClient(uint32_t clientID);
KTZMON_API void KTZMonClientMgrDeleteClient(uint32_t clientID);
KTZMON_API void KTZMonClientMgrDeleteAllClients(void);
KTZMON_API int32_t KTZMonClientMgrIsClientInList(uint32_t clientID);
KTZMON_API int32_t KTZMonClientMgrIsClientWithKTZCap(uint32_t capMask);
KTZMON_API int32_t KTZMonClientMgrIsClientDeletePending(KTZMonClient* client);
KTZMON_API void KTZMonClientMgrReserveAll(void);
KTZMON_API void KTZMonClientMgrReleaseAll(void);
KTZMON_API void KTZMonClientMgrReleaseClient(KTZMonClient* client);
KTZMON_API void KTZMonClientMgrDataLock(void);
KTZMON_API void KTZMonClientMgrDataUnlock(void);
KTZMON_API int32_t KTZMonClientMgrFindClientByIDWalk(void* key, SMDLListEntry* entry);
KTZMON_API int32_t KTZMonClientMgrFindClientDeletePendingWalk(void* key, SMDLListEntry* entry);

// ---- messages ------------------------------------------------------------------
KTZMON_API uint32_t KTZMonClientMgrDispatch(KTZMonClient* client, uint32_t requestType, void* pReqData,
                                            uint32_t reqDataSize, void* pRspBuf, uint32_t rspBufSize,
                                            uint32_t* pRspBytesReturned);
KTZMON_API uint32_t KTZMonClientMgrDispReqNoReqRspData(KTZMonClient* client, uint32_t requestType);
KTZMON_API uint32_t KTZMonClientMgrDispKTZSetting(KTZMonClient* client, void* payload, uint32_t length);
KTZMON_API uint32_t KTZMonClientMgrDispSensorData(KTZMonClient* client, void* payload, uint32_t length);
KTZMON_API uint32_t KTZMonClientMgrDispFRUByNum(KTZMonClient* client, void* payload, uint32_t length);
KTZMON_API uint32_t KTZMonClientMgrDispVQLogEvt(KTZMonClient* client, void* payload, uint32_t length);
KTZMON_API uint32_t KTZMonClientMgrGetClientKTZCaps(KTZMonClient* client);

// A null client means every client in the list.
KTZMON_API uint32_t KTZMonClientMgrSendKTZSettingToClient(KTZMonClient* client, uint32_t ktzSetting,
                                                          uint8_t settingChanged);
KTZMON_API uint32_t KTZMonClientMgrSendSensorDataToClient(KTZMonClient* client, void* msg, uint32_t length);
KTZMON_API uint32_t KTZMonClientMgrSendFRUByNumToClient(KTZMonClient* client, void* msg, uint32_t length);
KTZMON_API uint32_t KTZMonClientMgrSendDataSyncCompleteToClient(KTZMonClient* client);
KTZMON_API uint32_t KTZMonClientMgrSendVQLogEvtToClient(KTZMonClient* client, void* msg, uint32_t length);

// Answers a client's query for the module's capabilities (16-byte reply).
KTZMON_API uint32_t KTZMonClientMgrGetKTZMonKTZCaps(void* pOutBuf, uint32_t outBufSize,
                                                    uint32_t* pOutBytesReturned);

// ---- shared between the registry and the message files (not exported) ------------
namespace ktz
{
// One dispatch operation: a client record, the payload and its length.
using ClientDispatchFn = uint32_t (*)(KTZMonClient* client, void* payload, uint32_t length);

// Calls `Dispatch` once for every record in the list, holding a reservation
// of each for the whole walk; records that became delete-pending meanwhile
// are freed when the walk ends. The caller holds the global monitor lock.
// Returns 0, or the status of the last client whose dispatch failed. The
// dispatch operation is a template argument so that the walk calls it
// directly (and may inline it): every message to every client passes here.
template <ClientDispatchFn Dispatch> uint32_t ClientMgrDispatchToAll(void* payload, uint32_t length)
{
    if (g_pKTZMonClientMgrData == nullptr)
    {
        return STATUS_OK;
    }
    uint32_t result = STATUS_OK;
    KTZMonClientMgrReserveAll();
    // Walked without the data lock: every record linked now is reserved, so a
    // concurrent disconnect only marks it, and the caller's monitor lock keeps
    // a connect from appending. The entries' links therefore stay put.
    for (auto* entry = static_cast<SMDLListEntry*>(g_pKTZMonClientMgrData->clientList.first);
         entry != nullptr; entry = entry->next)
    {
        const uint32_t status = Dispatch(static_cast<KTZMonClient*>(entry->data), payload, length);
        if (status != STATUS_OK)
        {
            result = status;
        }
    }
    KTZMonClientMgrReleaseAll();
    return result;
}

// The test behind KTZMonClientMgrIsClientDeletePending, inline for the send
// path, which asks it once per client per message. Read without the client
// data lock: the flag only ever goes from 0 to 1 and is stored atomically
// (under that lock); the caller's reservation or the monitor lock keeps the
// record alive. With no registry there is no live record: 1, refuse.
inline int32_t ClientDeletePending(KTZMonClient* client)
{
    if (g_pKTZMonClientMgrDataLock == nullptr || client == nullptr)
    {
        return 1;
    }
    return __atomic_load_n(&client->deletePending, __ATOMIC_ACQUIRE) == 1 ? 1 : 0;
}
} // namespace ktz

#endif
