// Reading the platform description record. The platform owns the record; the
// module calls _gPlatInfo at every use and reads single 32-bit words at fixed
// offsets in the processor's byte order.
#ifndef KTZMON_CORE_PLATINFO_H
#define KTZMON_CORE_PLATINFO_H

#include <cstdint>

namespace ktz
{

inline constexpr uint32_t kPlatOffPlatformId = 0;
inline constexpr uint32_t kPlatOffPsuBayCount = 28;
inline constexpr uint32_t kPlatOffFanCountA = 52;
inline constexpr uint32_t kPlatOffFanCountB = 56;
inline constexpr uint32_t kPlatOffStashWord = 92;
inline constexpr uint32_t kPlatOffCapWordA = 184;
inline constexpr uint32_t kPlatOffCapWordB = 196;

inline constexpr uint32_t kPlatCapBChassisLogProxy = 0x4;
inline constexpr uint32_t kPlatCapBStash = 0x1;
inline constexpr uint32_t kPlatCapAStash = 0x10;

// The 32-bit word at `offset` of the record _gPlatInfo returns (0 when the
// platform returns no record).
[[nodiscard]] uint32_t PlatInfoWord(uint32_t offset);

} // namespace ktz

#endif
