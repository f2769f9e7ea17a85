// Temporary directories and the INI file of a host run.
#include "files.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
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

std::string IniText(const Scenario& s)
{
    std::string out;
    for (const auto& [section, keys] : s.ini)
    {
        out += "[" + section + "]\n";
        for (const auto& [k, v] : keys)
        {
            out += k + " = " + v + "\n";
        }
        out += "\n";
    }
    return out;
}

bool WriteIni(const Scenario& s, const std::string& dir, const std::string& baseFile, std::string* error)
{
    std::ifstream base(baseFile, std::ios::binary);
    if (s.ini.empty() && !base)
    {
        return true;
    }
    const std::string path = dir + "/ktzmonst32.ini";
    std::string text;
    if (base)
    {
        // Through a string: inserting an empty file's buffer into the output
        // would mark the output failed.
        std::ostringstream baseText;
        baseText << base.rdbuf();
        text = baseText.str() + "\n";
    }
    text += IniText(s);
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    out.close();
    if (!out)
    {
        if (error != nullptr)
        {
            *error = "cannot write " + path + ": " + std::strerror(errno);
        }
        return false;
    }
    return true;
}

} // namespace ktzhost
