// Client messages: the dispatch of one request to one client through the
// host, the per-message dispatch operations and their response checks, the
// send operations (one client or all) that put a payload into wire byte
// order in place, and the capability query in both directions.
#include "clients/clientmgr.h"
#include "core/byteorder.h"
#include "module/module.h"

namespace
{

// Offsets of the multi-byte fields each payload carries; a send converts
// them from host order to little-endian in place.
constexpr uint32_t kSensorDataU16[] = {6};
constexpr uint32_t kSensorDataU32[] = {8, 12, 16, 20, 24, 28, 32, 36};
constexpr uint32_t kFRUByNumU16[] = {2};
constexpr uint32_t kFRUByNumU32[] = {4};
constexpr uint32_t kVQLogEvtU16[] = {0, 2, 4};
constexpr uint32_t kVQLogEvtU32[] = {8, 12, 16, 20};

// Converts the listed fields that lie wholly inside the payload; a short
// payload is never written past its end.
template <size_t N16, size_t N32>
void ToWireOrder(void* msg, uint32_t length, const uint32_t (&u16)[N16], const uint32_t (&u32)[N32])
{
    if (msg == nullptr)
    {
        return;
    }
    auto* buf = static_cast<uint8_t*>(msg);
    for (uint32_t off : u16)
    {
        if (off + 2 <= length)
        {
            ktz::HostToLE16(buf, off);
        }
    }
    for (uint32_t off : u32)
    {
        if (off + 4 <= length)
        {
            ktz::HostToLE32(buf, off);
        }
    }
}

// A request that expects no response data: any answer with data is a
// failure of the exchange.
uint32_t DispatchNoResponse(KTZMonClient* client, uint32_t requestType, void* payload, uint32_t length)
{
    uint32_t rspLen = 0;
    const uint32_t status =
        KTZMonClientMgrDispatch(client, requestType, payload, length, nullptr, 0, &rspLen);
    if (status == STATUS_OK && rspLen != 0)
    {
        return STATUS_BAD_LENGTH;
    }
    return status;
}

uint32_t DispDataSyncComplete(KTZMonClient* client, void* /*payload*/, uint32_t /*length*/)
{
    return KTZMonClientMgrDispReqNoReqRspData(client, KTZMON_REQ_DATA_SYNC_COMPLETE);
}

// Sends to one client, or to every client when none is named.
template <ktz::ClientDispatchFn Dispatch>
uint32_t SendTo(KTZMonClient* client, void* payload, uint32_t length)
{
    if (client != nullptr)
    {
        return Dispatch(client, payload, length);
    }
    return ktz::ClientMgrDispatchToAll<Dispatch>(payload, length);
}

} // namespace

uint32_t KTZMonClientMgrDispatch(KTZMonClient* client, uint32_t requestType, void* pReqData,
                                 uint32_t reqDataSize, void* pRspBuf, uint32_t rspBufSize,
                                 uint32_t* pRspBytesReturned)
{
    // The same steps as KTZMonClientMgrIsClientDeletePending and
    // RCESPSPPMDDispatchRequestToClient, inline: every message to every
    // client passes here.
    if (ktz::ClientDeletePending(client) == 1)
    {
        return STATUS_CLIENT_DELETE_PENDING;
    }
    return ktz::DispatchRequestToClient(client->clientID, KTZMON_REQ_CLASS, requestType, pReqData,
                                        reqDataSize, pRspBuf, rspBufSize, pRspBytesReturned,
                                        KTZMON_DISPATCH_TRAILER);
}

uint32_t KTZMonClientMgrDispReqNoReqRspData(KTZMonClient* client, uint32_t requestType)
{
    return DispatchNoResponse(client, requestType, nullptr, 0);
}

uint32_t KTZMonClientMgrDispKTZSetting(KTZMonClient* client, void* payload, uint32_t length)
{
    return DispatchNoResponse(client, KTZMON_REQ_KTZ_SETTING, payload, length);
}

uint32_t KTZMonClientMgrDispSensorData(KTZMonClient* client, void* payload, uint32_t length)
{
    return DispatchNoResponse(client, KTZMON_REQ_SENSOR_DATA, payload, length);
}

uint32_t KTZMonClientMgrDispFRUByNum(KTZMonClient* client, void* payload, uint32_t length)
{
    return DispatchNoResponse(client, KTZMON_REQ_FRU_BY_NUM, payload, length);
}

