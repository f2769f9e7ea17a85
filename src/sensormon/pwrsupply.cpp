// Power supply sensors: one sensor per power-supply bay ("PS-<bay>") that
// mirrors the bay's presence, PSU state and health alert state, tracks whether
// the bay's FRU data can be read, and sends the bay's sensor data and its
// FRU-by-number record to clients. These are the operations of the
// "Power Supply Sensor" row of the sensor type table.
#include "core/byteorder.h"
#include "core/log.h"
#include "core/platform.h"
#include "core/platinfo.h"
#include "sensormon/sensormon.h"

#include <cstring>

namespace
{

constexpr uint8_t kPwrSupplySensorType = 3;
constexpr uint32_t kNameBufSize = 64;

// The largest bay number the 8-bit sensor number can carry.
constexpr int32_t kMaxBay = 255;

// PSU state and health alert codes the sensor data depends on.
constexpr uint32_t kPsuStateFailed = 6;
constexpr uint32_t kPsuAlertInputLost = 21810;       // 0x5532
constexpr uint32_t kPsuAlertOutOfRangeFirst = 21812; // 0x5534
constexpr uint32_t kPsuAlertOutOfRangeLast = 21815;  // 0x5537

// Reading bits of a power supply sensor.
constexpr uint32_t kReadingPresent = 0x01;
constexpr uint32_t kReadingFailure = 0x02;
constexpr uint32_t kReadingInputLost = 0x08;
constexpr uint32_t kReadingInputOutOfRange = 0x20;

// Sensor status codes.
constexpr uint8_t kStatusUnknown = 0;
constexpr uint8_t kStatusNormal = 1;
constexpr uint8_t kStatusCritical = 3;

// FRU-by-number record: kind, bay, data length, data offset, then the data.
constexpr uint32_t kFruOffKind = 0;
constexpr uint32_t kFruOffNum = 1;
constexpr uint32_t kFruOffDataLength = 2;
constexpr uint32_t kFruOffDataOffset = 4;
constexpr uint32_t kFruOffData = 8;
constexpr uint8_t kFruKindPsu = 1;
static_assert(kFruOffData + KTZMON_FRU_DATA_SIZE == KTZMON_FRU_RECORD_SIZE,
              "the FRU-by-number record is an 8-byte header and 256 bytes of FRU data");
static_assert(KTZMON_FRU_RECORD_SIZE == 264, "the FRU-by-number record is 264 bytes");

// The highest bay to probe. The bay count is the platform's signed word; a
// negative count means no bays, and bays above 255 cannot be named by the
// 8-bit sensor number, so probing stops at 255.
uint32_t ProbeLimit()
{
    const auto count = static_cast<int32_t>(ktz::PlatInfoWord(ktz::kPlatOffPsuBayCount));
    if (count < 0)
    {
        return 0;
    }
    if (count > kMaxBay)
    {
        return static_cast<uint32_t>(kMaxBay);
    }
    return static_cast<uint32_t>(count);
}

SMSLListEntry* FirstEntry(SMListHead& list)
{
    return static_cast<SMSLListEntry*>(list.first);
}

KTZMonPwrSupplySensor* SensorOf(SMSLListEntry* entry)
{
    return static_cast<KTZMonPwrSupplySensor*>(entry->data);
}

} // namespace

int32_t KTZMonSensorMonPwrSupplySensorsReady(void)
{
    for (uint32_t bay = 1; bay <= ProbeLimit(); ++bay)
    {
        uint32_t presence = 0;
        if (mms_psu_presence_get(bay, &presence) == 0 && presence == 1)
        {
            return 1;
        }
    }
    return 0;
}

namespace
{

// Says once per attach when the platform's bay count cannot be probed as is.
void LogBayCountOutOfRange()
{
    const auto count = static_cast<int32_t>(ktz::PlatInfoWord(ktz::kPlatOffPsuBayCount));
    if (count < 0)
    {
        KTZMonLogMsg("Power supply bay count %d out of range, probing no bays\n", count);
    }
    else if (count > kMaxBay)
    {
        KTZMonLogMsg("Power supply bay count %d out of range, probing bays 1 to 255\n", count);
    }
}

} // namespace

