// The Redfish service without any socket: a request goes in, its response
// comes out (through a callback, at once or after a password check). It
// authenticates (session token, HTTP Basic, or for the event stream the
// session cookie), routes, checks the route's privilege and runs the
// handler; it keeps the chassis picture up to date from the feed and turns
// what changes into log entries and events.
//
// Everything here runs on one thread, the server's I/O thread; the password
// checker is the only part that may work elsewhere, and it hands its result
// back to this thread.
#ifndef KTZREDFISH_SERVICE_H
#define KTZREDFISH_SERVICE_H

#include "accounts.h"
#include "events.h"
#include "http.h"
#include "ktzclient_decode.h"
#include "picture.h"
#include "router.h"
#include "sessions.h"
#include "webroot.h"

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace ktzredfish
{

inline constexpr size_t kDefaultMaxStreams = 64;
inline constexpr const char* kSessionCookie = "ktzmon-session";
inline constexpr const char* kEventStreamPath = "/redfish/v1/EventService/SSE";

struct ServiceConfig
{
    std::string chassisId = "KTZ";
    std::string chassisDescription = "Modular server chassis monitored by the KTZ Monitor";
    std::string platformId; // reported as the chassis's Model when given
    std::string uuid;       // the service root's UUID
    uint32_t lockoutThreshold = 5;
    int64_t lockoutDurationMs = 300 * 1000;
    int64_t lockoutResetAfterMs = 300 * 1000;
    size_t maxSessions = kDefaultMaxSessions;
    int64_t sessionIdleMs = 1800 * 1000;
    size_t maxStreams = kDefaultMaxStreams;
    size_t replayCapacity = kDefaultReplayCapacity;
};

class Clock
{
  public:
    virtual ~Clock() = default;
    virtual int64_t NowMs() const = 0;  // monotonic
    virtual int64_t WallMs() const = 0; // since the epoch
};

class SystemClock : public Clock
{
  public:
    int64_t NowMs() const override;
    int64_t WallMs() const override;
};

class PasswordChecker
{
  public:
    virtual ~PasswordChecker() = default;
    // Checks `password` against `hash`; `done` gets the result on the
    // service's thread, possibly before this returns. False, and `done` is
    // never called, when too many checks are waiting already.
    virtual bool Check(const std::string& hash, const std::string& password,
                       std::function<void(bool)> done) = 0;
};

class Service
{
  public:
    Service(ServiceConfig config, std::vector<Account> accounts, PasswordChecker& checker,
            const Clock& clock);

    void Handle(Request req, std::function<void(Response)> done);
    // The web application served at every path outside /redfish (none
    // unless set: those paths are then unknown Redfish URIs).
    void SetWebRoot(WebRoot web) { web_ = std::move(web); }

    // The chassis feed.
    void FeedConnected();
    void FeedDisconnected();
    void FeedMessage(const ktzclient::Message& msg);
    void FeedDecodeFailed();

    // About once a second: idle sessions end.
    void Tick();

    // Told of every session that ends (deleted or idle): its streams close.
    std::function<void(const std::string& sessionId)> onSessionEnded;
    // Where log lines go (default: standard error).
    std::function<void(const std::string& line)> log;

    // ---- for the route handlers -------------------------------------------------
    enum class LoginResult
    {
        Ok,
        Bad,
        Locked,
        Busy,
    };
    // Checks a name and password, minding the lockout. `done` gets the
    // account on success and, when locked, the milliseconds left.
    void Login(const std::string& name, const std::string& password, const std::string& peer,
               std::function<void(LoginResult, const Account*, int64_t lockedMs)> done);
    // Makes `res` the answer to a login that did not succeed.
    void SetLoginError(Response& res, LoginResult r, int64_t lockedMs, const std::string& uri) const;

    bool OpenStream(const std::string& sessionId); // false at the stream limit
    void StreamClosed(const std::string& sessionId);
    size_t streams() const { return streams_; }
    void EndSession(std::string id); // by value: callers pass the session's own Id

    const ServiceConfig& config() const { return config_; }
    const Picture& picture() const { return picture_; }
    Sessions& sessions() { return sessions_; }
    EventHub& events() { return events_; }
    const Lockout& lockout() const { return lockout_; }
    const std::vector<Account>& accounts() const { return accounts_; }
    const Account* FindAccount(const std::string& name) const;
    int64_t NowMs() const { return clock_.NowMs(); }
    int64_t WallMs() const { return clock_.WallMs(); }
    std::string ChassisUri() const { return "/redfish/v1/Chassis/" + config_.chassisId; }
    // The URI of a sensor's resource, and its Sensors collection Id.
    std::string SensorUri(SensorKind kind, uint8_t number) const;
    static std::string SensorId(SensorKind kind, uint8_t number);
    // "Fan3" back to its kind and number; false for anything else.
    static bool ParseSensorId(const std::string& id, SensorKind* kind, uint8_t* number);
    // The request names this service's chassis (its first parameter); when
    // not, `res` is made the 404 and false returned.
    bool ChassisMatches(const ExchangePtr& ex) const;

  private:
    void Authenticate(const ExchangePtr& ex, const Router::Match& match);
    void Dispatch(const ExchangePtr& ex, const Router::Match& match);
    void Publish(const std::vector<Change>& changes);
    // The kept answer of a kFromPicture route, into ex->res; false if none.
    bool Cached(const ExchangePtr& ex);
    std::string CacheKey(const std::string& name, const std::string& password) const;
    void Log(const std::string& line) const;

    ServiceConfig config_;
    std::vector<Account> accounts_;
    PasswordChecker& checker_;
    const Clock& clock_;
    Router router_;
    WebRoot web_;
    Picture picture_;
    Sessions sessions_;
    EventHub events_;
    Lockout lockout_;
    size_t streams_ = 0;
    std::string dummyHash_;                   // checked for unknown names, so they cost the same
    std::string cacheSecret_;                 // keys the cache of passwords that were right
    std::map<std::string, int64_t> verified_; // key -> expiry (monotonic ms)
    // Answers of kFromPicture routes by path, for the picture's version.
    std::map<std::string, Response> answers_;
    uint64_t answersVersion_ = 0;
    int64_t lastFailureLogMs_ = -1000000;
    uint64_t suppressedFailures_ = 0;
};

// Each resource family registers its routes.
void RegisterRootRoutes(Router& r);
void RegisterChassisRoutes(Router& r);
void RegisterThermalRoutes(Router& r);
void RegisterPowerRoutes(Router& r);
void RegisterLogRoutes(Router& r);
void RegisterSessionRoutes(Router& r);
void RegisterAccountRoutes(Router& r);
void RegisterEventRoutes(Router& r);

} // namespace ktzredfish

#endif
