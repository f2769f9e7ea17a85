// Sensor monitor: the sensor type table (one row of operations and settings
// per sensor type), the monitor's data record with one sensor list per type,
// the monitor thread and its check pass, the fan-out used when a client
// connects, and the sensor data request record every sensor reaches a client
// in. The per-type operations live in one source per type.
#ifndef KTZMON_SENSORMON_SENSORMON_H
#define KTZMON_SENSORMON_SENSORMON_H

#include "clients/clientmgr.h"
#include "core/export.h"
#include "core/platform.h"

#include <ktzmon/protocol.h>

#include <cstdint>

inline constexpr uint32_t KTZMON_CHECK_HEALTH = 0x1;
inline constexpr uint32_t KTZMON_CHECK_READING = 0x2;

inline constexpr uint32_t KTZMON_SENSOR_TYPE_COUNT = 4;
inline constexpr uint32_t KTZMON_SENSORMON_NO_RESOURCES = 0x110;

// One row per sensor type. The six operations are called only by the
// framework, with the monitor lock held or while the monitor thread is not
// running; none takes the monitor lock itself.
struct KTZMonSensorType
{
    // Called only while the type is not attached, at most once per pass;
    // returns 1 when the type's data source can be read.
    int32_t (*Ready)(void);
    // Called once, right after Ready returned 1; fills the type's list and
    // logs every sensor found.
    void (*Attach)(void);
    // Called only while attached, with at least one KTZMON_CHECK_* flag:
    // compares stored sensors with fresh data, logs each difference and
    // sends every changed sensor to every client.
    void (*Check)(uint32_t checkFlags, uint32_t readingTolerance);
    // Sends one sensor data request record per list entry to the client
    // (null: every client).
    void (*SendToClient)(KTZMonClient* client);
    // Sends the type's FRU records (power supplies) or does nothing.
    void (*FRUsSendToClient)(KTZMonClient* client);
    // Empties the type's list.
    void (*Detach)(void);
    const char* name; // also the INI section of the row's settings
    uint32_t readingTolerance;
    uint32_t readyCheck;
    uint32_t healthCheck;
    uint32_t readingCheck;
    uint32_t lastReadyCheck;
    uint32_t lastHealthCheck;
    uint32_t lastReadingCheck;
    int16_t attached;
};

struct KTZMonSensorMonData
{
    void* event;
    void* thread;
    SMListHead fanSensors;
    SMListHead tempSensors;
    SMListHead pwrSupplySensors;
    SMListHead pwrRedSensors;
    int32_t sensorsCheck;
};

// Sensor data request record: 41 bytes plus the name length.
inline constexpr uint32_t KTZMON_SDR_OFF_SENSOR_TYPE = 0;
inline constexpr uint32_t KTZMON_SDR_OFF_PRESENCE = 1;
inline constexpr uint32_t KTZMON_SDR_OFF_STATUS = 2;
inline constexpr uint32_t KTZMON_SDR_OFF_SENSOR_NUM = 3;
inline constexpr uint32_t KTZMON_SDR_OFF_SENSOR_CLASS = 4;
inline constexpr uint32_t KTZMON_SDR_OFF_THRESHOLD_FLAGS = 6;
inline constexpr uint32_t KTZMON_SDR_OFF_READING = 8;
inline constexpr uint32_t KTZMON_SDR_OFF_NAME_OFFSET = 12;
inline constexpr uint32_t KTZMON_SDR_OFF_LNC_THRESHOLD = 28;
inline constexpr uint32_t KTZMON_SDR_OFF_LC_THRESHOLD = 32;
inline constexpr uint32_t KTZMON_SDR_OFF_NAME = 40;
inline constexpr uint32_t KTZMON_SDR_FIXED_SIZE = 41; // plus the name length

KTZMON_API KTZMonSensorType g_KTZMonSensorTypeTable[KTZMON_SENSOR_TYPE_COUNT];
KTZMON_API KTZMonSensorMonData* g_pKTZMonSensorMonData;

// ---- framework --------------------------------------------------------------------
KTZMON_API uint32_t KTZMonSensorMonAttach(uint32_t attachReason);
KTZMON_API void KTZMonSensorMonDetach(void);
KTZMON_API uint32_t KTZMonSensorMonStartMonitor(void);
KTZMON_API void KTZMonSensorMonStopMonitor(void);
KTZMON_API uint32_t KTZMonSensorMonThreadStart(void);
KTZMON_API void KTZMonSensorMonThreadStop(void);
KTZMON_API uintptr_t KTZMonSensorMonThread(void* arg);
KTZMON_API uint32_t KTZMonSensorMonCfgCheck(uint32_t attachReason);
KTZMON_API void KTZMonSensorMonSensorsCheckInit(void);
KTZMON_API void KTZMonSensorMonSensorsCheck(void);
KTZMON_API int32_t KTZMonSensorMonSensorsAttached(void);
KTZMON_API void KTZMonSensorMonSensorsDetach(void);
KTZMON_API void KTZMonSensorMonSensorsSendToClient(KTZMonClient* client);
KTZMON_API void KTZMonSensorMonFRUsSendToClient(KTZMonClient* client);
KTZMON_API uint8_t* KTZMonSensorMonSensorDataReqAlloc(uint8_t sensorType, uint8_t sensorClass,
                                                      uint32_t reading, uint8_t sensorNum, const char* name,
                                                      uint32_t* pSize);
