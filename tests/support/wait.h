// Waiting in tests: for a condition polled in short steps up to a limit,
// and for the platform to go idle. Every wait is bounded.
#ifndef KTZTEST_WAIT_H
#define KTZTEST_WAIT_H

#include <cstdint>
#include <functional>

namespace ktztest
{

// Milliseconds on a monotonic clock.
int64_t NowMs();
void SleepMs(int ms);

// Polls `pred` every `stepMs` until it holds or `timeoutMs` passed; the
// last answer (asked once more at the deadline).
bool WaitUntil(const std::function<bool()>& pred, int timeoutMs, int stepMs = 20);

// Waits until the platform is idle (see ktzplat::WaitIdle). The sanitizer
// and emulator builds run many times slower than a native one on a loaded
// machine, so this keeps waiting in short steps up to a limit that only a
// real hang reaches, well inside the suites' own time-out. Part of the
// platform support (ktztest_support), not of the process helpers.
bool WaitIdle();

} // namespace ktztest

#endif
