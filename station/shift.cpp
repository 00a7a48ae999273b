// The shift mode: devices arrive one after another at every slot, all shift long. Each slot is a
// small state machine driven by what the adapter sees at its location, so a slot never waits for
// another, and a device that stays plugged in is never run twice.
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "station/program_run.hpp"
#include "station/station.hpp"
#include "station/table_view.hpp"

namespace station {
namespace {

namespace fs = std::filesystem;

enum class SlotState { kWaiting, kRunning, kDone };

struct Slot {
  std::string location;
  SlotState state = SlotState::kWaiting;
  bool present = false;   // a device was at the slot when the station last looked
  uint32_t devices = 0;   // served so far, for the working folders' names
  std::vector<Row> rows;  // the current (or last) device's, one per job
  size_t job = 0;
  std::unique_ptr<platform::ChildProcess> child;
  uint32_t started_at = 0;
  bool missing = false;  // running, and the device not seen since missing_since
  uint32_t missing_since = 0;
  // The last device done here and when it left: one that is back within the removal time
  // with the same serial number was reset, not replaced.
  std::string left_serial;
  uint32_t left_at = 0;
  std::vector<Row> left_rows;
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
    for (const std::string& location : options_.slots) {
      slots_.emplace_back();
      slots_.back().location = location;
      Waiting(slots_.back());
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
    view_.Final(Rows(), Totals());
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

  bool AnyRunning() const {
    for (const Slot& slot : slots_) {
      if (slot.state == SlotState::kRunning) return true;
    }
    return false;
  }

  uint32_t Since(uint32_t tick) const { return clock_.TickCount() - tick; }

  // A look walks the device tree for every slot, so where the platform follows the tree it is
  // taken only around a change; the programs that run are still watched at the poll's pace.
  void Look() {
    for (Slot& slot : slots_) slot.present = outside_.device_at(slot.location);
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

  // The slot empty again: what its last device got stays at hand in case it comes back.
  void Waiting(Slot& slot) {
    slot.state = SlotState::kWaiting;
    slot.left_rows = std::move(slot.rows);
    slot.rows.clear();
    for (const Job& job : options_.jobs) {
      Row row;
      row.slot = slot.location;
      row.program = ProgramNameOf(job);
      row.mode = job.mode;
      row.step = "waiting for a device";
      slot.rows.push_back(row);
    }
  }

  void Advance(Slot& slot) {
    switch (slot.state) {
      case SlotState::kWaiting:
        if (!Draining() && slot.present) Arrived(slot);
        return;
      case SlotState::kRunning:
        Watch(slot);
        return;
      case SlotState::kDone:
        if (!slot.present) {
          slot.left_serial = slot.rows.front().serial;
          slot.left_at = clock_.TickCount();
          Waiting(slot);
        } else if (look_ && Swapped(slot)) {
          // Replaced between two looks: the old one left, the new one arrived.
          slot.left_serial.clear();
          Waiting(slot);
          if (!Draining()) Arrived(slot);
        }
        return;
    }
  }

  // Another serial number at a slot whose device is done: one device was swapped for another
  // faster than a poll. Devices without one cannot be told apart this way.
  bool Swapped(const Slot& slot) const {
    if (!outside_.serial_at) return false;
    const std::string serial = outside_.serial_at(slot.location);
    return !serial.empty() && serial != slot.rows.front().serial;
  }

  void Arrived(Slot& slot) {
    const std::string serial = outside_.serial_at ? outside_.serial_at(slot.location) : "";
    if (!serial.empty() && serial == slot.left_serial &&
        Since(slot.left_at) < options_.removed_after_seconds * 1000) {
      // Back from its own reset or eject: it was done, and stays so.
      slot.state = SlotState::kDone;
      slot.rows = slot.left_rows;
      return;
    }
    ++slot.devices;
    for (Row& row : slot.rows) {
      row.serial = serial;
      row.step = "waiting for its turn";
    }
    slot.job = 0;
    slot.state = SlotState::kRunning;
    StartJob(slot);
  }

  // Starts the slot's current job; one that cannot start is recorded and the next one follows.
  void StartJob(Slot& slot) {
    while (slot.job < options_.jobs.size()) {
      const Job& job = options_.jobs[slot.job];
      Row& row = slot.rows[slot.job];
      row.folder = (fs::path(folder_) / (FolderName(slot.location) + "-" +
                                         std::to_string(slot.devices) + "-" + row.program))
                       .string();
      slot.started_at = clock_.TickCount();
      slot.missing = false;
      row.start = clock_.Now();
      std::string error;
      slot.child = LaunchRun(options_, job, slot.location, row.folder, outside_.launch, &error);
      if (slot.child != nullptr) {
        row.step = "starting";
        return;
      }
      if (!Ended(slot, "FAIL", "not started: " + error)) return;
    }
  }

  void Watch(Slot& slot) {
    const Job& job = options_.jobs[slot.job];
    Row& row = slot.rows[slot.job];
    row.tenths = Since(slot.started_at) / 100;
    if (!slot.present) {
      if (!slot.missing) {
        slot.missing = true;
        slot.missing_since = clock_.TickCount();
      } else if (Since(slot.missing_since) >= options_.removed_after_seconds * 1000) {
        StopRun(job, row.folder, *slot.child);
        slot.child.reset();
        Ended(slot, "FAIL", "device removed");
        // The slot is empty: it serves the next device, whatever its serial number.
        slot.left_serial.clear();
        Waiting(slot);
        return;
      }
    } else {
      slot.missing = false;
    }
    const std::string step = RunStep(job, row.folder);
    if (!step.empty()) row.step = step;
    int code = 0;
    if (slot.child->Finished(&code)) {
      std::string verdict, reason;
      JudgeRun(job, row.folder, code, row.step, &verdict, &reason);
      slot.child.reset();
      if (Ended(slot, verdict, reason)) StartJob(slot);
    } else if (row.tenths >= options_.limit_seconds * 10) {
      StopRun(job, row.folder, *slot.child);
      slot.child.reset();
      if (Ended(slot, "FAIL",
                "no verdict within " + std::to_string(options_.limit_seconds) +
                    " s, at: " + row.step))
        StartJob(slot);
    }
  }

  // Records the current job's end; true when the slot's next job is to start. The jobs that will
  // not run are recorded with it, so that every device has one line per job.
  bool Ended(Slot& slot, const std::string& verdict, const std::string& reason) {
    Finish(slot, slot.job, verdict, reason);
    ++slot.job;
    if (slot.job >= options_.jobs.size()) return Done(slot);
    std::string skip_verdict, skip_reason;
    if (reason == "device removed") {
      skip_verdict = "SKIPPED";
      skip_reason = "device removed";
    } else if (Draining()) {
      skip_verdict = "ABORTED";
      skip_reason = "not started (" + (stop_.empty() ? std::string("no record") : stop_) + ")";
    } else if (verdict != "PASS" && !options_.keep_going) {
      skip_verdict = "SKIPPED";
      skip_reason = slot.rows[slot.job - 1].program + " failed before";
    } else {
      return true;
    }
    for (; slot.job < options_.jobs.size(); ++slot.job) {
      slot.rows[slot.job].start = clock_.Now();
      slot.started_at = clock_.TickCount();
      Finish(slot, slot.job, skip_verdict, skip_reason);
    }
    return Done(slot);
  }

  bool Done(Slot& slot) {
    slot.state = SlotState::kDone;
    bool passed = true, aborted = false;
    for (Row& row : slot.rows) {
      passed = passed && row.verdict == "PASS";
      aborted = aborted || row.verdict == "ABORTED";
      if (row.reason.empty()) row.step = "done: take the device out";
    }
    if (!aborted) {
      ++done_;
      if (passed) ++passed_;
    }
    return false;
  }

  void Finish(Slot& slot, size_t job, const std::string& verdict, const std::string& reason) {
    Row& row = slot.rows[job];
    row.tenths = Since(slot.started_at) / 100;
    row.end = clock_.Now();
    row.verdict = verdict;
    row.reason = reason;
    // Written at once: a station stopped or lost later loses no finished record.
    if (!AppendCsv(options_.csv_file, {row}) && !record_lost_) {
      record_lost_ = true;
      outside_.write_error("linestation: cannot append to " + options_.csv_file +
                           "; no new run starts\n");
    }
  }

  void AbortAll(const std::string& why) {
    for (Slot& slot : slots_) {
      if (slot.state != SlotState::kRunning) continue;
      Row& row = slot.rows[slot.job];
      if (slot.child != nullptr) StopRun(options_.jobs[slot.job], row.folder, *slot.child);
      slot.child.reset();
      stop_ = why;
      Ended(slot, "ABORTED", "stopped (" + why + "), at: " + row.step);
    }
  }

  std::vector<Row> Rows() const {
    std::vector<Row> rows;
    for (const Slot& slot : slots_) rows.insert(rows.end(), slot.rows.begin(), slot.rows.end());
    return rows;
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
    // Plain lines carry the totals only when a device is done, not on every poll.
    if (outside_.live) {
      view_.Show(Rows(), Totals());
    } else {
      view_.Show(Rows());
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
