// The Redfish vocabulary this service uses: the schema versions it claims in
// @odata.type, and the enumerated property values (state, health, severity,
// privileges) as enums, so that a misspelt value cannot compile. The names
// are the schemas' own spellings.
#ifndef KTZREDFISH_SCHEMA_H
#define KTZREDFISH_SCHEMA_H

#include <cstdint>

namespace ktzredfish
{

// The protocol version the service root reports.
inline constexpr const char* kRedfishVersion = "1.20.0";

// @odata.type of every resource served: the newest schema version whose
// properties this service fills.
namespace odata
{
inline constexpr const char* kServiceRoot = "#ServiceRoot.v1_20_0.ServiceRoot";
inline constexpr const char* kChassisCollection = "#ChassisCollection.ChassisCollection";
inline constexpr const char* kChassis = "#Chassis.v1_28_0.Chassis";
inline constexpr const char* kSensorCollection = "#SensorCollection.SensorCollection";
inline constexpr const char* kSensor = "#Sensor.v1_12_0.Sensor";
inline constexpr const char* kThermalSubsystem = "#ThermalSubsystem.v1_5_0.ThermalSubsystem";
inline constexpr const char* kFanCollection = "#FanCollection.FanCollection";
inline constexpr const char* kFan = "#Fan.v1_6_0.Fan";
inline constexpr const char* kPowerSubsystem = "#PowerSubsystem.v1_1_3.PowerSubsystem";
inline constexpr const char* kPowerSupplyCollection = "#PowerSupplyCollection.PowerSupplyCollection";
inline constexpr const char* kPowerSupply = "#PowerSupply.v1_6_0.PowerSupply";
inline constexpr const char* kThermal = "#Thermal.v1_7_3.Thermal";
inline constexpr const char* kPower = "#Power.v1_7_3.Power";
inline constexpr const char* kLogServiceCollection = "#LogServiceCollection.LogServiceCollection";
inline constexpr const char* kLogService = "#LogService.v1_9_0.LogService";
inline constexpr const char* kLogEntryCollection = "#LogEntryCollection.LogEntryCollection";
inline constexpr const char* kLogEntry = "#LogEntry.v1_21_0.LogEntry";
inline constexpr const char* kMessageRegistryFileCollection =
    "#MessageRegistryFileCollection.MessageRegistryFileCollection";
inline constexpr const char* kMessageRegistryFile = "#MessageRegistryFile.v1_1_5.MessageRegistryFile";
inline constexpr const char* kMessageRegistry = "#MessageRegistry.v1_7_0.MessageRegistry";
inline constexpr const char* kSessionService = "#SessionService.v1_2_0.SessionService";
inline constexpr const char* kSessionCollection = "#SessionCollection.SessionCollection";
inline constexpr const char* kSession = "#Session.v1_8_0.Session";
inline constexpr const char* kAccountService = "#AccountService.v1_18_1.AccountService";
inline constexpr const char* kAccountCollection = "#ManagerAccountCollection.ManagerAccountCollection";
inline constexpr const char* kAccount = "#ManagerAccount.v1_14_1.ManagerAccount";
inline constexpr const char* kRoleCollection = "#RoleCollection.RoleCollection";
inline constexpr const char* kRole = "#Role.v1_3_3.Role";
inline constexpr const char* kEventService = "#EventService.v1_11_0.EventService";
inline constexpr const char* kEventDestinationCollection =
    "#EventDestinationCollection.EventDestinationCollection";
inline constexpr const char* kEvent = "#Event.v1_13_0.Event";
inline constexpr const char* kMessage = "#Message.v1_3_0.Message";
} // namespace odata

// Resource.State (the values this service reports).
enum class State
{
    Enabled,
    Disabled,
    Absent,
    UnavailableOffline,
};

// Resource.Health; Unknown is written as null.
enum class Health
{
    Unknown,
    OK,
    Warning,
    Critical,
};

// Message severities of registries, log entries and events (Resource.Health values).
using Severity = Health;

enum class Privilege
{
    None, // no authentication at all
    Login,
    ConfigureSelf,
    ConfigureManager,
    ConfigureUsers,
    ConfigureComponents,
};

enum class Role
{
    ReadOnly,
    Administrator,
};

const char* Name(State s);
const char* Name(Health h); // "" for Unknown
const char* Name(Privilege p);
const char* Name(Role r);
// Role by its RoleId; false when it is none of them.
bool RoleByName(const char* text, Role* out);
bool Has(Role role, Privilege p);

// The worse of two healths (Unknown counts as nothing).
Health Worse(Health a, Health b);

} // namespace ktzredfish

#endif
