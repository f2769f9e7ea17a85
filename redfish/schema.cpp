// Names of the Redfish enumerations and the privileges of the two roles.
#include "schema.h"

#include <cstring>
#include <initializer_list>

namespace ktzredfish
{

const char* Name(State s)
{
    switch (s)
    {
    case State::Enabled: return "Enabled";
    case State::Disabled: return "Disabled";
    case State::Absent: return "Absent";
    case State::UnavailableOffline: return "UnavailableOffline";
    }
    return "Enabled";
}

const char* Name(Health h)
{
    switch (h)
    {
    case Health::Unknown: return "";
    case Health::OK: return "OK";
    case Health::Warning: return "Warning";
    case Health::Critical: return "Critical";
    }
    return "";
}

const char* Name(Privilege p)
{
    switch (p)
    {
    case Privilege::None: return "None";
    case Privilege::Login: return "Login";
    case Privilege::ConfigureSelf: return "ConfigureSelf";
    case Privilege::ConfigureManager: return "ConfigureManager";
    case Privilege::ConfigureUsers: return "ConfigureUsers";
    case Privilege::ConfigureComponents: return "ConfigureComponents";
    }
    return "None";
}

const char* Name(Role r)
{
    return r == Role::Administrator ? "Administrator" : "ReadOnly";
}

bool RoleByName(const char* text, Role* out)
{
    for (const Role r : {Role::ReadOnly, Role::Administrator})
    {
        if (std::strcmp(text, Name(r)) == 0)
        {
            *out = r;
            return true;
        }
    }
    return false;
}

// The predefined roles: ReadOnly may read and end its own sessions;
// Administrator holds every privilege.
bool Has(Role role, Privilege p)
{
    if (role == Role::Administrator)
    {
        return true;
    }
    return p == Privilege::None || p == Privilege::Login || p == Privilege::ConfigureSelf;
}

Health Worse(Health a, Health b)
{
    return static_cast<int>(a) >= static_cast<int>(b) ? a : b;
}

} // namespace ktzredfish
