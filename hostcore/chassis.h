// The simulated chassis of the platform stand-in, shaped from a scenario:
// the initial set-up and the application of one timeline step. Shared by
// ktzmon-host (batch), ktzmond (scenario playback) and ktzmond's control
// socket (live changes).
#ifndef KTZHOSTCORE_CHASSIS_H
#define KTZHOSTCORE_CHASSIS_H

#include "scenario.h"

#include <cstdint>
#include <string>

namespace ktzhost
{

struct Chassis
{
    uint32_t redConfig = 0;
    uint32_t redState = 0;
    int32_t bays = 0;
};

void SetUpChassis(const Scenario& s, Chassis* c);
// Applies one step to the chassis or issues its host request; returns the
// text describing it. Host requests are recorded by the caller.
std::string ApplyChassisStep(const Scenario& s, const Step& st, Chassis* c);

} // namespace ktzhost

#endif
