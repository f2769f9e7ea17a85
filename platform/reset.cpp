// Whole-platform reset: returns every service to its default state.
#include "internal.h"

namespace ktzplat
{

void Reset()
{
    // Service threads first, so that nothing runs while the stores are cleared.
    detail::ResetDataEvents();
    detail::ResetConfigNotify();
    ClearFaults();
    detail::ResetFaultCounters();
    detail::ResetSync();
    detail::ResetPaths();
    detail::ResetContext();
    detail::ResetPlatInfo();
    detail::ResetThermal();
    detail::ResetPsu();
    detail::ResetClock();
}

} // namespace ktzplat
