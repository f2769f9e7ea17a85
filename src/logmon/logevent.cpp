// Chassis log data events: the listener the platform calls, the checks that
// decide whether an event is forwarded, the chassis log event message built
// from it, and the forward-or-queue step.
//
// A data event is read only within its own size: every text located through
// an offset must end with a NUL before the end of the event, otherwise the
// text is treated as missing.
#include "core/byteorder.h"
#include "core/global.h"
#include "core/log.h"
#include "logmon/logmon.h"

#include <ktzmon/protocol.h>

#include <cstring>

int32_t KTZMonLogMonEventListener(void* dataEvent)
{
    const auto* ev = static_cast<const uint8_t*>(dataEvent);
    // An event too short to hold its own type field is not looked at.
    if (ev != nullptr && ktz::LoadU32(ev, KTZMON_DE_OFF_SIZE) >= KTZMON_DE_OFF_TYPE + 2 &&
        ktz::LoadU16(ev, KTZMON_DE_OFF_TYPE) == KTZMON_DE_TYPE_CHASSIS_LOG)
    {
        KTZMonLogMonVQLogEvt(dataEvent);
    }
    return 0;
}

void* KTZMonLogMonDataEventGetPtrByOffset(void* dataEvent, uint32_t offset)
{
    if (dataEvent == nullptr)
    {
        return nullptr;
    }
    const uint32_t size = ktz::LoadU32(static_cast<const uint8_t*>(dataEvent), KTZMON_DE_OFF_SIZE);
    if (size < 16 || offset < 16 || offset > size - 1)
    {
        return nullptr;
    }
    return static_cast<uint8_t*>(dataEvent) + offset;
}

namespace
{
// Length of the NUL-terminated text at `text`, the NUL not counted; false when
// no NUL comes before `end`.
bool BoundedTextLen(const uint8_t* text, const uint8_t* end, uint32_t* pLen)
{
    const void* nul = std::memchr(text, 0, static_cast<size_t>(end - text));
    if (nul == nullptr)
    {
        return false;
    }
    *pLen = static_cast<uint32_t>(static_cast<const uint8_t*>(nul) - text);
    return true;
}

// Length of the argument block at `block`: its texts with their NULs, plus
// the NUL of the closing empty text. False when the block runs past `end`.
bool ArgBlockLen(const uint8_t* block, const uint8_t* end, uint32_t* pLen)
{
    const uint8_t* pos = block;
    while (pos < end && *pos != 0)
    {
        uint32_t textLen = 0;
        if (!BoundedTextLen(pos, end, &textLen))
        {
            return false;
        }
        pos += textLen + 1;
    }
    if (pos >= end)
    {
        return false;
    }
    *pLen = static_cast<uint32_t>(pos - block) + 1;
    return true;
}

// Where the areas of one event's message come from and how long they are.
struct LogEvtParts
{
    const uint8_t* msgId;
    uint32_t msgIdLen; // without the NUL
    const uint8_t* args;
    uint32_t argsLen; // 0: no argument block
    const uint8_t* text;
    uint32_t textLen; // without the NUL; only when text is set
};

// Fills `parts` from a chassis log event; false when the event is not to be
// forwarded (too short, no message ID, or the forward flag clear).
bool GetLogEvtParts(void* dataEvent, LogEvtParts* parts)
{
    auto* ev = static_cast<uint8_t*>(dataEvent);
    const uint32_t size = ktz::LoadU32(ev, KTZMON_DE_OFF_SIZE);
    if (size < KTZMON_DE_CHASSIS_LOG_MIN_SIZE)
    {
        return false;
    }
    const uint8_t* end = ev + size;

    parts->msgId = static_cast<const uint8_t*>(
        KTZMonLogMonDataEventGetPtrByOffset(dataEvent, ktz::LoadU32(ev, KTZMON_DE_OFF_MSGID)));
    if (parts->msgId == nullptr || !BoundedTextLen(parts->msgId, end, &parts->msgIdLen))
    {
        return false;
    }
    if ((ktz::LoadU32(ev, KTZMON_DE_OFF_FLAGS) & KTZMON_DE_FLAG_FORWARD) == 0)
    {
        return false;
    }

    parts->args = static_cast<const uint8_t*>(
        KTZMonLogMonDataEventGetPtrByOffset(dataEvent, ktz::LoadU32(ev, KTZMON_DE_OFF_ARGS)));
    parts->argsLen = 0;
    if (parts->args != nullptr && !ArgBlockLen(parts->args, end, &parts->argsLen))
    {
        parts->argsLen = 0;
    }

    parts->text = static_cast<const uint8_t*>(
        KTZMonLogMonDataEventGetPtrByOffset(dataEvent, ktz::LoadU32(ev, KTZMON_DE_OFF_TEXT)));
    parts->textLen = 0;
    if (parts->text != nullptr && !BoundedTextLen(parts->text, end, &parts->textLen))
    {
        parts->text = nullptr;
    }
    return true;
}

// Allocates and fills the chassis log event message (host byte order) for
// an event's parts; null when it cannot be allocated.
uint8_t* BuildLogEvtMsg(const uint8_t* ev, const LogEvtParts& parts, uint32_t* pMsgLen)
{
    const uint64_t argsOff = uint64_t{KTZMON_LOG_EVT_HDR_SIZE} + parts.msgIdLen + 1;
    const uint64_t textOff = argsOff + parts.argsLen;
    const uint64_t msgLen = textOff + (parts.text != nullptr ? uint64_t{parts.textLen} + 1 : 0);
    if (msgLen > UINT32_MAX)
    {
        return nullptr;
    }
    auto* msg = static_cast<uint8_t*>(SMAllocMem(static_cast<uint32_t>(msgLen)));
    if (msg == nullptr)
    {
        return nullptr;
    }
    std::memset(msg, 0, KTZMON_LOG_EVT_HDR_SIZE);
    ktz::StoreU16(msg, KTZMON_LOG_EVT_OFF_VALUE1, ktz::LoadU16(ev, KTZMON_DE_OFF_VALUE1));
    ktz::StoreU16(msg, KTZMON_LOG_EVT_OFF_VALUE2, ktz::LoadU16(ev, KTZMON_DE_OFF_VALUE2));
    ktz::StoreU16(msg, KTZMON_LOG_EVT_OFF_VALUE3, ktz::LoadU16(ev, KTZMON_DE_OFF_VALUE3));
    ktz::StoreU32(msg, KTZMON_LOG_EVT_OFF_MSGID_OFF, KTZMON_LOG_EVT_HDR_SIZE);
    ktz::StoreU32(msg, KTZMON_LOG_EVT_OFF_ARGS_LEN, parts.argsLen);
    std::memcpy(msg + KTZMON_LOG_EVT_HDR_SIZE, parts.msgId, parts.msgIdLen + 1);
    if (parts.argsLen != 0)
    {
        std::memcpy(msg + argsOff, parts.args, parts.argsLen);
        ktz::StoreU32(msg, KTZMON_LOG_EVT_OFF_ARGS_OFF, static_cast<uint32_t>(argsOff));
    }
    if (parts.text != nullptr)
    {
        std::memcpy(msg + textOff, parts.text, parts.textLen + 1);
        ktz::StoreU32(msg, KTZMON_LOG_EVT_OFF_TEXT_OFF, static_cast<uint32_t>(textOff));
    }
    *pMsgLen = static_cast<uint32_t>(msgLen);
    return msg;
}
} // namespace

