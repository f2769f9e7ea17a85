// Fan sensors: the fan row of the sensor type table. Finds the chassis fan
// sensors through the thermal service, keeps one record per sensor in the
// fanSensors list, compares them with fresh data on every check (holding
// back changes that come with a low reading for a short delay) and sends
// changed sensors to every client.
#include "core/byteorder.h"
#include "core/log.h"
#include "core/platinfo.h"
#include "sensormon/sensormon.h"

#include <cstring>
#include <ctime>

namespace
{
// The thermal service's fan record, as far as the module reads it.
constexpr uint32_t kFanDataSize = 76;
constexpr uint32_t kFanOffName1 = 4;
constexpr uint32_t kFanOffName2 = 20;
constexpr uint32_t kFanNameField = 16;
constexpr uint32_t kFanOffPresence = 36;
constexpr uint32_t kFanOffHealth = 40;
constexpr uint32_t kFanOffPwm = 45;
constexpr uint32_t kFanOffSensorCount = 46;
constexpr uint32_t kFanOffReading1 = 60;
constexpr uint32_t kFanOffReading2 = 64;
constexpr uint32_t kFanOffLncThreshold = 68;
constexpr uint32_t kFanOffLcThreshold = 72;

// Fan numbers and sensor numbers are 8-bit; sensor number 0 is not used.
constexpr uint32_t kMaxFanNum = 255;
constexpr uint32_t kMaxSensorNum = 255;
// Seconds a change with a low reading is held back.
constexpr int32_t kDelayModeSecs = 24;

constexpr uint8_t kFanSensorType = 1;

// A fan record of the thermal service, read into a zeroed buffer.
struct FanData
{
    uint8_t buf[kFanDataSize];
};

int32_t ReadFan(uint32_t fanNum, FanData& fan)
{
    std::memset(fan.buf, 0, sizeof fan.buf);
    return ThermalGetFanData(fanNum, fan.buf);
}

uint32_t FanReading(const FanData& fan, uint8_t sensorIndex)
{
    return ktz::LoadU32(fan.buf, sensorIndex == 1 ? kFanOffReading1 : kFanOffReading2);
}

// The sensor's name in the fan record, bounded by its field even when the
// service left it without a NUL.
uint32_t FanNameLength(const FanData& fan, uint8_t sensorIndex, const char** pName)
{
    const auto* name =
        reinterpret_cast<const char*>(fan.buf + (sensorIndex == 1 ? kFanOffName1 : kFanOffName2));
    *pName = name;
    return static_cast<uint32_t>(strnlen(name, kFanNameField));
}

bool IsMultiSensorPlatform(uint32_t platformId)
{
    switch (platformId)
    {
    case 0x10:
    case 0x11:
    case 0x12:
    case 0x13:
    case 0x20:
    case 0x21: return true;
    default: return false;
    }
}

uint8_t FanStatus(uint32_t health)
{
    switch (health)
    {
    case 1: return 1;
    case 2: return 3;
    case 3: return 2;
    default: return 0;
    }
}

SMListHead* FanList()
{
    return g_pKTZMonSensorMonData != nullptr ? &g_pKTZMonSensorMonData->fanSensors : nullptr;
}

KTZMonFanSensor* FanSensorOf(SMSLListEntry* entry)
{
    return static_cast<KTZMonFanSensor*>(entry->data);
}

void AddFanSensor(SMListHead* list, const FanData& fan, uint8_t fanNum, uint8_t sensorIndex,
                  uint8_t sensorNum)
{
    const char* name = nullptr;
    const uint32_t nameLen = FanNameLength(fan, sensorIndex, &name);
    SMSLListEntry* entry = SMSLListEntryAlloc(static_cast<uint32_t>(sizeof(KTZMonFanSensor)) + nameLen + 1);
    if (entry == nullptr)
    {
        return;
    }
    auto* sensor = FanSensorOf(entry);
    sensor->name = reinterpret_cast<char*>(sensor + 1);
    std::memcpy(sensor->name, name, nameLen);
    sensor->name[nameLen] = '\0';
    sensor->presence = ktz::LoadU32(fan.buf, kFanOffPresence);
    sensor->health = ktz::LoadU32(fan.buf, kFanOffHealth);
    sensor->delayModeStart = 0;
    sensor->reading = FanReading(fan, sensorIndex);
    sensor->lncThreshold = ktz::LoadU32(fan.buf, kFanOffLncThreshold);
    sensor->lcThreshold = ktz::LoadU32(fan.buf, kFanOffLcThreshold);
    sensor->fanNum = fanNum;
    sensor->fanSensorIndex = sensorIndex;
    sensor->sensorNum = sensorNum;
    KTZMonLogMsg("Fan sensor found: name: '%s' presence: %u health: %u reading: %d lncThreshold: %d "
                 "lcThreshold: %d\n",
                 sensor->name, sensor->presence, sensor->health, static_cast<int32_t>(sensor->reading),
                 static_cast<int32_t>(sensor->lncThreshold), static_cast<int32_t>(sensor->lcThreshold));
    SMSLListInsertEntryAtTail(list, entry);
}

// Compares one stored sensor with fresh fan data; returns true when a
// difference the flags ask about was found (each one logged).
bool FanSensorChanged(const KTZMonFanSensor* sensor, const FanData& fan, uint32_t current,
                      uint32_t checkFlags, uint32_t readingTolerance)
{
    bool changed = false;
    if ((checkFlags & KTZMON_CHECK_HEALTH) != 0)
    {
        const uint32_t presence = ktz::LoadU32(fan.buf, kFanOffPresence);
        if (presence != sensor->presence)
        {
            KTZMonLogMsg("Fan sensor presence change: name: '%s' prev: %u curr: %u\n", sensor->name,
                         sensor->presence, presence);
            changed = true;
        }
        const uint32_t health = ktz::LoadU32(fan.buf, kFanOffHealth);
        if (health != sensor->health)
        {
            KTZMonLogMsg("Fan sensor health change: name: '%s' prev: %u curr: %u\n", sensor->name,
                         sensor->health, health);
            changed = true;
        }
    }
    if ((checkFlags & KTZMON_CHECK_READING) != 0)
    {
        if (KTZMonSensorMonFanSensorCheckReading(sensor->reading, current, readingTolerance) == 1)
        {
            KTZMonLogMsg("Fan sensor reading change: name: '%s' prev: %u curr: %u diff: %+d\n", sensor->name,
                         sensor->reading, current, static_cast<int32_t>(current - sensor->reading));
            changed = true;
        }
        const uint32_t lnc = ktz::LoadU32(fan.buf, kFanOffLncThreshold);
        if (lnc != sensor->lncThreshold)
        {
            KTZMonLogMsg("Fan sensor lncThreshold change: name: '%s' prev: %u curr: %u diff: %+d\n",
                         sensor->name, sensor->lncThreshold, lnc,
                         static_cast<int32_t>(lnc - sensor->lncThreshold));
            changed = true;
        }
        const uint32_t lc = ktz::LoadU32(fan.buf, kFanOffLcThreshold);
        if (lc != sensor->lcThreshold)
        {
            KTZMonLogMsg("Fan sensor lcThreshold change: name: '%s' prev: %u curr: %u diff: %+d\n",
                         sensor->name, sensor->lcThreshold, lc,
                         static_cast<int32_t>(lc - sensor->lcThreshold));
            changed = true;
        }
    }
    return changed;
}

// Decides whether a changed sensor with a reading at or below its lower
// non-critical threshold is held back. Returns true while the change must
// not be stored or sent.
bool FanSensorHeldBack(KTZMonFanSensor* sensor, const FanData& fan, uint32_t current)
{
    const uint32_t lnc = ktz::LoadU32(fan.buf, kFanOffLncThreshold);
    if (current > lnc)
    {
        return false;
    }
    KTZMonLogMsg(
        "Fan sensor reading below threshold: name: '%s' reading: %u lncThreshold: %u lcThreshold: %u "
        "PWM: %u\n",
        sensor->name, current, lnc, ktz::LoadU32(fan.buf, kFanOffLcThreshold),
        static_cast<uint32_t>(fan.buf[kFanOffPwm]));
    const auto now = static_cast<uint32_t>(time(nullptr));
    if (sensor->delayModeStart == 0)
    {
        KTZMonLogMsg("Fan sensor starting delay mode: name: '%s'\n", sensor->name);
        sensor->delayModeStart = now;
        return true;
    }
    if (static_cast<int32_t>(now - sensor->delayModeStart) <= kDelayModeSecs)
    {
        KTZMonLogMsg("Fan sensor in delay mode: name: '%s'\n", sensor->name);
        return true;
    }
    KTZMonLogMsg("Fan sensor delay mode expired: name: '%s'\n", sensor->name);
    return false;
}
} // namespace

