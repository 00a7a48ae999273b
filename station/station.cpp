#include "station/station.hpp"

#include <cctype>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <system_error>

namespace station {

namespace fs = std::filesystem;

namespace {

// The programs' own files, which a line script reads as well.
struct ProgramFiles {
  const char* name;
  const char* log;
  const char* result;
  const char* pass;  // what the result file starts with on a PASS
};

ProgramFiles FilesOf(const Job& job) {
  if (job.program == Program::kItemsmith) {
    return {"itemsmith", "KVX_WriteNVItem_log.txt", "KVX_WriteNVItem_result.txt",
            "[WriteNVItem PASS]"};
  }
  if (job.mode == "delete-dl") {
    return {"treesmith", "Kvx_treesmith_Delete_DL.log", "Kvx_treesmith_Delete_DL_Result.txt",
            "PASS"};
  }
  return {"treesmith", "Kvx_treesmith.log", "Kvx_treesmith_Result.txt", "PASS"};
}

// At most the last `limit` bytes of a file: a run log is read while it grows.
std::string FileTail(const std::string& path, size_t limit) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return "";
  in.seekg(0, std::ios::end);
  const std::streamoff size = in.tellg();
  if (size <= 0) return "";
  const std::streamoff start =
      size > static_cast<std::streamoff>(limit) ? size - static_cast<std::streamoff>(limit) : 0;
  in.seekg(start);
  std::string text(static_cast<size_t>(size - start), '\0');
  in.read(&text[0], static_cast<std::streamsize>(text.size()));
  text.resize(static_cast<size_t>(in.gcount()));
  return text;
}

// A slot as part of a folder name: what is not a letter, digit, '-' or '.' becomes '_'.
std::string FolderName(const std::string& slot) {
  std::string out;
  for (const char c : slot) {
    out.push_back(std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '.' ? c : '_');
  }
  return out.empty() || out == "." || out == ".." ? "slot" : out;
}

// The template without the programs' own output files.
bool CopyTemplate(const std::string& from, const fs::path& to, std::string* error) {
  std::error_code ec;
  fs::create_directories(to, ec);
  for (fs::directory_iterator it(from, ec), end; !ec && it != end; it.increment(ec)) {
    const fs::path name = it->path().filename();
    if (IsProgramOutput(name.string())) continue;
    fs::copy(it->path(), to / name, fs::copy_options::recursive, ec);
  }
  if (ec) *error = ec.message();
  return !ec;
}

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
        run.row.program = FilesOf(options_.jobs[j]).name;
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
      clock_.Pause(kPollMs);
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
  static constexpr size_t kLogTail = 8192;
  static constexpr size_t kWholeLog = 4 << 20;

