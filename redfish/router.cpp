// Route registration and matching.
#include "router.h"

#include <algorithm>

namespace ktzredfish
{

void Exchange::Finish()
{
    if (done)
    {
        auto d = std::move(done);
        done = nullptr;
        d(std::move(res));
    }
}

void Router::Add(Method method, std::string_view pattern, Privilege privilege, Handler handler, Answer answer)
{
    Route r{method, {}, privilege, handler, answer};
    Target t;
    std::string why;
    // Patterns are written by this program; "{}" and "{*}" parse as segments.
    ParseTarget(pattern, &t, &why);
    r.pattern = t.segments;
    for (const std::string& seg : r.pattern)
    {
        r.score = r.score * 3 + (seg == "{*}" ? 0 : seg == "{}" ? 1 : 2);
    }
    r.path = routes_.size();
    for (const Route& other : routes_)
    {
        if (other.pattern == r.pattern)
        {
            r.path = other.path;
            break;
        }
    }
    routes_.push_back(std::move(r));
}

bool Router::Matches(const Route& r, const Target& t, std::vector<std::string>* params)
{
    if (params != nullptr)
    {
        params->clear();
    }
    const auto& p = r.pattern;
    for (size_t i = 0; i < p.size(); ++i)
    {
        if (p[i] == "{*}")
        {
            if (params != nullptr)
            {
                std::string rest;
                for (size_t k = i; k < t.segments.size(); ++k)
                {
                    rest += (k == i ? "" : "/") + t.segments[k];
                }
                params->push_back(std::move(rest));
            }
            return true;
        }
        if (i >= t.segments.size())
        {
            return false;
        }
        if (p[i] == "{}")
        {
            if (t.segments[i].empty())
            {
                return false;
            }
            if (params != nullptr)
            {
                params->push_back(t.segments[i]);
            }
        }
        else if (p[i] != t.segments[i])
        {
            return false;
        }
    }
    return p.size() == t.segments.size();
}

Router::Match Router::Find(Method method, const Target& target) const
{
    const Method wanted = method == Method::Head ? Method::Get : method;
    Match m;
    const Route* best = nullptr;
    for (const Route& r : routes_)
    {
        if ((best == nullptr || r.score > best->score ||
             (r.score == best->score && r.pattern.size() > best->pattern.size())) &&
            Matches(r, target, nullptr))
        {
            best = &r;
        }
    }
    if (best == nullptr)
    {
        return m;
    }
    m.pathKnown = true;
    m.privilege = best->privilege;
    for (const Route& r : routes_)
    {
        if (r.path != best->path)
        {
            continue;
        }
        m.allowed.push_back(r.method);
        if (r.method == Method::Get)
        {
            m.allowed.push_back(Method::Head);
        }
        if (r.method == wanted)
        {
            m.route = &r;
            m.privilege = r.privilege;
            Matches(r, target, &m.params);
        }
    }
    return m;
}

} // namespace ktzredfish
