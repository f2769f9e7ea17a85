// Client registry: the list of connected clients with their capability masks
// and reservations, the connect exchange (KTZ setting, capability query,
// initial data synchronisation), disconnect and deletion, the reserve/release
// discipline that keeps a record alive while a message to it is under way,
// the walk that sends one message to every client, and the client data lock.
#include "clients/clientmgr.h"

#include "cfgmon/cfgmon.h"
#include "core/global.h"
#include "core/log.h"
#include "logmon/logmon.h"
#include "sensormon/sensormon.h"

KTZMonClientMgrData* g_pKTZMonClientMgrData = nullptr; // exported through clientmgr.h
void* g_pKTZMonClientMgrDataLock = nullptr;

namespace
{
// Marks a record delete-pending. Called with the client data lock held; the
// store is atomic because KTZMonClientMgrIsClientDeletePending reads the flag
// without that lock.
void MarkDeletePending(KTZMonClient* client)
{
    __atomic_store_n(&client->deletePending, 1, __ATOMIC_RELEASE);
}

KTZMonClient* RecordOf(SMDLListEntry* entry)
{
    return static_cast<KTZMonClient*>(entry->data);
}

// Walk callback: the entry whose data area is the record given as key.
int32_t FindEntryOfRecordWalk(void* key, SMDLListEntry* entry)
{
    return entry->data == key ? 0 : -1;
}

// Walk callback: the oldest record with the identifier that is not already
// being deleted. A disconnect must not spend itself on a record that an
// earlier disconnect already marked; its twin is the one to go.
int32_t FindDeletableByIDWalk(void* key, SMDLListEntry* entry)
{
    const KTZMonClient* client = RecordOf(entry);
    return (client->clientID == *static_cast<const uint32_t*>(key) && client->deletePending == 0) ? 0 : -1;
}

// Unlinks and frees one entry (its record included). Client data lock held.
void UnlinkAndFree(SMDLListEntry* entry)
{
    SMDLListDeleteEntry(&g_pKTZMonClientMgrData->clientList, entry);
    SMDLListEntryFree(entry);
}

// Marks the record delete-pending and frees it at once when nobody holds a
// reservation. Client data lock held.
void DeleteRecordLocked(KTZMonClient* client)
{
    SMDLListEntry* entry =
        SMDLListWalkAtHead(&g_pKTZMonClientMgrData->clientList, client, &FindEntryOfRecordWalk);
    if (entry == nullptr)
    {
        return;
    }
    MarkDeletePending(client);
    if (client->reserveCount <= 0)
    {
        UnlinkAndFree(entry);
    }
}

// Undoes a connect whose KTZ setting message failed: drops the connect's
// reservation and deletes this very record. Deleting by identifier instead
// would hit an older client that shares the identifier and leave the failed
// one registered.
void AbandonConnect(KTZMonClient* client)
{
    KTZMonClientMgrDataLock();
    if (client->reserveCount > 0)
    {
        --client->reserveCount;
    }
    DeleteRecordLocked(client);
    KTZMonClientMgrDataUnlock();
}

// The initial picture of a client that connects while monitoring is enabled.
// Each message's result is ignored: a failing one does not end the connect.
void SyncNewClient(KTZMonClient* client)
{
    KTZMonSensorMonSensorsSendToClient(client);
    KTZMonSensorMonFRUsSendToClient(client);
    if (KTZMonSensorMonSensorsAttached() == 1)
    {
        (void)KTZMonClientMgrSendDataSyncCompleteToClient(client);
    }
    if ((client->ktzCaps & KTZMON_CAP_VQ_LOG_EVT) != 0 && KTZMonGlobalGetLogMonStarted() == 1 &&
        KTZMonLogMonLogEvtQIsEmpty() == 0)
    {
        KTZMonLogMonLogEvtQSendAllToClient(client);
    }
}

} // namespace

uint32_t KTZMonClientMgrAttach(void)
{
    g_pKTZMonClientMgrDataLock = SMMutexCreate(0);
    if (g_pKTZMonClientMgrDataLock == nullptr)
    {
        return STATUS_NO_RESOURCES;
    }
    auto* data = static_cast<KTZMonClientMgrData*>(SMAllocMem(sizeof(KTZMonClientMgrData)));
    if (data == nullptr)
    {
        void* lock = g_pKTZMonClientMgrDataLock;
        g_pKTZMonClientMgrDataLock = nullptr;
        SMMutexDestroy(lock);
        return STATUS_NO_RESOURCES;
    }
    SMDLListInitNoAlloc(&data->clientList);
    data->ktzCaps = KTZMON_CAP_BASE;
    if (KTZMonGlobalGetChassisLogProxySupported() == 1)
    {
        data->ktzCaps |= KTZMON_CAP_VQ_LOG_EVT;
    }
    g_pKTZMonClientMgrData = data;
    return STATUS_OK;
}

