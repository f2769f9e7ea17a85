// The module's boundary with the host: load-time constructor and unload-time
// destructor, the dispatch entries that install the export context and route
// each request to its handler, the host environment, and the single road by
// which anything reaches a client (the host's client-dispatch function).
#include "core/platform.h"
#include "core/status.h"
#include "module/module.h"

#include <cstring>

uintptr_t g_KTZMonExportContext = 0;
void* pRCESPSPSMDEnv = nullptr;

namespace
{
__attribute__((constructor)) void ModuleLoaded()
{
    SMGetExportContext(&g_KTZMonExportContext);
    (void)RCESPModuleAttach();
}

__attribute__((destructor)) void ModuleUnloaded()
{
    RCESPModuleDetach();
}

// Reads the first word of a request's input: a 32-bit ID, or a pointer-sized
// word for the Load request.
template <typename T> T ReadInputWord(const void* pInBuf)
{
    T value;
    std::memcpy(&value, pInBuf, sizeof value);
    return value;
}
} // namespace

uint32_t RCESPModuleAttach(void)
{
    return STATUS_OK;
}

void RCESPModuleDetach(void) {}

uint32_t KTZMON_RCESPDispatch(uint32_t requestCode, uint32_t requestClass, uint32_t requestType, void* pInBuf,
                              uint32_t inBufSize, void* pOutBuf, uint32_t outBufSize,
                              uint32_t* pOutBytesReturned)
{
    uintptr_t saved = 0;
    SMSetExportContext(&saved, &g_KTZMonExportContext);
    const uint32_t status = RCESPDispatch(requestCode, requestClass, requestType, pInBuf, inBufSize, pOutBuf,
                                          outBufSize, pOutBytesReturned);
    SMResetExportContext(&saved);
    return status;
}

uint32_t RCESPDispatch(uint32_t requestCode, uint32_t requestClass, uint32_t requestType, void* pInBuf,
                       uint32_t inBufSize, void* pOutBuf, uint32_t outBufSize, uint32_t* pOutBytesReturned)
{
    *pOutBytesReturned = 0;
    uint32_t replyLength = 0;
    uint32_t status = STATUS_UNSUPPORTED;

    switch (requestCode)
    {
    case KTZMON_HOST_REQ_LOAD:
        // The input word carries a pointer: a shorter input cannot hold one.
        if (inBufSize < sizeof(void*) || pInBuf == nullptr)
        {
            return STATUS_BAD_PARAMETER;
        }
        status = RCESPDispLoad(ReadInputWord<void*>(pInBuf));
        break;
    case KTZMON_HOST_REQ_CLIENT_CONNECTED:
    case KTZMON_HOST_REQ_CLIENT_DISCONNECTED:
        if (inBufSize < sizeof(uint32_t) || pInBuf == nullptr)
        {
            return STATUS_BAD_PARAMETER;
        }
        status = requestCode == KTZMON_HOST_REQ_CLIENT_CONNECTED
                     ? RCESPDispClientConnected(ReadInputWord<uint32_t>(pInBuf))
                     : RCESPDispClientDisconnected(ReadInputWord<uint32_t>(pInBuf));
        break;
    case KTZMON_HOST_REQ_UNLOAD: status = RCESPDispUnload(); break;
    case KTZMON_HOST_REQ_START_MONITOR: status = RCESPDispStartMonitor(); break;
    case KTZMON_HOST_REQ_STOP_MONITOR: status = RCESPDispStopMonitor(); break;
    case KTZMON_HOST_REQ_FROM_CLIENT:
        status = RCESPDispRequestFromClient(requestClass, requestType, pInBuf, inBufSize, pOutBuf, outBufSize,
                                            &replyLength);
        break;
    default: return STATUS_UNSUPPORTED;
    }

    if (status == STATUS_OK)
    {
        *pOutBytesReturned = replyLength;
    }
    return status;
}

uint32_t RCESPSPPMDAttach(void* env)
{
    pRCESPSPSMDEnv = env;
    return 1;
}

void RCESPSPPMDDetach(void)
{
    pRCESPSPSMDEnv = nullptr;
}

void* RCESPSPPMDGetSPPMDE(void)
{
    return pRCESPSPSMDEnv;
}

uint32_t RCESPSPPMDDispatchRequestToClient(uint32_t clientID, uint32_t requestClass, uint32_t requestType,
                                           void* pInBuf, uint32_t inBufSize, void* pOutBuf,
                                           uint32_t outBufSize, uint32_t* pOutBytesReturned, uint32_t trailer)
{
    return ktz::DispatchRequestToClient(clientID, requestClass, requestType, pInBuf, inBufSize, pOutBuf,
                                        outBufSize, pOutBytesReturned, trailer);
}
