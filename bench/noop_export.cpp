// An exported, never-inlined variadic function that does nothing: the floor
// of a call into the module's logging entry through a function pointer.
#include "noop_export.h"

extern "C" __attribute__((visibility("default"), noinline)) void KTZBenchNoopLogMsg(const char* format, ...)
{
    // Keeps the call from being folded away even with whole-program views.
    __asm__ volatile("" : : "r"(format) : "memory");
}
