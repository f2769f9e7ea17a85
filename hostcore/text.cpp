// Outside texts made safe to show: valid UTF-8, control characters visible,
// bounded length.
#include "text.h"

#include <cstdint>
#include <cstdio>

namespace ktzhost
{
namespace
{

// The length of the well-formed UTF-8 sequence at the start of `s` (1 to 4),
// or 0 when it does not start with one.
size_t SequenceLength(std::string_view s)
{
    const auto b = [&](size_t i) { return static_cast<uint8_t>(s[i]); };
    const uint8_t c = b(0);
    if (c < 0x80)
    {
        return 1;
    }
    size_t n = 0;
    uint8_t lo = 0x80, hi = 0xBF; // the allowed range of the second byte
    if (c >= 0xC2 && c <= 0xDF)
    {
        n = 2;
    }
    else if (c >= 0xE0 && c <= 0xEF)
    {
        n = 3;
        lo = c == 0xE0 ? 0xA0 : 0x80; // no overlong forms
        hi = c == 0xED ? 0x9F : 0xBF; // no surrogates
    }
    else if (c >= 0xF0 && c <= 0xF4)
    {
        n = 4;
        lo = c == 0xF0 ? 0x90 : 0x80; // no overlong forms
        hi = c == 0xF4 ? 0x8F : 0xBF; // nothing above U+10FFFF
    }
    else
    {
        return 0;
    }
    if (s.size() < n || b(1) < lo || b(1) > hi)
    {
        return 0;
    }
    for (size_t i = 2; i < n; ++i)
    {
        if (b(i) < 0x80 || b(i) > 0xBF)
        {
            return 0;
        }
    }
    return n;
}

} // namespace

bool IsUtf8(std::string_view text)
{
    while (!text.empty())
    {
        const size_t n = SequenceLength(text);
        if (n == 0)
        {
            return false;
        }
        text.remove_prefix(n);
    }
    return true;
}

std::string Printable(std::string_view text, size_t maxBytes)
{
    std::string out;
    out.reserve(text.size() < maxBytes ? text.size() : maxBytes);
    std::string_view rest = text;
    while (!rest.empty())
    {
        const size_t n = SequenceLength(rest);
        char piece[8];
        size_t len = 0;
        const auto c = static_cast<uint8_t>(rest[0]);
        if (n == 0 || c < 0x20 || c == 0x7F)
        {
            len = static_cast<size_t>(std::snprintf(piece, sizeof piece, "\\x%02X", c));
        }
        else if (n == 2 && c == 0xC2 && static_cast<uint8_t>(rest[1]) < 0xA0)
        {
            // U+0080 to U+009F: terminals act on some of them (CSI is U+009B).
            len = static_cast<size_t>(
                std::snprintf(piece, sizeof piece, "\\u%04X", static_cast<uint8_t>(rest[1])));
        }
        const size_t add = len != 0 ? len : n;
        if (out.size() + add > maxBytes)
        {
            out += "...(" + std::to_string(text.size()) + " bytes)";
            return out;
        }
        if (len != 0)
        {
            out.append(piece, len);
        }
        else
        {
            out.append(rest.data(), n);
        }
        rest.remove_prefix(n == 0 ? 1 : n);
    }
    return out;
}

} // namespace ktzhost
