// INI files: the INI directory setting, SMMakePathFileNameByPIDAndType, and
// SMReadINIPathFileValue with its parser (sections, key = value, comments,
// booleans and decimal or hexadecimal numbers).
#include "internal.h"

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstring>
#include <fstream>
#include <optional>
#include <string>
#include <string_view>

namespace ktzplat
{
namespace
{
constexpr size_t kMaxIniFile = 4u << 20; // larger files are read only this far

std::mutex& PathMu()
{
    static std::mutex* mu = new std::mutex;
    return *mu;
}

std::string EnvOr(const char* name, const char* fallback)
{
    const char* v = std::getenv(name);
    return v ? std::string(v) : std::string(fallback);
}

std::string& IniDirRef()
{
    static std::string* dir = new std::string(EnvOr("KTZPLAT_INI_DIR", "/tmp/ktzplatform/ini"));
    return *dir;
}

// INI texts given in memory, by path: read instead of the file there.
struct IniTexts
{
    std::mutex mu;
    std::vector<std::pair<std::string, std::string>> texts;
};

IniTexts& Texts()
{
    static auto* t = new IniTexts;
    return *t;
}

std::string_view Trim(std::string_view s)
{
    size_t b = 0, e = s.size();
    while (b < e && std::isspace(static_cast<unsigned char>(s[b])))
    {
        ++b;
    }
    while (e > b && std::isspace(static_cast<unsigned char>(s[e - 1])))
    {
        --e;
    }
    return s.substr(b, e - b);
}

bool EqualNoCase(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
    {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i)
    {
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
        {
            return false;
        }
    }
    return true;
}

// Decimal or 0x-hexadecimal magnitude, at most 0xFFFFFFFF.
std::optional<uint32_t> ParseMagnitude(std::string_view s, bool* hex)
{
    unsigned base = 10;
    *hex = false;
    if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X'))
    {
        base = 16;
        *hex = true;
        s.remove_prefix(2);
    }
    if (s.empty())
    {
        return std::nullopt;
    }
    uint64_t v = 0;
    for (char c : s)
    {
        unsigned d;
        if (c >= '0' && c <= '9')
        {
            d = static_cast<unsigned>(c - '0');
        }
        else if (base == 16 && c >= 'a' && c <= 'f')
        {
            d = static_cast<unsigned>(c - 'a' + 10);
        }
        else if (base == 16 && c >= 'A' && c <= 'F')
        {
            d = static_cast<unsigned>(c - 'A' + 10);
        }
        else
        {
            return std::nullopt;
        }
        v = v * base + d;
        if (v > 0xFFFFFFFFull)
        {
            return std::nullopt;
        }
    }
    return static_cast<uint32_t>(v);
}

// Signed value in [lo, hi]; hexadecimal gives the bit pattern of hi's width.
std::optional<int64_t> ParseSigned(std::string_view s, int64_t lo, int64_t hi, uint64_t hexMax)
{
    bool neg = !s.empty() && s[0] == '-';
    if (neg)
    {
        s.remove_prefix(1);
    }
    bool hex;
    auto mag = ParseMagnitude(s, &hex);
    if (!mag)
    {
        return std::nullopt;
    }
    if (hex && !neg)
    {
        if (*mag > hexMax)
        {
            return std::nullopt;
        }
        // Values above hi are the bit pattern of a negative number.
        return *mag > static_cast<uint64_t>(hi)
                   ? static_cast<int64_t>(*mag) - static_cast<int64_t>(hexMax) - 1
                   : static_cast<int64_t>(*mag);
    }
    int64_t v = neg ? -static_cast<int64_t>(*mag) : static_cast<int64_t>(*mag);
    if (v < lo || v > hi)
    {
        return std::nullopt;
    }
    return v;
}

enum class Lookup
{
    Found,
    NoFile,
    NoKey
};

Lookup FindIn(std::string_view text, std::string_view section, std::string_view key, std::string* out);

Lookup FindValue(const char* path, std::string_view section, std::string_view key, std::string* out)
{
    {
        IniTexts& t = Texts();
        std::lock_guard<std::mutex> lk(t.mu);
        for (const auto& [p, text] : t.texts)
        {
            if (p == path)
            {
                return FindIn(std::string_view(text).substr(0, kMaxIniFile), section, key, out);
            }
        }
    }
    std::ifstream in(path, std::ios::binary);
    if (!in)
    {
        return Lookup::NoFile;
    }
    std::string text;
    char chunk[16384];
    while (text.size() < kMaxIniFile && in.read(chunk, sizeof chunk).gcount() > 0)
    {
        text.append(chunk, static_cast<size_t>(in.gcount()));
    }
    return FindIn(text, section, key, out);
}

Lookup FindIn(std::string_view text, std::string_view section, std::string_view key, std::string* out)
{
    std::string_view rest(text);
    bool inSection = false;
    while (!rest.empty())
    {
        size_t nl = rest.find('\n');
        std::string_view line = Trim(rest.substr(0, nl));
        rest = nl == std::string_view::npos ? std::string_view() : rest.substr(nl + 1);
        if (line.empty() || line[0] == '#' || line[0] == ';')
        {
            continue;
        }
        if (line[0] == '[')
        {
            size_t close = line.find(']');
            // A broken header ends the section in force, so its keys are not
            // taken for the previous section's.
            inSection = close != std::string_view::npos && Trim(line.substr(close + 1)).empty() &&
                        EqualNoCase(Trim(line.substr(1, close - 1)), section);
            continue;
        }
        if (!inSection)
        {
            continue;
        }
        size_t eq = line.find('=');
        if (eq == std::string_view::npos)
        {
            continue; // malformed line
        }
        if (EqualNoCase(Trim(line.substr(0, eq)), key))
        {
            *out = std::string(Trim(line.substr(eq + 1)));
            return Lookup::Found;
        }
    }
    return Lookup::NoKey;
}

// Converts the text for `type` into bytes at `value`; returns the size, 0 if malformed.
uint32_t Convert(const std::string& text, uint32_t type, void* value)
{
    switch (type)
    {
    case SM_INI_TYPE_BOOLEAN:
    {
        int16_t b;
        if (EqualNoCase(text, "true") || EqualNoCase(text, "yes") || EqualNoCase(text, "on"))
        {
            b = 1;
        }
        else if (EqualNoCase(text, "false") || EqualNoCase(text, "no") || EqualNoCase(text, "off"))
        {
            b = 0;
        }
        else if (auto v = ParseSigned(text, -32768, 65535, 0xFFFF))
        {
            b = static_cast<int16_t>(static_cast<uint16_t>(*v));
        }
        else
        {
            return 0;
        }
        std::memcpy(value, &b, sizeof b);
        return sizeof b;
    }
    case SM_INI_TYPE_U32:
    {
        bool hex;
        auto v = ParseMagnitude(text, &hex);
        if (!v)
        {
            return 0;
        }
        uint32_t u = *v;
        std::memcpy(value, &u, sizeof u);
        return sizeof u;
    }
    case SM_INI_TYPE_S32:
    {
        auto v = ParseSigned(text, INT32_MIN, INT32_MAX, 0xFFFFFFFFu);
        if (!v)
        {
            return 0;
        }
        auto s = static_cast<int32_t>(*v);
        std::memcpy(value, &s, sizeof s);
        return sizeof s;
    }
    default: return 0;
    }
}

uint32_t TypeSize(uint32_t type)
{
    return type == SM_INI_TYPE_BOOLEAN ? 2 : (type == SM_INI_TYPE_U32 || type == SM_INI_TYPE_S32) ? 4 : 0;
}
} // namespace

namespace detail
{
void ResetPaths()
{
    {
        std::lock_guard<std::mutex> lk(PathMu());
        IniDirRef() = EnvOr("KTZPLAT_INI_DIR", "/tmp/ktzplatform/ini");
    }
    {
        std::lock_guard<std::mutex> lk(Texts().mu);
        Texts().texts.clear();
    }
    ResetLogs();
}
} // namespace detail

void SetIniDir(const std::string& dir)
{
    std::lock_guard<std::mutex> lk(PathMu());
    IniDirRef() = dir;
}

std::string IniDir()
{
    std::lock_guard<std::mutex> lk(PathMu());
    return IniDirRef();
}

void SetIniText(const std::string& pathFileName, const std::string& text)
{
    IniTexts& t = Texts();
    std::lock_guard<std::mutex> lk(t.mu);
    for (auto& [p, old] : t.texts)
    {
        if (p == pathFileName)
        {
            old.assign(text); // keeps the buffer: no allocation once it is large enough
            return;
        }
    }
    t.texts.emplace_back(pathFileName, text);
}

void ClearIniText(const std::string& pathFileName)
{
    IniTexts& t = Texts();
    std::lock_guard<std::mutex> lk(t.mu);
    std::erase_if(t.texts, [&](const auto& e) { return e.first == pathFileName; });
}

} // namespace ktzplat

