// Methods, header look-ups and request targets.
#include "http.h"

#include "target.h"

namespace ktzredfish
{

namespace
{

struct MethodName
{
    Method method;
    const char* name;
};

constexpr MethodName kMethods[] = {
    {Method::Get, "GET"},     {Method::Head, "HEAD"},     {Method::Post, "POST"},       {Method::Put, "PUT"},
    {Method::Patch, "PATCH"}, {Method::Delete, "DELETE"}, {Method::Options, "OPTIONS"},
};

const std::string* Find(const Headers& headers, std::string_view name)
{
    for (const auto& [n, v] : headers)
    {
        if (n == name)
        {
            return &v;
        }
    }
    return nullptr;
}

int HexValue(char c)
{
    if (c >= '0' && c <= '9')
    {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f')
    {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F')
    {
        return c - 'A' + 10;
    }
    return -1;
}

} // namespace

Method MethodByName(std::string_view name)
{
    for (const MethodName& m : kMethods)
    {
        if (name == m.name)
        {
            return m.method;
        }
    }
    return Method::Other;
}

const char* Name(Method m)
{
    for (const MethodName& e : kMethods)
    {
        if (e.method == m)
        {
            return e.name;
        }
    }
    return "OTHER";
}

const std::string* Request::Header(std::string_view name) const
{
    return Find(headers, name);
}

void Response::Set(std::string name, std::string value)
{
    for (auto& [n, v] : headers)
    {
        if (n == name)
        {
            v = std::move(value);
            return;
        }
    }
    headers.emplace_back(std::move(name), std::move(value));
}

const std::string* Response::Header(std::string_view name) const
{
    return Find(headers, name);
}

const std::string* Target::Query(std::string_view name) const
{
    for (const auto& [n, v] : query)
    {
        if (n == name)
        {
            return &v;
        }
    }
    return nullptr;
}

bool PercentDecode(std::string_view in, std::string* out)
{
    out->clear();
    out->reserve(in.size());
    for (size_t i = 0; i < in.size(); ++i)
    {
        char c = in[i];
        if (c == '%')
        {
            if (i + 2 >= in.size())
            {
                return false;
            }
            const int hi = HexValue(in[i + 1]);
            const int lo = HexValue(in[i + 2]);
            if (hi < 0 || lo < 0)
            {
                return false;
            }
            c = static_cast<char>(hi * 16 + lo);
            i += 2;
        }
        if (c == '\0')
        {
            return false;
        }
        out->push_back(c);
    }
    return true;
}

bool ParseTarget(std::string_view text, Target* out, std::string* why)
{
    *out = Target{};
    // The fragment is never sent by clients; drop it if one is.
    text = text.substr(0, text.find('#'));
    // Absolute form: skip the scheme and the authority.
    const size_t scheme = text.find("://");
    if (scheme != std::string_view::npos && scheme < text.find('/'))
    {
        const size_t path = text.find('/', scheme + 3);
        text = path == std::string_view::npos ? std::string_view("/") : text.substr(path);
    }
    if (text.empty() || text.front() != '/')
    {
        *why = "the target is not a path";
        return false;
    }
    const size_t q = text.find('?');
    std::string_view path = text.substr(0, q);
    std::string_view query = q == std::string_view::npos ? std::string_view() : text.substr(q + 1);

    path.remove_prefix(1);
    if (!path.empty() && path.back() == '/')
    {
        out->trailingSlash = true;
        path.remove_suffix(1);
    }
    // "a//b" gives an empty segment, kept so that the path matches nothing.
    while (!path.empty())
    {
        const size_t slash = path.find('/');
        std::string seg;
        if (!PercentDecode(path.substr(0, slash), &seg))
        {
            *why = "a broken percent escape or a NUL in the path";
            return false;
        }
        if (seg == "." || seg == "..")
        {
            *why = "a dot segment in the path";
            return false;
        }
        if (out->segments.size() == kMaxSegments)
        {
            *why = "the path has too many segments";
            return false;
        }
        out->path += '/';
        out->path += seg;
        out->segments.push_back(std::move(seg));
        if (slash == std::string_view::npos)
        {
            break;
        }
        path.remove_prefix(slash + 1);
        if (path.empty())
        {
            out->segments.emplace_back();
            out->path += '/';
        }
    }
    if (out->path.empty())
    {
        out->path = "/";
    }

    while (!query.empty())
    {
        const size_t amp = query.find('&');
        const std::string_view pair = query.substr(0, amp);
        query = amp == std::string_view::npos ? std::string_view() : query.substr(amp + 1);
        if (pair.empty())
        {
            continue;
        }
        if (out->query.size() == kMaxQueryParams)
        {
            *why = "too many query parameters";
            return false;
        }
        const size_t eq = pair.find('=');
        std::string name, value;
        if (!PercentDecode(pair.substr(0, eq), &name) ||
            (eq != std::string_view::npos && !PercentDecode(pair.substr(eq + 1), &value)))
        {
            *why = "a broken percent escape or a NUL in the query";
            return false;
        }
        out->query.emplace_back(std::move(name), std::move(value));
    }
    return true;
}

} // namespace ktzredfish
