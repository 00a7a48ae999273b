// What the station reads from a program's run log: the step it is at, and why it failed.
#pragma once

#include <string>

#include "station/options.hpp"

namespace station {

// The step a run is at, from the end of its run log: itemsmith's last numbered step or "+++"
// banner, treesmith's last opening banner. "" when the text holds none.
std::string CurrentStep(Program program, const std::string& log_tail);

// Why a run that ended with a FAIL verdict failed, from its run log: the line that decided
// (itemsmith ends at its first fatal failure, so that is its last failure line; treesmith
// goes on after a failure, so it is its first FAIL line of a step that counts). "" when the
// log holds none.
std::string FailLine(Program program, const std::string& log);

// True once the run has sent the device its reset (answered or not): the device may drop off
// from then on.
bool ResetSent(Program program, const std::string& log_tail);

}  // namespace station