void KTZMonLogMonVQLogEvt(void* dataEvent)
{
    if (dataEvent == nullptr)
    {
        return;
    }
    // The message is built before the monitor lock is taken, so that only
    // the capability test and the forward or queue step run under it.
    LogEvtParts parts{};
    if (!GetLogEvtParts(dataEvent, &parts))
    {
        return;
    }
    uint32_t msgLen = 0;
    uint8_t* msg = BuildLogEvtMsg(static_cast<const uint8_t*>(dataEvent), parts, &msgLen);
    if (msg == nullptr)
    {
        return;
    }
    const char* msgId = reinterpret_cast<const char*>(msg + KTZMON_LOG_EVT_HDR_SIZE);

    // Under the monitor lock a client's connect exchange cannot run between
    // the capability test and the send or queueing: a connecting client gets
    // an event either from the queue or directly, never both, never neither.
    bool queued = false;
    KTZMonGlobalMonLock();
    if (KTZMonClientMgrIsClientWithKTZCap(KTZMON_CAP_VQ_LOG_EVT) == 1)
    {
        KTZMonLogMsg("Forwarding Chassis Log event: messageID: %s\n", msgId);
        (void)KTZMonClientMgrSendVQLogEvtToClient(nullptr, msg, msgLen);
    }
    else if (KTZMonLogMonLogEvtQAddEvent(msg, msgLen) == STATUS_OK)
    {
        // From here the queue owns the message.
        KTZMonLogMsg("Chassis Log event queued: messageID: %s\n", msgId);
        queued = true;
    }
    else
    {
        KTZMonLogMsg("Failed to queue Chassis Log event: messageID: %s\n", msgId);
    }
    KTZMonGlobalMonUnlock();
    if (!queued)
    {
        SMFreeMem(msg);
    }
}