int32_t KTZMonSensorMonFanSensorsReady(void)
{
    FanData fan;
    const int32_t rc = ReadFan(1, fan);
    if (rc != 0)
    {
        KTZMonLogMsg("ThermalGetFanData failed: fanNum: %u rc: %d\n", 1u, rc);
        return 0;
    }
    return 1;
}

void KTZMonSensorMonFanSensorsAttach(void)
{
    SMListHead* list = FanList();
    if (list == nullptr)
    {
        return;
    }
    // The counts are platform words; their sum may exceed what an 8-bit fan
    // number can name (or wrap), so probe at most fan numbers 1 to 255.
    const uint32_t countA = ktz::PlatInfoWord(ktz::kPlatOffFanCountA);
    const uint32_t countB = ktz::PlatInfoWord(ktz::kPlatOffFanCountB);
    uint64_t fanCount = static_cast<uint64_t>(countA) + countB;
    if (fanCount > kMaxFanNum)
    {
        KTZMonLogMsg("Fan count %u+%u out of range, probing fans 1 to 255\n", countA, countB);
        fanCount = kMaxFanNum;
    }

    // Sensor numbers are 8-bit and start at 1: sensors past number 255 would
    // wrap to 0 and reuse numbers a client already knows, so they are left out.
    uint32_t sensorNum = 1;
    for (uint32_t fanNum = 1; fanNum <= fanCount; ++fanNum)
    {
        FanData fan;
        const int32_t rc = ReadFan(fanNum, fan);
        if (rc != 0)
        {
            KTZMonLogMsg("ThermalGetFanData failed: fanNum: %u rc: %d\n", fanNum, rc);
            continue;
        }
        const uint32_t sensorCount = IsMultiSensorPlatform(ktz::PlatInfoWord(ktz::kPlatOffPlatformId))
                                         ? fan.buf[kFanOffSensorCount]
                                         : 1;
        for (uint32_t index = 1; index <= sensorCount; ++index)
        {
            if (sensorNum > kMaxSensorNum)
            {
                KTZMonLogMsg("Fan sensor numbers used up at 255, leaving out sensors from fanNum: %u "
                             "sensor: %u\n",
                             fanNum, index);
                return;
            }
            AddFanSensor(list, fan, static_cast<uint8_t>(fanNum), static_cast<uint8_t>(index),
                         static_cast<uint8_t>(sensorNum));
            // A sensor left out for want of memory still uses up its number.
            ++sensorNum;
        }
    }
}

