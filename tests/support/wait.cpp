// Bounded waits of the tests (see wait.h).
#include "support/wait.h"

#include <chrono>
#include <ctime>

namespace ktztest
{

int64_t NowMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void SleepMs(int ms)
{
    timespec ts{ms / 1000, static_cast<long>(ms % 1000) * 1000000};
    ::nanosleep(&ts, nullptr);
}

bool WaitUntil(const std::function<bool()>& pred, int timeoutMs, int stepMs)
{
    const int64_t end = NowMs() + timeoutMs;
    while (NowMs() < end)
    {
        if (pred())
        {
            return true;
        }
        SleepMs(stepMs);
    }
    return pred();
}

} // namespace ktztest
