#include "records.h"

#include <algorithm>
#include <cstring>
#include <string>

namespace ktzplat::detail
{
namespace
{

void Put32(unsigned char* p, size_t off, uint32_t v)
{
    std::memcpy(p + off, &v, sizeof v);
}

// Copies at most `max` characters. The caller zeroed the record and the field
// is one byte wider than `max`, so a NUL always stays within the field.
void PutText(unsigned char* p, size_t off, const std::string& s, size_t max)
{
    // NOLINTNEXTLINE(bugprone-not-null-terminated-result): the NUL is already there
    std::memcpy(p + off, s.data(), std::min(s.size(), max));
}

void PutTempEntry(unsigned char* e, const TempEntry& t)
{
    std::memset(e, 0, kTempEntry);
    PutText(e, 4, t.name, 20);
    Put32(e, 28, t.health);
    std::memcpy(e + 32, &t.reading, 1);
}

} // namespace

void FillFanRecord(unsigned char* p, const Fan& f, uint32_t health)
{
    std::memset(p, 0, kFanRecord);
    PutText(p, 4, f.name1, 15);
    PutText(p, 20, f.name2, 15);
    Put32(p, 36, f.presence);
    Put32(p, 40, health);
    p[45] = f.pwm;
    p[46] = f.sensorCount;
    Put32(p, 60, f.reading1);
    Put32(p, 64, f.reading2);
    Put32(p, 68, f.lncThreshold);
    Put32(p, 72, f.lcThreshold);
}

uint8_t FillTempEntries(unsigned char* p, const TempEntry& chassis, const std::vector<TempEntry>& extra,
                        uint8_t* sensorNums)
{
    PutTempEntry(p, chassis);
    size_t n = 1;
    for (size_t i = 0; i < extra.size() && n < kMaxTempEntries; ++i, ++n)
    {
        PutTempEntry(p + n * kTempEntry, extra[i]);
    }
    for (size_t i = 0; sensorNums != nullptr && i < n; ++i)
    {
        sensorNums[i] = static_cast<uint8_t>(i + 1);
    }
    return static_cast<uint8_t>(n);
}

uint8_t FillStashRecords(unsigned char* p, const std::vector<StashRecord>& records)
{
    const size_t n = std::min(records.size(), kMaxStash);
    for (size_t i = 0; i < n; ++i)
    {
        const StashRecord& r = records[i];
        unsigned char* e = p + i * kStashRecord;
        std::memset(e, 0, kStashRecord);
        e[0] = r.a;
        e[1] = r.b;
        std::memcpy(e + 2, &r.reading, 1);
        // The 21-byte name field holds no NUL when the name fills it.
        // NOLINTNEXTLINE(bugprone-not-null-terminated-result): a full field carries no NUL
        std::memcpy(e + 3, r.name.data(), std::min<size_t>(r.name.size(), 21));
    }
    return static_cast<uint8_t>(n);
}

} // namespace ktzplat::detail
