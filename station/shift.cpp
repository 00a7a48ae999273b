// The shift mode: devices arrive one after another at every slot, all shift long. Each slot is a
// small state machine driven by what the adapter sees at its location, so a slot never waits for
// another, and a device that stays plugged in is never run twice. The jobs on each device run as
// in the batch; what is the shift's own is a device's arrival, its leaving, and the record
// written as each run ends.
#include "station/shift.hpp"

#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "station/device_at_slot.hpp"
#include "station/program_run.hpp"
#include "station/record.hpp"
#include "station/table_view.hpp"

namespace station {
namespace {

namespace fs = std::filesystem;

struct Slot {
  Slot(const Options& options, platform::Clock& clock, const Surroundings& outside,
       const std::string& location, DeviceJobs::Hooks hooks)
      : location(location), device(options, clock, outside, location, std::move(hooks), true) {}

  std::string location;
  Sight sight;           // what the slot showed when the station last looked
  uint32_t devices = 0;  // served so far, for the working folders' names
  bool counted = false;  // the current device is in the totals
  DeviceAtSlot device;   // the current (or last) device
};

class Shift {
 public:
  Shift(const Options& options, platform::Clock& clock, const Surroundings& outside)
      : options_(options), clock_(clock), outside_(outside) {}

  int Run() {
    if (!MakeStartFolder(options_.work_folder, clock_.Now(), &folder_)) {
      outside_.write_error("linestation: cannot make a working folder in " + options_.work_folder +
                           "\n");
      return kExitUsage;
    }
    slots_.reserve(options_.slots.size());
    for (const std::string& location : options_.slots) {
      DeviceJobs::Hooks hooks;
      hooks.hold = [this] { return Draining() ? (stop_.empty() ? "no record" : stop_) : ""; };
      hooks.ended = [this](const Row& row) { Record(row); };
      slots_.emplace_back(options_, clock_, outside_, location, hooks);
      slots_.back().device.Reset("waiting for a device");
    }
    began_at_ = clock_.TickCount();
    look_until_ = began_at_;
    std::string urgent;
    for (;;) {
      urgent =
          outside_.urgent_stop_request ? outside_.urgent_stop_request() : outside_.stop_request();
      if (!urgent.empty()) {
        urgent_ = true;
        AbortAll(urgent);
        break;
      }
      stop_ = outside_.stop_request();
      if (look_) Look();
      for (Slot& slot : slots_) Advance(slot);
      Show();
      if (Draining() && !AnyRunning()) break;
      WaitForChanges();
    }
    Show();
    view_.Final(Views(), Totals());
    outside_.write(Totals().front() + "\n");
    if (record_lost_) return kExitRecordLost;
    return urgent.empty() ? kExitAllPassed : kExitStopped;
  }

 private:
  // A device waits at most this long to be seen: on a shift it is lost time at every device.
  static constexpr uint32_t kPollMs = 50;
  // Where the station follows the device tree: how long it looks on every pass after a change
  // (a device is laid out and taken away in steps), and how long an idle station sleeps.
  static constexpr uint32_t kSettleMs = 200;
  static constexpr uint32_t kIdleWaitMs = 1000;

  bool Draining() const { return !stop_.empty() || record_lost_; }

  // A program runs, or the next waits for its device: the station follows it closely.
  static bool Busy(const Slot& slot) {
    return slot.device.stage() == DeviceAtSlot::Stage::kRunning ||
           slot.device.stage() == DeviceAtSlot::Stage::kHandOver;
  }

  bool AnyRunning() const {
    for (const Slot& slot : slots_) {
      if (Busy(slot)) return true;
    }
    return false;
  }

  uint32_t Since(uint32_t tick) const { return clock_.TickCount() - tick; }

  // A look walks the device tree for every slot, so where the platform follows the tree it is
  // taken only around a change; the programs that run are still watched at the poll's pace.
  void Look() {
    const std::vector<Sight> sights = outside_.look(options_.slots);
    for (size_t s = 0; s < slots_.size() && s < sights.size(); ++s) slots_[s].sight = sights[s];
  }

