// The one accessor through which the module reads the platform description.
#include "core/platinfo.h"

#include "core/byteorder.h"
#include "core/platform.h"

namespace ktz
{

uint32_t PlatInfoWord(uint32_t offset)
{
    const auto* rec = static_cast<const uint8_t*>(_gPlatInfo());
    if (rec == nullptr)
    {
        return 0;
    }
    return LoadU32(rec, offset);
}

} // namespace ktz
