// Module frame: the host environment, the single road to a client through
// the host's client-dispatch function, and the seven request handlers that
// RCESPDispatch routes to.
#ifndef KTZMON_MODULE_MODULE_H
#define KTZMON_MODULE_MODULE_H

#include "core/export.h"
#include "core/status.h"

#include <ktzmon/ktzmon.h>

#include <cstdint>

KTZMON_API uintptr_t g_KTZMonExportContext;
KTZMON_API void* pRCESPSPSMDEnv;

KTZMON_API uint32_t RCESPModuleAttach(void);
KTZMON_API void RCESPModuleDetach(void);

KTZMON_API uint32_t RCESPSPPMDAttach(void* env);
KTZMON_API void RCESPSPPMDDetach(void);
KTZMON_API void* RCESPSPPMDGetSPPMDE(void);
KTZMON_API uint32_t RCESPSPPMDDispatchRequestToClient(uint32_t clientID, uint32_t requestClass,
                                                      uint32_t requestType, void* pInBuf, uint32_t inBufSize,
                                                      void* pOutBuf, uint32_t outBufSize,
                                                      uint32_t* pOutBytesReturned, uint32_t trailer);

KTZMON_API uint32_t RCESPDispLoad(void* env);
KTZMON_API uint32_t RCESPDispUnload(void);
KTZMON_API uint32_t RCESPDispStartMonitor(void);
KTZMON_API uint32_t RCESPDispStopMonitor(void);
KTZMON_API uint32_t RCESPDispClientConnected(uint32_t clientID);
KTZMON_API uint32_t RCESPDispClientDisconnected(uint32_t clientID);
KTZMON_API uint32_t RCESPDispRequestFromClient(uint32_t requestClass, uint32_t requestType, void* pInBuf,
                                               uint32_t inBufSize, void* pOutBuf, uint32_t outBufSize,
                                               uint32_t* pOutBytesReturned);

namespace ktz
{
// The body of RCESPSPPMDDispatchRequestToClient, inline for the module's own
// send path (one call per client per message): the host's client-dispatch
// function from the environment given at Load, or STATUS_NOT_READY before it.
inline uint32_t DispatchRequestToClient(uint32_t clientID, uint32_t requestClass, uint32_t requestType,
                                        void* pInBuf, uint32_t inBufSize, void* pOutBuf, uint32_t outBufSize,
                                        uint32_t* pOutBytesReturned, uint32_t trailer)
{
    const auto* env = static_cast<const KTZMonHostEnv*>(pRCESPSPSMDEnv);
    if (env == nullptr)
    {
        return STATUS_NOT_READY;
    }
    return env->functionTable[0](clientID, requestClass, requestType, pInBuf, inBufSize, pOutBuf, outBufSize,
                                 pOutBytesReturned, trailer);
}
} // namespace ktz

#endif
