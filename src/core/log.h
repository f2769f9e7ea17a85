// Diagnostic log: one printf-style function whose lines go to the rotated log
// file "/tmp/ktzmon.log" through the support library, unless the INI key
// "log.msgtofile" turns writing off.
#ifndef KTZMON_CORE_LOG_H
#define KTZMON_CORE_LOG_H

#include "core/export.h"
#include "core/status.h"

#include <cstdint>

struct KTZMonLogData
{
    uint32_t logFlags; // bit 0: write messages to the file
};
static_assert(sizeof(KTZMonLogData) == 4, "the log record is 4 bytes");

inline constexpr uint32_t KTZMON_LOG_FLAG_TO_FILE = 0x1;
inline constexpr uint32_t KTZMON_LOG_MSG_MAX = 1024;

KTZMON_API const char* g_pKTZMonLogPFName;
KTZMON_API KTZMonLogData* g_pKTZMonLogData;

KTZMON_API void KTZMonLogMsg(const char* format, ...) __attribute__((format(printf, 1, 2)));
KTZMON_API void KTZMonLogCfgCheck(void);
KTZMON_API uint32_t KTZMonLogAttach(void);
KTZMON_API void KTZMonLogDetach(void);

#endif
