// Singly and doubly linked lists with the documented word layout: a head
// {first, last}; entries {next, data} and {next, prev, data}, each followed by
// its zero-filled data area in the same counted allocation.
#include "internal.h"

#include <cstring>

namespace
{
constexpr uint32_t kAlign = 8;

constexpr uint32_t RoundUp(uint32_t n)
{
    return (n + kAlign - 1) / kAlign * kAlign;
}

template <class Entry> Entry* AllocEntry(uint32_t dataSize)
{
    constexpr uint32_t head = RoundUp(sizeof(Entry));
    if (dataSize > 0xFFFFFFFFu - head)
    {
        return nullptr;
    }
    void* p = ktzplat::detail::AllocWithFault(ktzplat::Op::Alloc, head + dataSize);
    if (!p)
    {
        return nullptr;
    }
    std::memset(p, 0, head + dataSize);
    auto* e = static_cast<Entry*>(p);
    e->data = static_cast<unsigned char*>(p) + head;
    return e;
}
} // namespace

extern "C" void SMSLListInitNoAlloc(SMListHead* head)
{
    if (head)
    {
        head->first = head->last = nullptr;
    }
}

extern "C" SMSLListEntry* SMSLListEntryAlloc(uint32_t dataSize)
{
    return AllocEntry<SMSLListEntry>(dataSize);
}

extern "C" void SMSLListInsertEntryAtTail(SMListHead* head, SMSLListEntry* entry)
{
    if (!head || !entry)
    {
        return;
    }
    entry->next = nullptr;
    if (head->last)
    {
        static_cast<SMSLListEntry*>(head->last)->next = entry;
    }
    else
    {
        head->first = entry;
    }
    head->last = entry;
}

extern "C" SMSLListEntry* SMSLListRemoveEntryAtHead(SMListHead* head)
{
    if (!head || !head->first)
    {
        return nullptr;
    }
    auto* e = static_cast<SMSLListEntry*>(head->first);
    head->first = e->next;
    if (!head->first)
    {
        head->last = nullptr;
    }
    e->next = nullptr;
    return e;
}

extern "C" void SMSLListEntryFree(SMSLListEntry* entry)
{
    ktzplat::detail::FreeCounted(entry, "SMSLListEntryFree");
}

extern "C" int32_t SMSLListIsEmpty(SMListHead* head)
{
    return !head || !head->first ? 1 : 0;
}

extern "C" void SMDLListInitNoAlloc(SMListHead* head)
{
    if (head)
    {
        head->first = head->last = nullptr;
    }
}

extern "C" SMDLListEntry* SMDLListEntryAlloc(uint32_t dataSize)
{
    return AllocEntry<SMDLListEntry>(dataSize);
}

extern "C" void SMDLListInsertEntryAtTail(SMListHead* head, SMDLListEntry* entry)
{
    if (!head || !entry)
    {
        return;
    }
    entry->next = nullptr;
    entry->prev = static_cast<SMDLListEntry*>(head->last);
    if (head->last)
    {
        static_cast<SMDLListEntry*>(head->last)->next = entry;
    }
    else
    {
        head->first = entry;
    }
    head->last = entry;
}

extern "C" void SMDLListDeleteEntry(SMListHead* head, SMDLListEntry* entry)
{
    if (!head || !entry)
    {
        return;
    }
    if (entry->prev)
    {
        entry->prev->next = entry->next;
    }
    else if (head->first == entry)
    {
        head->first = entry->next;
    }
    if (entry->next)
    {
        entry->next->prev = entry->prev;
    }
    else if (head->last == entry)
    {
        head->last = entry->prev;
    }
    entry->next = entry->prev = nullptr;
}

extern "C" SMDLListEntry* SMDLListRemoveEntryAtHead(SMListHead* head)
{
    if (!head || !head->first)
    {
        return nullptr;
    }
    auto* e = static_cast<SMDLListEntry*>(head->first);
    SMDLListDeleteEntry(head, e);
    return e;
}

extern "C" void SMDLListEntryFree(SMDLListEntry* entry)
{
    ktzplat::detail::FreeCounted(entry, "SMDLListEntryFree");
}

extern "C" SMDLListEntry* SMDLListWalkAtHead(SMListHead* head, void* key, SMDLListWalkFunc walk)
{
    if (!head || !walk)
    {
        return nullptr;
    }
    // `next` is read first so that a walk function may unlink the entry it is given.
    for (auto* e = static_cast<SMDLListEntry*>(head->first); e;)
    {
        SMDLListEntry* next = e->next;
        if (walk(key, e) == 0)
        {
            return e;
        }
        e = next;
    }
    return nullptr;
}
