/* The host boundary of the KTZ Monitor module (libktzmon.so.1): the exported
 * entry points, the host request codes and the status values a host sees.
 * A host loads the library, calls KTZMON_RCESPDispatch for every request and
 * offers its client-dispatch function as entry 0 of the function table that
 * the first word of its environment record points to. */
#ifndef KTZMON_KTZMON_H
#define KTZMON_KTZMON_H

#include <stdint.h>

#ifdef __cplusplus
extern "C"
{
#endif

#if defined(__GNUC__)
#define KTZMON_PUBLIC __attribute__((visibility("default")))
#else
#define KTZMON_PUBLIC
#endif

    /* Host request codes (first argument of KTZMON_RCESPDispatch). */
    enum
    {
        KTZMON_HOST_REQ_LOAD = 1, /* input: one pointer, the host environment */
        KTZMON_HOST_REQ_UNLOAD = 2,
        KTZMON_HOST_REQ_START_MONITOR = 3,
        KTZMON_HOST_REQ_STOP_MONITOR = 4,
        KTZMON_HOST_REQ_CLIENT_CONNECTED = 5,    /* input: u32 client ID */
        KTZMON_HOST_REQ_CLIENT_DISCONNECTED = 6, /* input: u32 client ID */
        KTZMON_HOST_REQ_FROM_CLIENT = 7,         /* class, type, buffers */
    };

    /* Status values. */
    enum
    {
        KTZMON_STATUS_OK = 0,
        KTZMON_STATUS_UNSUPPORTED = 1,
        KTZMON_STATUS_CLIENT_DELETE_PENDING = 6,
        KTZMON_STATUS_BAD_LENGTH = 16,
        KTZMON_STATUS_NOT_READY = 17,
        KTZMON_STATUS_QUEUE_FULL = 19,
        KTZMON_STATUS_BAD_PARAMETER = 271,
        KTZMON_STATUS_NO_RESOURCES = 272,
    };
/* A semaphore, event, notification or thread was not set up. */
#define KTZMON_STATUS_SETUP_FAILED 0xFFFFFFFFu

    /* The host's client-dispatch function, entry 0 of the host function table:
     * clientID, requestClass, requestType, pInBuf, inBufSize, pOutBuf,
     * outBufSize, pOutBytesReturned, trailer (always 10000). */
    typedef uint32_t (*KTZMonHostClientDispatchFn)(uint32_t clientID, uint32_t requestClass,
                                                   uint32_t requestType, void* pInBuf, uint32_t inBufSize,
                                                   void* pOutBuf, uint32_t outBufSize,
                                                   uint32_t* pOutBytesReturned, uint32_t trailer);

    /* The host environment as far as the module reads it. */
    typedef struct KTZMonHostEnv
    {
        KTZMonHostClientDispatchFn* functionTable;
    } KTZMonHostEnv;

    typedef uint32_t (*KTZMonDispatchFn)(uint32_t requestCode, uint32_t requestClass, uint32_t requestType,
                                         void* pInBuf, uint32_t inBufSize, void* pOutBuf, uint32_t outBufSize,
                                         uint32_t* pOutBytesReturned);

    /* Installs the module's export context around RCESPDispatch. */
    KTZMON_PUBLIC uint32_t KTZMON_RCESPDispatch(uint32_t requestCode, uint32_t requestClass,
                                                uint32_t requestType, void* pInBuf, uint32_t inBufSize,
                                                void* pOutBuf, uint32_t outBufSize,
                                                uint32_t* pOutBytesReturned);
    KTZMON_PUBLIC uint32_t RCESPDispatch(uint32_t requestCode, uint32_t requestClass, uint32_t requestType,
                                         void* pInBuf, uint32_t inBufSize, void* pOutBuf, uint32_t outBufSize,
                                         uint32_t* pOutBytesReturned);

#ifdef __cplusplus
}
#endif

#endif