void KTZMonClientMgrDetach(void)
{
    if (g_pKTZMonClientMgrData == nullptr || g_pKTZMonClientMgrDataLock == nullptr)
    {
        return;
    }
    KTZMonClientMgrDeleteAllClients();
    // Taking the data lock waits out any list operation still under way; it
    // is released again before the mutex is destroyed.
    KTZMonClientMgrDataLock();
    KTZMonClientMgrData* data = g_pKTZMonClientMgrData;
    g_pKTZMonClientMgrData = nullptr;
    SMFreeMem(data);
    KTZMonClientMgrDataUnlock();
    void* lock = g_pKTZMonClientMgrDataLock;
    g_pKTZMonClientMgrDataLock = nullptr;
    SMMutexDestroy(lock);
}

uint32_t KTZMonClientMgrStartMonitor(void)
{
    return STATUS_OK;
}

void KTZMonClientMgrStopMonitor(void) {}

uint32_t KTZMonClientMgrClientConnected(uint32_t clientID)
{
    if (g_pKTZMonClientMgrData == nullptr || KTZMonGlobalGetIsModuleExiting() == 1)
    {
        return STATUS_NOT_READY;
    }
    return KTZMonClientMgrAddClient(clientID);
}

uint32_t KTZMonClientMgrClientDisconnected(uint32_t clientID)
{
    if (g_pKTZMonClientMgrData == nullptr)
    {
        return STATUS_OK;
    }
    if (KTZMonClientMgrIsClientInList(clientID) == 1)
    {
        KTZMonLogMsg("KTZ client disconnected: clientID: %u\n", clientID);
        KTZMonClientMgrDeleteClient(clientID);
    }
    return STATUS_OK;
}

uint32_t KTZMonClientMgrAddClient(uint32_t clientID)
{
    if (g_pKTZMonClientMgrData == nullptr)
    {
        return STATUS_NOT_READY;
    }
    SMDLListEntry* entry = SMDLListEntryAlloc(sizeof(KTZMonClient));
    if (entry == nullptr)
    {
        return STATUS_NO_RESOURCES;
    }
    KTZMonClient* client = RecordOf(entry);
    client->clientID = clientID;
    client->ktzCaps = KTZMON_CAP_BASE;
    client->reserveCount = 0;
    client->deletePending = 0;

    // The monitor lock is held for the whole exchange, so no send to all
    // clients can interleave with this client's initial picture, and no walk
    // is under way while the entry is appended.
    KTZMonGlobalMonLock();
    KTZMonClientMgrDataLock();
    SMDLListInsertEntryAtTail(&g_pKTZMonClientMgrData->clientList, entry);
    client->reserveCount = 1; // the connect's own reservation
    KTZMonClientMgrDataUnlock();

    const uint32_t status = KTZMonCfgMonSendKTZSettingToClient(client, nullptr, 0);
    if (status != STATUS_OK)
    {
        AbandonConnect(client);
        KTZMonGlobalMonUnlock();
        return status;
    }
    (void)KTZMonClientMgrGetClientKTZCaps(client);
    KTZMonLogMsg("KTZ client connected: clientID: %u ktzCaps: 0x%X\n", clientID, client->ktzCaps);
    if (KTZMonCfgMonIsKTZMonitoringEnabled(nullptr) == 1)
    {
        SyncNewClient(client);
    }
    KTZMonClientMgrReleaseClient(client);
    KTZMonGlobalMonUnlock();
    return STATUS_OK;
}

void KTZMonClientMgrDeleteClient(uint32_t clientID)
{
    if (g_pKTZMonClientMgrData == nullptr)
    {
        return;
    }
    KTZMonClientMgrDataLock();
    SMDLListEntry* entry =
        SMDLListWalkAtHead(&g_pKTZMonClientMgrData->clientList, &clientID, &FindDeletableByIDWalk);
    if (entry != nullptr)
    {
        KTZMonClient* client = RecordOf(entry);
        MarkDeletePending(client);
        if (client->reserveCount <= 0)
        {
            UnlinkAndFree(entry);
        }
    }
    KTZMonClientMgrDataUnlock();
}

void KTZMonClientMgrDeleteAllClients(void)
{
    if (g_pKTZMonClientMgrData == nullptr)
    {
        return;
    }
    // Runs at detach; the data lock is taken inside the monitor lock as well
    // so that a late disconnect on another host thread cannot touch the list
    // while it is emptied.
    KTZMonGlobalMonLock();
    KTZMonClientMgrDataLock();
    while (SMDLListEntry* entry = SMDLListRemoveEntryAtHead(&g_pKTZMonClientMgrData->clientList))
    {
        RecordOf(entry)->clientID = 0;
        SMDLListEntryFree(entry);
    }
    KTZMonClientMgrDataUnlock();
    KTZMonGlobalMonUnlock();
}

