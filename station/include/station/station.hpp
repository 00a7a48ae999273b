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
  std::string program_file;            // absolute, set by the check before the start
};

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
  std::vector<Job> jobs;
};

enum class Request { kRun, kHelp, kVersion };

extern const char kUsage[];

// The command line, read for its form only (nothing is looked up). False with a message on a
// usage error; --help and --version set *request and end the reading.
bool ParseOptions(const std::vector<std::string>& args, Options* options, Request* request,
                  std::string* message);

// What must hold before anything starts, so that a set-up mistake is one usage error instead of
// a FAIL on every device: the slots, the programs (found and made absolute into each job), the
// template for the chosen modes, the CSV file. Folders are made absolute. `own_folder` is where
// linestation itself is. False with one line saying what is wrong.
bool CheckBeforeStart(Options* options, const std::string& own_folder, std::string* message);

// The programs' own result and log files, which a copy of the template leaves out: an old
// verdict in the template would otherwise stand in every run folder.
bool IsProgramOutput(const std::string& file_name);

// The step a run is at, from the end of its run log: itemsmith's last numbered step or "+++"
// banner, treesmith's last opening banner. "" when the text holds none.
std::string CurrentStep(Program program, const std::string& log_tail);

// Why a run that ended with a FAIL verdict failed, from its run log: the line that decided
// (itemsmith ends at its first fatal failure, so that is its last failure line; treesmith
// goes on after a failure, so it is its first FAIL line of a step that counts). "" when the
// log holds none.
std::string FailLine(Program program, const std::string& log);

// The row of one slot and program, as the table and the CSV file show it.
struct Row {
  std::string slot, program, mode, step, verdict, reason, folder;
  std::string serial;   // the device's USB serial number; "" when it reports none
  uint32_t tenths = 0;  // seconds elapsed, in tenths
  platform::LocalTime start, end;
};

// The live table in `columns` terminal columns: the slot column keeps the end of a long
// location (where the slots of one hub differ), the step or reason column takes what is left.
struct TableLayout {
  size_t slot = 0, step = 0;
  size_t serial = 0;  // 0: no serial column (no row has a serial number)
};
TableLayout LayoutFor(const std::vector<Row>& rows, int columns);
std::string TableHeader(const TableLayout& layout);
std::string FormatRow(const Row& row, const TableLayout& layout);

// start,end,slot,program,mode,verdict,seconds,reason,folder,serial; fields quoted where they
// need it. The serial comes last so that the columns before it read as they always did.
std::string CsvHeader();
std::string CsvLine(const Row& row);

// Appends the rows to the CSV file, with the header first when the file is new or empty;
// false when they could not be written whole.
bool AppendCsv(const std::string& csv_file, const std::vector<Row>& rows);

using Launcher = std::function<std::unique_ptr<platform::ChildProcess>(const platform::ChildSpec&,
                                                                       std::string*)>;

// What the station meets outside itself; the real program hands in the OS adapter's.
struct Surroundings {
  Launcher launch;
  // Waits at most `ms`, less when a launched run ends meanwhile. May be unset: a plain pause.
  std::function<void(uint32_t ms)> wait_for_run_end;
  std::function<bool(const std::string& slot)> device_at;
  // Waits at most `ms` for a device to come or go; true when one may have. May be unset: the
  // shift then waits its poll and looks at every slot on every pass.
  std::function<bool(uint32_t ms)> device_changes;
  std::function<std::string(const std::string& slot)> serial_at;  // "" for none; may be unset
  std::function<std::string()> stop_request;                      // "" until a stop is asked for
  // "" until a stop asks for the running runs to end too (shift mode: a second Ctrl-C, a
  // SIGTERM, the console closing); may be unset, then every stop is one.
  std::function<std::string()> urgent_stop_request;
  std::function<void(const std::string&)> write;        // the table
  std::function<void(const std::string&)> write_error;  // one line per problem
  bool live = false;  // redraw the table in place; plain lines otherwise
  int columns = 80;
};

inline constexpr int kExitAllPassed = 0;
inline constexpr int kExitNotAllPassed = 1;
inline constexpr int kExitUsage = 2;
inline constexpr int kExitStopped = 3;
inline constexpr int kExitRecordLost = 4;

// Runs every job on every slot, shows the table, prints the final table and appends the CSV
// lines. A stop request starts no new run, stops the running ones (ABORTED) and ends the
// station with kExitStopped; a CSV that cannot be written gives kExitRecordLost.
int RunStation(const Options& options, platform::Clock& clock, const Surroundings& outside);

// The shift mode: each slot waits for a device, runs the jobs on it, shows its verdict until the
// device leaves, and waits for the next; one CSV line per device and job as each run ends. A
// device gone longer than removed_after_seconds in the middle of a run fails it ("device
// removed"). A stop starts no new run and lets the running ones finish (kExitAllPassed once they
// have); an urgent stop ends them ABORTED (kExitStopped). kExitRecordLost when a line could not
// be written.
int RunShift(const Options& options, platform::Clock& clock, const Surroundings& outside);

}  // namespace station
