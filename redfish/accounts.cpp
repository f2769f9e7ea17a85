// Accounts file, password hashes and the lockout.
#include "accounts.h"

#include <cerrno>
#include <crypt.h>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <openssl/crypto.h>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace ktzredfish
{

namespace
{

bool ReadSmallFile(const std::string& path, std::string* out, std::string* error)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0)
    {
        *error = path + ": " + std::strerror(errno);
        return false;
    }
    struct stat st
    {
    };
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))
    {
        *error = path + ": not a regular file";
        ::close(fd);
        return false;
    }
    if ((st.st_mode & 077) != 0)
    {
        char mode[8];
        std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
        *error = path + ": readable or writable by group or others (mode " + mode +
                 "); make it private, e.g. chmod 600";
        ::close(fd);
        return false;
    }
    out->clear();
    char buf[4096];
    while (true)
    {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
        {
            continue;
        }
        if (n < 0)
        {
            *error = path + ": " + std::strerror(errno);
            ::close(fd);
            return false;
        }
        if (n == 0)
        {
            break;
        }
        out->append(buf, static_cast<size_t>(n));
        if (out->size() > kMaxFileBytes)
        {
            *error = path + ": larger than " + std::to_string(kMaxFileBytes) + " bytes";
            ::close(fd);
            return false;
        }
    }
    ::close(fd);
    return true;
}

bool ValidHash(const std::string& hash)
{
    // A modern method's whole hash: "$id$...". Traditional DES takes any two
    // characters as its salt, so a password pasted by mistake would pass.
    if (hash.size() < 4 || hash.size() > 512 || hash[0] != '$' ||
        hash.find_first_of(": \t\r\n") != std::string::npos)
    {
        return false;
    }
    return crypt_checksalt(hash.c_str()) == CRYPT_SALT_OK;
}

} // namespace

bool ValidAccountName(std::string_view name)
{
    if (name.empty() || name.size() > kMaxNameLength || name.front() == '.' || name.front() == '-')
    {
        return false;
    }
    for (const char c : name)
    {
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                        c == '.' || c == '_' || c == '-';
        if (!ok)
        {
            return false;
        }
    }
    return true;
}

bool ParseAccounts(const std::string& text, std::vector<Account>* out, std::string* error)
{
    out->clear();
    std::istringstream lines(text);
    std::string line;
    int number = 0;
    while (std::getline(lines, line))
    {
        ++number;
        if (!line.empty() && line.back() == '\r')
        {
            line.pop_back();
        }
        if (line.empty() || line.front() == '#')
        {
            continue;
        }
        const std::string where = "line " + std::to_string(number) + ": ";
        const size_t c1 = line.find(':');
        const size_t c2 = c1 == std::string::npos ? c1 : line.find(':', c1 + 1);
        if (c2 == std::string::npos || line.find(':', c2 + 1) != std::string::npos)
        {
            *error = where + "expected NAME:HASH:ROLE";
            return false;
        }
        Account a;
        a.name = line.substr(0, c1);
        a.hash = line.substr(c1 + 1, c2 - c1 - 1);
        const std::string role = line.substr(c2 + 1);
        if (!ValidAccountName(a.name))
        {
            *error = where + "the name must be 1 to 32 letters, digits, '.', '_' or '-'";
            return false;
        }
        if (!ValidHash(a.hash))
        {
            *error = where + "the hash of '" + a.name + "' is not one crypt(3) can check";
            return false;
        }
        if (!RoleByName(role.c_str(), &a.role))
        {
            *error = where + "the role must be ReadOnly or Administrator";
            return false;
        }
        for (const Account& other : *out)
        {
            if (other.name == a.name)
            {
                *error = where + "'" + a.name + "' is there twice";
                return false;
            }
        }
        if (out->size() == kMaxAccounts)
        {
            *error = where + "more than " + std::to_string(kMaxAccounts) + " accounts";
            return false;
        }
        out->push_back(std::move(a));
    }
    return true;
}

bool LoadAccounts(const std::string& path, std::vector<Account>* out, std::string* error)
{
    std::string text;
    if (!ReadSmallFile(path, &text, error))
    {
        return false;
    }
    if (!ParseAccounts(text, out, error))
    {
        *error = path + ": " + *error;
        return false;
    }
    return true;
}

