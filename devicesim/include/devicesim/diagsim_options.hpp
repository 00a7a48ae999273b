// diagsim's command line: the options it takes, read into one value, and the text --help shows.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "devicesim/virtual_device.hpp"

namespace devicesim {

struct DiagsimOptions {
  enum class Action { kServe, kHelp, kVersion, kUsageError };
  Action action = Action::kServe;
  std::string error;  // kUsageError: what is wrong, as printed after "diagsim: "

  Options device;
  std::vector<std::pair<uint16_t, NvData>> preload;  // --nv-set, in the order given
  std::vector<uint16_t> inactive;                    // --nv-inactive
  int ignored_nv_writes = 0;                         // --ignore-nv-writes
  std::string efs_load, efs_dump;
  std::vector<std::string> kept_folders;  // --efs-keep-folder
  bool verbose = false, report = false;
};

// Reads argv[1..argc-1]. The first of --help, --version or a mistake ends the reading, as the
// options before it were checked.
DiagsimOptions ParseDiagsimOptions(int argc, const char* const* argv);

// The text of diagsim --help.
const char* DiagsimUsage();

}  // namespace devicesim
