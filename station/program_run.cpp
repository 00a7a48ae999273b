#include "station/program_run.hpp"

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

constexpr size_t kLogTail = 8192;
constexpr size_t kWholeLog = 4 << 20;

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

std::unique_ptr<platform::ChildProcess> LaunchRun(const Options& options, const Job& job,
                                                  const std::string& slot,
                                                  const std::string& folder, const Launcher& launch,
                                                  std::string* error) {
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
  return launch(launch_request, error);
}

std::string RunStep(const Job& job, const std::string& folder) {
  return CurrentStep(job.program,
                     FileTail((fs::path(folder) / FilesOf(job).log).string(), kLogTail));
}

void JudgeRun(const Job& job, const std::string& folder, int exit_code,
              const std::string& last_step, std::string* verdict, std::string* reason) {
  const ProgramFiles files = FilesOf(job);
  const std::string result = FileTail((fs::path(folder) / files.result).string(), 64);
  const bool has_verdict = !result.empty();
  reason->clear();
  if (exit_code == 0 && result.compare(0, std::string(files.pass).size(), files.pass) == 0) {
    *verdict = "PASS";
    return;
  }
  *verdict = "FAIL";
  if (exit_code != 0 || !has_verdict) {
    *reason = "exit code " + std::to_string(exit_code) + (has_verdict ? "" : ", no verdict");
    return;
  }
  const std::string line =
      FailLine(job.program, FileTail((fs::path(folder) / files.log).string(), kWholeLog));
  *reason =
      line.empty() ? "FAIL without a failure line in the run log, last step: " + last_step : line;
}

void StopRun(const Job& job, const std::string& folder, platform::ChildProcess& child) {
  child.Stop();
  std::error_code ec;
  fs::remove(fs::path(folder) / FilesOf(job).result, ec);
}

}  // namespace station
