#include "station/station.hpp"

#include <cctype>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <system_error>

namespace station {

namespace fs = std::filesystem;

const char kUsage[] =
    "usage: linestation --slot LOCATION [--slot LOCATION ...] --template FOLDER\n"
    "                   [--itemsmith | --itemsmith-reset] [--treesmith MODE] [options]\n"
    "\n"
    "Provisions the devices of a station at once: on every slot (the USB location of one\n"
    "device) it runs itemsmith and/or treesmith, each run in a fresh copy of the template\n"
    "folder and pinned to its slot through DIAG_USB_LOCATION, so that it sees and touches\n"
    "only the device there. The slots run side by side; on one slot itemsmith runs first,\n"
    "then treesmith. One slot's failure never stops the others.\n"
    "\n"
    "  --slot LOCATION     a device's USB location; repeat for every slot. Linux: the\n"
    "                      kernel's name of the USB device folder (1-2.3: bus 1, hub port 2,\n"
    "                      port 3). Windows: the device's location path or location\n"
    "                      information as Device Manager shows it\n"
    "  --template FOLDER   the working folder to copy for every run: KVX_nvitem.txt for\n"
    "                      itemsmith, the upload folders for treesmith\n"
    "  --itemsmith         run itemsmith (writes the NV items; mode write)\n"
    "  --itemsmith-reset   run itemsmith and reset the device at the end (mode write+reset)\n"
    "  --treesmith MODE    run treesmith in MODE: kvx, vexa or delete-dl (--DeleteDLFile)\n"
    "  --work FOLDER       where the runs' working folders go (default station-runs): one\n"
    "                      folder per start, named by its time, with one folder per slot and\n"
    "                      program in it\n"
    "  --csv FILE          the CSV file the results are appended to (default linestation.csv)\n"
    "  --limit SECONDS     a run without a verdict after this long is stopped and counts as\n"
    "                      FAIL (default 900)\n"
    "  --programs FOLDER   where itemsmith and treesmith are (default: beside linestation)\n"
    "  --help              show this text\n"
    "linestation --list-slots lists what is plugged in now: for each DIAG port and device\n"
    "CD-ROM, the slot to give --slot, the port or drive, and the device description.\n"
    "\n"
    "While the runs go, a table shows per slot and program the step read from the run log,\n"
    "the seconds elapsed and the verdict; it is redrawn in place on a terminal and written as\n"
    "plain lines (one whenever a row changes) otherwise. At the end the table is printed and\n"
    "one line per slot and program is appended to the CSV file: time, slot, program, mode,\n"
    "verdict, seconds, working folder (a header line first when the file is new).\n"
    "\n"
    "A run passes when its program ends with exit code 0 and its result file says PASS.\n"
    "Exit code 0 when every run on every slot passed, 1 otherwise, 2 on a usage error.\n";

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

std::string Trim(const std::string& text) {
  size_t begin = 0, end = text.size();
  while (begin < end && std::isspace(static_cast<unsigned char>(text[begin]))) ++begin;
  while (end > begin && std::isspace(static_cast<unsigned char>(text[end - 1]))) --end;
  return text.substr(begin, end - begin);
}

bool EndsWith(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() &&
         text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

// At most the last `limit` bytes of a file: a run log is read while it grows.
std::string FileTail(const std::string& path, size_t limit) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return "";
  in.seekg(0, std::ios::end);
  const std::streamoff size = in.tellg();
  const std::streamoff start =
      size > static_cast<std::streamoff>(limit) ? size - static_cast<std::streamoff>(limit) : 0;
  in.seekg(start);
  std::string text(static_cast<size_t>(size - start), '\0');
  in.read(&text[0], static_cast<std::streamsize>(text.size()));
  text.resize(static_cast<size_t>(in.gcount()));
  return text;
}

std::string Fit(const std::string& text, size_t width) {
  if (text.size() <= width) return text + std::string(width - text.size(), ' ');
  return text.substr(0, width - 1) + "~";
}

// A slot as part of a folder name: what is not a letter, digit, '-' or '.' becomes '_'.
std::string FolderName(const std::string& slot) {
  std::string out;
  for (const char c : slot) {
    out.push_back(std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '.' ? c : '_');
  }
  return out.empty() || out == "." || out == ".." ? "slot" : out;
}

std::string CsvField(const std::string& text) {
  if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
  std::string out = "\"";
  for (const char c : text) {
    if (c == '"') out.push_back('"');
    out.push_back(c);
  }
  return out + "\"";
}

struct Run {
  size_t slot = 0;
  size_t job = 0;
  Row row;
  std::unique_ptr<platform::ChildProcess> child;
  uint32_t started_at = 0;
  bool done = false;
};

class Station {
 public:
  Station(const Options& options, platform::Clock& clock, const Launcher& launch, bool live,
          const std::function<void(const std::string&)>& write)
      : options_(options), clock_(clock), launch_(launch), live_(live), write_(write) {}

