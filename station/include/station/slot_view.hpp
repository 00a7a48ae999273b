// What a slot shows, in either mode: the one model every view draws (the terminal table now),
// as a plain value, so that a view can hold a snapshot while the station moves on.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "station/record.hpp"

namespace station {

struct SlotView {
  // kRestarting: the device's jobs have ended, and it is rebooting from the last one's reset;
  // it is not to be taken out yet.
  enum class Phase { kWaiting, kRunning, kRestarting, kDone };
  std::string location;
  Phase phase = Phase::kWaiting;
  std::string serial;     // the device's, "" for none or none yet
  std::string step;       // what the slot is at: the running job's step, or the slot's state
  uint32_t tenths = 0;    // the running job's time
  std::vector<Row> jobs;  // one per job, in the order they run
};

// The whole station at one moment, for views beside the table.
struct StationView {
  bool shift = false;  // the shift mode; the batch otherwise
  std::vector<SlotView> slots;
  uint32_t done = 0, passed = 0, failed = 0;  // devices whose jobs have all ended, not aborted
  uint32_t seconds = 0;                       // since the station began
};

// The table's rows of every slot, in the slots' order.
std::vector<Row> RowsOf(const std::vector<SlotView>& slots);

}  // namespace station
