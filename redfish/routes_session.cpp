// SessionService: a login (POST of UserName and Password) makes a session
// and answers with its token (X-Auth-Token, and the session cookie that the
// event stream takes from browsers) and its URI (Location); DELETE ends it.
// Accounts without ConfigureManager see and end only their own sessions.
#include "messages.h"
#include "resource.h"
#include "service.h"

namespace ktzredfish
{

namespace
{

constexpr const char* kSessions = "/redfish/v1/SessionService/Sessions";

nlohmann::json SessionJson(const Session& s)
{
    return {{"@odata.id", std::string(kSessions) + "/" + s.id},
            {"@odata.type", odata::kSession},
            {"Id", s.id},
            {"Name", "User Session"},
            {"UserName", s.user},
            {"Password", nullptr},
            {"SessionType", "Redfish"},
            {"CreatedTime", IsoTime(s.createdWallMs)}};
}

// Whether the caller may see or end session `s`.
bool MayTouch(const Identity& who, const Session& s)
{
    return who.user == s.user || Has(who.role, Privilege::ConfigureManager);
}

void GetSessionService(Service& svc, const ExchangePtr& ex)
{
    SetJson(ex->res, {{"@odata.id", "/redfish/v1/SessionService"},
                      {"@odata.type", odata::kSessionService},
                      {"Id", "SessionService"},
                      {"Name", "Session Service"},
                      {"ServiceEnabled", true},
                      {"SessionTimeout", svc.sessions().idleMs() / 1000},
                      {"Status", StatusJson(State::Enabled, Health::OK)},
                      {"Sessions", Link(kSessions)}});
}

void GetSessions(Service& svc, const ExchangePtr& ex)
{
    std::vector<std::string> members;
    for (const auto& [id, s] : svc.sessions().all())
    {
        if (MayTouch(*ex->who, s))
        {
            members.push_back(std::string(kSessions) + "/" + id);
        }
    }
    SetJson(ex->res, Collection(kSessions, odata::kSessionCollection, "Session Collection", members));
}

// Reads UserName and Password from the body; false (with `res` made the
// 400) when the body is not what a login sends.
bool LoginBody(const ExchangePtr& ex, std::string* user, std::string* password)
{
    const nlohmann::json body = nlohmann::json::parse(ex->req.body, nullptr, false);
    if (body.is_discarded())
    {
        SetError(ex->res, Msg::MalformedJSON);
        return false;
    }
    if (!body.is_object())
    {
        SetError(ex->res, Msg::UnrecognizedRequestBody);
        return false;
    }
    for (const auto& [key, value] : body.items())
    {
        if (key != "UserName" && key != "Password" && key != "Context")
        {
            SetError(ex->res, Msg::PropertyUnknown, {key});
            return false;
        }
    }
    for (const auto& [name, out] : {std::pair{"UserName", user}, {"Password", password}})
    {
        const auto it = body.find(name);
        if (it == body.end())
        {
            SetError(ex->res, Msg::PropertyMissing, {name});
            return false;
        }
        if (!it->is_string())
        {
            SetError(ex->res, Msg::PropertyValueTypeError, {Dump(*it), name});
            return false;
        }
        *out = it->get<std::string>();
    }
    return true;
}

void PostSession(Service& svc, const ExchangePtr& ex)
{
    std::string user, password;
    if (!LoginBody(ex, &user, &password))
    {
        return;
    }
    ex->deferred = true;
    svc.Login(user, password, ex->req.peer,
              [&svc, ex](Service::LoginResult r, const Account* a, int64_t lockedMs)
              {
                  if (r != Service::LoginResult::Ok)
                  {
                      svc.SetLoginError(ex->res, r, lockedMs, ex->target.path);
                      ex->Finish();
                      return;
                  }
                  const Session* s = svc.sessions().Create(a->name, a->role, svc.NowMs(), svc.WallMs());
                  if (s == nullptr)
                  {
                      SetError(ex->res, Msg::SessionLimitExceeded);
                      ex->Finish();
                      return;
                  }
                  SetJson(ex->res, SessionJson(*s), 201);
                  ex->res.Set("location", std::string(kSessions) + "/" + s->id);
                  ex->res.Set("x-auth-token", s->token);
                  // For browsers' event streams only (see Service::Authenticate).
                  ex->res.Set("set-cookie", std::string(kSessionCookie) + "=" + s->token +
                                                "; Path=/redfish/v1/EventService; HttpOnly; SameSite=Strict" +
                                                (ex->req.tls ? "; Secure" : ""));
                  ex->Finish();
              });
}

// The session named in the request, if the caller may touch it; else `res`
// is made the 404 or 403.
const Session* Named(Service& svc, const ExchangePtr& ex)
{
    const Session* s = svc.sessions().ById(ex->params[0], svc.NowMs());
    if (s == nullptr)
    {
        SetError(ex->res, Msg::ResourceNotFound, {"Session", ex->params[0]});
        return nullptr;
    }
    if (!MayTouch(*ex->who, *s))
    {
        SetError(ex->res, Msg::InsufficientPrivilege);
        return nullptr;
    }
    return s;
}

void GetSession(Service& svc, const ExchangePtr& ex)
{
    if (const Session* s = Named(svc, ex))
    {
        SetJson(ex->res, SessionJson(*s));
    }
}

void DeleteSession(Service& svc, const ExchangePtr& ex)
{
    if (const Session* s = Named(svc, ex))
    {
        svc.EndSession(s->id);
        ex->res.status = 204;
    }
}

} // namespace

void RegisterSessionRoutes(Router& r)
{
    r.Add(Method::Get, "/redfish/v1/SessionService", Privilege::Login, GetSessionService);
    r.Add(Method::Get, "/redfish/v1/SessionService/Sessions", Privilege::Login, GetSessions);
    r.Add(Method::Post, "/redfish/v1/SessionService/Sessions", Privilege::None, PostSession);
    r.Add(Method::Get, "/redfish/v1/SessionService/Sessions/{}", Privilege::ConfigureSelf, GetSession);
    r.Add(Method::Delete, "/redfish/v1/SessionService/Sessions/{}", Privilege::ConfigureSelf, DeleteSession);
}

} // namespace ktzredfish
