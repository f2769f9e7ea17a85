// Chassis log event queue: a bounded first-in first-out list of built
// messages kept while no client takes chassis log events, handed whole to
// the first capable client that connects, and its data lock.
#include "core/byteorder.h"
#include "core/log.h"
#include "logmon/logmon.h"

#include <ktzmon/protocol.h>

// Every exported queue operation may be called while the monitor is not
// attached (no lock, no record): it then does nothing, reports an empty
// queue, or refuses the event, and the caller keeps its message.

void KTZMonLogMonDataLock(void)
{
    void* lock = g_pKTZMonLogMonDataLock;
    if (lock != nullptr)
    {
        (void)SMMutexLock(lock, -1);
    }
}

void KTZMonLogMonDataUnlock(void)
{
    void* lock = g_pKTZMonLogMonDataLock;
    if (lock != nullptr)
    {
        (void)SMMutexUnLock(lock);
    }
}

namespace
{
// Takes the data lock and returns the record, or returns NULL without the
// lock held when the monitor is not attached.
KTZMonLogMonData* LockedData()
{
    if (g_pKTZMonLogMonDataLock == nullptr)
    {
        return nullptr;
    }
    KTZMonLogMonDataLock();
    KTZMonLogMonData* data = g_pKTZMonLogMonData;
    if (data == nullptr)
    {
        KTZMonLogMonDataUnlock();
    }
    return data;
}
} // namespace

uint32_t KTZMonLogMonLogEvtQAddEvent(uint8_t* logEvt, uint32_t logEvtSize)
{
    KTZMonLogMonData* data = LockedData();
    if (data == nullptr)
    {
        return STATUS_NOT_READY;
    }
    uint32_t status = STATUS_OK;
    if (data->numLogEvtQEntries >= data->maxLogEvtQEntries)
    {
        // The newest event is dropped; queued events are never displaced.
        KTZMonLogMsg("Chassis Log event queue is full: numLogEvtQEntries: %u\n", data->numLogEvtQEntries);
        status = STATUS_QUEUE_FULL;
    }
    else
    {
        SMSLListEntry* entry = SMSLListEntryAlloc(sizeof(KTZMonLogEvtQEntry));
        if (entry == nullptr)
        {
            status = STATUS_NO_RESOURCES;
        }
        else
        {
            auto* qEntry = static_cast<KTZMonLogEvtQEntry*>(entry->data);
            qEntry->pLogEvt = logEvt;
            qEntry->logEvtSize = logEvtSize;
            SMSLListInsertEntryAtTail(&data->logEvtQ, entry);
            data->numLogEvtQEntries++;
        }
    }
    KTZMonLogMonDataUnlock();
    return status;
}

int32_t KTZMonLogMonLogEvtQIsEmpty(void)
{
    KTZMonLogMonData* data = LockedData();
    if (data == nullptr)
    {
        return 1;
    }
    const int32_t empty = SMSLListIsEmpty(&data->logEvtQ);
    KTZMonLogMonDataUnlock();
    return empty;
}

namespace
{
// The message ID of a queued message, found through its own ID offset.
const char* QueuedMessageId(const KTZMonLogEvtQEntry* qEntry)
{
    const uint32_t idOffset = ktz::LoadU32(qEntry->pLogEvt, KTZMON_LOG_EVT_OFF_MSGID_OFF);
    if (idOffset >= qEntry->logEvtSize)
    {
        return "";
    }
    return reinterpret_cast<const char*>(qEntry->pLogEvt + idOffset);
}
} // namespace

void KTZMonLogMonLogEvtQSendAllToClient(KTZMonClient* client)
{
    // The data lock is held across the host callbacks of the sends: the
    // caller holds the monitor lock, and the client data lock the send takes
    // comes after the data lock in the lock order.
    KTZMonLogMonData* data = LockedData();
    if (data == nullptr)
    {
        return;
    }
    while (SMSLListIsEmpty(&data->logEvtQ) == 0)
    {
        // A client that disconnected during its own connect would refuse
        // every event: what is left stays queued for the next capable client
        // instead of being thrown away.
        if (KTZMonClientMgrIsClientDeletePending(client) == 1)
        {
            break;
        }
        SMSLListEntry* entry = SMSLListRemoveEntryAtHead(&data->logEvtQ);
        data->numLogEvtQEntries--;
        auto* qEntry = static_cast<KTZMonLogEvtQEntry*>(entry->data);
        KTZMonLogMsg("Forwarding Chassis Log event from queue: messageID: %s\n", QueuedMessageId(qEntry));
        // A failed send does not keep the event: it is delivered at most once.
        (void)KTZMonClientMgrSendVQLogEvtToClient(client, qEntry->pLogEvt, qEntry->logEvtSize);
        SMFreeMem(qEntry->pLogEvt);
        SMSLListEntryFree(entry);
    }
    KTZMonLogMonDataUnlock();
}

void KTZMonLogMonLogEvtQFreeAll(void)
{
    KTZMonLogMonData* data = LockedData();
    if (data == nullptr)
    {
        return;
    }
    while (SMSLListIsEmpty(&data->logEvtQ) == 0)
    {
        SMSLListEntry* entry = SMSLListRemoveEntryAtHead(&data->logEvtQ);
        SMFreeMem(static_cast<KTZMonLogEvtQEntry*>(entry->data)->pLogEvt);
        SMSLListEntryFree(entry);
    }
    data->numLogEvtQEntries = 0;
    KTZMonLogMonDataUnlock();
}
