// The timeline picture of a run as SVG: chassis time across, the events the
// run went through on top, and a lane per sensor with the chassis value, the
// values clients received (with the status they were sent with), the fan
// delay-mode windows and the periods with the KTZ setting off.
//
// Large chassis are summarised: above a few dozen sensors only the lanes in
// which something changed are drawn, the quiet ones are counted, and the
// picture never grows past the height and size limits below.
#ifndef KTZHOST_TIMELINE_H
#define KTZHOST_TIMELINE_H

#include "driver.h"
#include "scenario.h"

#include <cstddef>
#include <ostream>
#include <string>

namespace ktzhost
{

// The picture's hard limits, whatever the scenario.
constexpr int kTimelineMaxHeight = 2400; // pixels
constexpr size_t kTimelineMaxBytes = 1000 * 1000;

void WriteTimelineSvg(std::ostream& out, const Scenario& s, const RunResult& r);

// The width in pixels that `text` takes at `fontSize` in a sans-serif face,
// estimated per character on the wide side (no common sans face is wider), so
// that boxes laid out with it never overlap once rendered. UTF-8 sequences
// count as one wide character.
double TimelineTextWidth(const std::string& text, double fontSize, bool bold = false);

} // namespace ktzhost

#endif
