// Files a host run needs: a private temporary directory, and the scenario's
// INI settings written as the module's ktzmonst32.ini.
#ifndef KTZHOSTCORE_FILES_H
#define KTZHOSTCORE_FILES_H

#include "scenario.h"

#include <string>

namespace ktzhost
{

// A new directory under $TMPDIR (or /tmp) named prefix-XXXXXX; empty on
// failure, with the reason in `error` when given.
std::string MakeTempDir(const std::string& prefix, std::string* error = nullptr);

// The scenario's [ini] tables as INI text ("" when it has none).
std::string IniText(const Scenario& s);

// Writes the scenario's [ini] tables as ktzmonst32.ini in `dir`. When
// `baseFile` names an existing file (the user's ktzmonst32.ini in the
// platform's INI directory), its text comes first: the first matching key
// wins, so the user's settings take precedence over the scenario's. Nothing
// is written when there is neither. Returns false, with the reason in
// `error` when given, when the file cannot be written completely.
bool WriteIni(const Scenario& s, const std::string& dir, const std::string& baseFile,
              std::string* error = nullptr);

} // namespace ktzhost

#endif
