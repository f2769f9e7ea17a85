// Waiting in tests without a wall-clock limit that a slow build would hit.
#ifndef KTZTEST_WAIT_H
#define KTZTEST_WAIT_H

namespace ktztest
{

// Waits until the platform is idle (see ktzplat::WaitIdle). The sanitizer
// and emulator builds run many times slower than a native one on a loaded
// machine, so this keeps waiting in short steps up to a limit that only a
// real hang reaches, well inside the suites' own time-out.
bool WaitIdle();

} // namespace ktztest

#endif
