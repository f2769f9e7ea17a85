// Waiting for the platform stand-in to go idle (see wait.h).
#include "support/wait.h"

#include "ktzplatform_control.h"

namespace ktztest
{

bool WaitIdle()
{
    constexpr int kStepMs = 1000;
    constexpr int kLimitMs = 240000; // the suites' time-out is 300 s
    for (int waited = 0; waited < kLimitMs; waited += kStepMs)
    {
        if (ktzplat::WaitIdle(kStepMs))
        {
            return true;
        }
    }
    return false;
}

} // namespace ktztest
