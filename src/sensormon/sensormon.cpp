// Sensor monitor framework: the sensor type table, the monitor's data record
// and its lifecycle (attach, start, stop, detach), the settings read from the
// static INI file, the monitor thread and its check pass, the fan-out used
// when a client connects, and the sensor data request record.
#include "sensormon/sensormon.h"

#include "core/byteorder.h"
#include "core/global.h"
#include "core/ini.h"
#include "core/log.h"

#include <cstring>
#include <ctime>

KTZMonSensorType g_KTZMonSensorTypeTable[KTZMON_SENSOR_TYPE_COUNT] = {
    {
        .Ready = KTZMonSensorMonFanSensorsReady,
        .Attach = KTZMonSensorMonFanSensorsAttach,
        .Check = KTZMonSensorMonFanSensorsCheck,
        .SendToClient = KTZMonSensorMonFanSensorsSendToClient,
        .FRUsSendToClient = KTZMonSensorMonFanFRUsSendToClient,
        .Detach = KTZMonSensorMonFanSensorsDetach,
        .name = "Fan Sensor",
        .readingTolerance = 5,
        .readyCheck = 30,
        .healthCheck = 5,
        .readingCheck = 5,
        .lastReadyCheck = 0,
        .lastHealthCheck = 0,
        .lastReadingCheck = 0,
        .attached = 0,
    },
    {
        .Ready = KTZMonSensorMonTempSensorsReady,
        .Attach = KTZMonSensorMonTempSensorsAttach,
        .Check = KTZMonSensorMonTempSensorsCheck,
        .SendToClient = KTZMonSensorMonTempSensorsSendToClient,
        .FRUsSendToClient = KTZMonSensorMonTempFRUsSendToClient,
        .Detach = KTZMonSensorMonTempSensorsDetach,
        .name = "Temperature Sensor",
        .readingTolerance = 1,
        .readyCheck = 30,
        .healthCheck = 5,
        .readingCheck = 5,
        .lastReadyCheck = 0,
        .lastHealthCheck = 0,
        .lastReadingCheck = 0,
        .attached = 0,
    },
    {
        .Ready = KTZMonSensorMonPwrSupplySensorsReady,
        .Attach = KTZMonSensorMonPwrSupplySensorsAttach,
        .Check = KTZMonSensorMonPwrSupplySensorsCheck,
        .SendToClient = KTZMonSensorMonPwrSupplySensorsSendToClient,
        .FRUsSendToClient = KTZMonSensorMonPwrSupplyFRUsSendToClient,
        .Detach = KTZMonSensorMonPwrSupplySensorsDetach,
        .name = "Power Supply Sensor",
        .readingTolerance = 0,
        .readyCheck = 30,
        .healthCheck = 5,
        .readingCheck = 0,
        .lastReadyCheck = 0,
        .lastHealthCheck = 0,
        .lastReadingCheck = 0,
        .attached = 0,
    },
    {
        .Ready = KTZMonSensorMonPwrRedSensorsReady,
        .Attach = KTZMonSensorMonPwrRedSensorsAttach,
        .Check = KTZMonSensorMonPwrRedSensorsCheck,
        .SendToClient = KTZMonSensorMonPwrRedSensorsSendToClient,
        .FRUsSendToClient = KTZMonSensorMonPwrRedFRUsSendToClient,
        .Detach = KTZMonSensorMonPwrRedSensorsDetach,
        .name = "Power Redundancy Sensor",
        .readingTolerance = 0,
        .readyCheck = 30,
        .healthCheck = 5,
        .readingCheck = 0,
        .lastReadyCheck = 0,
        .lastHealthCheck = 0,
        .lastReadingCheck = 0,
        .attached = 0,
    },
};

KTZMonSensorMonData* g_pKTZMonSensorMonData = nullptr;