bool WriteAccount(const std::string& path, const std::string& name, Role role, const std::string& password,
                  bool* replaced, std::string* error)
{
    *replaced = false;
    std::string text;
    if (::access(path.c_str(), F_OK) == 0 && !ReadSmallFile(path, &text, error))
    {
        return false;
    }
    std::vector<Account> existing;
    if (!ParseAccounts(text, &existing, error))
    {
        *error = path + ": " + *error;
        return false;
    }
    const std::string hash = HashPassword(password);
    if (hash.empty())
    {
        *error = "crypt(3) could not hash the password";
        return false;
    }
    const std::string entry = name + ":" + hash + ":" + Name(role);
    // Keep every other line (comments too) as it is.
    std::string updated;
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line))
    {
        if (line.compare(0, name.size() + 1, name + ":") == 0)
        {
            *replaced = true;
            updated += entry + "\n";
        }
        else
        {
            updated += line + "\n";
        }
    }
    if (!*replaced)
    {
        updated += entry + "\n";
    }
    if (existing.size() >= kMaxAccounts && !*replaced)
    {
        *error = path + ": already holds " + std::to_string(kMaxAccounts) + " accounts";
        return false;
    }

    const std::string temp = path + ".new";
    ::unlink(temp.c_str());
    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0)
    {
        *error = temp + ": " + std::strerror(errno);
        return false;
    }
    size_t done = 0;
    while (done < updated.size())
    {
        const ssize_t n = ::write(fd, updated.data() + done, updated.size() - done);
        if (n < 0 && errno == EINTR)
        {
            continue;
        }
        if (n <= 0)
        {
            *error = temp + ": " + std::strerror(errno);
            ::close(fd);
            ::unlink(temp.c_str());
            return false;
        }
        done += static_cast<size_t>(n);
    }
    if (::fsync(fd) != 0 || ::close(fd) != 0 || ::rename(temp.c_str(), path.c_str()) != 0)
    {
        *error = path + ": " + std::strerror(errno);
        ::unlink(temp.c_str());
        return false;
    }
    return true;
}

bool VerifyPassword(const std::string& hash, const std::string& password)
{
    if (password.size() > kMaxPasswordLength)
    {
        return false;
    }
    crypt_data data{};
    const char* out = crypt_rn(password.c_str(), hash.c_str(), &data, sizeof data);
    if (out == nullptr || out[0] == '*')
    {
        return false;
    }
    const size_t n = std::strlen(out);
    return n == hash.size() && CRYPTO_memcmp(out, hash.data(), n) == 0;
}

std::string HashPassword(const std::string& password)
{
    char setting[CRYPT_GENSALT_OUTPUT_SIZE];
    if (crypt_gensalt_rn(nullptr, 0, nullptr, 0, setting, sizeof setting) == nullptr)
    {
        return "";
    }
    crypt_data data{};
    const char* out = crypt_rn(password.c_str(), setting, &data, sizeof data);
    return out == nullptr || out[0] == '*' ? std::string() : std::string(out);
}

int64_t Lockout::LockedFor(const std::string& name, int64_t nowMs) const
{
    const auto it = entries_.find(name);
    if (it == entries_.end() || it->second.lockedUntilMs <= nowMs)
    {
        return 0;
    }
    return it->second.lockedUntilMs - nowMs;
}

bool Lockout::Failed(const std::string& name, int64_t nowMs)
{
    if (threshold_ == 0)
    {
        return false; // lockout switched off
    }
    auto it = entries_.find(name);
    if (it == entries_.end())
    {
        if (entries_.size() >= kMaxTracked)
        {
            // The longest untouched name that is not locked goes first, so
            // that a flood of new names cannot lift a lock.
            auto oldest = entries_.end();
            for (const bool lockedToo : {false, true})
            {
                for (auto e = entries_.begin(); e != entries_.end(); ++e)
                {
                    const bool locked = e->second.lockedUntilMs > nowMs;
                    if ((lockedToo || !locked) &&
                        (oldest == entries_.end() || e->second.touchedMs < oldest->second.touchedMs))
                    {
                        oldest = e;
                    }
                }
                if (oldest != entries_.end())
                {
                    break;
                }
            }
            entries_.erase(oldest);
        }
        it = entries_.emplace(name, Entry{}).first;
    }
    Entry& e = it->second;
    e.touchedMs = nowMs;
    if (e.failures == 0 || nowMs - e.firstMs > resetAfterMs_ ||
        (e.lockedUntilMs != 0 && e.lockedUntilMs <= nowMs))
    {
        e = Entry{0, nowMs, 0, nowMs};
    }
    if (++e.failures >= threshold_ && e.lockedUntilMs == 0)
    {
        e.lockedUntilMs = nowMs + durationMs_;
        return true;
    }
    return false;
}

void Lockout::Succeeded(const std::string& name)
{
    entries_.erase(name);
}

} // namespace ktzredfish
