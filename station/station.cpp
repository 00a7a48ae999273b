#include "station/station.hpp"

#include <filesystem>
#include <vector>

#include "station/device_jobs.hpp"
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
    for (const std::string& location : options_.slots) {
      DeviceJobs::Hooks hooks;
      if (outside_.serial_at)
        hooks.serial = [this, location] { return outside_.serial_at(location); };
      slots_.emplace_back(options_, clock_, outside_, location, hooks);
      slots_.back().Reset("waiting");
    }
    present_.assign(options_.slots.size(), false);
    began_at_ = clock_.TickCount();
    began_time_ = clock_.Now();
    std::string stop;
    for (;;) {
      stop = outside_.stop_request();
      if (!stop.empty()) {
        for (DeviceJobs& slot : slots_) slot.Abort(stop);
        break;
      }
      for (size_t s = 0; s < slots_.size(); ++s) Advance(s);
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
    for (const DeviceJobs& slot : slots_) {
      if (!slot.passed()) return kExitNotAllPassed;
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

  bool AllDone() const {
    for (const DeviceJobs& slot : slots_) {
      if (!slot.done()) return false;
    }
    return true;
  }

  // Starts the slot's jobs once it holds a device, and follows the running one.
  void Advance(size_t s) {
    DeviceJobs& slot = slots_[s];
    if (slot.done()) return;
    if (slot.running()) {
      slot.Poll();
      return;
    }
    if (!present_[s] && !Present(s)) return;
    slot.Begin((fs::path(batch_) / FolderName(slot.slot())).string());
  }

  // False while the slot may still fill; a slot that stays empty ends with NO DEVICE.
  bool Present(size_t s) {
    DeviceJobs& slot = slots_[s];
    if (outside_.device_at(slot.slot())) {
      present_[s] = true;
      return true;
    }
    const uint32_t waited = clock_.TickCount() - began_at_;
    if (waited < options_.presence_wait_seconds * 1000) {
      slot.ShowStep("waiting for a device");
      return false;
    }
    // The row's time is the wait it cost.
    slot.EndPending(NothingAtSlot(static_cast<int>(options_.presence_wait_seconds)), began_at_,
                    began_time_);
    return false;
  }

  std::vector<SlotView> Views() const {
    std::vector<SlotView> views;
    for (const DeviceJobs& slot : slots_) views.push_back(slot.View());
    return views;
  }

  void Show() {
    const std::vector<SlotView> views = Views();
    view_.Show(views);
    if (!outside_.shown) return;
    StationView view;
    view.slots = views;
    for (const DeviceJobs& slot : slots_) {
      if (!slot.done() || slot.aborted()) continue;
      ++view.done;
      ++(slot.passed() ? view.passed : view.failed);
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
  std::vector<DeviceJobs> slots_;
  std::vector<bool> present_;
  uint32_t began_at_ = 0;
  platform::LocalTime began_time_;
  TableView view_{outside_};
};

}  // namespace

int RunStation(const Options& options, platform::Clock& clock, const Surroundings& outside) {
  return Station(options, clock, outside).Run();
}

}  // namespace station
