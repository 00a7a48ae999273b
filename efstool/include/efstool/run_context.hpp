// What the steps of one run share: the library table, the clock, the console and the run log,
// the library's context handle, and what the library's handlers and the version report leave
// behind for the steps after them.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "common/text_format.hpp"
#include "efstool/console.hpp"
#include "efstool/run_log.hpp"
#include "efstool/vode_api.hpp"
#include "platform/clock.hpp"

namespace efstool {

// Paths the directory handler keeps for the delete sets: files and links to delete, and apart
// from them the folders below, for the removals that take a folder with what it holds.
struct FoundFiles {
  static constexpr int kSlots = 500;
  static constexpr size_t kSlotSize = 200;  // a path of at most 199 characters and its terminator
  using Slots = std::vector<std::array<char, kSlotSize>>;
  Slots paths = Slots(kSlots);
  int32_t count = 0;
  int32_t listed = 0;  // files and links the listing reported, kept or not
  Slots folders = Slots(kSlots);
  int32_t folder_count = 0;
};

struct RunContext {
  RunContext(const VodeApi& api, platform::Clock& clock, Console& console);
  RunContext(const RunContext&) = delete;
  RunContext& operator=(const RunContext&) = delete;

  // Writes to the console.
  void Print(const char* format, ...) COMMON_PRINTF_FORMAT(2, 3);

  const VodeApi& api;
  platform::Clock& clock;
  Console& console;
  RunLog log;
  VODE_HANDLE handle = nullptr;

  // Filled by the directory handler during a listing.
  FoundFiles found;
  // While set, a listing only looks for this folder record (see the delete sets).
  std::string missing_probe;
  bool probe_found = false;

  // What the version report read of the device.
  std::array<char, 512> software_revision{};
  std::array<char, 512> model_id{};
};

}  // namespace efstool