uint32_t KTZMonClientMgrDispVQLogEvt(KTZMonClient* client, void* payload, uint32_t length)
{
    // The mask is written only during the client's connect, which holds the
    // monitor lock like every sender of chassis log events.
    if ((client->ktzCaps & KTZMON_CAP_VQ_LOG_EVT) == 0)
    {
        return STATUS_UNSUPPORTED;
    }
    return DispatchNoResponse(client, KTZMON_REQ_VQ_LOG_EVT, payload, length);
}

uint32_t KTZMonClientMgrGetClientKTZCaps(KTZMonClient* client)
{
    uint8_t rsp[KTZMON_KTZ_CAPS_RSP_SIZE] = {};
    uint32_t rspLen = 0;
    const uint32_t status =
        KTZMonClientMgrDispatch(client, KTZMON_REQ_GET_KTZ_CAPS, nullptr, 0, rsp, sizeof rsp, &rspLen);
    if (status == STATUS_OK && rspLen >= KTZMON_KTZ_CAPS_RSP_SIZE)
    {
        const uint32_t caps = ktz::LoadLE32(rsp, 0);
        KTZMonClientMgrDataLock();
        client->ktzCaps = caps;
        KTZMonClientMgrDataUnlock();
    }
    return status;
}

uint32_t KTZMonClientMgrSendKTZSettingToClient(KTZMonClient* client, uint32_t ktzSetting,
                                               uint8_t settingChanged)
{
    uint8_t msg[KTZMON_KTZ_SETTING_MSG_SIZE] = {};
    ktz::StoreLE32(msg, 0, ktzSetting);
    msg[4] = settingChanged;
    return SendTo<&KTZMonClientMgrDispKTZSetting>(client, msg, sizeof msg);
}

uint32_t KTZMonClientMgrSendSensorDataToClient(KTZMonClient* client, void* msg, uint32_t length)
{
    ToWireOrder(msg, length, kSensorDataU16, kSensorDataU32);
    const uint32_t status = SendTo<&KTZMonClientMgrDispSensorData>(client, msg, length);
    return client != nullptr ? status : STATUS_OK;
}

uint32_t KTZMonClientMgrSendFRUByNumToClient(KTZMonClient* client, void* msg, uint32_t length)
{
    ToWireOrder(msg, length, kFRUByNumU16, kFRUByNumU32);
    const uint32_t status = SendTo<&KTZMonClientMgrDispFRUByNum>(client, msg, length);
    return client != nullptr ? status : STATUS_OK;
}

uint32_t KTZMonClientMgrSendDataSyncCompleteToClient(KTZMonClient* client)
{
    const uint32_t status = SendTo<&DispDataSyncComplete>(client, nullptr, 0);
    return client != nullptr ? status : STATUS_OK;
}

uint32_t KTZMonClientMgrSendVQLogEvtToClient(KTZMonClient* client, void* msg, uint32_t length)
{
    ToWireOrder(msg, length, kVQLogEvtU16, kVQLogEvtU32);
    const uint32_t status = SendTo<&KTZMonClientMgrDispVQLogEvt>(client, msg, length);
    return client != nullptr ? status : STATUS_OK;
}

uint32_t KTZMonClientMgrGetKTZMonKTZCaps(void* pOutBuf, uint32_t outBufSize, uint32_t* pOutBytesReturned)
{
    if (pOutBuf == nullptr)
    {
        return STATUS_BAD_PARAMETER;
    }
    if (outBufSize < KTZMON_KTZ_CAPS_RSP_SIZE)
    {
        return STATUS_BAD_LENGTH;
    }
    if (g_pKTZMonClientMgrData == nullptr)
    {
        return STATUS_NOT_READY;
    }
    auto* out = static_cast<uint8_t*>(pOutBuf);
    for (uint32_t i = 0; i < KTZMON_KTZ_CAPS_RSP_SIZE; ++i)
    {
        out[i] = 0;
    }
    ktz::StoreLE32(out, 0, g_pKTZMonClientMgrData->ktzCaps);
    if (pOutBytesReturned != nullptr)
    {
        *pOutBytesReturned = KTZMON_KTZ_CAPS_RSP_SIZE;
    }
    return STATUS_OK;
}
