// The timeline picture of a run as SVG: chassis time across, the events the
// run went through on top, and a lane per sensor with the chassis value, the
// values clients received and the fan delay-mode windows.
#ifndef KTZHOST_TIMELINE_H
#define KTZHOST_TIMELINE_H

#include "driver.h"
#include "scenario.h"

#include <ostream>

namespace ktzhost
{

void WriteTimelineSvg(std::ostream& out, const Scenario& s, const RunResult& r);

} // namespace ktzhost

#endif