KTZMON_API void KTZMonSensorMonSensorDataReqFree(uint8_t* req);

// ---- fans ---------------------------------------------------------------------------
struct KTZMonFanSensor
{
    char* name;
    uint32_t presence;
    uint32_t health;
    uint32_t delayModeStart;
    uint32_t reading;
    uint32_t lncThreshold;
    uint32_t lcThreshold;
    uint8_t fanNum;
    uint8_t fanSensorIndex;
    uint8_t sensorNum;
};

KTZMON_API int32_t KTZMonSensorMonFanSensorsReady(void);
KTZMON_API void KTZMonSensorMonFanSensorsAttach(void);
KTZMON_API void KTZMonSensorMonFanSensorsCheck(uint32_t checkFlags, uint32_t readingTolerance);
KTZMON_API int32_t KTZMonSensorMonFanSensorCheckReading(uint32_t stored, uint32_t current,
                                                        uint32_t tolerance);
KTZMON_API void KTZMonSensorMonFanSensorSendToClient(KTZMonFanSensor* sensor, KTZMonClient* client);
KTZMON_API void KTZMonSensorMonFanSensorsSendToClient(KTZMonClient* client);
KTZMON_API void KTZMonSensorMonFanFRUsSendToClient(KTZMonClient* client);
KTZMON_API void KTZMonSensorMonFanSensorsDetach(void);

// ---- temperatures ----------------------------------------------------------------------
struct KTZMonTempSensor
{
    char* name;
    uint32_t health;
    int8_t reading;
    uint8_t sensorNum;
};

inline constexpr uint32_t KTZMON_TEMP_MAX_ENTRIES = 8;
inline constexpr uint32_t KTZMON_TEMP_ENTRY_SIZE = 40;
inline constexpr uint32_t KTZMON_STASH_MAX_RECORDS = 7;
inline constexpr uint32_t KTZMON_STASH_RECORD_SIZE = 24;

KTZMON_API int32_t KTZonGetTempSensorData(uint8_t* entries, uint8_t* pCount, uint8_t* sensorNums);
KTZMON_API int32_t KTZMonSensorMonTempSensorsReady(void);
KTZMON_API void KTZMonSensorMonTempSensorsAttach(void);
KTZMON_API void KTZMonSensorMonTempSensorsCheck(uint32_t checkFlags, uint32_t readingTolerance);
KTZMON_API void KTZMonSensorMonTempSensorSendToClient(KTZMonTempSensor* sensor, KTZMonClient* client);
KTZMON_API void KTZMonSensorMonTempSensorsSendToClient(KTZMonClient* client);
KTZMON_API void KTZMonSensorMonTempFRUsSendToClient(KTZMonClient* client);
KTZMON_API void KTZMonSensorMonTempSensorsDetach(void);

// ---- power supplies ----------------------------------------------------------------------
struct KTZMonPwrSupplySensor
{
    char* name;
    uint32_t presence;
    uint32_t state;
    uint32_t alert;
    int16_t fruReady;
    uint8_t sensorNum;
};

inline constexpr uint32_t KTZMON_FRU_RECORD_SIZE = 264;

KTZMON_API int32_t KTZMonSensorMonPwrSupplySensorsReady(void);
KTZMON_API void KTZMonSensorMonPwrSupplySensorsAttach(void);
KTZMON_API void KTZMonSensorMonPwrSupplySensorsCheck(uint32_t checkFlags, uint32_t readingTolerance);
KTZMON_API void KTZMonSensorMonPwrSupplySensorSendToClient(KTZMonPwrSupplySensor* sensor,
                                                           KTZMonClient* client);
KTZMON_API void KTZMonSensorMonPwrSupplySensorsSendToClient(KTZMonClient* client);
KTZMON_API void KTZMonSensorMonPwrSupplyFRUSendToClient(KTZMonPwrSupplySensor* sensor, KTZMonClient* client);
KTZMON_API void KTZMonSensorMonPwrSupplyFRUsSendToClient(KTZMonClient* client);
KTZMON_API int32_t KTZMonSensorMonPwrSupplyIsFRUReady(uint32_t bay);
KTZMON_API void KTZMonSensorMonPwrSupplySensorsDetach(void);

// ---- power redundancy ----------------------------------------------------------------------
struct KTZMonPwrRedSensor
{
    char* name;
    uint32_t config;
    uint32_t state;
    uint8_t sensorNum;
};

KTZMON_API int32_t KTZMonSensorMonPwrRedSensorsReady(void);
KTZMON_API void KTZMonSensorMonPwrRedSensorsAttach(void);
KTZMON_API void KTZMonSensorMonPwrRedSensorsCheck(uint32_t checkFlags, uint32_t readingTolerance);
KTZMON_API void KTZMonSensorMonPwrRedSensorSendToClient(KTZMonPwrRedSensor* sensor, KTZMonClient* client);
KTZMON_API void KTZMonSensorMonPwrRedSensorsSendToClient(KTZMonClient* client);
KTZMON_API void KTZMonSensorMonPwrRedFRUsSendToClient(KTZMonClient* client);
KTZMON_API void KTZMonSensorMonPwrRedSensorsDetach(void);

#endif
