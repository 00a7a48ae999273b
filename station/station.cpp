#include "station/station.hpp"

#include "station/program_run.hpp"
#include "station/table_view.hpp"

#include <cctype>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <system_error>

namespace station {

namespace fs = std::filesystem;

namespace {

enum class State { kWaiting, kRunning, kDone };

struct Run {
  size_t slot = 0;
  size_t job = 0;
  Row row;
  std::unique_ptr<platform::ChildProcess> child;
  uint32_t started_at = 0;
  State state = State::kWaiting;
};

class Station {
 public:
  Station(const Options& options, platform::Clock& clock, const Surroundings& outside)
      : options_(options), clock_(clock), outside_(outside) {}

  int Run() {
    if (!MakeBatchFolder()) return kExitUsage;
    for (size_t s = 0; s < options_.slots.size(); ++s) {
      for (size_t j = 0; j < options_.jobs.size(); ++j) {
        station::Run run;
        run.slot = s;
        run.job = j;
        run.row.slot = options_.slots[s];
        run.row.program = ProgramNameOf(options_.jobs[j]);
        run.row.mode = options_.jobs[j].mode;
        run.row.step = "waiting";
        runs_.push_back(std::move(run));
      }
    }
    present_.assign(options_.slots.size(), false);
    began_at_ = clock_.TickCount();
    began_time_ = clock_.Now();
    std::string stop;
    for (;;) {
      stop = outside_.stop_request();
      if (!stop.empty()) {
        StopAll(stop);
        break;
      }
      for (size_t s = 0; s < options_.slots.size(); ++s) Advance(s);
      for (station::Run& run : runs_) {
        if (run.state == State::kRunning) Watch(run);
      }
      // A run that ended frees its slot for the next one without waiting a poll.
      for (size_t s = 0; s < options_.slots.size(); ++s) Advance(s);
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
    for (const station::Run& run : runs_) {
      if (run.row.verdict != "PASS") return kExitNotAllPassed;
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
    for (const station::Run& run : runs_) {
      if (run.state != State::kDone) return false;
    }
    return true;
  }

  uint32_t Elapsed(const station::Run& run) const {
    return (clock_.TickCount() - run.started_at) / 100;
  }

  void Begin(station::Run& run) {
    run.started_at = clock_.TickCount();
    run.row.start = clock_.Now();
  }

  // A run that never started ends with its start.
  void End(station::Run& run, const std::string& verdict, const std::string& reason) {
    if (run.state == State::kWaiting) Begin(run);
    run.row.tenths = Elapsed(run);
    run.row.end = clock_.Now();
    run.row.verdict = verdict;
    run.row.reason = reason;
    run.state = State::kDone;
  }

  // Starts the slot's next job once the slot holds a device and none of its jobs runs.
  void Advance(size_t slot) {
    for (station::Run& run : runs_) {
      if (run.slot != slot) continue;
      if (run.state == State::kRunning) return;
      if (run.state == State::kDone) continue;
      if (!present_[slot] && !Present(slot)) return;
      const std::string failed = FailedBefore(run);
      if (!failed.empty() && !options_.keep_going) {
        End(run, "SKIPPED", failed + " failed before");
        continue;
      }
      if (Start(run)) return;
    }
  }

  // False while the slot may still fill; a slot that stays empty ends with NO DEVICE.
  bool Present(size_t slot) {
    if (outside_.device_at(options_.slots[slot])) {
      present_[slot] = true;
      return true;
    }
    const uint32_t waited = clock_.TickCount() - began_at_;
    if (waited < options_.presence_wait_seconds * 1000) {
      for (station::Run& run : runs_) {
        if (run.slot == slot) run.row.step = "waiting for a device";
      }
      return false;
    }
    for (station::Run& run : runs_) {
      if (run.slot == slot && run.state == State::kWaiting) {
        // The row's time is the wait it cost.
        run.started_at = began_at_;
        run.row.start = began_time_;
        run.state = State::kRunning;  // started: waiting for the device
        End(run, "NO DEVICE",
            "nothing at the slot within " + std::to_string(options_.presence_wait_seconds) + " s");
      }
    }
    return false;
  }

  std::string FailedBefore(const station::Run& run) const {
    for (const station::Run& before : runs_) {
      if (before.slot == run.slot && before.job < run.job && before.state == State::kDone &&
          before.row.verdict != "PASS") {
        return before.row.program;
      }
    }
    return "";
  }

  bool Start(station::Run& run) {
    const Job& job = options_.jobs[run.job];
    run.row.folder =
        (fs::path(batch_) / (FolderName(run.row.slot) + "-" + ProgramNameOf(job))).string();
    if (outside_.serial_at) run.row.serial = outside_.serial_at(run.row.slot);
    Begin(run);
    run.state = State::kRunning;
    std::string error;
    run.child = LaunchRun(options_, job, run.row.slot, run.row.folder, outside_.launch, &error);
    if (run.child == nullptr) {
      End(run, "FAIL", "not started: " + error);
      return false;
    }
    run.row.step = "starting";
    return true;
  }

  void Watch(station::Run& run) {
    const Job& job = options_.jobs[run.job];
    run.row.tenths = Elapsed(run);
    const std::string step = RunStep(job, run.row.folder);
    if (!step.empty()) run.row.step = step;
    int code = 0;
    if (run.child->Finished(&code)) {
      std::string verdict, reason;
      JudgeRun(job, run.row.folder, code, run.row.step, &verdict, &reason);
      End(run, verdict, reason);
    } else if (run.row.tenths >= options_.limit_seconds * 10) {
      Stop(run);
      End(run, "FAIL",
          "no verdict within " + std::to_string(options_.limit_seconds) +
              " s, at: " + run.row.step);
    }
  }

  // Whatever a stopped run leaves must not read as a verdict.
  void Stop(station::Run& run) { StopRun(options_.jobs[run.job], run.row.folder, *run.child); }

  void StopAll(const std::string& why) {
    for (station::Run& run : runs_) {
      if (run.state == State::kRunning) {
        Stop(run);
        End(run, "ABORTED", "stopped (" + why + "), at: " + run.row.step);
      } else if (run.state == State::kWaiting) {
        End(run, "ABORTED", "not started (" + why + ")");
      }
    }
  }

  std::vector<Row> Rows() const {
    std::vector<Row> rows;
    for (const station::Run& run : runs_) rows.push_back(run.row);
    return rows;
  }

  void Show() { view_.Show(Rows()); }

  // The final table (the live one stands already) and the CSV lines; false when the record
  // could not be written.
  bool Finish() {
    view_.Final(Rows());
    if (AppendCsv(options_.csv_file, Rows())) return true;
    outside_.write_error("linestation: cannot append to " + options_.csv_file + "\n");
    return false;
  }

  const Options& options_;
  platform::Clock& clock_;
  const Surroundings& outside_;
  std::string batch_;
  std::vector<station::Run> runs_;
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
