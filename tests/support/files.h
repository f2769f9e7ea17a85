// Files and line-per-record output as tests read them.
#ifndef KTZTEST_FILES_H
#define KTZTEST_FILES_H

#include <nlohmann/json.hpp>

#include <string>
#include <vector>

namespace ktztest
{

// The whole file, or "" when it cannot be read.
std::string ReadFile(const std::string& path);
// Writes `text` to a file aside and renames it into place (as editors do,
// and so a reader never sees half of it); false when that failed.
bool WriteFile(const std::string& path, const std::string& text);

// The lines of `text`, without their newlines.
std::vector<std::string> Lines(const std::string& text);

// The records of JSON-lines output (ktzmon-host --json, ktzmon-watch
// --json), one per line. A line that is not JSON throws, which fails the
// test that read it.
std::vector<nlohmann::json> JsonLines(const std::string& text);
// `text` up to its last newline: the complete lines of output that is
// still being written.
std::string CompleteLines(const std::string& text);

} // namespace ktztest

#endif
