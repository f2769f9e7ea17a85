// Bounded formatting: sprintf_s.
#include "internal.h"

#include <cstdarg>

extern "C" int sprintf_s(char* buf, size_t size, const char* format, ...)
{
    if (!buf || size == 0)
    {
        return -1;
    }
    if (!format)
    {
        buf[0] = '\0';
        return -1;
    }
    va_list ap;
    va_start(ap, format);
    int n = std::vsnprintf(buf, size, format, ap);
    va_end(ap);
    if (n < 0 || static_cast<size_t>(n) >= size)
    {
        buf[0] = '\0';
        return -1;
    }
    return n;
}