  int Run() {
    if (!MakeBatchFolder()) return 1;
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
    for (size_t s = 0; s < options_.slots.size(); ++s) StartNext(s);
    Show();
    while (!AllDone()) {
      clock_.Pause(kPollMs);
      for (station::Run& run : runs_) {
        if (run.child != nullptr && !run.done) Watch(run);
      }
      Show();
    }
    Finish();
    bool all_passed = true;
    for (const station::Run& run : runs_) all_passed = all_passed && run.row.verdict == "PASS";
    return all_passed ? 0 : 1;
  }

 private:
  static constexpr uint32_t kPollMs = 200;
  static constexpr size_t kLogTail = 8192;

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
    write_("linestation: cannot make a working folder in " + options_.work_folder + "\n");
    return false;
  }

  bool AllDone() const {
    for (const station::Run& run : runs_) {
      if (!run.done) return false;
    }
    return true;
  }

  // Starts the first job of the slot not yet run; a job that cannot start is a FAIL and the
  // next one is tried.
  void StartNext(size_t slot) {
    for (station::Run& run : runs_) {
      if (run.slot != slot || run.done || run.child != nullptr) continue;
      if (Start(run)) return;
    }
  }

  bool Start(station::Run& run) {
    const Job& job = options_.jobs[run.job];
    const ProgramFiles files = FilesOf(job);
    const fs::path folder = batch_ / (FolderName(run.row.slot) + "-" + files.name);
    run.row.folder = folder.string();
    run.started_at = clock_.TickCount();
    std::error_code ec;
    fs::copy(options_.template_folder, folder, fs::copy_options::recursive, ec);
    if (ec) return Fail(run, "cannot copy the template: " + ec.message());
    platform::ChildSpec launch;
    const std::string programs =
        options_.programs_folder.empty() ? platform::OwnProgramFolder() : options_.programs_folder;
    launch.program = platform::ProgramFile(programs, files.name);
    launch.arguments = job.arguments;
    launch.working_folder = folder.string();
    launch.environment = {{"DIAG_USB_LOCATION", run.row.slot}};
    launch.output_file = (folder / "console.txt").string();
    std::string error;
    run.child = launch_(launch, &error);
    if (run.child == nullptr) return Fail(run, "cannot start: " + error);
    run.row.step = "starting";
    return true;
  }

  bool Fail(station::Run& run, const std::string& step) {
    run.row.step = step;
    run.row.verdict = "FAIL";
    run.done = true;
    return false;
  }

  void Watch(station::Run& run) {
    const ProgramFiles files = FilesOf(options_.jobs[run.job]);
    const fs::path folder(run.row.folder);
    run.row.seconds = (clock_.TickCount() - run.started_at) / 1000;
    const std::string step = CurrentStep(options_.jobs[run.job].program,
                                         FileTail((folder / files.log).string(), kLogTail));
    if (!step.empty()) run.row.step = step;
    int code = 0;
    if (run.child->Finished(&code)) {
      const std::string result = FileTail((folder / files.result).string(), 64);
      const bool pass =
          code == 0 && result.compare(0, std::string(files.pass).size(), files.pass) == 0;
      run.row.verdict = pass ? "PASS" : "FAIL";
      if (!pass && result.empty())
        run.row.step = "ended with exit code " + std::to_string(code) + ", no verdict";
      run.done = true;
      StartNext(run.slot);
    } else if (run.row.seconds >= options_.limit_seconds) {
      run.child->Stop();
      run.row.verdict = "FAIL";
      run.row.step =
          "stopped after " + std::to_string(options_.limit_seconds) + " s at: " + run.row.step;
      run.done = true;
      StartNext(run.slot);
    }
  }

