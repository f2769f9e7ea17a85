// AccountService, read-only: the lockout settings, the accounts of the
// accounts file (an account without ConfigureUsers sees only its own) and
// the two predefined roles.
#include "messages.h"
#include "resource.h"
#include "service.h"

namespace ktzredfish
{

namespace
{

constexpr const char* kAccounts = "/redfish/v1/AccountService/Accounts";
constexpr const char* kRoles = "/redfish/v1/AccountService/Roles";

bool MaySee(const Identity& who, const Account& a)
{
    return who.user == a.name || Has(who.role, Privilege::ConfigureUsers);
}

void GetAccountService(Service& svc, const ExchangePtr& ex)
{
    const Lockout& l = svc.lockout();
    SetJson(ex->res, {{"@odata.id", "/redfish/v1/AccountService"},
                      {"@odata.type", odata::kAccountService},
                      {"Id", "AccountService"},
                      {"Name", "Account Service"},
                      {"Description", "Local accounts from the service's accounts file"},
                      {"ServiceEnabled", true},
                      {"LocalAccountAuth", "Enabled"},
                      {"AuthFailureLoggingThreshold", 1},
                      {"AccountLockoutThreshold", l.threshold()},
                      {"AccountLockoutDuration", l.durationMs() / 1000},
                      {"AccountLockoutCounterResetAfter", l.resetAfterMs() / 1000},
                      {"AccountLockoutCounterResetEnabled", true},
                      {"Status", StatusJson(State::Enabled, Health::OK)},
                      {"Accounts", Link(kAccounts)},
                      {"Roles", Link(kRoles)}});
}

void GetAccounts(Service& svc, const ExchangePtr& ex)
{
    std::vector<std::string> members;
    for (const Account& a : svc.accounts())
    {
        if (MaySee(*ex->who, a))
        {
            members.push_back(std::string(kAccounts) + "/" + a.name);
        }
    }
    SetJson(ex->res, Collection(kAccounts, odata::kAccountCollection, "Accounts Collection", members));
}

void GetAccount(Service& svc, const ExchangePtr& ex)
{
    const Account* a = svc.FindAccount(ex->params[0]);
    if (a == nullptr)
    {
        SetError(ex->res, Msg::ResourceNotFound, {"ManagerAccount", ex->params[0]});
        return;
    }
    if (!MaySee(*ex->who, *a))
    {
        SetError(ex->res, Msg::InsufficientPrivilege);
        return;
    }
    SetJson(ex->res, {{"@odata.id", std::string(kAccounts) + "/" + a->name},
                      {"@odata.type", odata::kAccount},
                      {"Id", a->name},
                      {"Name", "User Account"},
                      {"UserName", a->name},
                      {"RoleId", Name(a->role)},
                      {"Enabled", true},
                      {"Locked", svc.lockout().LockedFor(a->name, svc.NowMs()) > 0},
                      {"Password", nullptr},
                      {"AccountTypes", {"Redfish"}},
                      {"Links", {{"Role", Link(std::string(kRoles) + "/" + Name(a->role))}}}});
}

void GetRoles(Service&, const ExchangePtr& ex)
{
    SetJson(ex->res, Collection(kRoles, odata::kRoleCollection, "Roles Collection",
                                {std::string(kRoles) + "/Administrator", std::string(kRoles) + "/ReadOnly"}));
}

void GetRole(Service&, const ExchangePtr& ex)
{
    Role role{};
    if (!RoleByName(ex->params[0].c_str(), &role))
    {
        SetError(ex->res, Msg::ResourceNotFound, {"Role", ex->params[0]});
        return;
    }
    nlohmann::json privileges = nlohmann::json::array();
    for (const Privilege p : {Privilege::Login, Privilege::ConfigureManager, Privilege::ConfigureUsers,
                              Privilege::ConfigureSelf, Privilege::ConfigureComponents})
    {
        if (Has(role, p))
        {
            privileges.push_back(Name(p));
        }
    }
    SetJson(ex->res, {{"@odata.id", std::string(kRoles) + "/" + Name(role)},
                      {"@odata.type", odata::kRole},
                      {"Id", Name(role)},
                      {"Name", std::string(Name(role)) + " role"},
                      {"RoleId", Name(role)},
                      {"IsPredefined", true},
                      {"AssignedPrivileges", privileges}});
}

} // namespace

void RegisterAccountRoutes(Router& r)
{
    r.Add(Method::Get, "/redfish/v1/AccountService", Privilege::Login, GetAccountService);
    r.Add(Method::Get, "/redfish/v1/AccountService/Accounts", Privilege::Login, GetAccounts);
    r.Add(Method::Get, "/redfish/v1/AccountService/Accounts/{}", Privilege::ConfigureSelf, GetAccount);
    r.Add(Method::Get, "/redfish/v1/AccountService/Roles", Privilege::Login, GetRoles);
    r.Add(Method::Get, "/redfish/v1/AccountService/Roles/{}", Privilege::Login, GetRole);
}

} // namespace ktzredfish
