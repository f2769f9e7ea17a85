// Writing a run: the aligned transcript for people, one JSON object per line
// for programs, and the timeline picture as SVG.
#ifndef KTZHOST_OUTPUT_H
#define KTZHOST_OUTPUT_H

#include "driver.h"
#include "scenario.h"

#include <ostream>

namespace ktzhost
{

struct OutputOptions
{
    bool json = false;
    bool hex = false;
    bool showLog = true;
};

void WriteTranscript(std::ostream& out, const Scenario& s, const RunResult& r, const OutputOptions& o);
void WriteJson(std::ostream& out, const Scenario& s, const RunResult& r, const OutputOptions& o);
void WriteTimelineSvg(std::ostream& out, const Scenario& s, const RunResult& r);

} // namespace ktzhost

#endif