namespace
{
constexpr int32_t kDefaultSensorsCheck = 5;
// The thread waits sensorsCheck * 1000 ms in a signed 32-bit argument: keep
// the period between one second (a period of 0 or less would spin without
// waiting) and one day (far below the overflow of the multiplication).
constexpr int32_t kMinSensorsCheck = 1;
constexpr int32_t kMaxSensorsCheck = 86400;
constexpr uint32_t kThreadStartFailed = 0xFFFFFFFFu;
constexpr uint32_t kEventCreateFailed = 0xFFFFFFFFu;

constexpr const char* kSensorMonSection = "Sensor Monitor";

static_assert(KTZMON_SDR_OFF_NAME + 1 == KTZMON_SDR_FIXED_SIZE, "the record is 40 fixed bytes plus the name");

uint32_t Now()
{
    return static_cast<uint32_t>(time(nullptr));
}

int32_t ClampSensorsCheck(int32_t secs)
{
    if (secs < kMinSensorsCheck)
    {
        return kMinSensorsCheck;
    }
    if (secs > kMaxSensorsCheck)
    {
        return kMaxSensorsCheck;
    }
    return secs;
}
} // namespace

uint32_t KTZMonSensorMonAttach(uint32_t attachReason)
{
    auto* data = static_cast<KTZMonSensorMonData*>(SMAllocMem(sizeof(KTZMonSensorMonData)));
    if (data == nullptr)
    {
        g_pKTZMonSensorMonData = nullptr;
        return KTZMON_SENSORMON_NO_RESOURCES;
    }
    data->event = nullptr;
    data->thread = nullptr;
    data->sensorsCheck = kDefaultSensorsCheck;
    SMSLListInitNoAlloc(&data->fanSensors);
    SMSLListInitNoAlloc(&data->tempSensors);
    SMSLListInitNoAlloc(&data->pwrSupplySensors);
    SMSLListInitNoAlloc(&data->pwrRedSensors);
    g_pKTZMonSensorMonData = data;

    data->event = SMEventCreate(0, 0, 0);
    if (data->event == nullptr)
    {
        g_pKTZMonSensorMonData = nullptr;
        SMFreeMem(data);
        return kEventCreateFailed;
    }

    (void)KTZMonSensorMonCfgCheck(attachReason);
    KTZMonSensorMonSensorsCheckInit();
    return STATUS_OK;
}

void KTZMonSensorMonDetach(void)
{
    KTZMonSensorMonData* data = g_pKTZMonSensorMonData;
    if (data == nullptr)
    {
        return;
    }
    KTZMonSensorMonSensorsDetach();
    if (data->event != nullptr)
    {
        SMEventDestroy(data->event);
        data->event = nullptr;
    }
    g_pKTZMonSensorMonData = nullptr;
    SMFreeMem(data);
}

uint32_t KTZMonSensorMonStartMonitor(void)
{
    (void)KTZMonGlobalGetAndSetSensorMonStopping(0);
    const uint32_t status = KTZMonSensorMonThreadStart();
    if (status == STATUS_OK)
    {
        KTZMonLogMsg("Sensor monitoring started\n");
    }
    return status;
}

void KTZMonSensorMonStopMonitor(void)
{
    (void)KTZMonGlobalGetAndSetSensorMonStopping(1);
    KTZMonSensorMonThreadStop();
    KTZMonLogMsg("Sensor monitoring stopped\n");
}

uint32_t KTZMonSensorMonThreadStart(void)
{
    KTZMonSensorMonData* data = g_pKTZMonSensorMonData;
    if (data == nullptr)
    {
        return kThreadStartFailed;
    }
    data->thread = SMThreadStart(KTZMonSensorMonThread, nullptr);
    return data->thread != nullptr ? STATUS_OK : kThreadStartFailed;
}

