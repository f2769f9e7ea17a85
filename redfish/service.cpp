// Authentication, dispatch, and the chassis feed turned into events.
#include "service.h"

#include "messages.h"
#include "registry.h"
#include "text.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <openssl/evp.h>
#include <openssl/sha.h>

namespace ktzredfish
{

namespace
{

// How long a name and password that were right are taken without crypt(3)
// again, and how many such pairs are remembered.
constexpr int64_t kVerifiedMs = 300 * 1000;
constexpr size_t kMaxVerified = 256;

bool StartsWithNoCase(const std::string& s, const char* prefix)
{
    size_t i = 0;
    for (; prefix[i] != '\0'; ++i)
    {
        if (i >= s.size() || std::tolower(static_cast<unsigned char>(s[i])) != prefix[i])
        {
            return false;
        }
    }
    return true;
}

// Standard base64 with padding; false on anything else.
bool DecodeBase64(const std::string& in, std::string* out)
{
    if (in.empty() || in.size() % 4 != 0 || in.size() > 2048)
    {
        return false;
    }
    std::string buf(in.size() / 4 * 3, '\0');
    const int n =
        EVP_DecodeBlock(reinterpret_cast<unsigned char*>(buf.data()),
                        reinterpret_cast<const unsigned char*>(in.data()), static_cast<int>(in.size()));
    if (n < 0)
    {
        return false;
    }
    size_t len = static_cast<size_t>(n);
    for (size_t i = in.size(); i > 0 && in[i - 1] == '=' && len > 0; --i)
    {
        --len; // EVP_DecodeBlock counts the padding as zero bytes
    }
    buf.resize(len);
    *out = std::move(buf);
    return true;
}

// The value of cookie `name` in a Cookie header, if there.
bool CookieValue(const std::string& header, const std::string& name, std::string* value)
{
    size_t pos = 0;
    while (pos < header.size())
    {
        while (pos < header.size() && (header[pos] == ' ' || header[pos] == ';'))
        {
            ++pos;
        }
        const size_t end = std::min(header.find(';', pos), header.size());
        const std::string pair = header.substr(pos, end - pos);
        if (pair.compare(0, name.size() + 1, name + "=") == 0)
        {
            *value = pair.substr(name.size() + 1);
            return true;
        }
        pos = end;
    }
    return false;
}

void SetUnauthorized(Response& res, Msg m, const std::vector<std::string>& args = {})
{
    SetError(res, 401, m, args);
    res.Set("www-authenticate", "Basic realm=\"ktzmon-redfish\", charset=\"UTF-8\"");
}

} // namespace

int64_t SystemClock::NowMs() const
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

int64_t SystemClock::WallMs() const
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

Service::Service(ServiceConfig config, std::vector<Account> accounts, PasswordChecker& checker,
                 const Clock& clock)
    : config_(std::move(config)), accounts_(std::move(accounts)), checker_(checker), clock_(clock),
      sessions_(config_.maxSessions, config_.sessionIdleMs), events_(config_.replayCapacity, clock.WallMs()),
      lockout_(config_.lockoutThreshold, config_.lockoutDurationMs, config_.lockoutResetAfterMs)
{
    RegisterRootRoutes(router_);
    RegisterChassisRoutes(router_);
    RegisterThermalRoutes(router_);
    RegisterPowerRoutes(router_);
    RegisterLogRoutes(router_);
    RegisterSessionRoutes(router_);
    RegisterAccountRoutes(router_);
    RegisterEventRoutes(router_);
    dummyHash_ = HashPassword(RandomHex(16));
    cacheSecret_ = RandomHex(32);
}

void Service::Log(const std::string& line) const
{
    if (log)
    {
        log(line);
    }
    else
    {
        std::fprintf(stderr, "ktzmon-redfish: %s\n", line.c_str());
    }
}

void Service::Handle(Request req, std::function<void(Response)> done)
{
    auto ex = std::make_shared<Exchange>();
    ex->req = std::move(req);
    ex->done = std::move(done);
    // A script's request (the web view's) gets its 401 without the Basic
    // challenge: a browser would answer that with a password dialog of its
    // own instead of handing the 401 to the script.
    if (ex->req.Header("x-requested-with") != nullptr)
    {
        ex->done = [d = std::move(ex->done)](Response res)
        {
            std::erase_if(res.headers, [](const auto& h) { return h.first == "www-authenticate"; });
            d(std::move(res));
        };
    }
    std::string why;
    if (!ParseTarget(ex->req.target, &ex->target, &why))
    {
        const std::string resolution = "Correct the request URI (" + why + ") and resubmit the request.";
        SetError(ex->res, 400, Msg::GeneralError, {}, resolution.c_str());
        ex->Finish();
        return;
    }
    // The web application's files are public, like any login page: the
    // page itself logs in through the Redfish session service.
    if (!web_.empty() && (ex->target.segments.empty() || ex->target.segments[0] != "redfish"))
    {
        ex->res = web_.Serve(ex->req.method, ex->target);
        ex->Finish();
        return;
    }
    Authenticate(ex, router_.Find(ex->req.method, ex->target));
}

void Service::Authenticate(const ExchangePtr& ex, const Router::Match& match)
{
    if (match.privilege == Privilege::None)
    {
        Dispatch(ex, match);
        return;
    }
    const std::string* token = ex->req.Header("x-auth-token");
    std::string cookieToken;
    const std::string* cookie = ex->req.Header("cookie");
    // Browsers cannot give an event stream a header: it takes the session
    // cookie set at login instead. Nothing else does, so that no other
    // request can be forged from another site.
    if (token == nullptr && cookie != nullptr && ex->target.path == kEventStreamPath &&
        CookieValue(*cookie, kSessionCookie, &cookieToken))
    {
        token = &cookieToken;
    }
    if (token != nullptr)
    {
        const Session* s = sessions_.ByToken(*token, NowMs());
        if (s == nullptr)
        {
            SetUnauthorized(ex->res, Msg::NoValidSession);
            ex->Finish();
            return;
        }
        ex->who = Identity{s->user, s->role, s->id};
        Dispatch(ex, match);
        return;
    }
    const std::string* auth = ex->req.Header("authorization");
    std::string decoded;
    size_t colon = std::string::npos;
    if (auth == nullptr || !StartsWithNoCase(*auth, "basic "))
    {
        SetUnauthorized(ex->res, Msg::NoValidSession);
        ex->Finish();
        return;
    }
    if (!DecodeBase64(auth->substr(6), &decoded) || (colon = decoded.find(':')) == std::string::npos)
    {
        SetError(ex->res, Msg::HeaderInvalid, {"Authorization"});
        ex->Finish();
        return;
    }
    Login(decoded.substr(0, colon), decoded.substr(colon + 1), ex->req.peer,
          [this, ex, match](LoginResult r, const Account* a, int64_t lockedMs)
          {
              if (r != LoginResult::Ok)
              {
                  SetLoginError(ex->res, r, lockedMs, ex->target.path);
                  ex->Finish();
                  return;
              }
              ex->who = Identity{a->name, a->role, ""};
              Dispatch(ex, match);
          });
}

void Service::Dispatch(const ExchangePtr& ex, const Router::Match& match)
{
    Response& res = ex->res;
    if (!match.pathKnown)
    {
        SetError(res, Msg::InvalidURI, {ex->target.path});
    }
    else if (match.route == nullptr)
    {
        std::string allow;
        for (const Method m : match.allowed)
        {
            allow += (allow.empty() ? "" : ", ") + std::string(Name(m));
        }
        SetError(res, Msg::OperationNotAllowed);
        res.Set("allow", allow);
    }
    else
    {
        for (const auto& [name, value] : ex->target.query)
        {
            if (!name.empty() && name.front() == '$')
            {
                SetError(res, Msg::QueryParameterUnsupported, {name});
                ex->Finish();
                return;
            }
        }
        if (match.privilege != Privilege::None && (!ex->who || !Has(ex->who->role, match.privilege)))
        {
            SetError(res, Msg::InsufficientPrivilege);
        }
        else
        {
            ex->params = match.params;
            if (match.route->answer == Answer::FromPicture && Cached(ex))
            {
                ex->Finish();
                return;
            }
            match.route->handler(*this, ex);
            if (ex->deferred)
            {
                return;
            }
            if (match.route->answer == Answer::FromPicture && res.status == 200)
            {
                constexpr size_t kMaxAnswers = 512;
                if (answers_.size() >= kMaxAnswers)
                {
                    answers_.clear();
                }
                answers_[ex->target.path] = res;
            }
        }
    }
    ex->Finish();
}

bool Service::Cached(const ExchangePtr& ex)
{
    if (answersVersion_ != picture_.version())
    {
        answers_.clear();
        answersVersion_ = picture_.version();
        return false;
    }
    const auto it = answers_.find(ex->target.path);
    if (it == answers_.end())
    {
        return false;
    }
    ex->res = it->second;
    return true;
}

std::string Service::CacheKey(const std::string& name, const std::string& password) const
{
    std::string input = cacheSecret_;
    input += name;
    input.push_back('\0');
    input += password;
    unsigned char digest[SHA256_DIGEST_LENGTH];
    SHA256(reinterpret_cast<const unsigned char*>(input.data()), input.size(), digest);
    return std::string(reinterpret_cast<const char*>(digest), sizeof digest);
}

void Service::Login(const std::string& name, const std::string& password, const std::string& peer,
                    std::function<void(LoginResult, const Account*, int64_t)> done)
{
    const int64_t now = NowMs();
    if (!ValidAccountName(name) || password.size() > kMaxPasswordLength)
    {
        done(LoginResult::Bad, nullptr, 0); // cannot be an account: nothing to check or count
        return;
    }
    if (const int64_t left = lockout_.LockedFor(name, now); left > 0)
    {
        done(LoginResult::Locked, nullptr, left);
        return;
    }
    const Account* a = FindAccount(name);
    const std::string key = CacheKey(name, password);
    if (a != nullptr)
    {
        const auto it = verified_.find(key);
        if (it != verified_.end() && it->second > now)
        {
            lockout_.Succeeded(name);
            done(LoginResult::Ok, a, 0);
            return;
        }
    }
    const bool queued = checker_.Check(
        a != nullptr ? a->hash : dummyHash_, password,
        [this, name, key, peer, done](bool ok)
        {
            const int64_t at = NowMs();
            const Account* acct = FindAccount(name);
            if (ok && acct != nullptr)
            {
                lockout_.Succeeded(name);
                if (verified_.size() >= kMaxVerified)
                {
                    verified_.clear();
                }
                verified_[key] = at + kVerifiedMs;
                done(LoginResult::Ok, acct, 0);
                return;
            }
            const bool locked = lockout_.Failed(name, at);
            // At most one line a second (and every lock), so that a guessing
            // client cannot flood the log.
            if (locked || at - lastFailureLogMs_ >= 1000)
            {
                Log("login failed for '" + ktzhost::Printable(name, kMaxNameLength) + "' from " + peer +
                    (locked ? "; locked for " + std::to_string(lockout_.durationMs() / 1000) + " s after " +
                                  std::to_string(lockout_.threshold()) + " failures"
                            : "") +
                    (suppressedFailures_ > 0
                         ? " (" + std::to_string(suppressedFailures_) + " more failures before)"
                         : ""));
                lastFailureLogMs_ = at;
                suppressedFailures_ = 0;
            }
            else
            {
                ++suppressedFailures_;
            }
            done(LoginResult::Bad, nullptr, 0);
        });
    if (!queued)
    {
        done(LoginResult::Busy, nullptr, 0);
    }
}

void Service::SetLoginError(Response& res, LoginResult r, int64_t lockedMs, const std::string& uri) const
{
    switch (r)
    {
    case LoginResult::Busy:
        SetError(res, Msg::ServiceTemporarilyUnavailable, {"1"});
        res.Set("retry-after", "1");
        return;
    case LoginResult::Locked:
        SetUnauthorized(res, Msg::ResourceAtUriUnauthorized,
                        {uri, "Account locked for another " + std::to_string((lockedMs + 999) / 1000) +
                                  " seconds after " + std::to_string(lockout_.threshold()) +
                                  " failed logins"});
        return;
    default:
        SetUnauthorized(res, Msg::ResourceAtUriUnauthorized, {uri, "Invalid username or password"});
        return;
    }
}

const Account* Service::FindAccount(const std::string& name) const
{
    for (const Account& a : accounts_)
    {
        if (a.name == name)
        {
            return &a;
        }
    }
    return nullptr;
}

bool Service::OpenStream(const std::string& sessionId)
{
    if (streams_ >= config_.maxStreams)
    {
        return false;
    }
    ++streams_;
    if (Session* s = sessions_.ById(sessionId, NowMs()))
    {
        ++s->streams;
    }
    return true;
}

void Service::StreamClosed(const std::string& sessionId)
{
    if (streams_ > 0)
    {
        --streams_;
    }
    if (Session* s = sessions_.ById(sessionId, NowMs()); s != nullptr && s->streams > 0)
    {
        --s->streams;
    }
}

void Service::EndSession(std::string id)
{
    if (sessions_.Remove(id) && onSessionEnded)
    {
        onSessionEnded(id);
    }
}

void Service::Tick()
{
    const int64_t now = NowMs();
    for (const std::string& id : sessions_.Expire(now))
    {
        if (onSessionEnded)
        {
            onSessionEnded(id);
        }
    }
    for (auto it = verified_.begin(); it != verified_.end();)
    {
        it = it->second <= now ? verified_.erase(it) : std::next(it);
    }
}

std::string Service::SensorId(SensorKind kind, uint8_t number)
{
    const char* prefix = kind == SensorKind::Fan           ? "Fan"
                         : kind == SensorKind::Temperature ? "Temp"
                         : kind == SensorKind::PowerSupply ? "PSU"
                                                           : "Redundancy";
    return prefix + std::to_string(number);
}

bool Service::ParseSensorId(const std::string& id, SensorKind* kind, uint8_t* number)
{
    for (const SensorKind k :
         {SensorKind::Fan, SensorKind::Temperature, SensorKind::PowerSupply, SensorKind::Redundancy})
    {
        const std::string prefix = SensorId(k, 0).substr(0, SensorId(k, 0).size() - 1);
        if (id.size() <= prefix.size() || id.size() > prefix.size() + 3 ||
            id.compare(0, prefix.size(), prefix) != 0 || id[prefix.size()] == '0')
        {
            continue;
        }
        unsigned n = 0;
        for (size_t i = prefix.size(); i < id.size(); ++i)
        {
            if (id[i] < '0' || id[i] > '9')
            {
                return false;
            }
            n = n * 10 + static_cast<unsigned>(id[i] - '0');
        }
        if (n > 255)
        {
            return false;
        }
        *kind = k;
        *number = static_cast<uint8_t>(n);
        return true;
    }
    return false;
}

bool Service::ChassisMatches(const ExchangePtr& ex) const
{
    if (!ex->params.empty() && ex->params[0] == config_.chassisId)
    {
        return true;
    }
    SetError(ex->res, Msg::ResourceNotFound, {"Chassis", ex->params.empty() ? "" : ex->params[0]});
    return false;
}

std::string Service::SensorUri(SensorKind kind, uint8_t number) const
{
    switch (kind)
    {
    case SensorKind::PowerSupply:
        return ChassisUri() + "/PowerSubsystem/PowerSupplies/" + SensorId(kind, number);
    case SensorKind::Redundancy: return ChassisUri() + "/PowerSubsystem";
    default: return ChassisUri() + "/Sensors/" + SensorId(kind, number);
    }
}

void Service::FeedConnected()
{
    picture_.Connected();
}

void Service::FeedDisconnected()
{
    picture_.Disconnected();
}

void Service::FeedDecodeFailed()
{
    picture_.DecodeFailed();
}

void Service::FeedMessage(const ktzclient::Message& msg)
{
    std::vector<Change> changes;
    picture_.Apply(msg, WallMs(), &changes);
    Publish(changes);
}

void Service::Publish(const std::vector<Change>& changes)
{
    for (const Change& c : changes)
    {
        nlohmann::json record;
        if (c.kind == Change::Kind::LogEvent)
        {
            const LogRecord* r = picture_.FindLog(c.logId);
            if (r == nullptr)
            {
                continue;
            }
            const RenderedMessage m = Render(*r);
            const std::string entry = ChassisUri() + "/LogServices/Log/Entries/" + std::to_string(r->id);
            record = {{"EventType", "Alert"},
                      {"MessageId", m.messageId},
                      {"Message", m.message},
                      {"MessageArgs", m.args},
                      {"MessageSeverity", Name(m.severity)},
                      {"OriginOfCondition", {{"@odata.id", entry}}},
                      {"LogEntry", {{"@odata.id", entry}}}};
        }
        else
        {
            const std::string uri = SensorUri(c.sensor.first, c.sensor.second);
            Msg msg = Msg::ResourceStateChanged;
            std::vector<std::string> args = {uri, Name(c.state)};
            if (c.kind == Change::Kind::Health)
            {
                msg = c.health == Health::OK        ? Msg::ResourceStatusChangedOK
                      : c.health == Health::Warning ? Msg::ResourceStatusChangedWarning
                                                    : Msg::ResourceStatusChangedCritical;
                args = {uri, Name(c.health)};
            }
            record = MessageObject(msg, args);
            record.erase("@odata.type");
            record.erase("Resolution");
            record["EventType"] = "Alert";
            record["OriginOfCondition"] = {{"@odata.id", uri}};
        }
        events_.Publish({std::move(record)}, WallMs());
    }
}

} // namespace ktzredfish
