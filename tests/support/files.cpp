// Files and line-per-record output (see files.h).
#include "support/files.h"

#include <cstdio>
#include <fstream>
#include <sstream>

namespace ktztest
{

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

bool WriteFile(const std::string& path, const std::string& text)
{
    const std::string aside = path + ".tmp";
    {
        std::ofstream out(aside, std::ios::binary | std::ios::trunc);
        out << text;
        if (!out.flush())
        {
            return false;
        }
    }
    return std::rename(aside.c_str(), path.c_str()) == 0;
}

std::vector<std::string> Lines(const std::string& text)
{
    std::vector<std::string> out;
    std::stringstream ss(text);
    std::string line;
    while (std::getline(ss, line))
    {
        out.push_back(line);
    }
    return out;
}

std::vector<nlohmann::json> JsonLines(const std::string& text)
{
    std::vector<nlohmann::json> out;
    for (const std::string& line : Lines(text))
    {
        out.push_back(nlohmann::json::parse(line));
    }
    return out;
}

std::string CompleteLines(const std::string& text)
{
    const size_t nl = text.rfind('\n');
    return nl == std::string::npos ? std::string() : text.substr(0, nl + 1);
}

} // namespace ktztest