  bool MakeBatchFolder() {
    const platform::LocalTime t = clock_.Now();
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, "%04d%02d%02d-%02d%02d%02d", t.year, t.month, t.day, t.hour,
                  t.minute, t.second);
    std::error_code ec;
    fs::create_directories(options_.work_folder, ec);
    // A new folder for every start, never one that is there already.
    for (int n = 1; n < 1000; ++n) {
      const fs::path candidate =
          fs::path(options_.work_folder) / (n == 1 ? stamp : stamp + ("-" + std::to_string(n)));
      if (fs::create_directory(candidate, ec)) {
        batch_ = candidate;
        return true;
      }
      if (ec) break;
    }
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
    const ProgramFiles files = FilesOf(job);
    const fs::path folder = batch_ / (FolderName(run.row.slot) + "-" + files.name);
    run.row.folder = folder.string();
    Begin(run);
    run.state = State::kRunning;
    std::string error;
    if (!CopyTemplate(options_.template_folder, folder, &error)) {
      End(run, "FAIL", "not started: cannot copy the template: " + error);
      return false;
    }
    platform::ChildSpec launch;
    launch.program = job.program_file;
    launch.arguments = job.arguments;
    launch.working_folder = folder.string();
    launch.environment = {{"DIAG_USB_LOCATION", run.row.slot}};
    launch.output_file = (folder / "console.txt").string();
    run.child = outside_.launch(launch, &error);
    if (run.child == nullptr) {
      End(run, "FAIL", "not started: " + error);
      return false;
    }
    run.row.step = "starting";
    return true;
  }

  void Watch(station::Run& run) {
    const Job& job = options_.jobs[run.job];
    const ProgramFiles files = FilesOf(job);
    const fs::path folder(run.row.folder);
    run.row.tenths = Elapsed(run);
    const std::string step =
        CurrentStep(job.program, FileTail((folder / files.log).string(), kLogTail));
    if (!step.empty()) run.row.step = step;
    int code = 0;
    if (run.child->Finished(&code)) {
      const std::string result = FileTail((folder / files.result).string(), 64);
      const bool has_verdict = !result.empty();
      if (code == 0 && result.compare(0, std::string(files.pass).size(), files.pass) == 0) {
        End(run, "PASS", "");
      } else if (code != 0 || !has_verdict) {
        End(run, "FAIL", "exit code " + std::to_string(code) + (has_verdict ? "" : ", no verdict"));
      } else {
        const std::string line =
            FailLine(job.program, FileTail((folder / files.log).string(), kWholeLog));
        End(run, "FAIL",
            line.empty() ? "FAIL without a failure line in the run log, last step: " + run.row.step
                         : line);
      }
    } else if (run.row.tenths >= options_.limit_seconds * 10) {
      Stop(run);
      End(run, "FAIL",
          "no verdict within " + std::to_string(options_.limit_seconds) +
              " s, at: " + run.row.step);
    }
  }

  // Whatever a stopped run leaves must not read as a verdict.
  void Stop(station::Run& run) {
    run.child->Stop();
    std::error_code ec;
    fs::remove(fs::path(run.row.folder) / FilesOf(options_.jobs[run.job]).result, ec);
  }

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

  void Show() {
    if (outside_.live) {
      const TableLayout layout = LayoutFor(Rows(), outside_.columns);
      std::string text;
      if (drawn_) text += "\x1b[" + std::to_string(runs_.size() + 1) + "A";
      text += "\r\x1b[K" + TableHeader(layout) + "\n";
      for (const station::Run& run : runs_) text += "\r\x1b[K" + FormatRow(run.row, layout) + "\n";
      outside_.write(text);
      drawn_ = true;
      return;
    }
    // Plain lines: one whenever a row's step or verdict changes.
    if (shown_.size() != runs_.size()) shown_.assign(runs_.size(), Row{});
    for (size_t i = 0; i < runs_.size(); ++i) {
      const Row& row = runs_[i].row;
      if (row.step == shown_[i].step && row.verdict == shown_[i].verdict) continue;
      shown_[i] = row;
      std::string line = row.slot + " " + row.program + ": " + row.step;
      if (!row.verdict.empty()) {
        char seconds[32];
        std::snprintf(seconds, sizeof seconds, " (%u.%u s)", row.tenths / 10, row.tenths % 10);
        line += " -> " + row.verdict + seconds + (row.reason.empty() ? "" : ": " + row.reason);
      }
      outside_.write(line + "\n");
    }
  }

  // The final table (the live one stands already) and the CSV lines; false when the record
  // could not be written.
  bool Finish() {
    if (!outside_.live) {
      const TableLayout layout = LayoutFor(Rows(), outside_.columns);
      std::string table = "\n" + TableHeader(layout) + "\n";
      for (const station::Run& run : runs_) table += FormatRow(run.row, layout) + "\n";
      outside_.write(table);
    }
    std::error_code ec;
    const bool fresh =
        !fs::exists(options_.csv_file, ec) || fs::file_size(options_.csv_file, ec) == 0;
    std::ofstream csv(options_.csv_file, std::ios::binary | std::ios::app);
    if (fresh) csv << CsvHeader() << "\n";
    for (const station::Run& run : runs_) csv << CsvLine(run.row) << "\n";
    csv.flush();
    if (csv) return true;
    outside_.write_error("linestation: cannot append to " + options_.csv_file + "\n");
    return false;
  }

  const Options& options_;
  platform::Clock& clock_;
  const Surroundings& outside_;
  fs::path batch_;
  std::vector<station::Run> runs_;
  std::vector<bool> present_;
  uint32_t began_at_ = 0;
  platform::LocalTime began_time_;
  std::vector<Row> shown_;
  bool drawn_ = false;
};

}  // namespace

int RunStation(const Options& options, platform::Clock& clock, const Surroundings& outside) {
  return Station(options, clock, outside).Run();
}

}  // namespace station
