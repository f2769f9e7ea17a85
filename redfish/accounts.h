// The accounts file and the lockout of repeated failed logins.
//
// The file holds one account per line, NAME:HASH:ROLE: NAME 1 to 32 of
// letters, digits, '.', '_' and '-' (not starting with '.' or '-'); HASH a
// crypt(3) hash of a method it does not call legacy ("$y$...", "$6$...", as
// mkpasswd or openssl passwd -6 make them); ROLE ReadOnly or Administrator. Blank lines and lines starting
// with
// '#' are skipped. At most kMaxAccounts accounts in at most kMaxFileBytes.
// The file must not be readable or writable by group or others: it is
// refused otherwise, like a hash method crypt(3) does not know.
#ifndef KTZREDFISH_ACCOUNTS_H
#define KTZREDFISH_ACCOUNTS_H

#include "schema.h"

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace ktzredfish
{

inline constexpr size_t kMaxAccounts = 256;
inline constexpr size_t kMaxFileBytes = 64 * 1024;
inline constexpr size_t kMaxNameLength = 32;
inline constexpr size_t kMaxPasswordLength = 256;

struct Account
{
    std::string name;
    std::string hash;
    Role role = Role::ReadOnly;
};

bool ValidAccountName(std::string_view name);

// Parses the file's text; false with the line and what is wrong in *error.
bool ParseAccounts(const std::string& text, std::vector<Account>* out, std::string* error);
// Reads and parses the file, checking its permissions first.
bool LoadAccounts(const std::string& path, std::vector<Account>* out, std::string* error);
// Adds NAME with a new hash of `password` to the file (replacing the line of
// an account of that name; creating the file with mode 0600 if needed),
// through a new file renamed over the old one. `*replaced` tells which.
bool WriteAccount(const std::string& path, const std::string& name, Role role, const std::string& password,
                  bool* replaced, std::string* error);

// crypt(3) with the hash as its setting, compared in constant time.
bool VerifyPassword(const std::string& hash, const std::string& password);
// A new hash of `password` with the system's preferred method; "" on failure.
std::string HashPassword(const std::string& password);

// Failed logins per account name (known or not, so that a lock tells nothing
// about which names exist): `threshold` failures, each within `resetAfterMs`
// of the first, lock the name for `durationMs`; a success clears its count.
// At most kMaxTracked names are tracked, the longest untouched forgotten first.
class Lockout
{
  public:
    static constexpr size_t kMaxTracked = 1024;

    Lockout(uint32_t threshold, int64_t durationMs, int64_t resetAfterMs)
        : threshold_(threshold), durationMs_(durationMs), resetAfterMs_(resetAfterMs)
    {
    }
    // Milliseconds the name stays locked, 0 when it is not.
    int64_t LockedFor(const std::string& name, int64_t nowMs) const;
    // Counts a failure; true when it locked the name.
    bool Failed(const std::string& name, int64_t nowMs);
    void Succeeded(const std::string& name);

    uint32_t threshold() const { return threshold_; }
    int64_t durationMs() const { return durationMs_; }
    int64_t resetAfterMs() const { return resetAfterMs_; }

  private:
    struct Entry
    {
        uint32_t failures = 0;
        int64_t firstMs = 0;
        int64_t lockedUntilMs = 0;
        int64_t touchedMs = 0;
    };
    uint32_t threshold_;
    int64_t durationMs_;
    int64_t resetAfterMs_;
    std::map<std::string, Entry> entries_;
};

} // namespace ktzredfish

#endif
