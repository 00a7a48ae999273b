#include "station/program_run.hpp"

#include <cctype>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <system_error>

#include "common/itemsmith_contract.hpp"
#include "common/treesmith_contract.hpp"
#include "station/preflight.hpp"
#include "station/run_log.hpp"

namespace station {

namespace fs = std::filesystem;

namespace {

namespace itemsmith = common::itemsmith;
namespace treesmith = common::treesmith;

// The program's own files, which a line script reads as well.
struct ProgramFiles {
  const char* name;
  const char* log;
  const char* result;
  const char* pass;  // what the result file starts with on a PASS
};

constexpr size_t kLogTail = 8192;
constexpr size_t kWholeLog = 4 << 20;

ProgramFiles FilesOf(const Job& job) {
  if (job.program == Program::kItemsmith) {
    return {itemsmith::kName, itemsmith::kLogFile, itemsmith::kResultFile, itemsmith::kPassVerdict};
  }
  const treesmith::Files files = treesmith::FilesOf(
      job.mode == "delete-dl" ? treesmith::Mode::kDeleteDl : treesmith::Mode::kKvx);
  return {treesmith::kName, files.log, files.result, treesmith::kPassVerdict};
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

}  // namespace

const char* ProgramNameOf(const Job& job) { return FilesOf(job).name; }

bool MakeStartFolder(const std::string& work_folder, const platform::LocalTime& t,
                     std::string* folder) {
  char stamp[32];
  std::snprintf(stamp, sizeof stamp, "%04d%02d%02d-%02d%02d%02d", t.year, t.month, t.day, t.hour,
                t.minute, t.second);
  std::error_code ec;
  fs::create_directories(work_folder, ec);
  for (int n = 1; n < 1000; ++n) {
    const fs::path candidate =
        fs::path(work_folder) / (n == 1 ? stamp : stamp + ("-" + std::to_string(n)));
    if (fs::create_directory(candidate, ec)) {
      *folder = candidate.string();
      return true;
    }
    if (ec) break;
  }
  return false;
}

std::string FolderName(const std::string& slot) {
  std::string out;
  for (const char c : slot) {
    out.push_back(std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '.' ? c : '_');
  }
  return out.empty() || out == "." || out == ".." ? "slot" : out;
}

std::unique_ptr<ProgramRun> ProgramRun::Start(const Options& options, const Job& job,
                                              const std::string& slot, const std::string& folder,
                                              platform::Clock& clock, const Launcher& launch,
                                              std::string* error) {
  std::unique_ptr<ProgramRun> run(new ProgramRun(options, job, folder, clock, clock.TickCount()));
  std::string why;
  if (!CopyTemplate(options.template_folder, folder, &why)) {
    *error = "cannot copy the template: " + why;
    return nullptr;
  }
  platform::ChildSpec launch_request;
  launch_request.program = job.program_file;
  launch_request.arguments = job.arguments;
  launch_request.working_folder = folder;
  launch_request.environment = {{"DIAG_USB_LOCATION", slot}};
  launch_request.output_file = (fs::path(folder) / "console.txt").string();
  run->child_ = launch(launch_request, error);
  if (run->child_ == nullptr) return nullptr;
  return run;
}

ProgramRun::ProgramRun(const Options& options, const Job& job, std::string folder,
                       platform::Clock& clock, uint32_t started_at)
    : job_(job),
      folder_(std::move(folder)),
      clock_(clock),
      started_at_(started_at),
      limit_tenths_(options.limit_seconds * 10) {}

bool ProgramRun::Poll(Outcome* outcome) {
  const uint32_t elapsed = tenths();
  const std::string tail = FileTail((fs::path(folder_) / FilesOf(job_).log).string(), kLogTail);
  const std::string step = CurrentStep(job_.program, tail);
  if (!step.empty()) step_ = step;
  reset_sent_ = reset_sent_ || ResetSent(job_.program, tail);
  int code = 0;
  if (child_->Finished(&code)) {
    *outcome = Judge(code);
    return true;
  }
  if (elapsed < limit_tenths_) return false;
  Stop();
  *outcome = NoVerdictWithin(static_cast<int>(limit_tenths_ / 10), step_);
  return true;
}

Outcome ProgramRun::Judge(int exit_code) const {
  const ProgramFiles files = FilesOf(job_);
  const std::string result = FileTail((fs::path(folder_) / files.result).string(), 64);
  const bool has_verdict = !result.empty();
  if (exit_code == 0 && result.compare(0, std::string(files.pass).size(), files.pass) == 0) {
    return Passed();
  }
  if (!has_verdict) return Failed(Why::kNoResult, "", exit_code);
  if (exit_code != 0) return Failed(Why::kExitCode, "", exit_code);
  const std::string line =
      FailLine(job_.program, FileTail((fs::path(folder_) / files.log).string(), kWholeLog));
  if (!line.empty()) return Failed(Why::kLogLine, line);
  Outcome outcome = Failed(Why::kNoFailLine);
  outcome.step = step_;
  return outcome;
}

void ProgramRun::Stop() {
  child_->Stop();
  std::error_code ec;
  fs::remove(fs::path(folder_) / FilesOf(job_).result, ec);
}

}  // namespace station
