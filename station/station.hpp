// linestation: runs the provisioning programs on several devices of one PC at once, each run
// pinned to its device's USB slot, and reports a verdict per slot and program.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/child_process.hpp"
#include "platform/clock.hpp"

namespace station {

enum class Program { kItemsmith, kTreesmith };

// One program run on a slot; a slot runs its jobs one after the other, the slots side by side.
struct Job {
  Program program = Program::kItemsmith;
  std::string mode;                    // write, write+reset; kvx, vexa, delete-dl
  std::vector<std::string> arguments;  // what the mode means on the program's command line
};

struct Options {
  std::vector<std::string> slots;  // USB locations, one device each
  std::string template_folder;
  std::string work_folder = "station-runs";
  std::string csv_file = "linestation.csv";
  std::string programs_folder;   // "" = the folder linestation itself is in
  uint32_t limit_seconds = 900;  // per program run
  std::vector<Job> jobs;
};

extern const char kUsage[];

// False with a message on a usage error; *help is set for --help (nothing else is checked).
bool ParseOptions(const std::vector<std::string>& args, Options* options, bool* help,
                  std::string* message);

// The step a run is at, from the end of its run log: itemsmith's last numbered step or "+++"
// banner, treesmith's last opening banner. "" when the text holds none.
std::string CurrentStep(Program program, const std::string& log_tail);

// The row of one slot and program, as the table and the CSV file show it.
struct Row {
  std::string slot, program, mode, step, verdict, folder;
  uint32_t seconds = 0;
};
std::string TableHeader();
std::string FormatRow(const Row& row);
// time,slot,program,mode,verdict,seconds,working folder; fields quoted where they need it.
std::string CsvHeader();
std::string CsvLine(const platform::LocalTime& when, const Row& row);

using Launcher = std::function<std::unique_ptr<platform::ChildProcess>(const platform::ChildSpec&,
                                                                       std::string*)>;

// Runs every job on every slot, shows the table through `write` (redrawn in place when `live`,
// plain lines otherwise), prints the final table and appends the CSV lines. 0 when every run
// passed, 1 otherwise.
int RunStation(const Options& options, platform::Clock& clock, const Launcher& launch, bool live,
               const std::function<void(const std::string&)>& write);

}  // namespace station
