// A request target taken apart: the path as decoded segments and the query
// as decoded name/value pairs. Bounded: at most kMaxSegments segments and
// kMaxQueryParams parameters; "." and ".." segments, NUL bytes and broken
// percent escapes are refused, so no path can climb out of its tree.
#ifndef KTZREDFISH_TARGET_H
#define KTZREDFISH_TARGET_H

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace ktzredfish
{

inline constexpr size_t kMaxSegments = 16;
inline constexpr size_t kMaxQueryParams = 16;

struct Target
{
    std::vector<std::string> segments; // "/redfish/v1/" gives {"redfish", "v1"}
    bool trailingSlash = false;
    std::vector<std::pair<std::string, std::string>> query;
    std::string path; // the segments joined with '/', leading '/', no trailing one

    const std::string* Query(std::string_view name) const;
};

// Parses an origin-form target ("/a/b?x=1") or an absolute-form one
// ("https://host/a/b"). False, with a reason in *why, when it is malformed.
bool ParseTarget(std::string_view text, Target* out, std::string* why);

// %XX escapes decoded ('+' stays '+'); false on a broken escape or a NUL.
bool PercentDecode(std::string_view in, std::string* out);

} // namespace ktzredfish

#endif
