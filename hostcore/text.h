// Texts that come from outside (client names, goodbye texts, control
// requests, chassis log event texts) on their way into a log line or a JSON
// document: made valid UTF-8, with control characters visible and cut to a
// bounded length. One helper, used wherever such a text is shown.
#ifndef KTZHOSTCORE_TEXT_H
#define KTZHOSTCORE_TEXT_H

#include <cstddef>
#include <string>
#include <string_view>

namespace ktzhost
{

// Longest outside text shown in a log line or a reply, in bytes as shown
// (escapes included), not counting the mark of a cut.
constexpr size_t kMaxShownText = 256;

// `text` as a printable, valid UTF-8 string: every byte that is not part of
// a well-formed UTF-8 sequence, and every control character (U+0000 to
// U+001F, U+007F to U+009F), is written as \xNN (C1 controls as \u0080 to
// \u009F); the rest passes unchanged. When the result would be longer than
// `maxBytes`, it is cut at a character boundary and "...(N bytes)" is added,
// N the size of `text`. Applied to its own uncut result it changes nothing.
std::string Printable(std::string_view text, size_t maxBytes = kMaxShownText);

// Whether `text` is well-formed UTF-8 (no overlong forms, no surrogates,
// nothing above U+10FFFF).
bool IsUtf8(std::string_view text);

} // namespace ktzhost

#endif
