// Power redundancy sensor: the single chassis-wide sensor "Power Redundancy"
// that mirrors the power-supply service's redundancy configuration and
// redundancy state and sends them to clients as a redundancy state bit set.
// These are the operations of the "Power Redundancy Sensor" row of the sensor
// type table; the sensor has no FRU data.
#include "core/byteorder.h"
#include "core/log.h"
#include "core/platform.h"
#include "sensormon/sensormon.h"

#include <cstring>

namespace
{

constexpr uint8_t kPwrRedSensorType = 4;
constexpr uint8_t kPwrRedSensorNum = 1;
constexpr uint32_t kNameBufSize = 64;

// Configuration values: 0 no redundancy configured, 1 to 4 configured, above
// 4 reported as presence 2 without a state.
constexpr uint32_t kConfigMaxKnown = 4;

// Reading bits of the redundancy sensor.
constexpr uint32_t kReadingFullyRedundant = 0x01;
constexpr uint32_t kReadingRedundancyLost = 0x02;
constexpr uint32_t kReadingDegraded = 0x04;
constexpr uint32_t kReadingInsufficient = 0x20;

// Sensor status codes.
constexpr uint8_t kStatusUnknown = 0;
constexpr uint8_t kStatusNormal = 1;
constexpr uint8_t kStatusNonCritical = 2;
constexpr uint8_t kStatusCritical = 3;

SMSLListEntry* FirstEntry(SMListHead& list)
{
    return static_cast<SMSLListEntry*>(list.first);
}

KTZMonPwrRedSensor* SensorOf(SMSLListEntry* entry)
{
    return static_cast<KTZMonPwrRedSensor*>(entry->data);
}

} // namespace

int32_t KTZMonSensorMonPwrRedSensorsReady(void)
{
    // Redundancy is watched only once some power supply is present.
    return KTZMonSensorMonPwrSupplySensorsReady();
}

void KTZMonSensorMonPwrRedSensorsAttach(void)
{
    if (g_pKTZMonSensorMonData == nullptr)
    {
        return;
    }
    uint32_t config = 0;
    if (mms_psu_redundancy_get(&config) != 0)
    {
        return;
    }
    uint32_t state = 0;
    if (psu_redundancy_state_get(&state) != 0)
    {
        return;
    }

    char name[kNameBufSize];
    (void)sprintf_s(name, sizeof name, "Power Redundancy");
    const size_t nameLen = std::strlen(name);

    // The record and its name share one list entry: the name lives right
    // behind the record.
    SMSLListEntry* entry =
        SMSLListEntryAlloc(static_cast<uint32_t>(sizeof(KTZMonPwrRedSensor) + nameLen + 1));
    if (entry == nullptr)
    {
        return;
    }
    KTZMonPwrRedSensor* sensor = SensorOf(entry);
    sensor->name = reinterpret_cast<char*>(sensor + 1);
    std::memcpy(sensor->name, name, nameLen + 1);
    sensor->config = config;
    sensor->state = state;
    sensor->sensorNum = kPwrRedSensorNum;
    KTZMonLogMsg("Power redundancy sensor found: name: '%s' config: %u state: %u\n", sensor->name,
                 sensor->config, sensor->state);
    SMSLListInsertEntryAtTail(&g_pKTZMonSensorMonData->pwrRedSensors, entry);
}

void KTZMonSensorMonPwrRedSensorsCheck(uint32_t checkFlags, uint32_t readingTolerance)
{
    (void)readingTolerance;
    if (g_pKTZMonSensorMonData == nullptr || (checkFlags & KTZMON_CHECK_HEALTH) == 0)
    {
        return;
    }
    for (SMSLListEntry* e = FirstEntry(g_pKTZMonSensorMonData->pwrRedSensors); e != nullptr; e = e->next)
    {
        KTZMonPwrRedSensor* sensor = SensorOf(e);
        bool changed = false;

        uint32_t config = 0;
        if (mms_psu_redundancy_get(&config) == 0 && config != sensor->config)
        {
            KTZMonLogMsg("Power redundancy config change: name: '%s' prev: %u curr: %u\n", sensor->name,
                         sensor->config, config);
            sensor->config = config;
            changed = true;
        }

        uint32_t state = 0;
        if (psu_redundancy_state_get(&state) == 0 && state != sensor->state)
        {
            KTZMonLogMsg("Power redundancy state change: name: '%s' prev: %u curr: %u\n", sensor->name,
                         sensor->state, state);
            sensor->state = state;
            changed = true;
        }

        // Both values changing in one cycle still makes a single message.
        if (changed)
        {
            KTZMonSensorMonPwrRedSensorSendToClient(sensor, nullptr);
        }
    }
}

void KTZMonSensorMonPwrRedSensorSendToClient(KTZMonPwrRedSensor* sensor, KTZMonClient* client)
{
    uint32_t size = 0;
    uint8_t* req = KTZMonSensorMonSensorDataReqAlloc(kPwrRedSensorType, kPwrRedSensorType, 0,
                                                     sensor->sensorNum, sensor->name, &size);
    if (req == nullptr)
    {
        return;
    }

    uint8_t presence = 0;
    uint8_t status = kStatusUnknown;
    uint32_t reading = 0;
    if (sensor->config > kConfigMaxKnown)
    {
        presence = 2;
    }
    else if (sensor->config != 0)
    {
        presence = 1;
        switch (sensor->state)
        {
        case 0:
            status = kStatusCritical;
            reading = kReadingInsufficient;
            break;
        case 1:
            status = kStatusNormal;
            reading = kReadingFullyRedundant;
            break;
        case 2:
            status = kStatusCritical;
            reading = kReadingRedundancyLost;
            break;
        case 3:
            status = kStatusNonCritical;
            reading = kReadingDegraded;
            break;
        default: break;
        }
    }

    req[KTZMON_SDR_OFF_PRESENCE] = presence;
    req[KTZMON_SDR_OFF_STATUS] = status;
    ktz::StoreU32(req, KTZMON_SDR_OFF_READING, reading);
    (void)KTZMonClientMgrSendSensorDataToClient(client, req, size);
    KTZMonSensorMonSensorDataReqFree(req);
}

void KTZMonSensorMonPwrRedSensorsSendToClient(KTZMonClient* client)
{
    if (g_pKTZMonSensorMonData == nullptr)
    {
        return;
    }
    for (SMSLListEntry* e = FirstEntry(g_pKTZMonSensorMonData->pwrRedSensors); e != nullptr; e = e->next)
    {
        KTZMonSensorMonPwrRedSensorSendToClient(SensorOf(e), client);
    }
}

void KTZMonSensorMonPwrRedFRUsSendToClient(KTZMonClient* client)
{
    // The redundancy sensor has no FRU data.
    (void)client;
}

void KTZMonSensorMonPwrRedSensorsDetach(void)
{
    if (g_pKTZMonSensorMonData == nullptr)
    {
        return;
    }
    SMSLListEntry* entry = nullptr;
    while ((entry = SMSLListRemoveEntryAtHead(&g_pKTZMonSensorMonData->pwrRedSensors)) != nullptr)
    {
        SMSLListEntryFree(entry);
    }
}
