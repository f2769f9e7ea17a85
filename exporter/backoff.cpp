// Reconnect delays (see backoff.h).
#include "backoff.h"

#include <algorithm>

namespace ktzexporter
{

Backoff::Backoff(int initialMs, int maxMs)
    : initialMs_(std::max(1, initialMs)), maxMs_(std::max(initialMs_, maxMs)), nextMs_(initialMs_)
{
}

int Backoff::Next()
{
    const int now = nextMs_;
    // Doubling stops at the ceiling, so it never overflows.
    nextMs_ = now > maxMs_ / 2 ? maxMs_ : now * 2;
    return now;
}

void Backoff::Reset()
{
    nextMs_ = initialMs_;
}

} // namespace ktzexporter