  void WaitForChanges() {
    if (!outside_.device_changes) {
      clock_.Pause(kPollMs);
      look_ = true;
      return;
    }
    const bool settling = static_cast<int32_t>(look_until_ - clock_.TickCount()) > 0;
    if (outside_.device_changes(AnyRunning() || settling ? kPollMs : kIdleWaitMs)) {
      look_until_ = clock_.TickCount() + kSettleMs;
      look_ = true;
    } else {
      look_ = settling;
    }
  }

  void Advance(Slot& slot) {
    if (slot.device.stage() == DeviceAtSlot::Stage::kWaiting) {
      if (!Draining() && slot.sight.device) Arrived(slot);
      return;
    }
    slot.device.Follow(slot.sight);
    Count(slot);
    if (slot.device.stage() != DeviceAtSlot::Stage::kLeft) return;
    // The slot is empty, or holds another device already: that one is a new arrival.
    const bool swapped = slot.device.swapped();
    slot.device.Reset("waiting for a device");
    if (swapped && !Draining()) Arrived(slot);
  }

  void Arrived(Slot& slot) {
    ++slot.devices;
    slot.counted = false;
    slot.device.Arrive(
        (fs::path(folder_) / (FolderName(slot.location) + "-" + std::to_string(slot.devices)))
            .string(),
        slot.sight);
    Count(slot);
  }

  // A device is counted once its jobs have all ended, a restart after them or not.
  void Count(Slot& slot) {
    const DeviceJobs& jobs = slot.device.jobs();
    if (slot.counted || !jobs.done() || slot.device.stage() == DeviceAtSlot::Stage::kWaiting)
      return;
    slot.counted = true;
    if (jobs.aborted()) return;
    ++done_;
    if (jobs.passed()) ++passed_;
  }

  // Written at once: a station stopped or lost later loses no finished record.
  void Record(const Row& row) {
    if (AppendCsv(options_.csv_file, {row})) {
      if (outside_.recorded) outside_.recorded(row);
    } else if (!record_lost_) {
      record_lost_ = true;
      outside_.write_error("linestation: cannot append to " + options_.csv_file +
                           "; no new run starts\n");
    }
  }

  void AbortAll(const std::string& why) {
    for (Slot& slot : slots_) {
      if (!Busy(slot)) continue;
      stop_ = why;
      slot.device.Abort(why);
      Count(slot);
    }
  }

  std::vector<SlotView> Views() const {
    std::vector<SlotView> views;
    for (const Slot& slot : slots_) views.push_back(slot.device.View());
    return views;
  }

  std::vector<std::string> Totals() const {
    const uint32_t seconds = Since(began_at_) / 1000;
    char text[160];
    std::snprintf(text, sizeof text, "shift: %u devices done, %u passed, %u failed, %.0f per hour",
                  done_, passed_, done_ - passed_, seconds > 0 ? done_ * 3600.0 / seconds : 0.0);
    std::vector<std::string> lines = {text};
    if (!stop_.empty() && !urgent_) {
      lines.push_back("stopping (" + stop_ +
                      "): no new run starts, the running ones finish; stop again to end them");
    }
    return lines;
  }

  void Show() {
    if (outside_.shown) {
      StationView view;
      view.shift = true;
      view.slots = Views();
      view.done = done_;
      view.passed = passed_;
      view.failed = done_ - passed_;
      view.seconds = Since(began_at_) / 1000;
      outside_.shown(view);
    }
    // Plain lines carry the totals only when a device is done, not on every poll.
    if (outside_.live) {
      view_.Show(Views(), Totals());
    } else {
      view_.Show(Views());
      if (done_ != shown_done_) {
        shown_done_ = done_;
        outside_.write(Totals().front() + "\n");
      }
    }
  }

  const Options& options_;
  platform::Clock& clock_;
  const Surroundings& outside_;
  std::string folder_;
  std::vector<Slot> slots_;
  std::string stop_;
  bool record_lost_ = false;
  bool urgent_ = false;
  bool look_ = true;  // the slots are looked at on the next pass
  uint32_t look_until_ = 0;
  uint32_t began_at_ = 0;
  uint32_t done_ = 0, passed_ = 0, shown_done_ = 0;
  TableView view_{outside_};
};

}  // namespace

int RunShift(const Options& options, platform::Clock& clock, const Surroundings& outside) {
  return Shift(options, clock, outside).Run();
}

}  // namespace station