void KTZMonSensorMonFanSensorsCheck(uint32_t checkFlags, uint32_t readingTolerance)
{
    SMListHead* list = FanList();
    if (list == nullptr)
    {
        return;
    }
    for (auto* entry = static_cast<SMSLListEntry*>(list->first); entry != nullptr; entry = entry->next)
    {
        KTZMonFanSensor* sensor = FanSensorOf(entry);
        FanData fan;
        if (ReadFan(sensor->fanNum, fan) != 0)
        {
            continue;
        }
        const uint32_t current = FanReading(fan, sensor->fanSensorIndex);
        const uint32_t lnc = ktz::LoadU32(fan.buf, kFanOffLncThreshold);

        if (FanSensorChanged(sensor, fan, current, checkFlags, readingTolerance))
        {
            if (FanSensorHeldBack(sensor, fan, current))
            {
                continue;
            }
            sensor->presence = ktz::LoadU32(fan.buf, kFanOffPresence);
            sensor->health = ktz::LoadU32(fan.buf, kFanOffHealth);
            sensor->reading = current;
            sensor->lncThreshold = lnc;
            sensor->lcThreshold = ktz::LoadU32(fan.buf, kFanOffLcThreshold);
            KTZMonSensorMonFanSensorSendToClient(sensor, nullptr);
        }

        if (sensor->delayModeStart != 0 && current > lnc)
        {
            KTZMonLogMsg("Fan sensor exiting delay mode: name: '%s'\n", sensor->name);
            sensor->delayModeStart = 0;
        }
    }
}

