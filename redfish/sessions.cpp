// The session table.
#include "sessions.h"

#include <cstdio>
#include <stdexcept>
#include <sys/random.h>

namespace ktzredfish
{

std::string RandomHex(size_t bytes)
{
    std::string raw(bytes, '\0');
    size_t got = 0;
    while (got < bytes)
    {
        const ssize_t n = ::getrandom(raw.data() + got, bytes - got, 0);
        if (n <= 0)
        {
            throw std::runtime_error("getrandom failed");
        }
        got += static_cast<size_t>(n);
    }
    std::string out;
    for (const char c : raw)
    {
        char buf[3];
        std::snprintf(buf, sizeof buf, "%02x", static_cast<unsigned char>(c));
        out += buf;
    }
    return out;
}

bool Sessions::Expired(const Session& s, int64_t nowMs) const
{
    return s.streams == 0 && nowMs - s.lastUsedMs > idleMs_;
}

const Session* Sessions::Create(const std::string& user, Role role, int64_t nowMs, int64_t wallMs)
{
    Expire(nowMs);
    if (byId_.size() >= capacity_)
    {
        return nullptr;
    }
    Session s;
    do
    {
        s.id = RandomHex(8);
    } while (byId_.count(s.id) != 0);
    s.token = RandomHex(32);
    s.user = user;
    s.role = role;
    s.createdWallMs = wallMs;
    s.lastUsedMs = nowMs;
    idByToken_[s.token] = s.id;
    const std::string id = s.id;
    return &(byId_[id] = std::move(s));
}

Session* Sessions::ByToken(const std::string& token, int64_t nowMs)
{
    const auto t = idByToken_.find(token);
    if (t == idByToken_.end())
    {
        return nullptr;
    }
    return ById(t->second, nowMs);
}

Session* Sessions::ById(const std::string& id, int64_t nowMs)
{
    const auto it = byId_.find(id);
    if (it == byId_.end())
    {
        return nullptr;
    }
    if (Expired(it->second, nowMs))
    {
        Remove(id);
        return nullptr;
    }
    it->second.lastUsedMs = nowMs;
    return &it->second;
}

bool Sessions::Remove(const std::string& id)
{
    const auto it = byId_.find(id);
    if (it == byId_.end())
    {
        return false;
    }
    idByToken_.erase(it->second.token);
    byId_.erase(it);
    return true;
}

std::vector<std::string> Sessions::Expire(int64_t nowMs)
{
    std::vector<std::string> gone;
    for (const auto& [id, s] : byId_)
    {
        if (Expired(s, nowMs))
        {
            gone.push_back(id);
        }
    }
    for (const std::string& id : gone)
    {
        Remove(id);
    }
    return gone;
}

} // namespace ktzredfish
