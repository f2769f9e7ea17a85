// Private temporary folders for tests (see temp_dir.h).
#include "support/temp_dir.h"

#include <cstdlib>
#include <filesystem>
#include <system_error>
#include <vector>

namespace ktztest
{

namespace
{

// The longest $TMPDIR used: with a folder name of about 25 bytes and a
// socket name of about 15 inside it, a socket path stays well under 107.
constexpr size_t kMaxBase = 64;

std::string MakeDir(const std::string& base)
{
    std::string tmpl = base + "/ktztest-XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    return ::mkdtemp(buf.data()) != nullptr ? std::string(buf.data()) : std::string();
}

} // namespace

std::string ShortTempBase()
{
    const char* base = std::getenv("TMPDIR");
    if (base == nullptr || base[0] != '/' || std::string(base).size() > kMaxBase)
    {
        return "/tmp";
    }
    std::string b = base;
    while (b.size() > 1 && b.back() == '/')
    {
        b.pop_back();
    }
    return b;
}

TempDir::TempDir(const std::string& base)
{
    path_ = MakeDir(base.empty() ? ShortTempBase() : base);
    if (path_.empty())
    {
        path_ = MakeDir("/tmp"); // the folder named is not there
    }
}

TempDir::~TempDir()
{
    std::error_code ec;
    if (!path_.empty())
    {
        std::filesystem::remove_all(path_, ec);
    }
}

} // namespace ktztest