void KTZMonSensorMonPwrSupplySensorsAttach(void)
{
    if (g_pKTZMonSensorMonData == nullptr)
    {
        return;
    }
    LogBayCountOutOfRange();
    for (uint32_t bay = 1; bay <= ProbeLimit(); ++bay)
    {
        uint32_t presence = 0;
        uint32_t state = 0;
        uint32_t alert = 0;
        if (mms_psu_presence_get(bay, &presence) != 0 || mms_psu_state_get(bay, &state) != 0 ||
            mms_psu_health_alert_state_get(bay, &alert) != 0)
        {
            continue;
        }
        const int16_t fruReady =
            (presence == 1) ? static_cast<int16_t>(KTZMonSensorMonPwrSupplyIsFRUReady(bay)) : 0;

        char name[kNameBufSize];
        (void)sprintf_s(name, sizeof name, "PS-%u", bay);
        const size_t nameLen = std::strlen(name);

        // The record and its name share one list entry: the name lives right
        // behind the record.
        SMSLListEntry* entry =
            SMSLListEntryAlloc(static_cast<uint32_t>(sizeof(KTZMonPwrSupplySensor) + nameLen + 1));
        if (entry == nullptr)
        {
            break;
        }
        KTZMonPwrSupplySensor* sensor = SensorOf(entry);
        sensor->name = reinterpret_cast<char*>(sensor + 1);
        std::memcpy(sensor->name, name, nameLen + 1);
        sensor->presence = presence;
        sensor->state = state;
        sensor->alert = alert;
        sensor->fruReady = fruReady;
        sensor->sensorNum = static_cast<uint8_t>(bay);
        KTZMonLogMsg("Power supply sensor found: name: '%s' presence: %u state: %u alert: %u fruReady: %u\n",
                     sensor->name, sensor->presence, sensor->state, sensor->alert,
                     static_cast<uint32_t>(sensor->fruReady));
        SMSLListInsertEntryAtTail(&g_pKTZMonSensorMonData->pwrSupplySensors, entry);
    }
}

namespace
{

// Compares presence, state and alert with the service and sends the sensor
// when one of them changed. Returns false when a new state of 0 or 2 ends the
// bay's check for this cycle.
bool CheckHealth(KTZMonPwrSupplySensor* sensor)
{
    const uint32_t bay = sensor->sensorNum;
    bool changed = false;
    bool presenceChanged = false;

    uint32_t state = 0;
    if (mms_psu_state_get(bay, &state) == 0 && state != sensor->state)
    {
        KTZMonLogMsg("Power supply state change: name: '%s' prev: %u curr: %u\n", sensor->name, sensor->state,
                     state);
        sensor->state = state;
        if (state == 0 || state == 2)
        {
            return false;
        }
        changed = true;
    }

    uint32_t presence = 0;
    if (mms_psu_presence_get(bay, &presence) == 0 && presence != sensor->presence)
    {
        KTZMonLogMsg("Power supply presence change: name: '%s' prev: %u curr: %u\n", sensor->name,
                     sensor->presence, presence);
        sensor->presence = presence;
        changed = true;
        presenceChanged = true;
    }

    uint32_t alert = 0;
    if (mms_psu_health_alert_state_get(bay, &alert) == 0 && alert != sensor->alert)
    {
        KTZMonLogMsg("Power supply alert state change: name: '%s' prev: %u curr: %u\n", sensor->name,
                     sensor->alert, alert);
        sensor->alert = alert;
        changed = true;
    }

    if (changed)
    {
        KTZMonSensorMonPwrSupplySensorSendToClient(sensor, nullptr);
        // A pulled PSU's FRU data is sent again once a PSU is back and readable.
        if (presenceChanged && sensor->presence == 0)
        {
            sensor->fruReady = 0;
        }
    }
    return true;
}

// Sends the bay's FRU data to every client the first time it can be read
// while the PSU is present.
void CheckFRUReady(KTZMonPwrSupplySensor* sensor)
{
    if (sensor->presence != 1 || sensor->fruReady != 0)
    {
        return;
    }
    if (KTZMonSensorMonPwrSupplyIsFRUReady(sensor->sensorNum) != 1)
    {
        return;
    }
    KTZMonLogMsg("Power supply FRU ready change: name: '%s' prev: %u curr: %u\n", sensor->name, 0u, 1u);
    sensor->fruReady = 1;
    KTZMonSensorMonPwrSupplyFRUSendToClient(sensor, nullptr);
}

} // namespace

void KTZMonSensorMonPwrSupplySensorsCheck(uint32_t checkFlags, uint32_t readingTolerance)
{
    (void)readingTolerance;
    if (g_pKTZMonSensorMonData == nullptr)
    {
        return;
    }
    for (SMSLListEntry* e = FirstEntry(g_pKTZMonSensorMonData->pwrSupplySensors); e != nullptr; e = e->next)
    {
        KTZMonPwrSupplySensor* sensor = SensorOf(e);
        if ((checkFlags & KTZMON_CHECK_HEALTH) != 0 && !CheckHealth(sensor))
        {
            continue;
        }
        CheckFRUReady(sensor);
    }
}

