// Temperature sensors: the temperature row of the sensor type table.
// Collects the chassis sensor from the thermal service and, where the
// platform has them, further sensors from the blade-management stash; keeps
// one record per sensor in the tempSensors list, compares the records with
// fresh data on every check (signed 8-bit readings) and sends changed
// sensors to every client.
#include "core/byteorder.h"
#include "core/log.h"
#include "core/platinfo.h"
#include "sensormon/sensormon.h"

#include <cstring>

namespace
{
// A temperature entry of the collection buffer.
constexpr uint32_t kEntryOffName = 4;
constexpr uint32_t kEntryNameField = 21;
constexpr uint32_t kMaxNameLen = kEntryNameField - 1;
constexpr uint32_t kEntryOffHealth = 28;
constexpr uint32_t kEntryOffReading = 32;

// A stash record.
constexpr uint32_t kStashOffA = 0;
constexpr uint32_t kStashOffB = 1;
constexpr uint32_t kStashOffReading = 2;
constexpr uint32_t kStashOffName = 3;
static_assert(kStashOffName + kEntryNameField <= KTZMON_STASH_RECORD_SIZE, "the stash name fits its record");
static_assert(kEntryOffReading < KTZMON_TEMP_ENTRY_SIZE, "the reading fits its entry");

constexpr uint8_t kTempSensorType = 2;

// One collection: the entries, their numbers and their count.
struct TempData
{
    uint8_t entries[KTZMON_TEMP_MAX_ENTRIES * KTZMON_TEMP_ENTRY_SIZE];
    uint8_t nums[KTZMON_TEMP_MAX_ENTRIES];
    uint8_t count;
};

int32_t CollectTemps(uint8_t* entries, uint8_t* pCount, uint8_t* sensorNums, bool logLeftOut);

int32_t Collect(TempData& data, bool logLeftOut = false)
{
    data.count = 0;
    return CollectTemps(data.entries, &data.count, data.nums, logLeftOut);
}

uint8_t* Entry(TempData& data, uint32_t i)
{
    return data.entries + i * KTZMON_TEMP_ENTRY_SIZE;
}

uint32_t EntryHealth(const uint8_t* entry)
{
    return ktz::LoadU32(entry, kEntryOffHealth);
}

int8_t EntryReading(const uint8_t* entry)
{
    return static_cast<int8_t>(entry[kEntryOffReading]);
}

const char* EntryName(const uint8_t* entry, uint32_t* pLen)
{
    const auto* name = reinterpret_cast<const char*>(entry + kEntryOffName);
    *pLen = static_cast<uint32_t>(strnlen(name, kMaxNameLen));
    return name;
}

bool StashAvailable()
{
    return (ktz::PlatInfoWord(ktz::kPlatOffCapWordB) & ktz::kPlatCapBStash) != 0 &&
           (ktz::PlatInfoWord(ktz::kPlatOffCapWordA) & ktz::kPlatCapAStash) != 0 &&
           ktz::PlatInfoWord(ktz::kPlatOffStashWord) != 0;
}

uint8_t TempStatus(uint32_t health)
{
    switch (health)
    {
    case 0: return 1;
    case 1: return 2;
    case 2: return 3;
    case 3: return 2;
    case 4: return 3;
    default: return 0;
    }
}

// The signed 8-bit tolerance band around the stored reading. -128 and 127
// are edge values: reaching them from any other reading is a change.
bool TempReadingChanged(int8_t stored, int8_t current, uint32_t readingTolerance)
{
    const int32_t p = stored;
    const int32_t c = current;
    const int32_t t = static_cast<int8_t>(readingTolerance & 0xFF);
    int32_t lower = -128;
    if (p != -128)
    {
        lower = p - t < -127 ? -127 : p - t;
    }
    int32_t upper = 127;
    if (p != 127)
    {
        upper = p + t > 126 ? 126 : p + t;
    }
    return c < lower || c > upper;
}

SMListHead* TempList()
{
    return g_pKTZMonSensorMonData != nullptr ? &g_pKTZMonSensorMonData->tempSensors : nullptr;
}

KTZMonTempSensor* TempSensorOf(SMSLListEntry* entry)
{
    return static_cast<KTZMonTempSensor*>(entry->data);
}
} // namespace

