// INI settings access: the module's two INI file names, the path of one of
// them built by the support library, and typed readers that return the value
// read or the caller's default.
#ifndef KTZMON_CORE_INI_H
#define KTZMON_CORE_INI_H

#include "core/export.h"

#include <cstdint>

inline constexpr uint32_t KTZMON_INI_DYNAMIC = 1; // "ktzmondy32.ini", never read
inline constexpr uint32_t KTZMON_INI_STATIC = 2;  // "ktzmonst32.ini"

KTZMON_API char* KTZMonIniGetIniPathFileName(uint32_t iniSelector);
KTZMON_API void KTZMonIniFreeIniPathFileName(char* path);
KTZMON_API int32_t KTZMonIniGetKeyValueBooln(const char* path, const char* section, const char* key,
                                             int16_t defaultValue);
KTZMON_API uint32_t KTZMonIniGetKeyValueBoolnOpt(const char* path, const char* section, const char* key,
                                                 uint32_t flags, uint32_t optionMask);
KTZMON_API int32_t KTZMonIniGetKeyValueSigned32(const char* path, const char* section, const char* key,
                                                int32_t defaultValue);
KTZMON_API uint32_t KTZMonIniGetKeyValueUnSigned32(const char* path, const char* section, const char* key,
                                                   uint32_t defaultValue);

#endif
