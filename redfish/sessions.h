// Redfish sessions: created by a login, found by their token, ended by a
// DELETE or by `idleMs` without a request. At most `capacity` at once. A
// session with an event stream open never idles out; the stream ends with
// the session.
//
// Used on the service's I/O thread only; not locked.
#ifndef KTZREDFISH_SESSIONS_H
#define KTZREDFISH_SESSIONS_H

#include "schema.h"

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace ktzredfish
{

inline constexpr size_t kDefaultMaxSessions = 64;

struct Session
{
    std::string id;    // the resource's Id (16 hex digits)
    std::string token; // X-Auth-Token (64 hex digits)
    std::string user;
    Role role = Role::ReadOnly;
    int64_t createdWallMs = 0;
    int64_t lastUsedMs = 0; // monotonic
    int streams = 0;        // open event streams
};

class Sessions
{
  public:
    Sessions(size_t capacity, int64_t idleMs) : capacity_(capacity), idleMs_(idleMs) {}

    // A new session, or null when `capacity` sessions exist.
    const Session* Create(const std::string& user, Role role, int64_t nowMs, int64_t wallMs);
    // The live session with this token, marked as used now; null if none.
    Session* ByToken(const std::string& token, int64_t nowMs);
    Session* ById(const std::string& id, int64_t nowMs);
    bool Remove(const std::string& id);
    // Ends the sessions idle for longer than the timeout; their IDs.
    std::vector<std::string> Expire(int64_t nowMs);
    const std::map<std::string, Session>& all() const { return byId_; }
    size_t capacity() const { return capacity_; }
    int64_t idleMs() const { return idleMs_; }

  private:
    bool Expired(const Session& s, int64_t nowMs) const;

    size_t capacity_;
    int64_t idleMs_;
    std::map<std::string, Session> byId_;
    std::map<std::string, std::string> idByToken_;
};

// `bytes` random bytes as hex, from the kernel's generator.
std::string RandomHex(size_t bytes);

} // namespace ktzredfish

#endif