int32_t KTZMonClientMgrIsClientInList(uint32_t clientID)
{
    if (g_pKTZMonClientMgrData == nullptr)
    {
        return 0;
    }
    KTZMonClientMgrDataLock();
    SMDLListEntry* entry = SMDLListWalkAtHead(&g_pKTZMonClientMgrData->clientList, &clientID,
                                              &KTZMonClientMgrFindClientByIDWalk);
    KTZMonClientMgrDataUnlock();
    return entry != nullptr ? 1 : 0;
}

int32_t KTZMonClientMgrIsClientWithKTZCap(uint32_t capMask)
{
    if (g_pKTZMonClientMgrData == nullptr)
    {
        return 0;
    }
    int32_t found = 0;
    KTZMonClientMgrDataLock();
    for (auto* entry = static_cast<SMDLListEntry*>(g_pKTZMonClientMgrData->clientList.first);
         entry != nullptr; entry = entry->next)
    {
        if ((RecordOf(entry)->ktzCaps & capMask) == capMask)
        {
            found = 1;
            break;
        }
    }
    KTZMonClientMgrDataUnlock();
    return found;
}

int32_t KTZMonClientMgrIsClientDeletePending(KTZMonClient* client)
{
    return ktz::ClientDeletePending(client);
}

void KTZMonClientMgrReserveAll(void)
{
    if (g_pKTZMonClientMgrData == nullptr)
    {
        return;
    }
    KTZMonClientMgrDataLock();
    for (auto* entry = static_cast<SMDLListEntry*>(g_pKTZMonClientMgrData->clientList.first);
         entry != nullptr; entry = entry->next)
    {
        ++RecordOf(entry)->reserveCount;
    }
    KTZMonClientMgrDataUnlock();
}

void KTZMonClientMgrReleaseAll(void)
{
    if (g_pKTZMonClientMgrData == nullptr)
    {
        return;
    }
    SMListHead* list = &g_pKTZMonClientMgrData->clientList;
    KTZMonClientMgrDataLock();
    bool anyToFree = false;
    for (auto* entry = static_cast<SMDLListEntry*>(list->first); entry != nullptr; entry = entry->next)
    {
        KTZMonClient* client = RecordOf(entry);
        if (client->reserveCount > 0)
        {
            --client->reserveCount;
        }
        anyToFree = anyToFree || (client->deletePending == 1 && client->reserveCount == 0);
    }
    // The search for records to free runs only when the walk above saw one:
    // every send to all clients ends here, and usually nobody left meanwhile.
    if (!anyToFree)
    {
        KTZMonClientMgrDataUnlock();
        return;
    }
    KTZMonClient unreservedPending{};
    unreservedPending.deletePending = 1;
    unreservedPending.reserveCount = 0;
    while (SMDLListEntry* entry =
               SMDLListWalkAtHead(list, &unreservedPending, &KTZMonClientMgrFindClientDeletePendingWalk))
    {
        UnlinkAndFree(entry);
    }
    KTZMonClientMgrDataUnlock();
}

void KTZMonClientMgrReleaseClient(KTZMonClient* client)
{
    if (g_pKTZMonClientMgrData == nullptr || client == nullptr)
    {
        return;
    }
    KTZMonClientMgrDataLock();
    if (client->reserveCount > 0)
    {
        --client->reserveCount;
        if (client->deletePending == 1 && client->reserveCount == 0)
        {
            // The record in hand goes, not the first one with its identifier.
            DeleteRecordLocked(client);
        }
    }
    KTZMonClientMgrDataUnlock();
}

void KTZMonClientMgrDataLock(void)
{
    (void)SMMutexLock(g_pKTZMonClientMgrDataLock, -1);
}

void KTZMonClientMgrDataUnlock(void)
{
    (void)SMMutexUnLock(g_pKTZMonClientMgrDataLock);
}

int32_t KTZMonClientMgrFindClientByIDWalk(void* key, SMDLListEntry* entry)
{
    return RecordOf(entry)->clientID == *static_cast<const uint32_t*>(key) ? 0 : -1;
}

int32_t KTZMonClientMgrFindClientDeletePendingWalk(void* key, SMDLListEntry* entry)
{
    const auto* tmpl = static_cast<const KTZMonClient*>(key);
    const KTZMonClient* client = RecordOf(entry);
    return (client->deletePending == tmpl->deletePending && client->reserveCount == tmpl->reserveCount) ? 0
                                                                                                        : -1;
}