  void Show() {
    if (live_) {
      std::string text;
      if (drawn_) text += "\x1b[" + std::to_string(runs_.size() + 1) + "A";
      text += "\r\x1b[K" + TableHeader() + "\n";
      for (const station::Run& run : runs_) text += "\r\x1b[K" + FormatRow(run.row) + "\n";
      write_(text);
      drawn_ = true;
      return;
    }
    // Plain lines: one whenever a row's step or verdict changes.
    if (shown_.size() != runs_.size()) shown_.assign(runs_.size(), Row{});
    for (size_t i = 0; i < runs_.size(); ++i) {
      const Row& row = runs_[i].row;
      if (row.step == shown_[i].step && row.verdict == shown_[i].verdict) continue;
      shown_[i] = row;
      write_(row.slot + " " + row.program + ": " + row.step +
             (row.verdict.empty()
                  ? ""
                  : " -> " + row.verdict + " (" + std::to_string(row.seconds) + " s)") +
             "\n");
    }
  }

  void Finish() {
    if (!live_) {
      std::string table = "\n" + TableHeader() + "\n";
      for (const station::Run& run : runs_) table += FormatRow(run.row) + "\n";
      write_(table);
    }
    std::error_code ec;
    const bool fresh =
        !fs::exists(options_.csv_file, ec) || fs::file_size(options_.csv_file, ec) == 0;
    std::ofstream csv(options_.csv_file, std::ios::binary | std::ios::app);
    if (fresh) csv << CsvHeader() << "\n";
    const platform::LocalTime now = clock_.Now();
    for (const station::Run& run : runs_) csv << CsvLine(now, run.row) << "\n";
    csv.flush();
    if (!csv) write_("linestation: cannot append to " + options_.csv_file + "\n");
  }

  const Options& options_;
  platform::Clock& clock_;
  const Launcher& launch_;
  const bool live_;
  const std::function<void(const std::string&)>& write_;
  fs::path batch_;
  std::vector<station::Run> runs_;
  std::vector<Row> shown_;
  bool drawn_ = false;
};

}  // namespace

bool ParseOptions(const std::vector<std::string>& args, Options* options, bool* help,
                  std::string* message) {
  bool itemsmith = false, treesmith = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    auto value = [&](std::string* out) {
      if (i + 1 >= args.size() || args[i + 1].empty()) return false;
      *out = args[++i];
      return true;
    };
    std::string text;
    if (arg == "--help" || arg == "-h") {
      *help = true;
      return true;
    } else if (arg == "--slot") {
      if (!value(&text)) return *message = "--slot needs a USB location", false;
      for (const std::string& slot : options->slots) {
        if (slot == text) return *message = "slot " + text + " is given twice", false;
      }
      options->slots.push_back(text);
    } else if (arg == "--template") {
      if (!value(&options->template_folder)) return *message = "--template needs a folder", false;
    } else if (arg == "--itemsmith" || arg == "--itemsmith-reset") {
      if (itemsmith) return *message = "itemsmith is asked for twice", false;
      itemsmith = true;
      const bool reset = arg == "--itemsmith-reset";
      Job job{Program::kItemsmith, reset ? "write+reset" : "write", {}};
      // Exactly one argument asks itemsmith for the reset; its text does not matter.
      if (reset) job.arguments = {"reset"};
      options->jobs.insert(options->jobs.begin(), job);
    } else if (arg == "--treesmith") {
      if (treesmith) return *message = "treesmith is asked for twice", false;
      treesmith = true;
      if (!value(&text))
        return *message = "--treesmith needs a mode: kvx, vexa or delete-dl", false;
      Job job{Program::kTreesmith, text, {}};
      if (text == "vexa") {
        job.arguments = {"--VEXA"};
      } else if (text == "delete-dl") {
        job.arguments = {"--DeleteDLFile"};
      } else if (text != "kvx") {
        return *message = "--treesmith needs a mode: kvx, vexa or delete-dl", false;
      }
      options->jobs.push_back(job);
    } else if (arg == "--work") {
      if (!value(&options->work_folder)) return *message = "--work needs a folder", false;
    } else if (arg == "--csv") {
      if (!value(&options->csv_file)) return *message = "--csv needs a file", false;
    } else if (arg == "--programs") {
      if (!value(&options->programs_folder)) return *message = "--programs needs a folder", false;
    } else if (arg == "--limit") {
      if (!value(&text) || text.size() > 6 ||
          text.find_first_not_of("0123456789") != std::string::npos || std::stoul(text) == 0) {
        return *message = "--limit needs a number of seconds from 1 to 999999", false;
      }
      options->limit_seconds = static_cast<uint32_t>(std::stoul(text));
    } else {
      return *message = "unknown option " + arg, false;
    }
  }
  if (options->slots.empty()) return *message = "no --slot given", false;
  if (options->template_folder.empty()) return *message = "--template is required", false;
  if (options->jobs.empty())
    return *message = "nothing to run: give --itemsmith, --itemsmith-reset or --treesmith", false;
  std::error_code ec;
  if (!fs::is_directory(options->template_folder, ec)) {
    return *message = "the template " + options->template_folder + " is not a folder", false;
  }
  return true;
}

