// One program run as the station drives it, in either mode: started in a fresh copy of the
// template pinned to its slot, polled through its run log and result file to a judged verdict,
// or stopped with nothing left that reads as a verdict. It alone knows the program's files.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/child_process.hpp"
#include "platform/clock.hpp"
#include "station/options.hpp"
#include "station/station.hpp"
#include "station/verdict.hpp"

namespace station {

// "itemsmith" or "treesmith".
const char* ProgramNameOf(const Job& job);

// A new folder in `work_folder` for this start, named by its time (never one that is there
// already); false when none can be made.
bool MakeStartFolder(const std::string& work_folder, const platform::LocalTime& now,
                     std::string* folder);

// A slot as part of a folder name: what is not a letter, digit, '-' or '.' becomes '_'.
std::string FolderName(const std::string& slot);

class ProgramRun {
 public:
  // Copies the template into `folder` and starts the job there, pinned to `slot`; null with
  // the reason ("cannot copy the template: ...", or the launcher's) when it did not start.
  static std::unique_ptr<ProgramRun> Start(const Options& options, const Job& job,
                                           const std::string& slot, const std::string& folder,
                                           platform::Clock& clock, const Launcher& launch,
                                           std::string* error);

  // Reads the step from the run log; true once the run has its verdict in *outcome: the
  // program ended and was judged, or the limit passed and it was stopped (FAIL).
  bool Poll(Outcome* outcome);

  // Ends the run at once and removes whatever verdict it left.
  void Stop();

  // "starting" until the run log names a step.
  const std::string& step() const { return step_; }
  // The run log says the device's reset was sent.
  bool reset_sent() const { return reset_sent_; }
  // Since the start, the template's copy included.
  uint32_t tenths() const { return (clock_.TickCount() - started_at_) / 100; }

 private:
  ProgramRun(const Options& options, const Job& job, std::string folder, platform::Clock& clock,
             uint32_t started_at);
  Outcome Judge(int exit_code) const;

  const Job& job_;
  const std::string folder_;
  platform::Clock& clock_;
  const uint32_t started_at_;
  const uint32_t limit_tenths_;
  std::unique_ptr<platform::ChildProcess> child_;
  std::string step_ = "starting";
  bool reset_sent_ = false;
};

}  // namespace station
