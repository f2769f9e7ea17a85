// Marks the module's exported names: C linkage, default visibility. The
// library is built with hidden visibility, so nothing else leaves it.
// Declarations in the headers carry the macro; a definition in a source file
// (an exported global with its initial value) is written without it and
// takes linkage and visibility from that declaration.
#ifndef KTZMON_CORE_EXPORT_H
#define KTZMON_CORE_EXPORT_H

#define KTZMON_API extern "C" __attribute__((visibility("default")))

#endif
