// One program run as the station drives it, in either mode: started in a fresh copy of the
// template pinned to its slot, watched through its run log and result file to a verdict with
// its reason, or stopped with nothing left that reads as a verdict.
#pragma once

#include <memory>
#include <string>

#include "platform/child_process.hpp"
#include "platform/clock.hpp"
#include "station/station.hpp"

namespace station {

// "itemsmith" or "treesmith".
const char* ProgramNameOf(const Job& job);

// A new folder in `work_folder` for this start, named by its time (never one that is there
// already); false when none can be made.
bool MakeStartFolder(const std::string& work_folder, const platform::LocalTime& now,
                     std::string* folder);

// A slot as part of a folder name: what is not a letter, digit, '-' or '.' becomes '_'.
std::string FolderName(const std::string& slot);

// Copies the template into `folder` and starts the job there, pinned to `slot`; null with the
// reason ("cannot copy the template: ...", or the launcher's) when it did not start.
std::unique_ptr<platform::ChildProcess> LaunchRun(const Options& options, const Job& job,
                                                  const std::string& slot,
                                                  const std::string& folder, const Launcher& launch,
                                                  std::string* error);

// The step the run is at, from its run log; "" when the log names none yet.
std::string RunStep(const Job& job, const std::string& folder);

// The verdict of a run that ended with `exit_code`, and for anything but PASS its reason;
// `last_step` is what the table showed last.
void JudgeRun(const Job& job, const std::string& folder, int exit_code,
              const std::string& last_step, std::string* verdict, std::string* reason);

// Ends the run at once and removes whatever verdict it left.
void StopRun(const Job& job, const std::string& folder, platform::ChildProcess& child);

}  // namespace station
