// The benchmark's own exported no-op with the logging entry's signature.
#ifndef KTZBENCH_NOOP_EXPORT_H
#define KTZBENCH_NOOP_EXPORT_H

extern "C" __attribute__((visibility("default"))) void KTZBenchNoopLogMsg(const char* format, ...)
    __attribute__((format(printf, 1, 2)));

#endif
