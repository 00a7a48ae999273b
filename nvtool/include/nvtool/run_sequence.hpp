// The NV writer's run: start-up, the Tovik check, port search with the eject, offline mode,
// the NV list, the optional reset, the verdict.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "common/itemsmith_contract.hpp"
#include "nvtool/diag_link.hpp"
#include "nvtool/discovery.hpp"
#include "nvtool/environment.hpp"
#include "nvtool/output_channels.hpp"

namespace nvtool {

inline constexpr const char* kLogFileName = common::itemsmith::kLogFile;
inline constexpr const char* kResultFileName = common::itemsmith::kResultFile;
inline constexpr const char* kListFileName = common::itemsmith::kListFile;
inline constexpr char kTovikServerName[] = "TovikServer.exe";

inline constexpr int kRetryCount = 7;
inline constexpr uint32_t kRetryPauseMs = 10000;
inline constexpr int kExitListFileUnreadable = 1;
// The previous verdict file cannot be removed (the device is not touched), or this run's verdict
// cannot be written whole (nothing of it is left).
inline constexpr int kExitVerdictFile = 2;

// kListFileUnreadable: the list could not be opened, is no regular file, or could not be read
// to its end; the run ends without a verdict.
enum class RunOutcome { kPass, kFail, kListFileUnreadable };

// True when a running process's executable name is exactly the Tovik server's.
bool TovikApplicationExist(const Environment& env);

// False when the verdict could not be written whole: not created, a write or the close failed.
bool WriteResultFile(const Environment& env, bool pass);

class NvWriter {
 public:
  NvWriter(const Environment& env, bool reset_on_exit);

  RunOutcome RunWriteSequence();
  OutputChannels& output() { return out_; }
  int com_port() const { return com_port_; }

 private:
  void Line(const std::string& text) { out_.WriteLogLine(text); }
  // Up to seven attempts, each under its numbered banner, each failure followed by the 10 s
  // wait. True as soon as one attempt succeeds.
  bool Retry(const char* banner_format, const std::function<bool()>& attempt);
  bool SearchBeforeEject();
  void EjectWithRetries();
  bool SearchAfterEject();
  bool SwitchOffline();
  RunOutcome WriteListedItems();

  const Environment& env_;
  const bool reset_on_exit_;
  OutputChannels out_;
  DiagLink link_;
  Discovery discovery_;
  int com_port_ = 0;
  bool port_found_ = false;
};

// Start-up to verdict; returns the exit code. Only the argument count matters.
int RunItemsmith(int argument_count, const Environment& env);

}  // namespace nvtool
