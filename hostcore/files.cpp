// Temporary directories and the INI file of a host run.
#include "files.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <unistd.h>
#include <vector>

namespace ktzhost
{

std::string MakeTempDir(const std::string& prefix, std::string* error)
{
    const char* base = std::getenv("TMPDIR");
    std::string tmpl =
        std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/" + prefix + "-XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    if (::mkdtemp(buf.data()) == nullptr)
    {
        if (error != nullptr)
        {
            *error = "cannot create a temporary directory " + tmpl + ": " + std::strerror(errno);
        }
        return "";
    }
    return buf.data();
}

void WriteIni(const Scenario& s, const std::string& dir, const std::string& baseFile)
{
    std::ifstream base(baseFile);
    if (s.ini.empty() && !base)
    {
        return;
    }
    std::ofstream out(dir + "/ktzmonst32.ini");
    if (base)
    {
        out << base.rdbuf() << "\n";
    }
    for (const auto& [section, keys] : s.ini)
    {
        out << "[" << section << "]\n";
        for (const auto& [k, v] : keys)
        {
            out << k << " = " << v << "\n";
        }
        out << "\n";
    }
}

} // namespace ktzhost
