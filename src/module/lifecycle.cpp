// The seven request handlers: Load and Unload create and destroy every
// subsystem, Start-monitor and Stop-monitor start and stop their activity,
// the client handlers hand clients to the registry, and the client request
// handler answers the module's capability query.
//
// A lifecycle state guards the handlers against a host that calls them out
// of order (Unload after a failed Load, a second Stop-monitor, Start-monitor
// after Stop-monitor, a client before Load): such a call does nothing and
// returns STATUS_NOT_READY instead of tearing down what is already gone.
#include "cfgmon/cfgmon.h"
#include "clients/clientmgr.h"
#include "core/global.h"
#include "core/log.h"
#include "logmon/logmon.h"
#include "module/module.h"
#include "sensormon/sensormon.h"

#include <atomic>
#include <thread>

namespace
{
enum class Lifecycle : uint32_t
{
    Unloaded,  // nothing attached
    Loaded,    // subsystems attached, no module thread
    Started,   // monitoring threads running
    Stopped,   // module exiting; only Unload is served
    Unloading, // Unload in progress; client requests are refused
};

std::atomic<Lifecycle> g_state{Lifecycle::Unloaded};
// Client requests (connect, disconnect, capability query) in progress. Unload
// waits for them to leave before it frees the registry.
std::atomic<uint32_t> g_activeClientRequests{0};

constexpr uint32_t kAttachReasonLoad = 1;

bool MonitoringEnabled()
{
    return KTZMonCfgMonIsKTZMonitoringEnabled(nullptr) == 1;
}
bool ChassisLogProxySupported()
{
    return KTZMonGlobalGetChassisLogProxySupported() == 1;
}

// Marks a client request as in progress while the registry exists; false
// when the module is not loaded (the request is refused).
bool EnterClientRequest()
{
    // Sequentially consistent, like the store and load in Unload: either
    // Unload sees this request's count or this request sees Unloading.
    g_activeClientRequests.fetch_add(1);
    const Lifecycle state = g_state.load();
    if (state == Lifecycle::Loaded || state == Lifecycle::Started || state == Lifecycle::Stopped)
    {
        return true;
    }
    g_activeClientRequests.fetch_sub(1, std::memory_order_acq_rel);
    return false;
}

void LeaveClientRequest()
{
    g_activeClientRequests.fetch_sub(1, std::memory_order_acq_rel);
}

// Detaches what Load attached up to and including the client registry, in
// reverse order.
void DetachCore(bool clientMgr, bool cfgMon, bool log, bool global)
{
    if (clientMgr)
    {
        KTZMonClientMgrDetach();
    }
    if (cfgMon)
    {
        KTZMonCfgMonDetach();
    }
    if (log)
    {
        KTZMonLogDetach();
    }
    if (global)
    {
        KTZMonGlobalDetach();
    }
    RCESPSPPMDDetach();
}

// Starts the log monitor (when the chassis log proxy is supported) and the
// sensor monitor when the KTZ setting enables monitoring. Called with the
// monitor-switch lock held.
uint32_t StartMonitors()
{
    if (!MonitoringEnabled())
    {
        return STATUS_OK;
    }
    if (ChassisLogProxySupported() && KTZMonGlobalGetLogMonAttached() == 1 &&
        KTZMonGlobalGetLogMonStarted() != 1)
    {
        const uint32_t status = KTZMonLogMonStartMonitor();
        if (status != STATUS_OK)
        {
            return status;
        }
        (void)KTZMonGlobalGetAndSetLogMonStarted(1);
    }
    if (KTZMonGlobalGetSensorMonAttached() == 1 && KTZMonGlobalGetSensorMonStarted() != 1)
    {
        const uint32_t status = KTZMonSensorMonStartMonitor();
        if (status != STATUS_OK)
        {
            return status;
        }
        (void)KTZMonGlobalGetAndSetSensorMonStarted(1);
    }
    return STATUS_OK;
}

// Stops the sensor and log monitors if they were started. Holding the
// monitor-switch lock keeps a KTZ setting change on the configuration
// monitor thread from stopping or detaching the same monitor at the same
// time; the monitor lock itself is not held, since the sensor monitor thread
// takes it on every pass.
void StopMonitors()
{
    ktz::MonitorSwitchLock();
    if (KTZMonGlobalGetSensorMonStarted() == 1)
    {
        KTZMonSensorMonStopMonitor();
        (void)KTZMonGlobalGetAndSetSensorMonStarted(0);
    }
    if (KTZMonGlobalGetLogMonStarted() == 1)
    {
        KTZMonLogMonStopMonitor();
        (void)KTZMonGlobalGetAndSetLogMonStarted(0);
    }
    ktz::MonitorSwitchUnlock();
}
} // namespace