namespace
{
// True when an earlier entry of this collection already has the number.
bool SensorNumTaken(const uint8_t* sensorNums, uint32_t count, uint8_t num)
{
    for (uint32_t i = 0; i < count; ++i)
    {
        if (sensorNums[i] == num)
        {
            return true;
        }
    }
    return false;
}

// Collects into the caller's buffers. A stash record whose locator codes
// give number 0 or a number an earlier sensor has is left out, so that no
// two temperature sensors share a number; with logLeftOut it is logged.
int32_t CollectTemps(uint8_t* entries, uint8_t* pCount, uint8_t* sensorNums, bool logLeftOut)
{
    // Every collection starts from zeroed entries and numbers, so nothing a
    // previous collection left (stash health words, unused positions) is
    // taken for current data.
    std::memset(entries, 0, KTZMON_TEMP_MAX_ENTRIES * KTZMON_TEMP_ENTRY_SIZE);
    std::memset(sensorNums, 0, KTZMON_TEMP_MAX_ENTRIES);

    uint8_t stashCount = 0;
    int32_t rc = ThermalGetSensorData(entries, pCount, sensorNums);
    if (rc != 0)
    {
        KTZMonLogMsg("KTZonGetTempSensorData failed: rc: %d\n", rc);
        return rc;
    }
    // Only the thermal service's first entry is used.
    *pCount = 1;
    sensorNums[0] = 1;

    if (!StashAvailable())
    {
        return 0;
    }
    uint8_t records[KTZMON_STASH_MAX_RECORDS * KTZMON_STASH_RECORD_SIZE];
    std::memset(records, 0, sizeof records);
    rc = bm_get_stash_temp_sensor_data(records, &stashCount);
    if (rc != 0)
    {
        KTZMonLogMsg("KTZonGetTempSensorData: bm_get_stash_temp_sensor_data:  failed: rc: %d\n", rc);
        return rc;
    }
    const uint32_t taken = stashCount < KTZMON_STASH_MAX_RECORDS ? stashCount : KTZMON_STASH_MAX_RECORDS;
    uint32_t count = 1;
    for (uint32_t i = 0; i < taken; ++i)
    {
        const uint8_t* rec = records + i * KTZMON_STASH_RECORD_SIZE;
        const auto num = static_cast<uint8_t>((rec[kStashOffA] - 2) * 2 + rec[kStashOffB]);
        if (num == 0 || SensorNumTaken(sensorNums, count, num))
        {
            if (logLeftOut)
            {
                KTZMonLogMsg(
                    "Temperature sensor number %u not usable, leaving out stash record: a: %u b: %u\n",
                    static_cast<uint32_t>(num), static_cast<uint32_t>(rec[kStashOffA]),
                    static_cast<uint32_t>(rec[kStashOffB]));
            }
            continue;
        }
        uint8_t* entry = entries + count * KTZMON_TEMP_ENTRY_SIZE;
        entry[kEntryOffReading] = rec[kStashOffReading];
        // The whole 21-byte field is copied and its last byte made NUL, so a
        // name keeps at most 20 characters whether or not the stash ended it.
        std::memcpy(entry + kEntryOffName, rec + kStashOffName, kEntryNameField);
        entry[kEntryOffName + kMaxNameLen] = 0;
        sensorNums[count] = num;
        ++count;
    }
    *pCount = static_cast<uint8_t>(count);
    return 0;
}
} // namespace

int32_t KTZonGetTempSensorData(uint8_t* entries, uint8_t* pCount, uint8_t* sensorNums)
{
    return CollectTemps(entries, pCount, sensorNums, false);
}

int32_t KTZMonSensorMonTempSensorsReady(void)
{
    TempData data;
    return (Collect(data) == 0 && data.count != 0) ? 1 : 0;
}

