// linestation's command line: the slots, the programs to run on each and how.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace station {

enum class Program { kItemsmith, kTreesmith };

// One program run on a slot; a slot runs its jobs one after the other, the slots side by side.
struct Job {
  Program program = Program::kItemsmith;
  std::string mode;                    // write, write+reset; kvx, vexa, delete-dl
  std::vector<std::string> arguments;  // what the mode means on the program's command line
  std::string program_file;            // absolute, set by the check before the start
};

// True for a job that ends with the device's reset.
inline bool ResetsDevice(const Job& job) {
  return job.program == Program::kItemsmith && job.mode == "write+reset";
}

struct Options {
  std::vector<std::string> slots;  // USB locations, one device each
  std::string template_folder;
  std::string work_folder = "station-runs";
  std::string csv_file = "linestation.csv";
  std::string programs_folder;          // "" = beside linestation (or in its build tree)
  uint32_t limit_seconds = 900;         // per program run
  uint32_t presence_wait_seconds = 15;  // for a device still starting up in its slot
  bool keep_going = false;              // a failed program does not end its slot's work
  // The shift mode: every slot serves one device after another until the station is stopped.
  bool continuous = false;
  // Shift mode: a device gone this long in the middle of its run was pulled out, not reset.
  uint32_t removed_after_seconds = 30;
  // The web view's [ADDRESS:]PORT; "" for none. Read for its form only until it is bound.
  std::string http;
  std::vector<Job> jobs;
};

enum class Request { kRun, kHelp, kVersion };

extern const char kUsage[];

// The command line, read for its form only (nothing is looked up). False with a message on a
// usage error; --help and --version set *request and end the reading.
bool ParseOptions(const std::vector<std::string>& args, Options* options, Request* request,
                  std::string* message);

}  // namespace station
