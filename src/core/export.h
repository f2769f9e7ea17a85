// Marks the module's exported names: C linkage, default visibility. The
// library is built with hidden visibility, so nothing else leaves it.
#ifndef KTZMON_CORE_EXPORT_H
#define KTZMON_CORE_EXPORT_H

#define KTZMON_API extern "C" __attribute__((visibility("default")))

#endif