std::string CurrentStep(Program program, const std::string& log_tail) {
  std::string step;
  size_t start = 0;
  while (start < log_tail.size()) {
    size_t end = log_tail.find('\n', start);
    if (end == std::string::npos) end = log_tail.size();
    const std::string line = Trim(log_tail.substr(start, end - start));
    start = end + 1;
    if (program == Program::kTreesmith) {
      // "===== WriteFGI + ===== "
      if (line.size() > 14 && line.compare(0, 6, "===== ") == 0 && EndsWith(line, " + =====")) {
        step = line.substr(6, line.size() - 14);
      }
    } else if (EndsWith(line, " +++")) {
      step = line.substr(0, line.size() - 4);
    } else if (line.size() > 3 && std::isdigit(static_cast<unsigned char>(line[0])) &&
               line.compare(1, 2, ". ") == 0) {
      std::string text;
      for (const char c : line) {
        if (c != '*') text.push_back(c);
      }
      // "5. *** start to burn nv item *** " reads "5. start to burn nv item"
      std::string squeezed;
      for (const char c : Trim(text)) {
        if (!(c == ' ' && !squeezed.empty() && squeezed.back() == ' ')) squeezed.push_back(c);
      }
      step = squeezed;
    }
  }
  return step;
}

std::string TableHeader() {
  return Fit("SLOT", 24) + " " + Fit("PROGRAM", 10) + " " + Fit("MODE", 11) + " " +
         Fit("STEP", 44) + " " + "   SEC VERDICT";
}

std::string FormatRow(const Row& row) {
  char seconds[16];
  std::snprintf(seconds, sizeof seconds, "%6u", row.seconds);
  return Fit(row.slot, 24) + " " + Fit(row.program, 10) + " " + Fit(row.mode, 11) + " " +
         Fit(row.step, 44) + " " + seconds + " " + row.verdict;
}

std::string CsvHeader() { return "time,slot,program,mode,verdict,seconds,folder"; }

std::string CsvLine(const platform::LocalTime& t, const Row& row) {
  char when[32];
  std::snprintf(when, sizeof when, "%04d-%02d-%02d %02d:%02d:%02d", t.year, t.month, t.day, t.hour,
                t.minute, t.second);
  return std::string(when) + "," + CsvField(row.slot) + "," + row.program + "," + row.mode + "," +
         row.verdict + "," + std::to_string(row.seconds) + "," + CsvField(row.folder);
}

int RunStation(const Options& options, platform::Clock& clock, const Launcher& launch, bool live,
               const std::function<void(const std::string&)>& write) {
  return Station(options, clock, launch, live, write).Run();
}

}  // namespace station