void KTZMonSensorMonThreadStop(void)
{
    KTZMonSensorMonData* data = g_pKTZMonSensorMonData;
    if (data == nullptr || data->thread == nullptr)
    {
        return;
    }
    // The stopping flag is already set; the event cuts the thread's wait
    // short, and SMThreadStop returns only once the thread has ended. The
    // caller does not hold the monitor lock, which the thread takes after
    // its wait before it looks at the flag.
    (void)SMEventSet(data->event);
    (void)SMThreadStop(data->thread);
    data->thread = nullptr;
}

uintptr_t KTZMonSensorMonThread(void* /*arg*/)
{
    // The record outlives the thread: detach runs only after the thread
    // was stopped.
    KTZMonSensorMonData* data = g_pKTZMonSensorMonData;
    const int32_t waitMs = ClampSensorsCheck(data->sensorsCheck) * 1000;

    while (KTZMonGlobalGetSensorMonStopping() == 0)
    {
        // Ends when the period has passed or a stopper set the event; either
        // way the flag, read under the monitor lock, decides what follows.
        (void)SMEventWait(data->event, waitMs);
        KTZMonGlobalMonLock();
        if (KTZMonGlobalGetSensorMonStopping() == 1)
        {
            KTZMonGlobalMonUnlock();
            break;
        }
        KTZMonSensorMonSensorsCheck();
        KTZMonGlobalMonUnlock();
    }
    return 0;
}

uint32_t KTZMonSensorMonCfgCheck(uint32_t attachReason)
{
    char* path = KTZMonIniGetIniPathFileName(KTZMON_INI_STATIC);
    if (path == nullptr)
    {
        return KTZMON_SENSORMON_NO_RESOURCES;
    }

    KTZMonSensorMonData* data = g_pKTZMonSensorMonData;
    if (data != nullptr)
    {
        const int32_t secs = KTZMonIniGetKeyValueSigned32(path, kSensorMonSection,
                                                          "sensorscheckinterval.secs", data->sensorsCheck);
        data->sensorsCheck = ClampSensorsCheck(secs);
        KTZMonLogMsg("Sensor Monitor: sensorsCheck: %d\n", data->sensorsCheck);
    }

    for (KTZMonSensorType& row : g_KTZMonSensorTypeTable)
    {
        row.readingTolerance =
            KTZMonIniGetKeyValueUnSigned32(path, row.name, "readingtolerance", row.readingTolerance);
        row.readyCheck =
            KTZMonIniGetKeyValueUnSigned32(path, row.name, "readycheckinterval.secs", row.readyCheck);
        row.healthCheck =
            KTZMonIniGetKeyValueUnSigned32(path, row.name, "healthcheckinterval.secs", row.healthCheck);
        row.readingCheck =
            KTZMonIniGetKeyValueUnSigned32(path, row.name, "readingcheckinterval.secs", row.readingCheck);
        if (attachReason == 2)
        {
            // Monitoring switched on at run time: the platform services have
            // long settled, so ask every type at the first pass.
            row.readyCheck = 0;
        }
        KTZMonLogMsg("%s: readingTolerance: %u readyCheck: %u healthCheck: %u readingCheck: %u\n", row.name,
                     row.readingTolerance, row.readyCheck, row.healthCheck, row.readingCheck);
    }

    KTZMonIniFreeIniPathFileName(path);
    return STATUS_OK;
}

void KTZMonSensorMonSensorsCheckInit(void)
{
    const uint32_t now = Now();
    for (KTZMonSensorType& row : g_KTZMonSensorTypeTable)
    {
        row.lastReadyCheck = now;
        row.lastHealthCheck = now;
        row.lastReadingCheck = now;
    }
}

