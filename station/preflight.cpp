// The check before the start: a set-up mistake (a wrong folder, a missing program, a template
// without the NV list) would otherwise show as a FAIL on every device of the station.
#include <cctype>
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>
#include <vector>

#include "station/preflight.hpp"

#include "common/itemsmith_contract.hpp"
#include "common/treesmith_contract.hpp"
#include "platform/child_process.hpp"
#include "platform/usb_slots.hpp"
#include "station/record.hpp"

namespace station {
namespace {

namespace fs = std::filesystem;

bool Fail(std::string* message, const std::string& text) {
  *message = text;
  return false;
}

std::string Upper(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

std::string Absolute(const std::string& path) {
  std::error_code ec;
  const fs::path absolute = fs::absolute(path, ec);
  return ec ? path : absolute.lexically_normal().string();
}

const char* NameOf(Program program) {
  return program == Program::kItemsmith ? common::itemsmith::kName : common::treesmith::kName;
}

// The build tree keeps each program in the folder named like its sources.
const char* BuildFolderOf(Program program) {
  return program == Program::kItemsmith ? "nvtool" : "efstool";
}

// What the program reads from its working folder: the NV list, or every upload of treesmith's
// mode (a missing one fails the run).
std::vector<std::string> TemplateNeeds(const Job& job) {
  if (job.program == Program::kItemsmith) return {common::itemsmith::kListFile};
  namespace treesmith = common::treesmith;
  const treesmith::Mode mode = job.mode == "delete-dl" ? treesmith::Mode::kDeleteDl
                               : job.mode == "kvx"     ? treesmith::Mode::kKvx
                                                       : treesmith::Mode::kVexa;
  return treesmith::LocalUploads(mode);
}

bool CheckSlots(const std::vector<std::string>& slots, std::string* message) {
  for (size_t i = 0; i < slots.size(); ++i) {
    std::string form;
    if (!platform::UsbLocationWellFormed(slots[i], &form))
      return Fail(message, "slot \"" + slots[i] + "\" is not a USB location (" + form + ")");
    // Letter case does not tell Windows locations apart.
    for (size_t j = 0; j < i; ++j) {
      if (Upper(slots[j]) == Upper(slots[i]))
        return Fail(message, "slot " + slots[i] + " is given twice");
    }
  }
  return true;
}

bool FindProgram(Job* job, const std::string& programs_folder, const std::string& own_folder,
                 std::string* message) {
  const char* name = NameOf(job->program);
  std::vector<std::string> candidates;
  if (!programs_folder.empty()) {
    candidates.push_back(platform::ProgramFile(programs_folder, name));
  } else {
    candidates.push_back(platform::ProgramFile(own_folder, name));
    candidates.push_back(platform::ProgramFile(
        (fs::path(own_folder).parent_path() / BuildFolderOf(job->program)).string(), name));
  }
  for (const std::string& candidate : candidates) {
    if (platform::ProgramRunnable(candidate)) {
      job->program_file = Absolute(candidate);
      return true;
    }
  }
  return Fail(message, std::string("no runnable ") + name + " at " + candidates.front() +
                           (programs_folder.empty() ? " (give --programs FOLDER)" : ""));
}

bool CheckTemplate(const Options& options, std::string* message) {
  std::error_code ec;
  if (!fs::is_directory(options.template_folder, ec))
    return Fail(message, "the template " + options.template_folder + " is not a folder");
  for (const Job& job : options.jobs) {
    for (const std::string& need : TemplateNeeds(job)) {
      if (!fs::exists(fs::path(options.template_folder) / need, ec)) {
        return Fail(message, "the template " + options.template_folder + " has no " + need +
                                 ", which " + NameOf(job.program) + " " + job.mode + " needs");
      }
    }
  }
  return true;
}

// Appendable, and holding this station's columns if it holds anything: lines of another
// layout mixed into one file would be read under the wrong header.
bool CheckCsv(const std::string& csv_file, std::string* message) {
  std::error_code ec;
  if (fs::is_directory(csv_file, ec))
    return Fail(message, "the CSV file " + csv_file + " is a folder");
  if (fs::exists(csv_file, ec) && fs::file_size(csv_file, ec) > 0) {
    std::ifstream in(csv_file, std::ios::binary);
    std::string first;
    std::getline(in, first);
    if (!first.empty() && first.back() == '\r') first.pop_back();
    if (first != CsvHeader()) {
      return Fail(message, "the CSV file " + csv_file + " has other columns (" + first +
                               "); give another --csv");
    }
  }
  std::ofstream out(csv_file, std::ios::binary | std::ios::app);
  if (!out) return Fail(message, "cannot append to the CSV file " + csv_file);
  return true;
}

}  // namespace

bool IsProgramOutput(const std::string& file_name) {
  // Compared without letter case, as Windows names files.
  static const char* const kOutputs[] = {common::itemsmith::kLogFile,
                                         common::itemsmith::kResultFile,
                                         common::treesmith::kProductFiles.log,
                                         common::treesmith::kProductFiles.result,
                                         common::treesmith::kDeleteDlFiles.log,
                                         common::treesmith::kDeleteDlFiles.result,
                                         "VODE_Log.txt",
                                         "console.txt"};
  const std::string name = Upper(file_name);
  for (const char* output : kOutputs) {
    if (name == Upper(output)) return true;
  }
  return false;
}

bool CheckBeforeStart(Options* options, const std::string& own_folder, std::string* message) {
  if (!CheckSlots(options->slots, message)) return false;
  options->template_folder = Absolute(options->template_folder);
  options->work_folder = Absolute(options->work_folder);
  options->csv_file = Absolute(options->csv_file);
  // Made absolute here: the runs start in their own working folders.
  if (!options->programs_folder.empty())
    options->programs_folder = Absolute(options->programs_folder);
  for (Job& job : options->jobs) {
    if (!FindProgram(&job, options->programs_folder, own_folder, message)) return false;
  }
  return CheckTemplate(*options, message) && CheckCsv(options->csv_file, message);
}

}  // namespace station
