// The web application's files: loaded once, served from memory.
#include "webroot.h"

#include "text.h"

#include <filesystem>
#include <fstream>
#include <system_error>

namespace ktzredfish
{

namespace
{

namespace fs = std::filesystem;

struct TypeByExtension
{
    const char* extension;
    const char* type;
};

constexpr TypeByExtension kTypes[] = {
    {".html", "text/html; charset=utf-8"},
    {".css", "text/css; charset=utf-8"},
    {".js", "text/javascript; charset=utf-8"},
    {".mjs", "text/javascript; charset=utf-8"},
    {".json", "application/json; charset=utf-8"},
    {".svg", "image/svg+xml"},
    {".png", "image/png"},
    {".ico", "image/vnd.microsoft.icon"},
    {".woff2", "font/woff2"},
    {".txt", "text/plain; charset=utf-8"},
};

bool EndsWith(const std::string& s, const char* suffix)
{
    const std::string_view tail(suffix);
    return s.size() > tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

// Whether `path` (canonical) is `root` (canonical) or below it.
bool Inside(const fs::path& path, const fs::path& root)
{
    const std::string p = path.string();
    const std::string r = root.string();
    return p == r || (p.size() > r.size() && p.compare(0, r.size(), r) == 0 && p[r.size()] == '/');
}

Response Plain(unsigned status, const std::string& text)
{
    Response res;
    res.status = status;
    res.body = text + "\n";
    res.Set("content-type", "text/plain; charset=utf-8");
    return res;
}

void Harden(Response& res)
{
    res.Set("content-security-policy", kWebContentSecurityPolicy);
    res.Set("x-content-type-options", "nosniff");
    res.Set("referrer-policy", "no-referrer");
    res.Set("x-frame-options", "DENY");
    res.Set("cache-control", "no-cache");
}

} // namespace

const char* WebRoot::ContentType(const std::string& name)
{
    for (const TypeByExtension& t : kTypes)
    {
        if (EndsWith(name, t.extension))
        {
            return t.type;
        }
    }
    return "";
}

bool WebRoot::Load(const std::string& dir, std::string* why, std::string* skipped)
{
    files_.clear();
    std::error_code ec;
    const fs::path root = fs::canonical(dir, ec);
    if (ec || !fs::is_directory(root, ec))
    {
        *why = "'" + ktzhost::Printable(dir, 256) + "' is not a readable folder";
        return false;
    }
    std::map<std::string, File> loaded;
    size_t total = 0;
    auto fail = [&](const std::string& reason)
    {
        *why = reason;
        return false;
    };
    fs::recursive_directory_iterator it(root, fs::directory_options::none, ec);
    for (; !ec && it != fs::recursive_directory_iterator(); it.increment(ec))
    {
        const fs::path& p = it->path();
        const std::string rel = p.lexically_relative(root).generic_string();
        const std::string shown = ktzhost::Printable(rel, 256);
        if (p.filename().string().front() == '.')
        {
            it.disable_recursion_pending();
            continue;
        }
        if (it->is_directory(ec) && !it->is_symlink(ec))
        {
            if (static_cast<size_t>(it.depth()) + 1 > kMaxWebDepth)
            {
                return fail("'" + shown + "' is more than " + std::to_string(kMaxWebDepth) + " folders deep");
            }
            continue;
        }
        const fs::path real = fs::canonical(p, ec);
        if (ec || !Inside(real, root))
        {
            if (skipped != nullptr)
            {
                *skipped += shown + ": a link out of the folder\n";
            }
            ec.clear();
            continue;
        }
        if (!fs::is_regular_file(real, ec))
        {
            continue; // a link to a folder inside (its files are loaded by their own path), a socket, ...
        }
        const char* type = ContentType(rel);
        if (*type == '\0')
        {
            if (skipped != nullptr)
            {
                *skipped += shown + ": not a type served\n";
            }
            continue;
        }
        if (loaded.size() == kMaxWebFiles)
        {
            return fail("more than " + std::to_string(kMaxWebFiles) + " files");
        }
        std::ifstream in(real, std::ios::binary);
        std::string body;
        body.resize(kMaxWebFileBytes + 1);
        in.read(body.data(), static_cast<std::streamsize>(body.size()));
        if (in.bad())
        {
            return fail("'" + shown + "' cannot be read");
        }
        body.resize(static_cast<size_t>(in.gcount()));
        if (body.size() > kMaxWebFileBytes)
        {
            return fail("'" + shown + "' is larger than " + std::to_string(kMaxWebFileBytes) + " bytes");
        }
        total += body.size();
        if (total > kMaxWebTotalBytes)
        {
            return fail("the files are larger than " + std::to_string(kMaxWebTotalBytes) + " bytes in all");
        }
        loaded[rel] = File{type, std::move(body)};
    }
    if (ec)
    {
        return fail("the folder cannot be read: " + ec.message());
    }
    files_ = std::move(loaded);
    return true;
}

Response WebRoot::Serve(Method method, const Target& target) const
{
    Response res;
    if (method != Method::Get && method != Method::Head)
    {
        res = Plain(405, "Method Not Allowed");
        res.Set("allow", "GET, HEAD");
    }
    else
    {
        // The decoded segments joined again; a segment holding '/' (sent as
        // %2F) or an empty one names no file, so no name is reached two ways.
        std::string name;
        bool plain = true;
        for (const std::string& seg : target.segments)
        {
            plain = plain && !seg.empty() && seg.find('/') == std::string::npos;
            name += (name.empty() ? "" : "/") + seg;
        }
        if (target.segments.empty() || target.trailingSlash)
        {
            name += name.empty() ? "index.html" : "/index.html";
        }
        const auto it = plain ? files_.find(name) : files_.end();
        if (it == files_.end())
        {
            res = Plain(404, "Not Found");
        }
        else
        {
            res.status = 200;
            res.body = it->second.body;
            res.Set("content-type", it->second.type);
        }
    }
    Harden(res);
    return res;
}

} // namespace ktzredfish
