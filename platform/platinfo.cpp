// Platform description: the 256-byte record _gPlatInfo returns and the
// setters of its 32-bit words.
#include "chassis_source.h"
#include "internal.h"

#include <cstring>

namespace ktzplat
{
namespace
{
alignas(8) unsigned char g_platInfo[kPlatInfoSize];
}

namespace detail
{
void ResetPlatInfo()
{
    std::memset(g_platInfo, 0, sizeof g_platInfo);
}
} // namespace detail

void SetPlatWord(uint32_t offset, uint32_t value)
{
    if (offset > kPlatInfoSize - 4)
    {
        return;
    }
    std::memcpy(g_platInfo + offset, &value, sizeof value);
}

uint32_t GetPlatWord(uint32_t offset)
{
    uint32_t v = 0;
    if (offset <= kPlatInfoSize - 4)
    {
        std::memcpy(&v, g_platInfo + offset, sizeof v);
    }
    return v;
}

void SetPlatformId(uint32_t id)
{
    SetPlatWord(0, id);
}

void SetPsuBayCount(int32_t count)
{
    SetPlatWord(28, static_cast<uint32_t>(count));
}

void SetFanCounts(uint32_t a, uint32_t b)
{
    SetPlatWord(52, a);
    SetPlatWord(56, b);
}

void SetStashWord(uint32_t value)
{
    SetPlatWord(92, value);
}

void SetCapWordA(uint32_t value)
{
    SetPlatWord(184, value);
}

void SetCapWordB(uint32_t value)
{
    SetPlatWord(196, value);
}

} // namespace ktzplat

extern "C" void* _gPlatInfo(void)
{
    if (ktzplat::detail::ChassisSourceInstalled())
    {
        return ktzplat::detail::SourcePlatInfo();
    }
    return ktzplat::g_platInfo;
}