void KTZMonSensorMonSensorsCheck(void)
{
    for (KTZMonSensorType& row : g_KTZMonSensorTypeTable)
    {
        const uint32_t now = Now();
        if (row.attached != 1)
        {
            // readyCheck is a settling delay counted from monitor attach:
            // lastReadyCheck is stamped there and never moved.
            if (now - row.lastReadyCheck < row.readyCheck)
            {
                continue;
            }
            if (row.Ready() != 1)
            {
                continue;
            }
            row.Attach();
            row.attached = 1;
            row.lastHealthCheck = now;
            row.lastReadingCheck = now;
            row.SendToClient(nullptr);
            row.FRUsSendToClient(nullptr);
            if (KTZMonSensorMonSensorsAttached() == 1)
            {
                (void)KTZMonClientMgrSendDataSyncCompleteToClient(nullptr);
            }
            continue;
        }

        uint32_t flags = 0;
        if (row.healthCheck != 0 && now - row.lastHealthCheck >= row.healthCheck)
        {
            row.lastHealthCheck = now;
            flags |= KTZMON_CHECK_HEALTH;
        }
        if (row.readingCheck != 0 && now - row.lastReadingCheck >= row.readingCheck)
        {
            row.lastReadingCheck = now;
            flags |= KTZMON_CHECK_READING;
        }
        if (flags != 0)
        {
            row.Check(flags, row.readingTolerance);
        }
    }
}

int32_t KTZMonSensorMonSensorsAttached(void)
{
    if (g_pKTZMonSensorMonData == nullptr)
    {
        return 0;
    }
    for (const KTZMonSensorType& row : g_KTZMonSensorTypeTable)
    {
        if (row.attached != 1)
        {
            return 0;
        }
    }
    return 1;
}

void KTZMonSensorMonSensorsDetach(void)
{
    for (KTZMonSensorType& row : g_KTZMonSensorTypeTable)
    {
        row.Detach();
        row.attached = 0;
    }
}

void KTZMonSensorMonSensorsSendToClient(KTZMonClient* client)
{
    // Monitoring may be enabled while the monitor failed to attach or
    // start: then there is no record and nothing to send.
    if (g_pKTZMonSensorMonData == nullptr)
    {
        return;
    }
    for (KTZMonSensorType& row : g_KTZMonSensorTypeTable)
    {
        row.SendToClient(client);
    }
}

void KTZMonSensorMonFRUsSendToClient(KTZMonClient* client)
{
    if (g_pKTZMonSensorMonData == nullptr)
    {
        return;
    }
    for (KTZMonSensorType& row : g_KTZMonSensorTypeTable)
    {
        row.FRUsSendToClient(client);
    }
}

uint8_t* KTZMonSensorMonSensorDataReqAlloc(uint8_t sensorType, uint8_t sensorClass, uint32_t reading,
                                           uint8_t sensorNum, const char* name, uint32_t* pSize)
{
    const auto nameLen = static_cast<uint32_t>(std::strlen(name));
    const uint32_t size = KTZMON_SDR_FIXED_SIZE + nameLen;
    *pSize = size;
    auto* req = static_cast<uint8_t*>(SMAllocMem(size));
    if (req == nullptr)
    {
        return nullptr;
    }
    // presence and status (offsets 1 and 2) are the sender's; start them at 0.
    std::memset(req, 0, KTZMON_SDR_OFF_NAME);
    req[KTZMON_SDR_OFF_SENSOR_TYPE] = sensorType;
    req[KTZMON_SDR_OFF_SENSOR_NUM] = sensorNum;
    req[KTZMON_SDR_OFF_SENSOR_CLASS] = sensorClass;
    ktz::StoreU16(req, KTZMON_SDR_OFF_THRESHOLD_FLAGS, 0);
    ktz::StoreU32(req, KTZMON_SDR_OFF_READING, reading);
    ktz::StoreU32(req, KTZMON_SDR_OFF_NAME_OFFSET, KTZMON_SDR_OFF_NAME);
    std::memcpy(req + KTZMON_SDR_OFF_NAME, name, nameLen + 1);
    return req;
}

void KTZMonSensorMonSensorDataReqFree(uint8_t* req)
{
    SMFreeMem(req);
}
