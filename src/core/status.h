// Status values of the module, in one place, and their names for logs and
// test failures.
#ifndef KTZMON_CORE_STATUS_H
#define KTZMON_CORE_STATUS_H

#include <cstdint>

using KTZStatus = uint32_t;

inline constexpr KTZStatus STATUS_OK = 0;
inline constexpr KTZStatus STATUS_UNSUPPORTED = 1;
inline constexpr KTZStatus STATUS_CLIENT_DELETE_PENDING = 6;
inline constexpr KTZStatus STATUS_BAD_LENGTH = 16;
inline constexpr KTZStatus STATUS_NOT_READY = 17;
inline constexpr KTZStatus STATUS_QUEUE_FULL = 19;
inline constexpr KTZStatus STATUS_BAD_PARAMETER = 271;
inline constexpr KTZStatus STATUS_NO_RESOURCES = 272;
// A semaphore, event, notification or thread was not set up, or the KTZ
// setting could not be read.
inline constexpr KTZStatus STATUS_SETUP_FAILED = 0xFFFFFFFFu;

// Name of a status value ("STATUS_OK", ...), or "STATUS_<unknown>".
[[nodiscard]] const char* KTZStatusName(KTZStatus status);

#endif