using namespace ktzplat;

extern "C" char* SMMakePathFileNameByPIDAndType(uint32_t, uint32_t, const char*, const char* fileName)
{
    if (detail::FaultHit(Op::IniPath) || !fileName)
    {
        return nullptr;
    }
    return detail::NoThrow<char*>(nullptr,
                                  [&]() -> char*
                                  {
                                      std::string path = IniDir();
                                      if (!path.empty() && path.back() != '/')
                                      {
                                          path += '/';
                                      }
                                      path += fileName;
                                      auto* p = static_cast<char*>(
                                          detail::AllocCounted(static_cast<uint32_t>(path.size() + 1)));
                                      if (p)
                                      {
                                          std::memcpy(p, path.c_str(), path.size() + 1);
                                      }
                                      return p;
                                  });
}

extern "C" int32_t SMReadINIPathFileValue(const char* section, const char* key, uint32_t type, void* value,
                                          uint32_t* pValueSize, const void* pDefault, uint32_t defaultSize,
                                          const char* pathFileName, int32_t)
{
    if (!value)
    {
        return -1;
    }
    auto useDefault = [&](int32_t rc)
    {
        uint32_t n = TypeSize(type);
        n = n == 0 ? std::min<uint32_t>(defaultSize, 4) : std::min(n, defaultSize);
        if (pDefault)
        {
            std::memmove(value, pDefault, n);
        }
        else
        {
            std::memset(value, 0, n);
        }
        if (pValueSize)
        {
            *pValueSize = n;
        }
        return rc;
    };
    if (!section || !key || !pathFileName || TypeSize(type) == 0)
    {
        return useDefault(-1);
    }
    constexpr int32_t kFailed = INT32_MIN;
    int32_t rc = detail::NoThrow<int32_t>(kFailed,
                                          [&]
                                          {
                                              std::string text;
                                              switch (FindValue(pathFileName, section, key, &text))
                                              {
                                              case Lookup::NoFile: return useDefault(2);
                                              case Lookup::NoKey: return useDefault(3);
                                              case Lookup::Found: break;
                                              }
                                              unsigned char buf[4];
                                              uint32_t n = Convert(text, type, buf);
                                              if (n == 0)
                                              {
                                                  return useDefault(4);
                                              }
                                              std::memcpy(value, buf, n);
                                              if (pValueSize)
                                              {
                                                  *pValueSize = n;
                                              }
                                              return int32_t{0};
                                          });
    return rc == kFailed ? useDefault(-1) : rc;
}