uint32_t RCESPDispLoad(void* env)
{
    if (g_state.load(std::memory_order_acquire) != Lifecycle::Unloaded)
    {
        return STATUS_NOT_READY;
    }
    (void)RCESPSPPMDAttach(env);

    uint32_t status = KTZMonGlobalAttach();
    if (status != STATUS_OK)
    {
        RCESPSPPMDDetach();
        return status;
    }
    status = KTZMonLogAttach();
    if (status != STATUS_OK)
    {
        DetachCore(false, false, false, true);
        return status;
    }
    status = KTZMonCfgMonAttach();
    if (status != STATUS_OK)
    {
        DetachCore(false, false, true, true);
        return status;
    }
    status = KTZMonClientMgrAttach();
    if (status != STATUS_OK)
    {
        DetachCore(false, true, true, true);
        return status;
    }

    if (MonitoringEnabled())
    {
        if (ChassisLogProxySupported())
        {
            status = KTZMonLogMonAttach();
            if (status != STATUS_OK)
            {
                DetachCore(true, true, true, true);
                return status;
            }
            (void)KTZMonGlobalGetAndSetLogMonAttached(1);
        }
        status = KTZMonSensorMonAttach(kAttachReasonLoad);
        if (status != STATUS_OK)
        {
            if (KTZMonGlobalGetLogMonAttached() == 1)
            {
                KTZMonLogMonDetach();
                (void)KTZMonGlobalGetAndSetLogMonAttached(0);
            }
            DetachCore(true, true, true, true);
            return status;
        }
        (void)KTZMonGlobalGetAndSetSensorMonAttached(1);
    }
    g_state.store(Lifecycle::Loaded, std::memory_order_release);
    return STATUS_OK;
}

uint32_t RCESPDispUnload(void)
{
    Lifecycle state = g_state.load(std::memory_order_acquire);
    if (state == Lifecycle::Started)
    {
        // Unload without Stop-monitor: stop first, so that no module thread
        // outlives the records it uses.
        (void)RCESPDispStopMonitor();
        state = g_state.load(std::memory_order_acquire);
    }
    if (state != Lifecycle::Loaded && state != Lifecycle::Stopped)
    {
        return STATUS_NOT_READY;
    }
    g_state.store(Lifecycle::Unloading);
    // Client requests that entered before the state changed finish first.
    while (g_activeClientRequests.load() != 0)
    {
        std::this_thread::yield();
    }

    if (KTZMonGlobalGetSensorMonAttached() == 1)
    {
        KTZMonSensorMonDetach();
        (void)KTZMonGlobalGetAndSetSensorMonAttached(0);
    }
    if (KTZMonGlobalGetLogMonAttached() == 1)
    {
        KTZMonLogMonDetach();
        (void)KTZMonGlobalGetAndSetLogMonAttached(0);
    }
    DetachCore(true, true, true, true);
    g_state.store(Lifecycle::Unloaded, std::memory_order_release);
    return STATUS_OK;
}

uint32_t RCESPDispStartMonitor(void)
{
    if (g_state.load(std::memory_order_acquire) != Lifecycle::Loaded)
    {
        return STATUS_NOT_READY;
    }
    uint32_t status = KTZMonCfgMonStartMonitor();
    if (status != STATUS_OK)
    {
        return status;
    }
    status = KTZMonClientMgrStartMonitor();
    if (status != STATUS_OK)
    {
        KTZMonCfgMonStopMonitor();
        return status;
    }
    // The configuration monitor thread already runs and may switch the
    // monitors for a setting change at this very moment: the switch lock
    // keeps this start and such a change apart, and a monitor the change
    // already started (or could not attach) is left as it is.
    ktz::MonitorSwitchLock();
    status = StartMonitors();
    ktz::MonitorSwitchUnlock();
    if (status != STATUS_OK)
    {
        // The configuration monitor thread is ended first, so that no
        // setting change can start a monitor behind this unwinding; then
        // whatever was started, here or by such a change, is stopped.
        KTZMonClientMgrStopMonitor();
        KTZMonCfgMonStopMonitor();
        StopMonitors();
        return status;
    }
    g_state.store(Lifecycle::Started, std::memory_order_release);
    return STATUS_OK;
}

uint32_t RCESPDispStopMonitor(void)
{
    const Lifecycle state = g_state.load(std::memory_order_acquire);
    if (state != Lifecycle::Started && state != Lifecycle::Loaded)
    {
        return STATUS_NOT_READY;
    }
    (void)KTZMonGlobalGetAndSetModuleExiting(1);
    if (state == Lifecycle::Started)
    {
        StopMonitors();
        KTZMonClientMgrStopMonitor();
        KTZMonCfgMonStopMonitor();
    }
    g_state.store(Lifecycle::Stopped, std::memory_order_release);
    return STATUS_OK;
}

uint32_t RCESPDispClientConnected(uint32_t clientID)
{
    if (!EnterClientRequest())
    {
        return STATUS_NOT_READY;
    }
    // The registry refuses clients once the module is exiting; the host is
    // told 0 whatever the registry answered.
    (void)KTZMonClientMgrClientConnected(clientID);
    LeaveClientRequest();
    return STATUS_OK;
}

uint32_t RCESPDispClientDisconnected(uint32_t clientID)
{
    if (!EnterClientRequest())
    {
        return STATUS_NOT_READY;
    }
    (void)KTZMonClientMgrClientDisconnected(clientID);
    LeaveClientRequest();
    return STATUS_OK;
}

uint32_t RCESPDispRequestFromClient(uint32_t requestClass, uint32_t requestType, void* pInBuf,
                                    uint32_t inBufSize, void* pOutBuf, uint32_t outBufSize,
                                    uint32_t* pOutBytesReturned)
{
    (void)pInBuf;
    (void)inBufSize;
    *pOutBytesReturned = 0;
    if (requestClass != KTZMON_REQ_CLASS || requestType != KTZMON_REQ_GET_KTZ_CAPS)
    {
        return STATUS_UNSUPPORTED;
    }
    if (!EnterClientRequest())
    {
        return STATUS_NOT_READY;
    }
    const uint32_t status = KTZMonClientMgrGetKTZMonKTZCaps(pOutBuf, outBufSize, pOutBytesReturned);
    LeaveClientRequest();
    return status;
}
