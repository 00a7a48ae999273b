// treesmith: clears fixed folders of the device's embedded file system and uploads fixed local
// folder trees into it, leaving a one-word verdict in a result file.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "efstool/console.hpp"
#include "efstool/library_handlers.hpp"
#include "efstool/run_context.hpp"
#include "efstool/vode_api.hpp"
#include "platform/clock.hpp"

namespace efstool {

enum RunMode : int32_t { kRunModeKvx = 1, kRunModeVexa = 2, kRunModeDeleteDlFile = 10 };

// The previous result file cannot be removed (no device is touched), or this run's verdict
// cannot be written whole (nothing of it is left).
inline constexpr int kExitVerdictFile = 2;

// The orchestrator: picks the mode and runs that mode's steps in their fixed order.
class Treesmith {
 public:
  Treesmith(const VodeApi& api, platform::Clock& clock, Console& console);
  Treesmith(const Treesmith&) = delete;
  Treesmith& operator=(const Treesmith&) = delete;

  // The whole run for the given arguments (only the first one is looked at); returns the exit
  // code: 0 with a verdict, kExitVerdictFile without one.
  int Run(const std::vector<std::wstring>& args);

  static RunMode ModeFor(const std::vector<std::wstring>& args);

 private:
  // PASS or FAIL, with no line end; false when it could not be written whole.
  static bool WriteResultFile(const char* name, bool verdict);
  // The two halves of an SKU run: the deletes (ending with the disconnection), the uploads.
  bool ClearDeviceFolders(RunMode mode);
  bool UploadFolders(RunMode mode);

  RunContext context_;
  // The library's handlers report to this run for as long as it lives.
  ActiveRunContext active_{context_};
};

// The program: the real library, the real clock and console unless tests hand in others.
int RunTreesmith(const std::vector<std::wstring>& args, platform::Clock& clock, Console& console,
                 const VodeApi& api = RealVodeApi());

}  // namespace efstool
