// The platform records the thermal and stash services fill, built from the
// chassis model in one place for the simulated chassis and for an installed
// chassis source: the fan record (76 bytes), temperature entries (40 bytes)
// and stash records (24 bytes).
#ifndef KTZPLAT_RECORDS_H
#define KTZPLAT_RECORDS_H

#include "ktzplatform_control.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace ktzplat::detail
{

inline constexpr size_t kFanRecord = 76;
inline constexpr size_t kTempEntry = 40;
inline constexpr size_t kMaxTempEntries = 8;
inline constexpr size_t kStashRecord = 24;
inline constexpr size_t kMaxStash = 7;

// Fills the fan record at `p` from `f`, with `health` as its health word.
void FillFanRecord(unsigned char* p, const Fan& f, uint32_t health);

// Fills the chassis entry and as many further entries as fit (8 in all) at
// `p`, numbers them 1..n in `sensorNums` when given, and returns n.
uint8_t FillTempEntries(unsigned char* p, const TempEntry& chassis, const std::vector<TempEntry>& extra,
                        uint8_t* sensorNums);

// Fills at most 7 stash records at `p` and returns how many.
uint8_t FillStashRecords(unsigned char* p, const std::vector<StashRecord>& records);

} // namespace ktzplat::detail

#endif
