#include "station/station.hpp"

#include <filesystem>
#include <vector>

#include "station/device_at_slot.hpp"
#include "station/program_run.hpp"
#include "station/record.hpp"
#include "station/table_view.hpp"

namespace station {

namespace fs = std::filesystem;

namespace {

// The batch: every slot's device is expected at the start, served once, and the station ends
// when every slot is done. What is left to it is the wait for a slot that is still empty.
class Station {
 public:
  Station(const Options& options, platform::Clock& clock, const Surroundings& outside)
      : options_(options), clock_(clock), outside_(outside) {}

  int Run() {
    if (!MakeBatchFolder()) return kExitUsage;
    slots_.reserve(options_.slots.size());
    for (const std::string& location : options_.slots) {
      slots_.emplace_back(options_, clock_, outside_, location, DeviceJobs::Hooks{}, false);
      slots_.back().Reset("waiting");
    }
    began_at_ = clock_.TickCount();
    began_time_ = clock_.Now();
    std::string stop;
    for (;;) {
      stop = outside_.stop_request();
      if (!stop.empty()) {
        for (DeviceAtSlot& slot : slots_) slot.Abort(stop);
        break;
      }
      const std::vector<Sight> sights = outside_.look(options_.slots);
      for (size_t s = 0; s < slots_.size() && s < sights.size(); ++s) {
        const bool arriving = slots_[s].stage() == DeviceAtSlot::Stage::kWaiting;
        Advance(s, sights[s]);
        // Each start takes a while: a run that ended meanwhile (this slot's own included) gets
        // its slot's next program before further slots' first ones, rather than after all of
        // them. Slots further on are followed later in this pass anyway.
        const bool arrived = arriving && slots_[s].stage() != DeviceAtSlot::Stage::kWaiting;
        if (arrived && outside_.run_ended && outside_.run_ended()) {
          for (size_t started = 0; started <= s; ++started) Advance(started, sights[started]);
        }
      }
      Show();
      if (AllDone()) break;
      // A run that ends is taken up at once: its slot's next program starts without waiting
      // out the poll, which is left to the table's steps and times.
      if (outside_.wait_for_run_end) {
        outside_.wait_for_run_end(kPollMs);
      } else {
        clock_.Pause(kPollMs);
      }
    }
    Show();
    if (!Finish()) return kExitRecordLost;
    if (!stop.empty()) return kExitStopped;
    for (const DeviceAtSlot& slot : slots_) {
      if (!slot.jobs().passed()) return kExitNotAllPassed;
    }
    return kExitAllPassed;
  }

 private:
  static constexpr uint32_t kPollMs = 200;

  bool MakeBatchFolder() {
    if (MakeStartFolder(options_.work_folder, clock_.Now(), &batch_)) return true;
    outside_.write_error("linestation: cannot make a working folder in " + options_.work_folder +
                         "\n");
    return false;
  }

  // Each slot serves one device: once it is done (or gone, or swapped for another) the slot is.
  static bool Finished(const DeviceAtSlot& slot) {
    switch (slot.stage()) {
      case DeviceAtSlot::Stage::kWaiting:
        return slot.jobs().done();
      case DeviceAtSlot::Stage::kDone:
      case DeviceAtSlot::Stage::kLeft:
        return true;
      default:
        return false;
    }
  }

  bool AllDone() const {
    for (const DeviceAtSlot& slot : slots_) {
      if (!Finished(slot)) return false;
    }
    return true;
  }

  // Starts the slot's jobs once it holds a device, and follows it to the end of its last one.
  void Advance(size_t s, const Sight& sight) {
    DeviceAtSlot& slot = slots_[s];
    if (Finished(slot)) return;
    if (slot.stage() != DeviceAtSlot::Stage::kWaiting) {
      slot.Follow(sight);
      return;
    }
    if (sight.device) {
      slot.Arrive((fs::path(batch_) / FolderName(slot.jobs().slot())).string(), sight);
      return;
    }
    const uint32_t waited = clock_.TickCount() - began_at_;
    if (waited < options_.presence_wait_seconds * 1000) {
      slot.jobs().ShowStep("waiting for a device");
      return;
    }
    // A slot that stays empty ends with NO DEVICE; the row's time is the wait it cost.
    slot.jobs().EndPending(NothingAtSlot(static_cast<int>(options_.presence_wait_seconds)),
                           began_at_, began_time_);
  }

  std::vector<SlotView> Views() const {
    std::vector<SlotView> views;
    for (const DeviceAtSlot& slot : slots_) views.push_back(slot.View());
    return views;
  }

  void Show() {
    const std::vector<SlotView> views = Views();
    view_.Show(views);
    if (!outside_.shown) return;
    StationView view;
    view.slots = views;
    for (const DeviceAtSlot& slot : slots_) {
      if (!slot.jobs().done() || slot.jobs().aborted()) continue;
      ++view.done;
      ++(slot.jobs().passed() ? view.passed : view.failed);
    }
    view.seconds = (clock_.TickCount() - began_at_) / 1000;
    outside_.shown(view);
  }

  // The final table (the live one stands already) and the CSV lines; false when the record
  // could not be written.
  bool Finish() {
    const std::vector<SlotView> views = Views();
    view_.Final(views);
    if (AppendCsv(options_.csv_file, RowsOf(views))) {
      if (outside_.recorded) {
        for (const Row& row : RowsOf(views)) outside_.recorded(row);
      }
      return true;
    }
    outside_.write_error("linestation: cannot append to " + options_.csv_file + "\n");
    return false;
  }

  const Options& options_;
  platform::Clock& clock_;
  const Surroundings& outside_;
  std::string batch_;
  std::vector<DeviceAtSlot> slots_;
  uint32_t began_at_ = 0;
  platform::LocalTime began_time_;
  TableView view_{outside_};
};

}  // namespace

int RunStation(const Options& options, platform::Clock& clock, const Surroundings& outside) {
  return Station(options, clock, outside).Run();
}

}  // namespace station