void KTZMonSensorMonTempSensorsAttach(void)
{
    SMListHead* list = TempList();
    if (list == nullptr)
    {
        return;
    }
    TempData data;
    if (Collect(data, true) != 0)
    {
        return;
    }
    for (uint32_t i = 0; i < data.count; ++i)
    {
        const uint8_t* entry = Entry(data, i);
        uint32_t nameLen = 0;
        const char* name = EntryName(entry, &nameLen);
        SMSLListEntry* listEntry =
            SMSLListEntryAlloc(static_cast<uint32_t>(sizeof(KTZMonTempSensor)) + nameLen + 1);
        if (listEntry == nullptr)
        {
            return;
        }
        KTZMonTempSensor* sensor = TempSensorOf(listEntry);
        sensor->name = reinterpret_cast<char*>(sensor + 1);
        std::memcpy(sensor->name, name, nameLen);
        sensor->name[nameLen] = '\0';
        sensor->health = EntryHealth(entry);
        sensor->reading = EntryReading(entry);
        sensor->sensorNum = data.nums[i];
        KTZMonLogMsg("Temperature sensor found: name: '%s' health: %u reading: %d\n", sensor->name,
                     sensor->health, static_cast<int32_t>(sensor->reading));
        SMSLListInsertEntryAtTail(list, listEntry);
    }
}

void KTZMonSensorMonTempSensorsCheck(uint32_t checkFlags, uint32_t readingTolerance)
{
    SMListHead* list = TempList();
    if (list == nullptr)
    {
        return;
    }
    TempData data;
    if (Collect(data) != 0)
    {
        return;
    }
    // The record at list position i goes with entry i. Records beyond this
    // collection's count have no current data and are left as they are.
    uint32_t i = 0;
    for (auto* listEntry = static_cast<SMSLListEntry*>(list->first); listEntry != nullptr && i < data.count;
         listEntry = listEntry->next, ++i)
    {
        KTZMonTempSensor* sensor = TempSensorOf(listEntry);
        const uint8_t* entry = Entry(data, i);
        const uint32_t health = EntryHealth(entry);
        const int8_t reading = EntryReading(entry);
        bool changed = false;
        if ((checkFlags & KTZMON_CHECK_HEALTH) != 0 && health != sensor->health)
        {
            KTZMonLogMsg("Temperature sensor health change: name: '%s' prev: %u curr: %u\n", sensor->name,
                         sensor->health, health);
            changed = true;
        }
        if ((checkFlags & KTZMON_CHECK_READING) != 0 &&
            TempReadingChanged(sensor->reading, reading, readingTolerance))
        {
            KTZMonLogMsg("Temperature sensor reading change: name: '%s' prev: %d curr: %d diff: %+d\n",
                         sensor->name, static_cast<int32_t>(sensor->reading), static_cast<int32_t>(reading),
                         static_cast<int32_t>(reading) - static_cast<int32_t>(sensor->reading));
            changed = true;
        }
        if (changed)
        {
            sensor->health = health;
            sensor->reading = reading;
            KTZMonSensorMonTempSensorSendToClient(sensor, nullptr);
        }
    }
}

void KTZMonSensorMonTempSensorSendToClient(KTZMonTempSensor* sensor, KTZMonClient* client)
{
    uint32_t size = 0;
    // The signed reading goes out sign-extended to 32 bits.
    const auto reading = static_cast<uint32_t>(static_cast<int32_t>(sensor->reading));
    uint8_t* req = KTZMonSensorMonSensorDataReqAlloc(kTempSensorType, kTempSensorType, reading,
                                                     sensor->sensorNum, sensor->name, &size);
    if (req == nullptr)
    {
        return;
    }
    req[KTZMON_SDR_OFF_PRESENCE] = 1;
    req[KTZMON_SDR_OFF_STATUS] = TempStatus(sensor->health);
    (void)KTZMonClientMgrSendSensorDataToClient(client, req, size);
    KTZMonSensorMonSensorDataReqFree(req);
}

void KTZMonSensorMonTempSensorsSendToClient(KTZMonClient* client)
{
    SMListHead* list = TempList();
    if (list == nullptr)
    {
        return;
    }
    for (auto* entry = static_cast<SMSLListEntry*>(list->first); entry != nullptr; entry = entry->next)
    {
        KTZMonSensorMonTempSensorSendToClient(TempSensorOf(entry), client);
    }
}

void KTZMonSensorMonTempFRUsSendToClient(KTZMonClient* /*client*/) {}

void KTZMonSensorMonTempSensorsDetach(void)
{
    SMListHead* list = TempList();
    if (list == nullptr)
    {
        return;
    }
    while (SMSLListEntry* entry = SMSLListRemoveEntryAtHead(list))
    {
        SMSLListEntryFree(entry);
    }
}
