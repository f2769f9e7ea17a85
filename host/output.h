// Writing a run: the aligned transcript for people, one JSON object per line
// for programs, and the timeline picture as SVG.
#ifndef KTZHOST_OUTPUT_H
#define KTZHOST_OUTPUT_H

#include "driver.h"
#include "scenario.h"

#include <memory>
#include <ostream>

namespace ktzhost
{

struct OutputOptions
{
    bool json = false;
    bool hex = false;
    bool showLog = true;
};

// Writes a run as it goes: Begin before the first event, Add for each event
// in the order it happened, End once the run is over.
class RunWriter
{
  public:
    virtual ~RunWriter() = default;
    virtual void Begin(const Scenario& s) = 0;
    virtual void Add(const Event& ev) = 0;
    virtual void End(const Scenario& s, const RunResult& r) = 0;
};

// The transcript, or JSON lines with `o.json`; every line is flushed as it is written.
std::unique_ptr<RunWriter> MakeRunWriter(std::ostream& out, const OutputOptions& o);

// A whole finished run at once.
void WriteTranscript(std::ostream& out, const Scenario& s, const RunResult& r, const OutputOptions& o);
void WriteJson(std::ostream& out, const Scenario& s, const RunResult& r, const OutputOptions& o);
void WriteTimelineSvg(std::ostream& out, const Scenario& s, const RunResult& r);

} // namespace ktzhost

#endif
