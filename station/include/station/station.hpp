// linestation: runs the provisioning programs on several devices of one PC at once, each run
// pinned to its device's USB slot, and reports a verdict per slot and program. This is the batch:
// every slot's device is there at the start, and the station ends when each has been served.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/child_process.hpp"
#include "platform/clock.hpp"
#include "platform/usb_slots.hpp"
#include "station/options.hpp"
#include "station/record.hpp"
#include "station/slot_view.hpp"

namespace station {

using Launcher = std::function<std::unique_ptr<platform::ChildProcess>(const platform::ChildSpec&,
                                                                       std::string*)>;

// What the station meets outside itself; the real program hands in the OS adapter's.
struct Surroundings {
  Launcher launch;
  // Waits at most `ms`, less when a launched run ends meanwhile. May be unset: a plain pause.
  std::function<void(uint32_t ms)> wait_for_run_end;
  // True when a launched run has ended since this or that wait last returned; may be unset.
  std::function<bool()> run_ended;
  // What each slot holds now, in the slots' order.
  std::function<std::vector<platform::SlotSight>(const std::vector<std::string>& slots)> look;
  // Waits at most `ms` for a device to come or go; true when one may have. May be unset: the
  // shift then waits its poll and looks at every slot on every pass.
  std::function<bool(uint32_t ms)> device_changes;
  std::function<std::string()> stop_request;  // "" until a stop is asked for
  // "" until a stop asks for the running runs to end too (shift mode: a second Ctrl-C, a
  // SIGTERM, the console closing); may be unset, then every stop is one.
  std::function<std::string()> urgent_stop_request;
  std::function<void(const std::string&)> write;        // the table
  std::function<void(const std::string&)> write_error;  // one line per problem
  // Every pass's view of the slots, and every record as it is written to the CSV file, for views
  // beside the table; both may be unset. Called on the station's own thread: they must not block.
  std::function<void(const StationView&)> shown;
  std::function<void(const Row&)> recorded;
  bool live = false;  // redraw the table in place; plain lines otherwise
  int columns = 80;
};

inline constexpr int kExitAllPassed = 0;
inline constexpr int kExitNotAllPassed = 1;
inline constexpr int kExitUsage = 2;
inline constexpr int kExitStopped = 3;
inline constexpr int kExitRecordLost = 4;

// Runs every job on every slot, shows the table, prints the final table and appends the CSV
// lines. A stop request starts no new run, stops the running ones (ABORTED) and ends the
// station with kExitStopped; a CSV that cannot be written gives kExitRecordLost.
int RunStation(const Options& options, platform::Clock& clock, const Surroundings& outside);

}  // namespace station