void KTZMonSensorMonPwrSupplySensorSendToClient(KTZMonPwrSupplySensor* sensor, KTZMonClient* client)
{
    uint32_t size = 0;
    uint8_t* req = KTZMonSensorMonSensorDataReqAlloc(kPwrSupplySensorType, kPwrSupplySensorType, 0,
                                                     sensor->sensorNum, sensor->name, &size);
    if (req == nullptr)
    {
        return;
    }

    uint8_t presence = 1;
    uint8_t status = kStatusUnknown;
    uint32_t reading = 0;
    if (sensor->presence == 0)
    {
        // An empty bay: failure and input lost.
        presence = 0;
        reading = kReadingFailure | kReadingInputLost;
    }
    else if (sensor->presence == 1)
    {
        reading = kReadingPresent;
        if (sensor->state == kPsuStateFailed)
        {
            reading |= kReadingFailure;
        }
        if (sensor->alert == kPsuAlertInputLost)
        {
            reading |= kReadingInputLost;
        }
        else if (sensor->alert >= kPsuAlertOutOfRangeFirst && sensor->alert <= kPsuAlertOutOfRangeLast)
        {
            reading |= kReadingInputOutOfRange;
        }
        status = (sensor->state == kPsuStateFailed || sensor->alert != 0) ? kStatusCritical : kStatusNormal;
    }

    req[KTZMON_SDR_OFF_PRESENCE] = presence;
    req[KTZMON_SDR_OFF_STATUS] = status;
    ktz::StoreU32(req, KTZMON_SDR_OFF_READING, reading);
    KTZMonLogMsg(" Power supply reading update: name: '%s' reading: 0x%X : sensorState: %d \n", sensor->name,
                 reading, static_cast<int>(presence));
    (void)KTZMonClientMgrSendSensorDataToClient(client, req, size);
    KTZMonSensorMonSensorDataReqFree(req);
}

void KTZMonSensorMonPwrSupplySensorsSendToClient(KTZMonClient* client)
{
    if (g_pKTZMonSensorMonData == nullptr)
    {
        return;
    }
    for (SMSLListEntry* e = FirstEntry(g_pKTZMonSensorMonData->pwrSupplySensors); e != nullptr; e = e->next)
    {
        KTZMonSensorMonPwrSupplySensorSendToClient(SensorOf(e), client);
    }
}

void KTZMonSensorMonPwrSupplyFRUSendToClient(KTZMonPwrSupplySensor* sensor, KTZMonClient* client)
{
    auto* rec = static_cast<uint8_t*>(SMAllocMem(KTZMON_FRU_RECORD_SIZE));
    if (rec == nullptr)
    {
        return;
    }
    // Header in host order; the sender converts the length and offset to
    // little-endian right before dispatch.
    rec[kFruOffKind] = kFruKindPsu;
    rec[kFruOffNum] = sensor->sensorNum;
    ktz::StoreU16(rec, kFruOffDataLength, static_cast<uint16_t>(KTZMON_FRU_DATA_SIZE));
    ktz::StoreU32(rec, kFruOffDataOffset, kFruOffData);
    if (mms_psu_raw_fru_get(sensor->sensorNum, rec + kFruOffData, KTZMON_FRU_DATA_SIZE) == 0)
    {
        (void)KTZMonClientMgrSendFRUByNumToClient(client, rec, KTZMON_FRU_RECORD_SIZE);
    }
    SMFreeMem(rec);
}

void KTZMonSensorMonPwrSupplyFRUsSendToClient(KTZMonClient* client)
{
    if (g_pKTZMonSensorMonData == nullptr)
    {
        return;
    }
    for (SMSLListEntry* e = FirstEntry(g_pKTZMonSensorMonData->pwrSupplySensors); e != nullptr; e = e->next)
    {
        KTZMonPwrSupplySensor* sensor = SensorOf(e);
        if (sensor->presence == 1 && sensor->fruReady == 1)
        {
            KTZMonSensorMonPwrSupplyFRUSendToClient(sensor, client);
        }
    }
}

int32_t KTZMonSensorMonPwrSupplyIsFRUReady(uint32_t bay)
{
    // The data read is only a probe and is discarded.
    auto* buf = static_cast<uint8_t*>(SMAllocMem(KTZMON_FRU_DATA_SIZE));
    if (buf == nullptr)
    {
        return 0;
    }
    const int32_t result = mms_psu_raw_fru_get(bay, buf, KTZMON_FRU_DATA_SIZE);
    SMFreeMem(buf);
    return (result == 0) ? 1 : 0;
}

void KTZMonSensorMonPwrSupplySensorsDetach(void)
{
    if (g_pKTZMonSensorMonData == nullptr)
    {
        return;
    }
    SMSLListEntry* entry = nullptr;
    while ((entry = SMSLListRemoveEntryAtHead(&g_pKTZMonSensorMonData->pwrSupplySensors)) != nullptr)
    {
        SMSLListEntryFree(entry);
    }
}
