// Connection attempt delays (see backoff.h).
#include "backoff.h"

#include <algorithm>

namespace ktzclient
{

Backoff::Backoff(int initialMs, int maxMs)
    : initialMs_(std::max(1, initialMs)), maxMs_(std::max(initialMs_, maxMs)), nextMs_(initialMs_)
{
}

int Backoff::Next(uint32_t random)
{
    const int delay = nextMs_;
    // Doubling stops at the ceiling before it could pass INT_MAX.
    nextMs_ = delay > maxMs_ / 2 ? maxMs_ : delay * 2;
    const auto quarter = static_cast<uint32_t>(delay / 4);
    return delay - static_cast<int>(random % (quarter + 1));
}

} // namespace ktzclient