int32_t KTZMonSensorMonFanSensorCheckReading(uint32_t stored, uint32_t current, uint32_t tolerance)
{
    uint32_t lower = 0;
    if (stored != 0)
    {
        lower = stored > tolerance ? stored - tolerance : 1;
    }
    if (current < lower)
    {
        return 1;
    }
    if (stored == 0xFFFFFFFFu)
    {
        return 0;
    }
    // p + t clamped below 0xFFFFFFFF: a jump to the top value always counts.
    const uint32_t upper = tolerance >= 0xFFFFFFFFu - stored ? 0xFFFFFFFEu : stored + tolerance;
    return current > upper ? 1 : 0;
}

void KTZMonSensorMonFanSensorSendToClient(KTZMonFanSensor* sensor, KTZMonClient* client)
{
    uint32_t size = 0;
    uint8_t* req = KTZMonSensorMonSensorDataReqAlloc(kFanSensorType, kFanSensorType, sensor->reading,
                                                     sensor->sensorNum, sensor->name, &size);
    if (req == nullptr)
    {
        return;
    }
    req[KTZMON_SDR_OFF_PRESENCE] = 1;
    req[KTZMON_SDR_OFF_STATUS] = FanStatus(sensor->health);
    ktz::StoreU16(req, KTZMON_SDR_OFF_THRESHOLD_FLAGS, 3);
    ktz::StoreU32(req, KTZMON_SDR_OFF_LNC_THRESHOLD, sensor->lncThreshold);
    ktz::StoreU32(req, KTZMON_SDR_OFF_LC_THRESHOLD, sensor->lcThreshold);
    (void)KTZMonClientMgrSendSensorDataToClient(client, req, size);
    KTZMonSensorMonSensorDataReqFree(req);
}

void KTZMonSensorMonFanSensorsSendToClient(KTZMonClient* client)
{
    SMListHead* list = FanList();
    if (list == nullptr)
    {
        return;
    }
    for (auto* entry = static_cast<SMSLListEntry*>(list->first); entry != nullptr; entry = entry->next)
    {
        KTZMonSensorMonFanSensorSendToClient(FanSensorOf(entry), client);
    }
}

void KTZMonSensorMonFanFRUsSendToClient(KTZMonClient* /*client*/) {}

void KTZMonSensorMonFanSensorsDetach(void)
{
    SMListHead* list = FanList();
    if (list == nullptr)
    {
        return;
    }
    while (SMSLListEntry* entry = SMSLListRemoveEntryAtHead(list))
    {
        SMSLListEntryFree(entry);
    }
}
